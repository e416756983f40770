// IPv4/IPv6 addresses and address prefixes.
#include "util/util.h"

#include <cstdio>
#include <cstring>

namespace {

// Exactly four dot-separated decimal fields of 1 to 3 digits, each <= 255.
int parse_v4(const char *s, size_t n, uint8_t out[4])
{
    size_t i = 0;
    for (int f = 0; f < 4; f++) {
        if (f) {
            if (i >= n || s[i] != '.') return -1;
            i++;
        }
        unsigned v = 0;
        size_t digits = 0;
        while (i < n && s[i] >= '0' && s[i] <= '9' && digits < 3) {
            v = v * 10 + (unsigned)(s[i] - '0');
            i++;
            digits++;
        }
        if (digits == 0 || v > 255) return -1;
        out[f] = (uint8_t)v;
    }
    return i == n ? 0 : -1;
}

int parse_v6(const char *s, size_t n, uint8_t out[16])
{
    uint16_t groups[8];
    int ng = 0;
    int gap = -1;  // group index where "::" stands
    size_t i = 0;
    if (n >= 2 && s[0] == ':' && s[1] == ':') {
        gap = 0;
        i = 2;
    } else if (s[0] == ':') {
        return -1;
    }
    while (i < n) {
        size_t j = i;
        bool dot = false;
        while (j < n && s[j] != ':') {
            if (s[j] == '.') dot = true;
            j++;
        }
        // An empty field here means ":::" or a colon run in the wrong place.
        if (j == i) return -1;
        if (dot) {
            if (j != n || ng > 6) return -1;
            uint8_t v4[4];
            if (parse_v4(s + i, j - i, v4) < 0) return -1;
            groups[ng++] = (uint16_t)(v4[0] << 8 | v4[1]);
            groups[ng++] = (uint16_t)(v4[2] << 8 | v4[3]);
            i = j;
            break;
        }
        if (j - i > 4 || ng >= 8) return -1;
        unsigned v = 0;
        for (size_t k = i; k < j; k++) {
            int h = vl2_hex_digit(s[k]);
            if (h < 0) return -1;
            v = v << 4 | (unsigned)h;
        }
        groups[ng++] = (uint16_t)v;
        i = j;
        if (i == n) break;
        i++;  // the ':'
        if (i < n && s[i] == ':') {
            if (gap >= 0) return -1;
            gap = ng;
            i++;
        } else if (i == n) {
            return -1;  // ends with a single colon
        }
    }
    if (gap < 0 ? ng != 8 : ng > 7) return -1;
    memset(out, 0, 16);
    int head = gap < 0 ? ng : gap;
    for (int k = 0; k < head; k++) {
        out[2 * k] = (uint8_t)(groups[k] >> 8);
        out[2 * k + 1] = (uint8_t)groups[k];
    }
    int tail = ng - head;
    for (int k = 0; k < tail; k++) {
        int at = 8 - tail + k;
        out[2 * at] = (uint8_t)(groups[head + k] >> 8);
        out[2 * at + 1] = (uint8_t)groups[head + k];
    }
    return 0;
}

}  // namespace

int vl2_ip_parse(const char *text, vl2_ip *out)
{
    if (!out) return -1;
    memset(out, 0, sizeof *out);
    if (!text) return -1;
    const char *s = text;
    size_t n = strlen(text);
    if (n > 1 && s[0] == '[' && s[n - 1] == ']') {
        s++;
        n -= 2;
    }
    const void *zone = memchr(s, '%', n);
    if (zone) n = (size_t)((const char *)zone - s);
    if (n < 1 || n > 45) return -1;
    if (!memchr(s, ':', n)) {
        if (parse_v4(s, n, out->addr) < 0) return -1;
        out->family = 4;
        return 0;
    }
    uint8_t a[16];
    if (parse_v6(s, n, a) < 0) return -1;
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(a, mapped, 12) == 0) {
        out->family = 4;
        memcpy(out->addr, a + 12, 4);
    } else {
        out->family = 6;
        memcpy(out->addr, a, 16);
    }
    return 0;
}

