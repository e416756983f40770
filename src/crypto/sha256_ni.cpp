// SHA-256 compression with the x86 SHA extensions. This file alone is
// compiled with -msha -msse4.1; callers check the CPU first.
#include "crypto/internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

void vl2_sha256_blocks_ni(uint32_t h[8], const uint8_t *p, size_t n)
{
    // Byte swap of each 32-bit word: the message is big-endian.
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    // The instructions keep the state as ABEF and CDGH.
    __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h));       // DCBA
    __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h + 4));  // HGFE
    t = _mm_shuffle_epi32(t, 0xB1);                                          // CDAB
    s1 = _mm_shuffle_epi32(s1, 0x1B);                                        // EFGH
    __m128i s0 = _mm_alignr_epi8(t, s1, 8);                                  // ABEF
    s1 = _mm_blend_epi16(s1, t, 0xF0);                                       // CDGH

    for (; n; n--, p += 64) {
        const __m128i save0 = s0, save1 = s1;
        __m128i m[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; g++) {
            if (g < 4) m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * g)), bswap);
            __m128i w = _mm_add_epi32(m[g & 3], _mm_loadu_si128(reinterpret_cast<const __m128i *>(K256 + 4 * g)));
            s1 = _mm_sha256rnds2_epu32(s1, s0, w);
            if (g >= 3 && g <= 14) {
                // Finish the schedule words of the next group.
                __m128i x = _mm_alignr_epi8(m[g & 3], m[(g - 1) & 3], 4);
                m[(g + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(m[(g + 1) & 3], x), m[g & 3]);
            }
            w = _mm_shuffle_epi32(w, 0x0E);
            s0 = _mm_sha256rnds2_epu32(s0, s1, w);
            if (g >= 1 && g <= 12) m[(g - 1) & 3] = _mm_sha256msg1_epu32(m[(g - 1) & 3], m[g & 3]);
        }
        s0 = _mm_add_epi32(s0, save0);
        s1 = _mm_add_epi32(s1, save1);
    }

    t = _mm_shuffle_epi32(s0, 0x1B);    // FEBA
    s1 = _mm_shuffle_epi32(s1, 0xB1);   // DCHG
    s0 = _mm_blend_epi16(t, s1, 0xF0);  // DCBA
    s1 = _mm_alignr_epi8(s1, t, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h), s0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h + 4), s1);
}

#else

// Never chosen on other CPUs; kept so the dispatch links everywhere.
void vl2_sha256_blocks_ni(uint32_t h[8], const uint8_t *p, size_t n) { vl2_sha256_blocks_portable(h, p, n); }

#endif
