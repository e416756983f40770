#include "cfg/cfg.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A scratch tree: a folder, a regular file inside it and a FIFO.
struct SharesTest : ::testing::Test {
    std::string root, dir, file, fifo;

    void SetUp() override
    {
        vl2_cfg_reset_for_tests();
        char tmpl[] = "/tmp/vl2cfgXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        char real[PATH_MAX];
        ASSERT_NE(nullptr, realpath(tmpl, real));
        root = real;
        dir = root + "/docs";
        file = dir + "/a.txt";
        fifo = root + "/pipe";
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
        FILE *f = fopen(file.c_str(), "w");
        ASSERT_NE(nullptr, f);
        fputs("x", f);
        fclose(f);
        ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    }
    void TearDown() override
    {
        vl2_cfg_reset_for_tests();
        unlink(file.c_str());
        unlink(fifo.c_str());
        rmdir(dir.c_str());
        rmdir(root.c_str());
    }
};

TEST_F(SharesTest, AddedShareIsFoundAsCanonicalCopy)
{
    // A path with a "." step and a doubled slash is stored canonical.
    std::string messy = root + "/./docs//";
    ASSERT_EQ(0, vlsmb2s_add_share("Docs", messy.c_str()));
    ASSERT_EQ(0, vlsmb2s_add_share("one", file.c_str()));
    vl2_share s;
    ASSERT_EQ(0, vl2_share_find("DOCS", &s));
    EXPECT_STREQ("Docs", s.name);
    EXPECT_EQ(dir, s.path);
    EXPECT_EQ(0, s.single_file);
    ASSERT_EQ(0, vl2_share_find("one", &s));
    EXPECT_EQ(file, s.path);
    EXPECT_EQ(1, s.single_file);
    EXPECT_EQ(-1, vl2_share_find("nope", &s));
    EXPECT_EQ('\0', s.name[0]);
    EXPECT_EQ(0, vl2_share_find("docs", nullptr));
}

TEST_F(SharesTest, DuplicateNamesIgnoreCase)
{
    ASSERT_EQ(0, vlsmb2s_add_share("Docs", dir.c_str()));
    EXPECT_EQ(-3, vlsmb2s_add_share("docs", dir.c_str()));
    EXPECT_STREQ("add_share: docs exists", vlsmb2s_last_error());
}

TEST_F(SharesTest, NameRules)
{
    struct {
        std::string name;
        int rc;
    } rows[] = {
        {std::string(80, 'n'), 0},
        {std::string(81, 'n'), -1},
        {"", -1},
        {".", -1},
        {"..", -1},
        {"a:b", -1},
        {"a/b", -1},
        {"a\\b", -1},
        {"tab\there", -1},
        {"del\x7f", -1},
        {"...", 0},
        {"a b!#$%&'()", 0},
        {"caf\xc3\xa9", 0},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.name);
        int rc = vlsmb2s_add_share(r.name.c_str(), dir.c_str());
        EXPECT_EQ(r.rc, rc);
        if (r.rc == -1 && !r.name.empty()) {
            EXPECT_STREQ("add_share: invalid share name", vlsmb2s_last_error());
        }
    }
    EXPECT_EQ(-1, vlsmb2s_add_share("", dir.c_str()));
}

TEST_F(SharesTest, ArgumentAndPathFailures)
{
    EXPECT_EQ(-1, vlsmb2s_add_share(nullptr, dir.c_str()));
    EXPECT_STREQ("add_share: NULL or empty argument", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_add_share("x", nullptr));
    EXPECT_EQ(-1, vlsmb2s_add_share("x", ""));
    EXPECT_STREQ("add_share: NULL or empty argument", vlsmb2s_last_error());

    std::string longpath(1025, 'p');
    EXPECT_EQ(-1, vlsmb2s_add_share("x", longpath.c_str()));
    EXPECT_STREQ("add_share: path too long", vlsmb2s_last_error());

    EXPECT_EQ(-3, vlsmb2s_add_share("IPC$", dir.c_str()));
    EXPECT_STREQ("add_share: IPC$ is built in", vlsmb2s_last_error());

    std::string missing = root + "/missing/../docs";
    EXPECT_EQ(-2, vlsmb2s_add_share("x", missing.c_str()));
    EXPECT_EQ("add_share: " + missing + " does not exist", vlsmb2s_last_error());

    EXPECT_EQ(-1, vlsmb2s_add_share("x", fifo.c_str()));
    EXPECT_EQ("add_share: " + fifo + " is neither a folder nor a regular file", vlsmb2s_last_error());

    vl2_share *list;
    int n;
    ASSERT_EQ(0, vl2_share_list(&list, &n));
    EXPECT_EQ(1, n);
    free(list);
}

