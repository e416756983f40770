#include "cfg/cfg.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct AllowTest : ::testing::Test {
    void SetUp() override { vl2_cfg_reset_for_tests(); }
    void TearDown() override { vl2_cfg_reset_for_tests(); }
};

int allowed(const char *text)
{
    vl2_ip ip;
    EXPECT_EQ(0, vl2_ip_parse(text, &ip)) << text;
    return vl2_client_allowed(&ip);
}

TEST_F(AllowTest, EmptyListAdmitsOnlyLoopback)
{
    EXPECT_EQ(1, allowed("127.0.0.1"));
    EXPECT_EQ(1, allowed("127.200.1.9"));
    EXPECT_EQ(1, allowed("::1"));
    EXPECT_EQ(1, allowed("::ffff:127.0.0.1"));
    EXPECT_EQ(0, allowed("192.0.2.1"));
    EXPECT_EQ(0, allowed("2001:db8::1"));
    EXPECT_EQ(0, vl2_client_allowed(nullptr));
}

TEST_F(AllowTest, PrefixesAdmitTheirAddressesOnly)
{
    ASSERT_EQ(0, vlsmb2s_allow_cidr("192.0.2.0/24"));
    EXPECT_EQ(1, allowed("192.0.2.1"));
    EXPECT_EQ(1, allowed("::ffff:192.0.2.77"));
    EXPECT_EQ(0, allowed("192.0.3.1"));
    // An IPv4 prefix never matches IPv6 clients and the other way round.
    EXPECT_EQ(0, allowed("::c000:201"));
    ASSERT_EQ(0, vlsmb2s_allow_cidr("2001:db8::/32"));
    EXPECT_EQ(1, allowed("2001:db8:1::5"));
    EXPECT_EQ(0, allowed("2001:db9::5"));
    ASSERT_EQ(0, vlsmb2s_allow_cidr("0.0.0.0/0"));
    EXPECT_EQ(1, allowed("198.51.100.1"));
    EXPECT_EQ(0, allowed("fe80::1"));
}

TEST_F(AllowTest, DuplicatesAndCapacity)
{
    // 10.1.2.3/8 is stored as 10.0.0.0/8, so both texts are one entry.
    ASSERT_EQ(0, vlsmb2s_allow_cidr("10.1.2.3/8"));
    ASSERT_EQ(0, vlsmb2s_allow_cidr("10.0.0.0/8"));
    ASSERT_EQ(0, vlsmb2s_allow_cidr("10.0.0.0/8"));
    char text[32];
    for (int i = 1; i < 64; i++) {
        snprintf(text, sizeof text, "172.16.%d.0/24", i);
        ASSERT_EQ(0, vlsmb2s_allow_cidr(text)) << text;
    }
    EXPECT_EQ(-6, vlsmb2s_allow_cidr("198.51.100.0/24"));
    EXPECT_STREQ("allow_cidr: 64 CIDRs", vlsmb2s_last_error());
    EXPECT_EQ(0, vlsmb2s_allow_cidr("10.9.9.9/8"));  // already present
    EXPECT_EQ(1, allowed("172.16.63.4"));
    EXPECT_EQ(0, allowed("198.51.100.1"));
}

TEST_F(AllowTest, BadTexts)
{
    EXPECT_EQ(-1, vlsmb2s_allow_cidr(nullptr));
    EXPECT_STREQ("allow_cidr: empty CIDR", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_allow_cidr(""));
    EXPECT_STREQ("allow_cidr: empty CIDR", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_allow_cidr("10.0.0.0/33"));
    EXPECT_STREQ("allow_cidr: 10.0.0.0/33 is not a CIDR", vlsmb2s_last_error());
    std::string junk(100, 'z');
    EXPECT_EQ(-1, vlsmb2s_allow_cidr(junk.c_str()));
    EXPECT_EQ("allow_cidr: " + std::string(64, 'z') + " is not a CIDR", vlsmb2s_last_error());
    EXPECT_EQ(0, allowed("10.0.0.1"));
}

}  // namespace
