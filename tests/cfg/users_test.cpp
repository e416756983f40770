#include "cfg/cfg.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct UsersTest : ::testing::Test {
    void SetUp() override { vl2_cfg_reset_for_tests(); }
    void TearDown() override { vl2_cfg_reset_for_tests(); }

    // Every account as "name:password", in table order.
    static std::vector<std::string> all()
    {
        std::vector<std::string> v;
        char n[129], p[257];
        for (int i = 0; vl2_user_at(i, n, sizeof n, p, sizeof p) == 0; i++) v.push_back(std::string(n) + ":" + p);
        return v;
    }
};

using list = std::vector<std::string>;

TEST_F(UsersTest, ReAddReplacesPasswordInPlaceCaseSensitively)
{
    ASSERT_EQ(0, vlsmb2s_add_user("alice", "a very long first password"));
    ASSERT_EQ(0, vlsmb2s_add_user("bob", "b"));
    ASSERT_EQ(0, vlsmb2s_add_user("alice", "new"));
    ASSERT_EQ(0, vlsmb2s_add_user("Alice", "other"));
    EXPECT_EQ((list{"alice:new", "bob:b", "Alice:other"}), all());
}

TEST_F(UsersTest, NonAsciiNamesAreStoredAsGiven)
{
    const char *name = "J\xc3\xb6rg \xe6\x9d\x8e";  // "Jörg 李"
    ASSERT_EQ(0, vlsmb2s_add_user(name, "p\xc3\xa4ss"));
    EXPECT_EQ((list{std::string(name) + ":p\xc3\xa4ss"}), all());
    EXPECT_EQ(0, vlsmb2s_remove_user(name));
}

TEST_F(UsersTest, NameAndPasswordRules)
{
    struct {
        std::string user, pass;
        int rc;
        const char *msg;
    } rows[] = {
        {std::string(128, 'u'), "", 0, nullptr},
        {"emptypw", "", 0, nullptr},
        {"spaces ok", "p w", 0, nullptr},
        {std::string(129, 'u'), "x", -1, "add_user: user must be 1..128 printable bytes"},
        {"", "x", -1, "add_user: user must be 1..128 printable bytes"},
        {"a\tb", "x", -1, "add_user: user must be 1..128 printable bytes"},
        {"a\x7f", "x", -1, "add_user: user must be 1..128 printable bytes"},
        {"DOM\\bob", "x", -1, "add_user: the user name carries no domain (the domain is ignored)"},
        {"dom/bob", "x", -1, "add_user: the user name carries no domain (the domain is ignored)"},
        {"p256", std::string(256, 'p'), 0, nullptr},
        {"p257", std::string(257, 'p'), -1, "add_user: password must be 0..256 printable bytes"},
        {"pctl", "a\nb", -1, "add_user: password must be 0..256 printable bytes"},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.user);
        EXPECT_EQ(r.rc, vlsmb2s_add_user(r.user.c_str(), r.pass.c_str()));
        if (r.msg) {
            EXPECT_STREQ(r.msg, vlsmb2s_last_error());
        }
    }
    EXPECT_EQ(4u, all().size());
    EXPECT_EQ(-1, vlsmb2s_add_user(nullptr, "x"));
    EXPECT_STREQ("add_user: NULL argument", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_add_user("x", nullptr));
}

TEST_F(UsersTest, RemoveMovesLaterAccountsDown)
{
    for (const char *u : {"u1", "u2", "u3"}) ASSERT_EQ(0, vlsmb2s_add_user(u, u));
    EXPECT_EQ(0, vlsmb2s_remove_user("u1"));
    EXPECT_EQ((list{"u2:u2", "u3:u3"}), all());
    EXPECT_EQ(-2, vlsmb2s_remove_user("U2"));
    EXPECT_STREQ("remove_user: no such user", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_remove_user(nullptr));
    EXPECT_STREQ("remove_user: NULL user", vlsmb2s_last_error());
}

TEST_F(UsersTest, UserAtCutsAndRefusesBadArguments)
{
    ASSERT_EQ(0, vlsmb2s_add_user("longname", "longpassword"));
    char n[5], p[3];
    ASSERT_EQ(0, vl2_user_at(0, n, sizeof n, p, sizeof p));
    EXPECT_STREQ("long", n);
    EXPECT_STREQ("lo", p);
    char big[300];
    EXPECT_EQ(1, vl2_user_at(1, big, sizeof big, big, sizeof big));
    EXPECT_EQ(1, vl2_user_at(-1, big, sizeof big, big, sizeof big));
    EXPECT_EQ(1, vl2_user_at(0, nullptr, 10, big, sizeof big));
    EXPECT_EQ(1, vl2_user_at(0, big, sizeof big, nullptr, 10));
    EXPECT_EQ(1, vl2_user_at(0, big, 0, big, sizeof big));
}

TEST_F(UsersTest, TableHoldsTwoHundredFiftySixAccounts)
{
    char name[16];
    for (int i = 0; i < 256; i++) {
        snprintf(name, sizeof name, "u%d", i);
        ASSERT_EQ(0, vlsmb2s_add_user(name, "p"));
    }
    EXPECT_EQ(-6, vlsmb2s_add_user("one_more", "p"));
    EXPECT_STREQ("add_user: 256 users", vlsmb2s_last_error());
    // Changing an existing account's password still works when full.
    EXPECT_EQ(0, vlsmb2s_add_user("u7", "q"));
}

TEST_F(UsersTest, GuestPolicy)
{
    // auto: guests only while no account exists.
    EXPECT_EQ(1, vl2_guest_allowed());
    ASSERT_EQ(0, vlsmb2s_add_user("alice", "pw"));
    EXPECT_EQ(0, vl2_guest_allowed());
    ASSERT_EQ(0, vlsmb2s_remove_user("alice"));
    EXPECT_EQ(1, vl2_guest_allowed());

    ASSERT_EQ(0, vlsmb2s_add_user("alice", "pw"));
    ASSERT_EQ(0, vlsmb2s_set_option("guest", "on"));
    EXPECT_EQ(1, vl2_guest_allowed());
    ASSERT_EQ(0, vlsmb2s_remove_user("alice"));
    ASSERT_EQ(0, vlsmb2s_set_option("guest", "off"));
    EXPECT_EQ(0, vl2_guest_allowed());
}

}  // namespace
