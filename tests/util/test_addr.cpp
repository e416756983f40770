#include "util/util.h"
#include "util/guard_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string fmt(const vl2_ip &ip)
{
    char t[64];
    vl2_ip_format(&ip, t, sizeof t);
    return t;
}

}  // namespace

TEST(IpParse, Table)
{
    struct {
        const char *in;
        int family;  // 0: must fail
        const char *formatted;
    } cases[] = {
        {"127.0.0.1", 4, "127.0.0.1"},
        {"0.0.0.0", 4, "0.0.0.0"},
        {"255.255.255.255", 4, "255.255.255.255"},
        {"001.002.003.004", 4, "1.2.3.4"},
        {"010.0.0.1", 4, "10.0.0.1"},
        {"256.1.1.1", 0, nullptr},
        {"1.2.3", 0, nullptr},
        {"1.2.3.4.5", 0, nullptr},
        {"1..2.3", 0, nullptr},
        {"1.2.3.4 ", 0, nullptr},
        {" 1.2.3.4", 0, nullptr},
        {"+1.2.3.4", 0, nullptr},
        {"0001.2.3.4", 0, nullptr},
        {"1.2.3.4%x", 4, "1.2.3.4"},
        {"[::1]", 6, "::1"},
        {"[1.2.3.4]", 4, "1.2.3.4"},
        {"[", 0, nullptr},
        {"[]", 0, nullptr},
        {"fe80::1%eth0", 6, "fe80::1"},
        {"[fe80::1%eth0]", 6, "fe80::1"},
        {"%eth0", 0, nullptr},
        {"", 0, nullptr},
        {"::", 6, "::"},
        {"::ffff:192.0.2.1", 4, "192.0.2.1"},
        {"::FFFF:c000:0201", 4, "192.0.2.1"},
        {"::192.0.2.1", 6, "::c000:201"},
        {"1:2:3:4:5:6:1.2.3.4", 6, "1:2:3:4:5:6:102:304"},
        {"1:2:3:4:5:6:7:1.2.3.4", 0, nullptr},
        {"1:2:3:4:5::1.2.3.4", 6, "1:2:3:4:5:0:102:304"},
        {"1.2.3.4::", 0, nullptr},
        {"1:2:3:4:5:6:7:8", 6, "1:2:3:4:5:6:7:8"},
        {"1:2:3:4:5:6:7", 0, nullptr},
        {"1:2:3:4:5:6:7:8:9", 0, nullptr},
        {"1::2::3", 0, nullptr},
        {"12345::1", 0, nullptr},
        {":1::2", 0, nullptr},
        {"1::2:", 0, nullptr},
        {":", 0, nullptr},
        {":::", 0, nullptr},
        {"1:::2", 0, nullptr},
        {"1:2:3:4:5:6:7::", 6, "1:2:3:4:5:6:7:0"},
        {"::2:3:4:5:6:7:8", 6, "0:2:3:4:5:6:7:8"},
        {"1:2:3:4:5:6:7:8::", 0, nullptr},
        {"::1:2:3:4:5:6:7:8", 0, nullptr},
        {"ABCD:ef01::", 6, "abcd:ef01::"},
        {"g::1", 0, nullptr},
        {"1:2:3:4:5:6:7:8%zone-with-a-long-name-that-is-cut-off-anyway-0123456789", 6, "1:2:3:4:5:6:7:8"},
        {"0000:0000:0000:0000:0000:0000:0000:0001", 6, "::1"},
        {"1111:2222:3333:4444:5555:6666:123.123.123.12", 6, "1111:2222:3333:4444:5555:6666:7b7b:7b0c"},
    };
    for (auto &c : cases) {
        vl2_ip ip;
        memset(&ip, 0xaa, sizeof ip);
        int rc = vl2_ip_parse(c.in, &ip);
        if (!c.family) {
            EXPECT_EQ(rc, -1) << c.in;
            EXPECT_EQ(ip.family, 0) << "output is zeroed first: " << c.in;
            continue;
        }
        ASSERT_EQ(rc, 0) << c.in;
        EXPECT_EQ(ip.family, c.family) << c.in;
        EXPECT_EQ(fmt(ip), c.formatted) << c.in;
        if (ip.family == 4) {
            for (int k = 4; k < 16; k++) EXPECT_EQ(ip.addr[k], 0) << c.in;
        }
    }
    vl2_ip ip;
    EXPECT_EQ(vl2_ip_parse(nullptr, &ip), -1);
    // 45 characters is the longest text; one more fails before any parsing.
    std::string t45 = "1111:2222:3333:4444:5555:6666:123.123.123.123";
    ASSERT_EQ(t45.size(), 45u);
    EXPECT_EQ(vl2_ip_parse(t45.c_str(), &ip), 0);
    EXPECT_EQ(vl2_ip_parse(("0" + t45).c_str(), &ip), -1);
}

