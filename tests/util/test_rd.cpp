#include "util/util.h"

#include "util/guard_page.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Every reader on bytes that end at an unreadable page: a short read
// returns what is there, sets bad for good, and never touches the page.
TEST(Rd, ShortReadsTakeWhatIsThereAndStayBad)
{
    guard_page g;
    ASSERT_NE(nullptr, g.base);
    const uint8_t src[] = {0x11, 0x22, 0x33};
    vl2_rd r = {g.place(src, sizeof src), sizeof src, 0, 0};
    EXPECT_EQ(0x2211u, rd_u16(&r));
    EXPECT_EQ(0, r.bad);
    EXPECT_EQ(0x33u, rd_u32(&r));
    EXPECT_EQ(1, r.bad);
    EXPECT_EQ(3u, r.pos);
    EXPECT_EQ(0u, rd_u64(&r));
    EXPECT_EQ(nullptr, rd_bytes(&r, 1));
    r = {r.data, r.size, 1, 0};
    EXPECT_EQ(0x2233u, rd_be(&r, 2));
    EXPECT_NE(nullptr, rd_bytes(&r, 0));
    EXPECT_EQ(0, r.bad);
}

// Client (offset, length) pairs, the offset counted from a 64-byte header.
TEST(Rd, RegionTable)
{
    std::vector<uint8_t> body(32, 0);
    struct {
        uint64_t off, len;
        bool ok;
    } cases[] = {
        {64, 32, true}, {64, 0, true},   {96, 0, true},      {95, 1, true},     {63, 1, false},          {0, 0, false},
        {96, 1, false}, {65, 32, false}, {64, ~0ULL, false}, {~0ULL, 2, false}, {~0ULL - 63, 64, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.off);
        vl2_rd r = {body.data(), body.size(), 5, 0};
        const uint8_t *p = rd_region(&r, c.off, c.len);
        EXPECT_EQ(c.ok, p != nullptr);
        EXPECT_EQ(!c.ok, r.bad != 0);
        EXPECT_EQ(5u, r.pos);
        if (p) {
            EXPECT_EQ(body.data() + (c.off - 64), p);
        }
    }
}

// DER identifiers and lengths; a sub-cursor stops at its element's end.
TEST(Rd, DerTable)
{
    struct {
        std::vector<uint8_t> in;
        int rc;
        uint8_t tag;
        size_t len;
    } cases[] = {
        {{0x30, 0x02, 0xaa, 0xbb}, 0, 0x30, 2},
        {{0x04, 0x81, 0x01, 0xaa}, 0, 0x04, 1},
        {{0xa0, 0x82, 0x00, 0x01, 0xaa}, 0, 0xa0, 1},
        {{0x04, 0x84, 0, 0, 0, 0}, 0, 0x04, 0},
        {{0x04, 0x85, 0, 0, 0, 0, 0}, -1, 0, 0},  // more length bytes than allowed
        {{0x04, 0x82, 0x01}, -1, 0, 0},           // length bytes cut short
        {{0x04, 0x03, 0xaa, 0xbb}, -1, 0, 0},     // contents past the end
        {{0x1f, 0x01, 0xaa}, -1, 0, 0},           // multi-byte identifier
        {{0x30}, -1, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in.size());
        vl2_rd r = {c.in.data(), c.in.size(), 0, 0};
        uint8_t tag = 0;
        size_t len = 0;
        ASSERT_EQ(c.rc, rd_der(&r, &tag, &len));
        EXPECT_EQ(c.rc != 0, r.bad != 0);
        if (c.rc) continue;
        EXPECT_EQ(c.tag, tag);
        EXPECT_EQ(c.len, len);
        vl2_rd in = rd_sub(&r, len);
        EXPECT_EQ(len, rd_left(&in));
        rd_skip(&in, len + 1);
        EXPECT_EQ(1, in.bad);
        EXPECT_EQ(r.pos + len, in.pos);
    }
}

}  // namespace
