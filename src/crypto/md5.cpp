// MD5 (RFC 1321): the one-shot digest and the streaming form inside HMAC-MD5.
#include <cstring>

#include "crypto/internal.h"

namespace {

inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void put_le(uint8_t *out, const uint32_t s[4])
{
    for (int k = 0; k < 16; k++) out[k] = (uint8_t)(s[k / 4] >> (8 * (k % 4)));
}

// Last block(s): rem bytes of tail, then 0x80, zeros and the bit length.
void finish(uint32_t s[4], const uint8_t *tail, size_t rem, uint64_t total_bytes)
{
    uint8_t blk[64] = {0};
    if (rem) memcpy(blk, tail, rem);
    blk[rem] = 0x80;
    if (rem >= 56) {
        md5_block(s, blk);
        memset(blk, 0, sizeof blk);
    }
    uint64_t bits = total_bytes * 8;
    for (int k = 0; k < 8; k++) blk[56 + k] = (uint8_t)(bits >> (8 * k));
    md5_block(s, blk);
}

}  // namespace

void md5_block(uint32_t s[4], const uint8_t *blk)
{
    uint32_t x[16];
    for (int k = 0; k < 16; k++) x[k] = le32(blk + 4 * k);
    uint32_t a = s[0], b = s[1], c = s[2], d = s[3];

#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define H(x, y, z) ((x) ^ (y) ^ (z))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
#define STEP(f, a, b, c, d, k, t, r) a = b + rol(a + f(b, c, d) + x[k] + t, r)
    STEP(F, a, b, c, d, 0, 0xd76aa478u, 7);
    STEP(F, d, a, b, c, 1, 0xe8c7b756u, 12);
    STEP(F, c, d, a, b, 2, 0x242070dbu, 17);
    STEP(F, b, c, d, a, 3, 0xc1bdceeeu, 22);
    STEP(F, a, b, c, d, 4, 0xf57c0fafu, 7);
    STEP(F, d, a, b, c, 5, 0x4787c62au, 12);
    STEP(F, c, d, a, b, 6, 0xa8304613u, 17);
    STEP(F, b, c, d, a, 7, 0xfd469501u, 22);
    STEP(F, a, b, c, d, 8, 0x698098d8u, 7);
    STEP(F, d, a, b, c, 9, 0x8b44f7afu, 12);
    STEP(F, c, d, a, b, 10, 0xffff5bb1u, 17);
    STEP(F, b, c, d, a, 11, 0x895cd7beu, 22);
    STEP(F, a, b, c, d, 12, 0x6b901122u, 7);
    STEP(F, d, a, b, c, 13, 0xfd987193u, 12);
    STEP(F, c, d, a, b, 14, 0xa679438eu, 17);
    STEP(F, b, c, d, a, 15, 0x49b40821u, 22);

    STEP(G, a, b, c, d, 1, 0xf61e2562u, 5);
    STEP(G, d, a, b, c, 6, 0xc040b340u, 9);
    STEP(G, c, d, a, b, 11, 0x265e5a51u, 14);
    STEP(G, b, c, d, a, 0, 0xe9b6c7aau, 20);
    STEP(G, a, b, c, d, 5, 0xd62f105du, 5);
    STEP(G, d, a, b, c, 10, 0x02441453u, 9);
    STEP(G, c, d, a, b, 15, 0xd8a1e681u, 14);
    STEP(G, b, c, d, a, 4, 0xe7d3fbc8u, 20);
    STEP(G, a, b, c, d, 9, 0x21e1cde6u, 5);
    STEP(G, d, a, b, c, 14, 0xc33707d6u, 9);
    STEP(G, c, d, a, b, 3, 0xf4d50d87u, 14);
    STEP(G, b, c, d, a, 8, 0x455a14edu, 20);
    STEP(G, a, b, c, d, 13, 0xa9e3e905u, 5);
    STEP(G, d, a, b, c, 2, 0xfcefa3f8u, 9);
    STEP(G, c, d, a, b, 7, 0x676f02d9u, 14);
    STEP(G, b, c, d, a, 12, 0x8d2a4c8au, 20);

    STEP(H, a, b, c, d, 5, 0xfffa3942u, 4);
    STEP(H, d, a, b, c, 8, 0x8771f681u, 11);
    STEP(H, c, d, a, b, 11, 0x6d9d6122u, 16);
    STEP(H, b, c, d, a, 14, 0xfde5380cu, 23);
    STEP(H, a, b, c, d, 1, 0xa4beea44u, 4);
    STEP(H, d, a, b, c, 4, 0x4bdecfa9u, 11);
    STEP(H, c, d, a, b, 7, 0xf6bb4b60u, 16);
    STEP(H, b, c, d, a, 10, 0xbebfbc70u, 23);
    STEP(H, a, b, c, d, 13, 0x289b7ec6u, 4);
    STEP(H, d, a, b, c, 0, 0xeaa127fau, 11);
    STEP(H, c, d, a, b, 3, 0xd4ef3085u, 16);
    STEP(H, b, c, d, a, 6, 0x04881d05u, 23);
    STEP(H, a, b, c, d, 9, 0xd9d4d039u, 4);
    STEP(H, d, a, b, c, 12, 0xe6db99e5u, 11);
    STEP(H, c, d, a, b, 15, 0x1fa27cf8u, 16);
    STEP(H, b, c, d, a, 2, 0xc4ac5665u, 23);

    STEP(I, a, b, c, d, 0, 0xf4292244u, 6);
    STEP(I, d, a, b, c, 7, 0x432aff97u, 10);
    STEP(I, c, d, a, b, 14, 0xab9423a7u, 15);
    STEP(I, b, c, d, a, 5, 0xfc93a039u, 21);
    STEP(I, a, b, c, d, 12, 0x655b59c3u, 6);
    STEP(I, d, a, b, c, 3, 0x8f0ccc92u, 10);
    STEP(I, c, d, a, b, 10, 0xffeff47du, 15);
    STEP(I, b, c, d, a, 1, 0x85845dd1u, 21);
    STEP(I, a, b, c, d, 8, 0x6fa87e4fu, 6);
    STEP(I, d, a, b, c, 15, 0xfe2ce6e0u, 10);
    STEP(I, c, d, a, b, 6, 0xa3014314u, 15);
    STEP(I, b, c, d, a, 13, 0x4e0811a1u, 21);
    STEP(I, a, b, c, d, 4, 0xf7537e82u, 6);
    STEP(I, d, a, b, c, 11, 0xbd3af235u, 10);
    STEP(I, c, d, a, b, 2, 0x2ad7d2bbu, 15);
    STEP(I, b, c, d, a, 9, 0xeb86d391u, 21);
#undef F
#undef G
#undef H
#undef I
#undef STEP
    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
}

