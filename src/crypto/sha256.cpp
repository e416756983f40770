// SHA-256 (FIPS 180-4): portable compression, run-time choice of the
// SHA-extensions compression, and the streaming interface.
#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "crypto/internal.h"

const uint32_t K256[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

namespace {

using blocks_fn = void (*)(uint32_t *, const uint8_t *, size_t);

inline uint32_t ror(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

bool cpu_has_sha()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29));
#else
    return false;
#endif
}

blocks_fn best()
{
    static const bool sha = cpu_has_sha();
    return sha ? vl2_sha256_blocks_ni : vl2_sha256_blocks_portable;
}

// Null until first use; only the test switch changes it afterwards.
std::atomic<blocks_fn> g_blocks{nullptr};

inline blocks_fn blocks()
{
    blocks_fn f = g_blocks.load(std::memory_order_relaxed);
    if (!f) {
        f = best();
        g_blocks.store(f, std::memory_order_relaxed);
    }
    return f;
}

}  // namespace

void vl2_sha256_blocks_portable(uint32_t h[8], const uint8_t *p, size_t n)
{
    for (; n; n--, p += 64) {
        uint32_t w[64];
        for (int t = 0; t < 16; t++) w[t] = be32(p + 4 * t);
        for (int t = 16; t < 64; t++) {
            uint32_t s0 = ror(w[t - 15], 7) ^ ror(w[t - 15], 18) ^ (w[t - 15] >> 3);
            uint32_t s1 = ror(w[t - 2], 17) ^ ror(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int t = 0; t < 64; t++) {
            uint32_t t1 = hh + (ror(e, 6) ^ ror(e, 11) ^ ror(e, 25)) + ((e & f) ^ (~e & g)) + K256[t] + w[t];
            uint32_t t2 = (ror(a, 2) ^ ror(a, 13) ^ ror(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += hh;
    }
}

int vl2_sha256_force_portable(int on)
{
    g_blocks.store(on ? vl2_sha256_blocks_portable : best(), std::memory_order_relaxed);
    return vl2_sha256_accelerated();
}

int vl2_sha256_accelerated(void) { return blocks() == vl2_sha256_blocks_ni ? 1 : 0; }

void vl2_sha256_init(vl2_sha256_ctx *c)
{
    static const uint32_t iv[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                   0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};
    memcpy(c->h, iv, sizeof iv);
    c->count = 0;
    c->fill = 0;
}

// Whole blocks go to the compression straight from the input; only a
// partial block at either end passes through the context's buffer.
void vl2_sha256_update(void *ctx, const void *data, size_t len)
{
    if (len == 0) return;
    vl2_sha256_ctx *c = static_cast<vl2_sha256_ctx *>(ctx);
    const uint8_t *p = static_cast<const uint8_t *>(data);
    blocks_fn f = blocks();
    c->count += len;
    if (c->fill) {
        size_t take = 64 - c->fill;
        if (take > len) take = len;
        memcpy(c->block + c->fill, p, take);
        c->fill += take;
        p += take;
        len -= take;
        if (c->fill < 64) return;
        f(c->h, c->block, 1);
        c->fill = 0;
    }
    if (len >= 64) {
        size_t n = len / 64;
        f(c->h, p, n);
        p += n * 64;
        len -= n * 64;
    }
    if (len) {
        memcpy(c->block, p, len);
        c->fill = len;
    }
}

void vl2_sha256_final(vl2_sha256_ctx *c, uint8_t out[32])
{
    blocks_fn f = blocks();
    uint64_t bits = c->count * 8;
    size_t fill = (size_t)c->fill;
    c->block[fill++] = 0x80;
    if (fill > 56) {
        memset(c->block + fill, 0, 64 - fill);
        f(c->h, c->block, 1);
        fill = 0;
    }
    memset(c->block + fill, 0, 56 - fill);
    for (int k = 0; k < 8; k++) c->block[56 + k] = (uint8_t)(bits >> (56 - 8 * k));
    f(c->h, c->block, 1);
    c->fill = 0;
    for (int k = 0; k < 32; k++) out[k] = (uint8_t)(c->h[k / 4] >> (24 - 8 * (k % 4)));
}

void vl2_sha256(const void *data, size_t len, uint8_t out[32])
{
    vl2_sha256_ctx c;
    vl2_sha256_init(&c);
    vl2_sha256_update(&c, data, len);
    vl2_sha256_final(&c, out);
}