TEST(IpFormat, ZeroRuns)
{
    struct {
        std::vector<uint16_t> groups;
        const char *want;
    } cases[] = {
        {{1, 0, 0, 2, 0, 0, 0, 3}, "1:0:0:2::3"},
        {{1, 0, 0, 2, 0, 0, 3, 4}, "1::2:0:0:3:4"},
        {{1, 0, 2, 3, 4, 5, 6, 7}, "1:0:2:3:4:5:6:7"},
        {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, "2001:db8::1:0:0:1"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
        {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
        {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
        {{0, 1, 0, 1, 0, 1, 0, 1}, "0:1:0:1:0:1:0:1"},
        {{0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (auto &c : cases) {
        vl2_ip ip{};
        ip.family = 6;
        for (int k = 0; k < 8; k++) {
            ip.addr[2 * k] = (uint8_t)(c.groups[k] >> 8);
            ip.addr[2 * k + 1] = (uint8_t)c.groups[k];
        }
        EXPECT_EQ(fmt(ip), c.want);
    }
    vl2_ip ip{};
    vl2_ip_parse("192.168.100.200", &ip);
    char small[8];
    vl2_ip_format(&ip, small, sizeof small);
    EXPECT_STREQ(small, "192.168");
}

TEST(Ip, EqualAndLoopback)
{
    vl2_ip a, b;
    vl2_ip_parse("::ffff:127.0.0.9", &a);
    vl2_ip_parse("127.0.0.9", &b);
    EXPECT_EQ(vl2_ip_equal(&a, &b), 1);
    EXPECT_EQ(vl2_ip_is_loopback(&a), 1);
    vl2_ip_parse("::1", &b);
    EXPECT_EQ(vl2_ip_equal(&a, &b), 0);
    EXPECT_EQ(vl2_ip_is_loopback(&b), 1);
    vl2_ip_parse("::2", &b);
    EXPECT_EQ(vl2_ip_is_loopback(&b), 0);
    vl2_ip_parse("128.0.0.1", &b);
    EXPECT_EQ(vl2_ip_is_loopback(&b), 0);
}

TEST(Cidr, ParseTable)
{
    struct {
        const char *in;
        int prefix;  // -1: must fail
        const char *net;
    } cases[] = {
        {"10.1.2.3/8", 8, "10.0.0.0"},
        {"10.1.2.3", 32, "10.1.2.3"},
        {"192.168.1.200/25", 25, "192.168.1.128"},
        {"0.0.0.0/0", 0, "0.0.0.0"},
        {"1.2.3.4/32", 32, "1.2.3.4"},
        {"1.2.3.4/33", -1, nullptr},
        {"1.2.3.4/0129", -1, nullptr},
        {"1.2.3.4/", -1, nullptr},
        {"1.2.3.4/-1", -1, nullptr},
        {"1.2.3.4/8/8", -1, nullptr},
        {"1.2.3.4/ 8", -1, nullptr},
        {"/8", -1, nullptr},
        {"::ffff:10.9.9.9/104", 8, "10.0.0.0"},
        {"::ffff:10.9.9.9", 32, "10.9.9.9"},
        {"::ffff:10.9.9.9/95", -1, nullptr},
        {"::ffff:10.9.9.9/129", -1, nullptr},
        {"2001:db8:ffff::1/33", 33, "2001:db8:8000::"},
        {"::1/128", 128, "::1"},
        {"::/0", 0, "::"},
        {"[fe80::1]/10", 10, "fe80::"},
        {"fe80::1%eth0/64", 64, "fe80::"},
        {"::1/129", -1, nullptr},
    };
    for (auto &c : cases) {
        vl2_cidr cidr;
        int rc = vl2_cidr_parse(c.in, &cidr);
        if (c.prefix < 0) {
            EXPECT_EQ(rc, -1) << c.in;
            continue;
        }
        ASSERT_EQ(rc, 0) << c.in;
        EXPECT_EQ(cidr.prefix, c.prefix) << c.in;
        EXPECT_EQ(fmt(cidr.ip), c.net) << c.in;
    }
    vl2_cidr cidr;
    EXPECT_EQ(vl2_cidr_parse(nullptr, &cidr), -1);
    std::string long_addr = std::string(64, '1') + "/8";
    EXPECT_EQ(vl2_cidr_parse(long_addr.c_str(), &cidr), -1);
}

TEST(Cidr, MatchTable)
{
    struct {
        const char *cidr, *ip;
        int want;
    } cases[] = {
        {"10.0.0.0/8", "10.255.1.2", 1},
        {"10.0.0.0/8", "11.0.0.1", 0},
        {"192.168.1.0/25", "192.168.1.127", 1},
        {"192.168.1.0/25", "192.168.1.128", 0},
        {"0.0.0.0/0", "203.0.113.9", 1},
        {"0.0.0.0/0", "::1", 0},
        {"::/0", "10.0.0.1", 0},
        {"::/0", "2001:db8::1", 1},
        {"::ffff:10.0.0.0/104", "10.1.1.1", 1},
        {"10.0.0.0/8", "::ffff:10.1.1.1", 1},
        {"2001:db8::/33", "2001:db8:7fff::1", 1},
        {"2001:db8::/33", "2001:db8:8000::1", 0},
        {"1.2.3.4", "1.2.3.4", 1},
        {"1.2.3.4", "1.2.3.5", 0},
    };
    for (auto &c : cases) {
        vl2_cidr cidr;
        vl2_ip ip;
        ASSERT_EQ(vl2_cidr_parse(c.cidr, &cidr), 0) << c.cidr;
        ASSERT_EQ(vl2_ip_parse(c.ip, &ip), 0) << c.ip;
        EXPECT_EQ(vl2_cidr_match(&cidr, &ip), c.want) << c.cidr << " " << c.ip;
    }
}

TEST(Hex, DecodeTable)
{
    struct {
        const char *in;
        int rc;
        std::vector<uint8_t> out;
    } cases[] = {
        {"", 0, {}},        {"0a 0B", 0, {0x0a, 0x0b}},
        {"0 a", 0, {0x0a}}, {"\r\n\tff\n00 \n", 0, {0xff, 0x00}},
        {"abc", -1, {}},    {"zz", -1, {}},
        {"0x00", -1, {}},   {"  ", 0, {}},
    };
    for (auto &c : cases) {
        uint8_t out[16];
        size_t n = 99;
        EXPECT_EQ(vl2_hex_decode(c.in, strlen(c.in), out, sizeof out, &n), c.rc) << c.in;
        if (c.rc == 0)
            EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.out) << c.in;
        else
            EXPECT_EQ(n, 0u) << c.in;
    }
    uint8_t two[2];
    size_t n = 99;
    EXPECT_EQ(vl2_hex_decode("010203", 6, two, sizeof two, &n), -1);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(vl2_hex_decode("010203", 6, nullptr, 0, &n), 0);
    EXPECT_EQ(n, 3u);
    // The length bounds the text: an embedded NUL is an ordinary bad byte.
    EXPECT_EQ(vl2_hex_decode("01\0"
                             "02",
                             5, nullptr, 0, &n),
              -1);
    EXPECT_EQ(vl2_hex_decode("0102", 2, two, 1, nullptr), 0);
}

TEST(Hex, DecodeNeverReadsPastTheText)
{
    guard_page g;
    ASSERT_NE(g.base, nullptr);
    struct {
        const char *in;
        int rc;
    } cases[] = {{"0a0b", 0}, {"0a0", -1}, {"0a \n", 0}, {"0", -1}};
    for (auto &c : cases) {
        const char *at = (const char *)g.place(c.in, strlen(c.in));
        size_t n;
        EXPECT_EQ(vl2_hex_decode(at, strlen(c.in), nullptr, 0, &n), c.rc) << c.in;
    }
}

TEST(Hex, Encode)
{
    vl2_buf b{};
    vl2_buf_str(&b, ">");
    const uint8_t bytes[] = {0x00, 0xab, 0xff};
    vl2_hex_encode(bytes, 3, &b);
    EXPECT_STREQ((char *)b.data, ">00abff");
    vl2_hex_encode(bytes, 0, &b);
    EXPECT_EQ(b.len, 7u);
    std::vector<uint8_t> big(1000);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)i;
    vl2_hex_encode(big.data(), big.size(), &b);
    size_t n = 0;
    std::vector<uint8_t> back(1000);
    ASSERT_EQ(vl2_hex_decode((char *)b.data + 7, b.len - 7, back.data(), back.size(), &n), 0);
    EXPECT_EQ(back, big);
    vl2_buf_free(&b);
}

TEST(Escape, ControlCharactersAndBackslashCannotForgeALine)
{
    char out[64];
    EXPECT_EQ(vl2_escape("al\nice\\[vlsmb2s 1]\x7f", out, sizeof out), 28u);
    EXPECT_STREQ(out, "al\\x0aice\\x5c[vlsmb2s 1]\\x7f");
    // Cut only at a whole escape.
    EXPECT_EQ(vl2_escape("ab\ncd", out, 5), 2u);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(vl2_escape(nullptr, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}
