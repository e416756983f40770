// Share-relative names, search patterns, the wildcard matcher and both UTF
// conversions. The input is split at its first zero byte into two texts.
#include "fuzz_common.h"

#include "util/util.h"

#include <cstdio>
#include <string>

namespace {
int fold(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// Reference matcher: the textbook table over (pattern, name) prefixes.
bool glob_ref(const std::string &p, const std::string &n)
{
    std::vector<char> prev(n.size() + 1, 0), cur(n.size() + 1, 0);
    prev[0] = 1;
    for (size_t j = 1; j <= n.size(); j++) prev[j] = 0;
    for (size_t i = 1; i <= p.size(); i++) {
        const unsigned char pc = (unsigned char)p[i - 1];
        cur[0] = pc == '*' && prev[0];
        for (size_t j = 1; j <= n.size(); j++) {
            const unsigned char nc = (unsigned char)n[j - 1];
            if (pc == '*')
                cur[j] = prev[j] || cur[j - 1];
            else
                cur[j] = prev[j - 1] && (pc == '?' || fold(pc) == fold(nc));
        }
        prev.swap(cur);
    }
    return prev[n.size()];
}

void vpath(const std::string &a)
{
    char out[1026];
    int rc = vl2_vpath(a.c_str(), out, (int)sizeof out);
    CHECK(rc == 0 || rc == -7 || rc == -8);
    if (rc != 0) return;
    const std::string o = out;
    CHECK(o.size() <= 1024);
    CHECK(o.find('\\') == std::string::npos);
    CHECK(o.empty() || (o.front() != '/' && o.back() != '/'));
    CHECK(o.find("//") == std::string::npos);
    size_t start = 0, parts = 0;
    while (!o.empty() && start <= o.size()) {
        CHECK(++parts <= 64);
        size_t end = o.find('/', start);
        if (end == std::string::npos) end = o.size();
        const std::string c = o.substr(start, end - start);
        CHECK(c != "." && c != ".." && !c.empty() && c.size() <= 255);
        CHECK(c.back() != '.' && c.back() != ' ');
        for (unsigned char ch : c) CHECK(ch >= 0x20 && ch != 0x7F);
        start = end + 1;
    }
    // Normal form: a second pass changes nothing, also with an exact fit.
    char again[1026];
    CHECK(vl2_vpath(out, again, (int)sizeof again) == 0 && o == again);
    CHECK(vl2_vpath(out, again, (int)o.size() + 1) == 0);
    CHECK(vl2_vpath(out, again, (int)o.size()) == -8);
}

void pattern(const std::string &p, const std::string &n)
{
    int rc = vl2_pat_check(p.c_str());
    bool ok = p.size() <= 512;
    for (unsigned char c : p)
        if (c == '\\' || c == '/' || (c >= 1 && c <= 0x1F) || c == 0x7F) ok = false;
    CHECK((rc == 0) == ok);
    if (p.size() <= 300 && n.size() <= 300) CHECK(vl2_glob_match(p.c_str(), n.c_str()) == (glob_ref(p, n) ? 1 : 0));
}

void utf(const uint8_t *d, size_t n)
{
    // UTF-16LE to UTF-8 and back must give the same units.
    std::vector<char> u8(n * 2 + 1);
    int len = vl2_utf16_to_utf8(d, n, u8.data(), (int)u8.size());
    CHECK(len >= -1 && len < (int)u8.size());
    if (len >= 0) {
        CHECK(u8[len] == 0 && strlen(u8.data()) == (size_t)len);
        std::vector<uint8_t> back(n + 2);
        int blen = -1;
        CHECK(vl2_utf8_to_utf16le(u8.data(), back.data(), (int)back.size(), &blen) == 0);
        CHECK((size_t)blen == n && memcmp(back.data(), d, n) == 0);
        // Every smaller room fails cleanly.
        if (len > 0) CHECK(vl2_utf16_to_utf8(d, n, u8.data(), len) == -1);
    }
    // UTF-8 (the bytes as text) to UTF-16LE, with a tight and a roomy buffer.
    std::string t((const char *)d, strnlen((const char *)d, n));
    std::vector<uint8_t> w(t.size() * 2 + 2);
    int wlen = -1;
    if (vl2_utf8_to_utf16le(t.c_str(), w.data(), (int)w.size(), &wlen) == 0) {
        CHECK(wlen >= 0 && wlen <= (int)w.size() && wlen % 2 == 0);
        int again = -1;
        std::vector<uint8_t> w2(wlen > 0 ? wlen : 1);
        CHECK(vl2_utf8_to_utf16le(t.c_str(), w2.data(), wlen, &again) == 0 && again == wlen);
        if (wlen > 0) CHECK(vl2_utf8_to_utf16le(t.c_str(), w2.data(), wlen - 1, &again) == -1);
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 8192) return 0;
    const uint8_t *z = (const uint8_t *)memchr(data, 0, size);
    const size_t na = z ? (size_t)(z - data) : size;
    const std::string a((const char *)data, na);
    const std::string b = z ? std::string((const char *)z + 1, strnlen((const char *)z + 1, size - na - 1)) : "";
    vpath(a);
    pattern(a, b);
    CHECK((vl2_casecmp(a.c_str(), b.c_str()) == 0) == (vl2_casecmp(b.c_str(), a.c_str()) == 0));
    utf(data, size);
    return 0;
}
