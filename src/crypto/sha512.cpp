// SHA-512 through libcrypto's EVP digests.
#include <cstring>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "crypto/crypto.h"

namespace {

const EVP_MD *sha512_md()
{
    static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA512", nullptr);
    return md;
}

int fail()
{
    ERR_clear_error();
    return VL2_CRYPTO_FAIL;
}

}  // namespace

int vl2_sha512_init(vl2_sha512_ctx *c)
{
    c->md = nullptr;
    const EVP_MD *md = sha512_md();
    EVP_MD_CTX *x = md ? EVP_MD_CTX_new() : nullptr;
    if (!x) return fail();
    if (EVP_DigestInit_ex2(x, md, nullptr) != 1) {
        EVP_MD_CTX_free(x);
        return fail();
    }
    c->md = x;
    return 0;
}

int vl2_sha512_update(vl2_sha512_ctx *c, const void *data, size_t len)
{
    if (!c->md) return VL2_CRYPTO_FAIL;
    return EVP_DigestUpdate((EVP_MD_CTX *)c->md, data, len) == 1 ? 0 : fail();
}

int vl2_sha512_final(vl2_sha512_ctx *c, uint8_t out[64])
{
    if (!c->md) return VL2_CRYPTO_FAIL;
    unsigned n = 0;
    bool ok = EVP_DigestFinal_ex((EVP_MD_CTX *)c->md, out, &n) == 1 && n == 64;
    vl2_sha512_release(c);
    return ok ? 0 : fail();
}

void vl2_sha512_release(vl2_sha512_ctx *c)
{
    EVP_MD_CTX_free((EVP_MD_CTX *)c->md);
    c->md = nullptr;
}

int vl2_sha512(const void *data, size_t len, uint8_t out[64])
{
    const EVP_MD *md = sha512_md();
    unsigned n = 0;
    return md && EVP_Digest(data, len, out, &n, md, nullptr) == 1 && n == 64 ? 0 : fail();
}

int vl2_sha512_chain(uint8_t h[64], const void *msg, size_t len)
{
    vl2_sha512_ctx c;
    uint8_t next[64];
    if (vl2_sha512_init(&c) || vl2_sha512_update(&c, h, 64) || vl2_sha512_update(&c, msg, len)) {
        vl2_sha512_release(&c);
        return VL2_CRYPTO_FAIL;
    }
    if (vl2_sha512_final(&c, next)) return VL2_CRYPTO_FAIL;
    memcpy(h, next, 64);
    return 0;
}
