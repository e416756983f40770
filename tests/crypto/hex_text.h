// Hex text for the crypto tests' expected values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Lower-case hex of n bytes.
inline std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t k = 0; k < n; k++) {
        snprintf(b, sizeof b, "%02x", p[k]);
        s += b;
    }
    return s;
}
