#include "util/util.h"
#include "util/guard_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> units(std::initializer_list<uint16_t> us)
{
    std::vector<uint8_t> v;
    for (uint16_t u : us) {
        v.push_back((uint8_t)u);
        v.push_back((uint8_t)(u >> 8));
    }
    return v;
}

}  // namespace

TEST(Utf16To8, Table)
{
    struct {
        std::vector<uint8_t> in;
        int cap;
        int rc;
        std::string out;
    } cases[] = {
        {{}, 1, 0, ""},
        {{}, 0, -1, ""},
        {{'a', 0, 'b'}, 16, -1, ""},  // odd length
        {units({'h', 'i'}), 3, 2, "hi"},
        {units({'h', 'i'}), 2, -1, ""},  // no room for the NUL
        {units({0xe9, 0x20ac}), 16, 5, "\xc3\xa9\xe2\x82\xac"},
        {units({0x7f, 0x80, 0x7ff, 0x800, 0xffff}), 32, 11, "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
        {units({0xd83d, 0xde00}), 5, 4, "\xf0\x9f\x98\x80"},
        {units({0xd83d, 0xde00}), 4, -1, ""},
        {units({0xdbff, 0xdfff}), 8, 4, "\xf4\x8f\xbf\xbf"},
        {units({'a', 0xde00}), 16, -1, ""},     // lone low surrogate
        {units({0xd83d}), 16, -1, ""},          // high surrogate at the end
        {units({0xd83d, 'a'}), 16, -1, ""},     // high surrogate before a non-low
        {units({0xd83d, 0xd83d}), 16, -1, ""},  // two highs
        {units({'a', 0, 'b'}), 16, -1, ""},     // embedded zero unit
        {units({0x20ac}), 3, -1, ""},           // the character fits, the NUL does not
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        auto &c = cases[i];
        char out[64];
        int rc = vl2_utf16_to_utf8(c.in.data(), c.in.size(), out, c.cap);
        ASSERT_EQ(rc, c.rc) << "case " << i;
        if (rc >= 0) {
            EXPECT_EQ(std::string(out), c.out) << "case " << i;
        }
    }
}

TEST(Utf8To16, Table)
{
    struct {
        const char *in;
        int cap;
        int rc;
        std::vector<uint8_t> out;
    } cases[] = {
        {"", 0, 0, {}},
        {"ab", 4, 0, units({'a', 'b'})},
        {"ab", 3, -1, {}},
        {"\xc3\xa9\xe2\x82\xac", 4, 0, units({0xe9, 0x20ac})},
        {"\xf0\x9f\x98\x80", 4, 0, units({0xd83d, 0xde00})},
        {"a\xf0\x9f\x98\x80", 5, -1, {}},  // a pair needs 4 bytes of room
        {"\xf4\x8f\xbf\xbf", 4, 0, units({0xdbff, 0xdfff})},
        {"\xf4\x90\x80\x80", 8, -1, {}},  // above U+10FFFF
        {"\xed\xa0\x80", 8, -1, {}},      // an encoded surrogate
        {"\xc0\x80", 8, 0, units({0})},   // overlong forms decode to their value
        {"\xe0\x80\xaf", 8, 0, units({'/'})},
        {"\x80", 8, -1, {}},  // stray continuation
        {"\xf8\x88\x80\x80\x80", 8, -1, {}},
        {"\xff", 8, -1, {}},
        {"\xc3", 8, -1, {}},  // cut short by the NUL
        {"\xe2\x82", 8, -1, {}},
        {"\xe2\x82"
         "a",
         8,
         -1,
         {}},  // bad continuation
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        auto &c = cases[i];
        uint8_t out[64];
        int len = -99;
        int rc = vl2_utf8_to_utf16le(c.in, out, c.cap, &len);
        ASSERT_EQ(rc, c.rc) << "case " << i;
        if (rc == 0)
            EXPECT_EQ(std::vector<uint8_t>(out, out + len), c.out) << "case " << i;
        else
            EXPECT_EQ(len, -99) << "length is not stored on failure";
    }
}

TEST(Utf, RoundTripEveryCodePoint)
{
    std::vector<uint8_t> u16(4);
    char u8[8];
    uint8_t back[4];
    for (uint32_t cp = 1; cp <= 0x10ffff; cp++) {
        if (cp >= 0xd800 && cp <= 0xdfff) continue;
        int n;
        if (cp < 0x10000) {
            vl2_put16(u16.data(), (uint16_t)cp);
            n = 2;
        } else {
            vl2_put16(u16.data(), (uint16_t)(0xd800 + ((cp - 0x10000) >> 10)));
            vl2_put16(u16.data() + 2, (uint16_t)(0xdc00 + ((cp - 0x10000) & 0x3ff)));
            n = 4;
        }
        int w = vl2_utf16_to_utf8(u16.data(), (uint64_t)n, u8, sizeof u8);
        ASSERT_EQ(w, cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4) << cp;
        int len = 0;
        ASSERT_EQ(vl2_utf8_to_utf16le(u8, back, sizeof back, &len), 0) << cp;
        ASSERT_EQ(len, n);
        ASSERT_EQ(memcmp(back, u16.data(), (size_t)n), 0) << cp;
    }
}

TEST(Utf16To8, NeverReadsPastTheInput)
{
    guard_page g;
    ASSERT_NE(g.base, nullptr);
    char out[32];
    struct {
        std::vector<uint8_t> in;
        int rc;
    } cases[] = {
        {units({'o', 'k'}), 2},
        {units({'a', 0xd83d}), -1},  // a high surrogate right at the end
        {units({0xd83d, 0xde00}), 4},
        {{'x'}, -1},
    };
    for (auto &c : cases) {
        const uint8_t *at = g.place(c.in.data(), c.in.size());
        EXPECT_EQ(vl2_utf16_to_utf8(at, c.in.size(), out, sizeof out), c.rc);
    }
    const uint8_t *end = g.base + g.page;
    EXPECT_EQ(vl2_utf16_to_utf8(end, 0, out, sizeof out), 0);
}
