// Share-relative names, search patterns, wildcard matching, ASCII case
// folding and FNV-1a.
#include "util/util.h"

#include <cstring>

namespace {

constexpr int MAX_INPUT = 2048;
constexpr int MAX_COMPONENT = 255;
constexpr int MAX_DEPTH = 64;
constexpr int MAX_PATH = 1024;
constexpr int MAX_PATTERN = 512;

inline bool is_sep(char c) { return c == '\\' || c == '/'; }
inline bool is_ctl(unsigned char c) { return (c >= 0x01 && c <= 0x1f) || c == 0x7f; }
inline unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c; }

// One component [p, p + n) against the rules, in their fixed order.
int check_component(const char *p, size_t n, int depth, size_t outlen)
{
    if (n == 1 && p[0] == '.') return vl2_fail(-7, "\".\" is not a valid name component");
    if (n == 2 && p[0] == '.' && p[1] == '.') return vl2_fail(-7, "\"..\" is not a valid name component");
    if (n > (size_t)MAX_COMPONENT) return vl2_fail(-7, "name component longer than %d bytes", MAX_COMPONENT);
    for (size_t i = 0; i < n; i++)
        if (is_ctl((unsigned char)p[i])) return vl2_fail(-7, "control byte in a name component");
    if (p[n - 1] == '.' || p[n - 1] == ' ') return vl2_fail(-7, "name component ends in a dot or a space");
    if (depth > MAX_DEPTH) return vl2_fail(-7, "deeper than %d components", MAX_DEPTH);
    if (outlen + 1 + n > (size_t)MAX_PATH) return vl2_fail(-7, "path longer than %d bytes", MAX_PATH);
    return 0;
}

}  // namespace

int vl2_vpath(const char *in, char *out, int cap)
{
    if (!in) in = "";
    size_t inlen = strnlen(in, MAX_INPUT + 1);
    if (inlen > (size_t)MAX_INPUT) return vl2_fail(-7, "name longer than %d bytes", MAX_INPUT);

    char path[MAX_PATH + 1];
    size_t len = 0;
    int depth = 0;
    size_t i = 0;
    while (i < inlen) {
        while (i < inlen && is_sep(in[i])) i++;
        if (i == inlen) break;
        size_t start = i;
        while (i < inlen && !is_sep(in[i])) i++;
        size_t n = i - start;
        int rc = check_component(in + start, n, ++depth, len);
        if (rc < 0) return rc;
        if (len) path[len++] = '/';
        memcpy(path + len, in + start, n);
        len += n;
    }
    if (!out || cap <= 0 || (size_t)cap <= len) return vl2_fail(-8, "the name needs %d bytes", (int)len + 1);
    memcpy(out, path, len);
    out[len] = 0;
    return 0;
}

int vl2_pat_check(const char *pattern)
{
    if (!pattern) return vl2_fail(-1, "NULL pattern");
    size_t n = strnlen(pattern, MAX_PATTERN + 1);
    if (n > (size_t)MAX_PATTERN) return vl2_fail(-1, "pattern longer than %d bytes", MAX_PATTERN);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)pattern[i];
        if (c == '\\' || c == '/') return vl2_fail(-1, "the pattern is a leaf name only");
        if (is_ctl(c)) return vl2_fail(-1, "control byte in the pattern");
    }
    return 0;
}

int vl2_glob_match(const char *pattern, const char *name)
{
    if (!pattern || !name) return 0;
    const unsigned char *p = (const unsigned char *)pattern;
    const unsigned char *n = (const unsigned char *)name;
    const unsigned char *star_p = nullptr;  // just after the last '*'
    const unsigned char *star_n = nullptr;  // name position that '*' took up to
    while (*n) {
        if (*p == '*') {
            star_p = ++p;
            star_n = n;
        } else if (*p && (*p == '?' || fold(*p) == fold(*n))) {
            p++;
            n++;
        } else if (star_p) {
            // Let the last '*' swallow one more byte and retry from there.
            n = ++star_n;
            p = star_p;
        } else {
            return 0;
        }
    }
    while (*p == '*') p++;
    return *p == 0;
}

int vl2_casecmp(const char *a, const char *b)
{
    const unsigned char *x = (const unsigned char *)(a ? a : "");
    const unsigned char *y = (const unsigned char *)(b ? b : "");
    for (;; x++, y++) {
        int cx = fold(*x), cy = fold(*y);
        if (cx != cy || cx == 0) return cx - cy;
    }
}

uint64_t vl2_fnv1a64(const void *data, uint64_t len, uint64_t start)
{
    const uint8_t *p = (const uint8_t *)data;
    uint64_t h = start;
    for (uint64_t i = 0; i < len; i++) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

const char *vl2_dialect_name(int dialect)
{
    switch (dialect) {
    case 0x0202:
        return "2.0.2";
    case 0x0210:
        return "2.1";
    case 0x0300:
        return "3.0";
    case 0x0302:
        return "3.0.2";
    case 0x0311:
        return "3.1.1";
    default:
        return "?";
    }
}
