// SP 800-108 key derivation in counter mode with HMAC-SHA256.
#include <cstring>

#include "crypto/crypto.h"

void vl2_kdf_ctr_hmacsha256(const void *key, size_t keylen, const char *label, const void *context, size_t contextlen,
                            uint8_t *out, size_t outlen)
{
    // A label is its text with its NUL, then the 0x00 separator (SMB 3 keys
    // are defined that way); no label means neither.
    size_t labellen = label ? strlen(label) + 1 : 0;
    static const uint8_t separator = 0;
    // [L] is the length of all the output, in bits.
    uint32_t bits = (uint32_t)(outlen * 8);
    const uint8_t bits_l[4] = {(uint8_t)(bits >> 24), (uint8_t)(bits >> 16), (uint8_t)(bits >> 8), (uint8_t)bits};
    uint8_t block[32];
    vl2_hmac256_ctx c;
    for (uint32_t i = 1; outlen; i++) {
        uint8_t ctr[4] = {(uint8_t)(i >> 24), (uint8_t)(i >> 16), (uint8_t)(i >> 8), (uint8_t)i};
        vl2_hmac256_init(&c, key, keylen);
        vl2_hmac256_update(&c, ctr, 4);
        vl2_hmac256_update(&c, label, labellen);
        if (label) vl2_hmac256_update(&c, &separator, 1);
        vl2_hmac256_update(&c, context, contextlen);
        vl2_hmac256_update(&c, bits_l, 4);
        vl2_hmac256_final(&c, block);
        size_t take = outlen < 32 ? outlen : 32;
        memcpy(out, block, take);
        out += take;
        outlen -= take;
    }
    // Key material on our own stack; the output is the caller's to wipe.
    vl2_wipe(block, sizeof block);
    vl2_wipe(&c, sizeof c);
}
