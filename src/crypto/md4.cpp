// MD4 (RFC 1320), one-shot; only the NT hash of a password needs it.
#include <cstring>

#include "crypto/crypto.h"

namespace {

inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void md4_block(uint32_t s[4], const uint8_t *blk)
{
    uint32_t x[16];
    for (int k = 0; k < 16; k++) x[k] = le32(blk + 4 * k);
    uint32_t a = s[0], b = s[1], c = s[2], d = s[3];

#define F(x, y, z) (((x) & (y)) | (~(x) & (z)))
#define G(x, y, z) (((x) & (y)) | ((x) & (z)) | ((y) & (z)))
#define H(x, y, z) ((x) ^ (y) ^ (z))
#define R1(a, b, c, d, k, s) a = rol(a + F(b, c, d) + x[k], s)
#define R2(a, b, c, d, k, s) a = rol(a + G(b, c, d) + x[k] + 0x5a827999u, s)
#define R3(a, b, c, d, k, s) a = rol(a + H(b, c, d) + x[k] + 0x6ed9eba1u, s)
    for (int k = 0; k < 16; k += 4) {
        R1(a, b, c, d, k, 3);
        R1(d, a, b, c, k + 1, 7);
        R1(c, d, a, b, k + 2, 11);
        R1(b, c, d, a, k + 3, 19);
    }
    for (int k = 0; k < 4; k++) {
        R2(a, b, c, d, k, 3);
        R2(d, a, b, c, k + 4, 5);
        R2(c, d, a, b, k + 8, 9);
        R2(b, c, d, a, k + 12, 13);
    }
    static const int order[4] = {0, 2, 1, 3};
    for (int n = 0; n < 4; n++) {
        int k = order[n];
        R3(a, b, c, d, k, 3);
        R3(d, a, b, c, k + 8, 9);
        R3(c, d, a, b, k + 4, 11);
        R3(b, c, d, a, k + 12, 15);
    }
#undef F
#undef G
#undef H
#undef R1
#undef R2
#undef R3
    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
}

}  // namespace

void vl2_md4(const void *data, size_t len, uint8_t out[16])
{
    uint32_t s[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t whole = len & ~(size_t)63;
    for (size_t off = 0; off < whole; off += 64) md4_block(s, p + off);

    uint8_t blk[64] = {0};
    size_t rem = len - whole;
    if (rem) memcpy(blk, p + whole, rem);
    blk[rem] = 0x80;
    if (rem >= 56) {
        md4_block(s, blk);
        memset(blk, 0, sizeof blk);
    }
    uint64_t bits = (uint64_t)len * 8;
    for (int k = 0; k < 8; k++) blk[56 + k] = (uint8_t)(bits >> (8 * k));
    md4_block(s, blk);
    for (int k = 0; k < 16; k++) out[k] = (uint8_t)(s[k / 4] >> (8 * (k % 4)));
}
