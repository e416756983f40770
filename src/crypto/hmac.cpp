// HMAC (RFC 2104) over SHA-256 and over MD5, block size 64.
#include <cstring>

#include "crypto/internal.h"

namespace {

// Key block: the key itself when it fits in 64 bytes, else its digest.
void key_block(uint8_t kb[64], const void *key, size_t keylen, void (*digest)(const void *, size_t, uint8_t *))
{
    memset(kb, 0, 64);
    if (keylen > 64)
        digest(key, keylen, kb);
    else if (keylen)
        memcpy(kb, key, keylen);
}

void sha256_digest(const void *d, size_t n, uint8_t *out) { vl2_sha256(d, n, out); }
void md5_digest(const void *d, size_t n, uint8_t *out) { vl2_md5(d, n, out); }

}  // namespace

void vl2_hmac256_init(vl2_hmac256_ctx *c, const void *key, size_t keylen)
{
    uint8_t kb[64], ipad[64];
    key_block(kb, key, keylen, sha256_digest);
    for (int k = 0; k < 64; k++) {
        c->opad[k] = kb[k] ^ 0x5c;
        ipad[k] = kb[k] ^ 0x36;
    }
    vl2_sha256_init(&c->inner);
    vl2_sha256_update(&c->inner, ipad, 64);
    vl2_wipe(kb, sizeof kb);
    vl2_wipe(ipad, sizeof ipad);
}

void vl2_hmac256_update(vl2_hmac256_ctx *c, const void *data, size_t len) { vl2_sha256_update(&c->inner, data, len); }

void vl2_hmac256_final(vl2_hmac256_ctx *c, uint8_t out[32])
{
    uint8_t ih[32];
    vl2_sha256_final(&c->inner, ih);
    vl2_sha256_init(&c->outer);
    vl2_sha256_update(&c->outer, c->opad, 64);
    vl2_sha256_update(&c->outer, ih, 32);
    vl2_sha256_final(&c->outer, out);
}

void vl2_hmac256(const void *key, size_t keylen, const void *data, size_t len, uint8_t out[32])
{
    vl2_hmac256_ctx c;
    vl2_hmac256_init(&c, key, keylen);
    vl2_sha256_update(&c.inner, data, len);
    vl2_hmac256_final(&c, out);
}

void vl2_hmacmd5_init(vl2_hmacmd5_ctx *c, const void *key, size_t keylen)
{
    uint8_t kb[64], ipad[64];
    key_block(kb, key, keylen, md5_digest);
    for (int k = 0; k < 64; k++) {
        c->opad[k] = kb[k] ^ 0x5c;
        ipad[k] = kb[k] ^ 0x36;
    }
    // The pad is compressed directly; the final length accounts for it.
    vl2_md5_init(&c->inner);
    md5_block(c->inner.s, ipad);
    vl2_wipe(kb, sizeof kb);
    vl2_wipe(ipad, sizeof ipad);
}

void vl2_hmacmd5_update(vl2_hmacmd5_ctx *c, const void *data, size_t len) { vl2_md5_update(&c->inner, data, len); }

void vl2_hmacmd5_final(vl2_hmacmd5_ctx *c, uint8_t out[16])
{
    uint8_t ih[16];
    vl2_md5_final(&c->inner, 64, ih);
    vl2_md5_init(&c->outer);
    md5_block(c->outer.s, c->opad);
    vl2_md5_update(&c->outer, ih, 16);
    vl2_md5_final(&c->outer, 64, out);
}

void vl2_hmacmd5(const void *key, size_t keylen, const void *data, size_t len, uint8_t out[16])
{
    vl2_hmacmd5_ctx c;
    vl2_hmacmd5_init(&c, key, keylen);
    vl2_hmacmd5_update(&c, data, len);
    vl2_hmacmd5_final(&c, out);
}
