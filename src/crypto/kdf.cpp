// SP 800-108 key derivation in counter mode with HMAC-SHA256.
#include <cstring>

#include "crypto/crypto.h"

void vl2_kdf_ctr_hmacsha256(const void *key, size_t keylen, const char *label,
                            const void *context, size_t contextlen, uint8_t *out, size_t outlen)
{
    // The label's own NUL is the separator byte; no label means no separator.
    size_t labellen = label ? strlen(label) + 1 : 0;
    // [L] is fixed at 128 bits whatever length is asked for; the 16-byte
    // keys this derives are defined with that value.
    static const uint8_t bits_l[4] = {0x00, 0x00, 0x00, 0x80};
    uint8_t block[32];
    vl2_hmac256_ctx c;
    for (uint32_t i = 1; outlen; i++) {
        uint8_t ctr[4] = {(uint8_t)(i >> 24), (uint8_t)(i >> 16), (uint8_t)(i >> 8), (uint8_t)i};
        vl2_hmac256_init(&c, key, keylen);
        vl2_hmac256_update(&c, ctr, 4);
        vl2_hmac256_update(&c, label, labellen);
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
