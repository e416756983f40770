// Small helpers shared by the authentication tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

// Hex text (whitespace ignored) to bytes; aborts the test on bad input.
inline bytes unhex(const std::string &h)
{
    bytes out;
    int hi = -1;
    for (char ch : h) {
        int v;
        if (ch >= '0' && ch <= '9')
            v = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            v = ch - 'A' + 10;
        else
            continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back((uint8_t)(hi << 4 | v));
            hi = -1;
        }
    }
    EXPECT_EQ(hi, -1) << "odd hex: " << h;
    return out;
}

inline std::string tohex(const uint8_t *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One DER element with a minimal length field.
inline bytes tlv(uint8_t tag, const bytes &content)
{
    bytes out{tag};
    size_t n = content.size();
    if (n < 128) {
        out.push_back((uint8_t)n);
    } else if (n < 256) {
        out.push_back(0x81);
        out.push_back((uint8_t)n);
    } else {
        out.push_back(0x82);
        out.push_back((uint8_t)(n >> 8));
        out.push_back((uint8_t)n);
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// A heap block of exactly n bytes holding the first n bytes of src, so the
// address sanitizer sees any read past the end.
struct exact {
    std::unique_ptr<uint8_t[]> p;
    size_t n;
    exact(const bytes &src, size_t len) : p(new uint8_t[len ? len : 1]), n(len)
    {
        if (len) memcpy(p.get(), src.data(), len);
    }
    explicit exact(const bytes &src) : exact(src, src.size()) {}
    const uint8_t *get() const { return p.get(); }
};

// Runs f with VLSMB2S_TRACE set and returns what it wrote to stderr.
template <class F>
std::string traced(F f)
{
    setenv("VLSMB2S_TRACE", "1", 1);
    testing::internal::CaptureStderr();
    f();
    std::string s = testing::internal::GetCapturedStderr();
    unsetenv("VLSMB2S_TRACE");
    return s;
}
