// Our own digests, MACs, RC4 and key derivation: caller-owned records, no
// allocation, no failure, no status, safe on any thread. Below them, AES and
// SHA-512 from OpenSSL 3's libcrypto, which can fail and say so.
#pragma once

#include <cstddef>
#include <cstdint>

struct vl2_sha256_ctx {
    uint32_t h[8];
    uint64_t count;  // bytes absorbed so far
    uint8_t block[64];
    uint64_t fill;  // bytes waiting in block (0..63 between calls)
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
void vl2_sha256_update(void *ctx, const void *data, size_t len);  // ctx: sha256 or hmac256
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

// SP 800-108 counter mode, HMAC-SHA256 PRF. [L] is outlen in bits, big-endian
// (00 00 00 80 for a 16-byte key, 00 00 01 00 for a 32-byte one).
// label may be null (no bytes, no separator); otherwise its NUL is included.
void vl2_kdf_ctr_hmacsha256(const void *key, size_t keylen, const char *label, const void *context, size_t contextlen,
                            uint8_t *out, size_t outlen);

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

// ---- AES and SHA-512 from libcrypto ------------------------------------------
// Functions below return 0 or a negative code. Algorithms are fetched from
// libcrypto once per process. A key record holds a context with the key
// already scheduled, so a message costs no set-up; one record serves one
// thread at a time. A zeroed record is a released one.
constexpr int VL2_CRYPTO_FAIL = -1;    // libcrypto refused, or arguments out of range
constexpr int VL2_CRYPTO_BADTAG = -2;  // open: the tag does not match

// Numbered as the SMB 3.1.1 encryption capabilities number the ciphers.
enum vl2_aead_alg { VL2_AES128_CCM = 1, VL2_AES128_GCM = 2, VL2_AES256_CCM = 3, VL2_AES256_GCM = 4 };

// One context per direction: libcrypto's CCM cannot turn a context set up
// for sealing into one that opens.
struct vl2_aead_key {
    void *seal;  // EVP_CIPHER_CTX with the key set, for sealing and GMAC
    void *open;  // the same for opening
    int alg;
};

// keylen must be 16 for the AES-128 ciphers and 32 for the AES-256 ones.
// On failure the record is left released. The caller keeps and wipes key.
int vl2_aead_init(vl2_aead_key *k, int alg, const void *key, size_t keylen);
// Frees the contexts (libcrypto clears their key schedules) and zeroes the
// record. Safe on a released record.
void vl2_aead_release(vl2_aead_key *k);
// Nonce bytes for alg: 12 for GCM, 11 for CCM, 0 for an unknown alg.
size_t vl2_aead_nonce_len(int alg);
// Encrypts data[0..len) in place, authenticating aad too; writes the 16-byte
// tag. nonce holds vl2_aead_nonce_len bytes. CCM takes len up to INT_MAX.
int vl2_aead_seal(vl2_aead_key *k, const uint8_t *nonce, const void *aad, size_t aadlen, void *data, size_t len,
                  uint8_t tag[16]);
// Decrypts data[0..len) in place when tag matches; otherwise returns
// VL2_CRYPTO_BADTAG. On any failure data is zeroed, so unauthenticated bytes
// are never used.
int vl2_aead_open(vl2_aead_key *k, const uint8_t *nonce, const void *aad, size_t aadlen, void *data, size_t len,
                  const uint8_t tag[16]);
// AES-GMAC: the GCM tag over data as additional data only. k must hold a GCM
// key; nonce is 12 bytes.
int vl2_gmac(vl2_aead_key *k, const uint8_t nonce[12], const void *data, size_t len, uint8_t mac[16]);
// A message in pieces, MACed as if they were one run of bytes: a signature
// is taken over a message whose Signature field reads as zeros without
// writing into the message.
struct vl2_span {
    const void *data;
    size_t len;
};
int vl2_gmac_v(vl2_aead_key *k, const uint8_t nonce[12], const vl2_span *parts, int count, uint8_t mac[16]);

struct vl2_cmac_key {
    void *ctx;  // EVP_MAC_CTX with the key set
};

// AES-128-CMAC (RFC 4493). Same record rules as vl2_aead_key.
int vl2_cmac_init(vl2_cmac_key *k, const uint8_t key[16]);
void vl2_cmac_release(vl2_cmac_key *k);
int vl2_cmac(vl2_cmac_key *k, const void *data, size_t len, uint8_t mac[16]);
int vl2_cmac_v(vl2_cmac_key *k, const vl2_span *parts, int count, uint8_t mac[16]);

struct vl2_sha512_ctx {
    void *md;  // EVP_MD_CTX, null when released
};

// Incremental SHA-512. final releases the context whatever it returns;
// release abandons one (safe on a released context).
int vl2_sha512_init(vl2_sha512_ctx *c);
int vl2_sha512_update(vl2_sha512_ctx *c, const void *data, size_t len);
int vl2_sha512_final(vl2_sha512_ctx *c, uint8_t out[64]);
void vl2_sha512_release(vl2_sha512_ctx *c);
int vl2_sha512(const void *data, size_t len, uint8_t out[64]);
// h = SHA-512(h || msg): one step of the pre-authentication integrity hash.
// h is unchanged on failure.
int vl2_sha512_chain(uint8_t h[64], const void *msg, size_t len);
