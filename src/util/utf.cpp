// Strict UTF-16LE <-> UTF-8 conversion.
#include "util/util.h"

int vl2_utf16_to_utf8(const uint8_t *src, uint64_t srclen, char *dst, int cap)
{
    if (srclen & 1) return -1;
    if (!dst || cap < 0) cap = 0;
    if (srclen && !src) return -1;
    int64_t w = 0;
    for (uint64_t i = 0; i < srclen; i += 2) {
        uint32_t u = vl2_le16(src + i);
        uint32_t cp;
        if (u == 0 || (u >= 0xdc00 && u <= 0xdfff)) return -1;
        if (u >= 0xd800 && u <= 0xdbff) {
            if (srclen - i < 4) return -1;
            uint32_t lo = vl2_le16(src + i + 2);
            if (lo < 0xdc00 || lo > 0xdfff) return -1;
            cp = ((u - 0xd800) << 10) + (lo - 0xdc00) + 0x10000;
            i += 2;
        } else {
            cp = u;
        }
        int need = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (w + need > cap) return -1;
        uint8_t *o = (uint8_t *)dst + w;
        switch (need) {
        case 1:
            o[0] = (uint8_t)cp;
            break;
        case 2:
            o[0] = (uint8_t)(0xc0 | (cp >> 6));
            o[1] = (uint8_t)(0x80 | (cp & 0x3f));
            break;
        case 3:
            o[0] = (uint8_t)(0xe0 | (cp >> 12));
            o[1] = (uint8_t)(0x80 | ((cp >> 6) & 0x3f));
            o[2] = (uint8_t)(0x80 | (cp & 0x3f));
            break;
        default:
            o[0] = (uint8_t)(0xf0 | (cp >> 18));
            o[1] = (uint8_t)(0x80 | ((cp >> 12) & 0x3f));
            o[2] = (uint8_t)(0x80 | ((cp >> 6) & 0x3f));
            o[3] = (uint8_t)(0x80 | (cp & 0x3f));
            break;
        }
        w += need;
    }
    if (cap <= w) return -1;
    dst[w] = 0;
    return (int)w;
}

int vl2_utf8_next(const uint8_t **s, uint32_t *cp, bool overlong_ok)
{
    const uint8_t *p = *s;
    uint32_t c = *p;
    int n;
    uint32_t min;
    if (c < 0x80) {
        n = 0;
        min = 0;
    } else if ((c & 0xE0) == 0xC0) {
        n = 1;
        min = 0x80;
        c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 2;
        min = 0x800;
        c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 3;
        min = 0x10000;
        c &= 0x07;
    } else
        return -1;
    // A NUL is not of the form 10xxxxxx, so this never reads past it.
    for (int i = 1; i <= n; i++) {
        if ((p[i] & 0xC0) != 0x80) return -1;
        c = (c << 6) | (p[i] & 0x3F);
    }
    if ((c < min && !overlong_ok) || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
    *s = p + n + 1;
    *cp = c;
    return 0;
}

int vl2_utf8_valid(const char *text)
{
    const uint8_t *p = (const uint8_t *)text;
    uint32_t c;
    while (*p)
        if (vl2_utf8_next(&p, &c, false) != 0) return 0;
    return 1;
}

int vl2_utf8_to_utf16le(const char *src, uint8_t *dst, int cap, int *outlen)
{
    if (!src) return -1;
    if (!dst || cap < 0) cap = 0;
    const uint8_t *s = (const uint8_t *)src;
    int64_t w = 0;
    while (*s) {
        uint32_t v;
        if (vl2_utf8_next(&s, &v, true) != 0) return -1;
        if (v < 0x10000) {
            if (w + 2 > cap) return -1;
            vl2_put16(dst + w, (uint16_t)v);
            w += 2;
        } else {
            if (w + 4 > cap) return -1;
            vl2_put16(dst + w, (uint16_t)(0xd800 + ((v - 0x10000) >> 10)));
            vl2_put16(dst + w + 2, (uint16_t)(0xdc00 + ((v - 0x10000) & 0x3ff)));
            w += 4;
        }
    }
    if (outlen) *outlen = (int)w;
    return 0;
}
