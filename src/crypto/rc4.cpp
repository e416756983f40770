// RC4: the classic key schedule and output generator.
#include "crypto/crypto.h"

void vl2_rc4_init(vl2_rc4_ctx *c, const void *key, size_t keylen)
{
    const uint8_t *k = static_cast<const uint8_t *>(key);
    for (int n = 0; n < 256; n++) c->s[n] = (uint8_t)n;
    uint8_t j = 0;
    size_t ki = 0;
    for (int n = 0; n < 256; n++) {
        j = (uint8_t)(j + k[ki] + c->s[n]);
        uint8_t t = c->s[n];
        c->s[n] = c->s[j];
        c->s[j] = t;
        if (++ki == keylen) ki = 0;
    }
    c->i = 0;
    c->j = 0;
}

void vl2_rc4(vl2_rc4_ctx *c, void *data, size_t len)
{
    uint8_t *p = static_cast<uint8_t *>(data);
    uint8_t i = c->i, j = c->j;
    for (size_t n = 0; n < len; n++) {
        i = (uint8_t)(i + 1);
        uint8_t si = c->s[i];
        j = (uint8_t)(j + si);
        uint8_t sj = c->s[j];
        c->s[i] = sj;
        c->s[j] = si;
        p[n] ^= c->s[(uint8_t)(si + sj)];
    }
    c->i = i;
    c->j = j;
}
