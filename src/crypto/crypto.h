// Our own digests, MACs, RC4 and key derivation. Caller-owned records, no
// allocation, no failure, no status. Safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct vl2_sha256_ctx {
    uint32_t h[8];
    uint64_t count;  // bytes absorbed so far
    uint8_t block[64];
    uint64_t fill;   // bytes waiting in block (0..63 between calls)
};

struct vl2_md5_ctx {
    uint32_t s[4];
    uint64_t count;
    uint8_t block[64];
    uint64_t fill;
};

// The inner context is the first member: vl2_sha256_update may be applied
// to the HMAC context itself.
struct vl2_hmac256_ctx {
    vl2_sha256_ctx inner;
    vl2_sha256_ctx outer;
    uint8_t opad[64];
};

struct vl2_hmacmd5_ctx {
    uint8_t opad[64];
    vl2_md5_ctx inner;
    vl2_md5_ctx outer;
};

struct vl2_rc4_ctx {
    uint8_t s[256];
    uint8_t i;
    uint8_t j;
};

void vl2_md4(const void *data, size_t len, uint8_t out[16]);
void vl2_md5(const void *data, size_t len, uint8_t out[16]);

void vl2_sha256_init(vl2_sha256_ctx *c);
void vl2_sha256_update(void *ctx, const void *data, size_t len); // ctx: sha256 or hmac256
void vl2_sha256_final(vl2_sha256_ctx *c, uint8_t out[32]);
void vl2_sha256(const void *data, size_t len, uint8_t out[32]);

void vl2_hmac256_init(vl2_hmac256_ctx *c, const void *key, size_t keylen);
void vl2_hmac256_update(vl2_hmac256_ctx *c, const void *data, size_t len);
void vl2_hmac256_final(vl2_hmac256_ctx *c, uint8_t out[32]);
void vl2_hmac256(const void *key, size_t keylen, const void *data, size_t len, uint8_t out[32]);

void vl2_hmacmd5_init(vl2_hmacmd5_ctx *c, const void *key, size_t keylen);
void vl2_hmacmd5_update(vl2_hmacmd5_ctx *c, const void *data, size_t len);
void vl2_hmacmd5_final(vl2_hmacmd5_ctx *c, uint8_t out[16]);
void vl2_hmacmd5(const void *key, size_t keylen, const void *data, size_t len, uint8_t out[16]);

// keylen must be at least 1.
void vl2_rc4_init(vl2_rc4_ctx *c, const void *key, size_t keylen);
void vl2_rc4(vl2_rc4_ctx *c, void *data, size_t len);

// SP 800-108 counter mode, HMAC-SHA256 PRF, [L] always 00 00 00 80.
// label may be null (no bytes, no separator); otherwise its NUL is included.
void vl2_kdf_ctr_hmacsha256(const void *key, size_t keylen, const char *label,
                            const void *context, size_t contextlen, uint8_t *out, size_t outlen);

// Zeroes a secret in a way the compiler cannot drop.
void vl2_wipe(void *buf, size_t len);
// 1 when equal (also for len 0); time depends only on len.
int vl2_ct_equal(const void *a, const void *b, size_t len);

// Known-answer self-test over every primitive: 0 all passed, -1 otherwise.
int vl2_selftest(void);

// SHA-256 compression selection (the CPU's SHA extensions when present).
// For tests and benchmarks: 1 forces the portable path, 0 restores the
// automatic choice. Returns 1 when the accelerated path is in use.
int vl2_sha256_force_portable(int on);
int vl2_sha256_accelerated(void);