void vl2_ip_format(const vl2_ip *ip, char *out, size_t outsize)
{
    if (!out || outsize == 0) return;
    if (!ip) {
        out[0] = 0;
        return;
    }
    char t[64];
    const uint8_t *a = ip->addr;
    if (ip->family == 4) {
        snprintf(t, sizeof t, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    } else {
        unsigned g[8];
        for (int k = 0; k < 8; k++) g[k] = (unsigned)(a[2 * k] << 8 | a[2 * k + 1]);
        // Longest run of two or more zero groups; the first wins a tie.
        int best = -1, bestlen = 1;
        for (int k = 0; k < 8;) {
            if (g[k]) {
                k++;
                continue;
            }
            int e = k;
            while (e < 8 && g[e] == 0) e++;
            if (e - k > bestlen) {
                best = k;
                bestlen = e - k;
            }
            k = e;
        }
        size_t w = 0;
        for (int k = 0; k < 8; k++) {
            if (k == best) {
                w += (size_t)snprintf(t + w, sizeof t - w, "::");
                k += bestlen - 1;
                continue;
            }
            bool after_gap = best >= 0 && k == best + bestlen;
            w += (size_t)snprintf(t + w, sizeof t - w, "%s%x", (k && !after_gap) ? ":" : "", g[k]);
        }
        t[w] = 0;
    }
    size_t n = strlen(t);
    if (n >= outsize) n = outsize - 1;
    memcpy(out, t, n);
    out[n] = 0;
}

int vl2_ip_equal(const vl2_ip *a, const vl2_ip *b)
{
    if (!a || !b || a->family != b->family) return 0;
    return memcmp(a->addr, b->addr, a->family == 4 ? 4 : 16) == 0;
}

int vl2_ip_is_loopback(const vl2_ip *ip)
{
    if (!ip) return 0;
    if (ip->family == 4) return ip->addr[0] == 127;
    if (ip->family == 6) {
        static const uint8_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return memcmp(ip->addr, one, 16) == 0;
    }
    return 0;
}

int vl2_cidr_parse(const char *text, vl2_cidr *out)
{
    if (!out) return -1;
    memset(out, 0, sizeof *out);
    if (!text) return -1;
    const char *slash = strchr(text, '/');
    size_t alen = slash ? (size_t)(slash - text) : strlen(text);
    if (alen < 1 || alen > 63) return -1;
    char addr[64];
    memcpy(addr, text, alen);
    addr[alen] = 0;
    vl2_ip ip;
    if (vl2_ip_parse(addr, &ip) < 0) return -1;
    int max = ip.family == 4 ? 32 : 128;
    int prefix = max;
    if (slash) {
        const char *p = slash + 1;
        size_t n = strlen(p);
        if (n < 1 || n > 3) return -1;
        prefix = 0;
        for (size_t k = 0; k < n; k++) {
            if (p[k] < '0' || p[k] > '9') return -1;
            prefix = prefix * 10 + (p[k] - '0');
        }
        // A mapped form counts its prefix over the whole IPv6 address.
        if (ip.family == 4 && memchr(addr, ':', alen)) prefix -= 96;
        if (prefix < 0 || prefix > max) return -1;
    }
    for (int bit = prefix; bit < 128; bit++) ip.addr[bit / 8] &= (uint8_t) ~(0x80 >> (bit % 8));
    out->ip = ip;
    out->prefix = prefix;
    return 0;
}

int vl2_cidr_match(const vl2_cidr *c, const vl2_ip *ip)
{
    if (!c || !ip || c->ip.family != ip->family) return 0;
    int max = ip->family == 4 ? 32 : 128;
    if (c->prefix < 0 || c->prefix > max) return 0;
    int whole = c->prefix / 8, rest = c->prefix % 8;
    if (memcmp(c->ip.addr, ip->addr, (size_t)whole) != 0) return 0;
    if (rest) {
        uint8_t mask = (uint8_t)(0xff << (8 - rest));
        if ((c->ip.addr[whole] ^ ip->addr[whole]) & mask) return 0;
    }
    return 1;
}