void vl2_md5(const void *data, size_t len, uint8_t out[16])
{
    uint32_t s[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t whole = len & ~(size_t)63;
    for (size_t off = 0; off < whole; off += 64) md5_block(s, p + off);
    finish(s, p + whole, len - whole, len);
    put_le(out, s);
}

void vl2_md5_init(vl2_md5_ctx *c)
{
    c->s[0] = 0x67452301u;
    c->s[1] = 0xefcdab89u;
    c->s[2] = 0x98badcfeu;
    c->s[3] = 0x10325476u;
    c->count = 0;
    c->fill = 0;
}

void vl2_md5_update(vl2_md5_ctx *c, const void *data, size_t len)
{
    if (len == 0) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    c->count += len;
    if (c->fill) {
        size_t take = 64 - c->fill;
        if (take > len) take = len;
        memcpy(c->block + c->fill, p, take);
        c->fill += take;
        p += take;
        len -= take;
        if (c->fill < 64) return;
        md5_block(c->s, c->block);
        c->fill = 0;
    }
    for (; len >= 64; p += 64, len -= 64) md5_block(c->s, p);
    if (len) {
        memcpy(c->block, p, len);
        c->fill = len;
    }
}

void vl2_md5_final(vl2_md5_ctx *c, uint64_t prefix_bytes, uint8_t out[16])
{
    finish(c->s, c->block, (size_t)c->fill, c->count + prefix_bytes);
    put_le(out, c->s);
}