TEST_F(SharesTest, LowerCaseIpcIsStoredButShadowedByBuiltIn)
{
    ASSERT_EQ(0, vlsmb2s_add_share("ipc$", dir.c_str()));
    vl2_share s;
    ASSERT_EQ(0, vl2_share_find("ipc$", &s));
    EXPECT_STREQ("IPC$", s.name);
    EXPECT_EQ('\0', s.path[0]);
    vl2_share *list;
    int n;
    ASSERT_EQ(0, vl2_share_list(&list, &n));
    ASSERT_EQ(2, n);
    EXPECT_STREQ("IPC$", list[0].name);
    EXPECT_STREQ("ipc$", list[1].name);
    free(list);
    EXPECT_EQ(-1, vlsmb2s_remove_share("IPC$"));
    EXPECT_STREQ("remove_share: IPC$ is built in", vlsmb2s_last_error());
    EXPECT_EQ(0, vlsmb2s_remove_share("ipc$"));
}

TEST_F(SharesTest, ListIsIpcThenCaseInsensitiveOrder)
{
    for (const char *n : {"b", "A", "c"}) ASSERT_EQ(0, vlsmb2s_add_share(n, dir.c_str()));
    vl2_share *list;
    int n;
    ASSERT_EQ(0, vl2_share_list(&list, &n));
    ASSERT_EQ(4, n);
    const char *want[] = {"IPC$", "A", "b", "c"};
    for (int i = 0; i < 4; i++) EXPECT_STREQ(want[i], list[i].name);
    EXPECT_EQ('\0', list[0].path[0]);
    // The list is a copy: removing a share does not change it.
    ASSERT_EQ(0, vlsmb2s_remove_share("A"));
    EXPECT_STREQ("A", list[1].name);
    free(list);
}

TEST_F(SharesTest, RemoveKeepsOrderAndReportsMissing)
{
    for (const char *n : {"s1", "s2", "s3"}) ASSERT_EQ(0, vlsmb2s_add_share(n, dir.c_str()));
    EXPECT_EQ(0, vlsmb2s_remove_share("S2"));
    EXPECT_EQ(-1, vl2_share_find("s2", nullptr));
    EXPECT_EQ(0, vl2_share_find("s3", nullptr));
    EXPECT_EQ(-2, vlsmb2s_remove_share("s2"));
    EXPECT_STREQ("remove_share: no share s2", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_remove_share(nullptr));
    EXPECT_STREQ("remove_share: NULL name", vlsmb2s_last_error());
    // The freed slot can be used again.
    EXPECT_EQ(0, vlsmb2s_add_share("s2", dir.c_str()));
}

TEST_F(SharesTest, TableHoldsTwoHundredFiftySixShares)
{
    char name[16];
    for (int i = 0; i < 256; i++) {
        snprintf(name, sizeof name, "s%d", i);
        ASSERT_EQ(0, vlsmb2s_add_share(name, dir.c_str())) << name;
    }
    EXPECT_EQ(-6, vlsmb2s_add_share("full", dir.c_str()));
    EXPECT_STREQ("add_share: 256 shares", vlsmb2s_last_error());
    // A duplicate is still reported as such when the table is full.
    EXPECT_EQ(-3, vlsmb2s_add_share("s0", dir.c_str()));
    ASSERT_EQ(0, vlsmb2s_remove_share("s100"));
    EXPECT_EQ(0, vlsmb2s_add_share("full", dir.c_str()));
}

TEST_F(SharesTest, TraceLinesWhenRequested)
{
    setenv("VLSMB2S_TRACE", "", 1);
    testing::internal::CaptureStderr();
    int rc = vlsmb2s_add_share("T", dir.c_str());
    vlsmb2s_add_share(nullptr, nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("VLSMB2S_TRACE");
    ASSERT_EQ(0, rc);
    EXPECT_EQ("[cfg] add_share('T', '" + dir + "')\n[cfg] share 'T' -> " + dir +
                  " added (nshares=1)\n[cfg] add_share('(null)', '(null)')\n",
              err);
    testing::internal::CaptureStderr();
    vlsmb2s_add_share("U", dir.c_str());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

}  // namespace
