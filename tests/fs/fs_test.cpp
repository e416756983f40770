#include "fs/fs.h"

#include "fs/tmptree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <set>
#include <string>

namespace {

// A call that blocks on a FIFO would hang the whole run; fail loudly instead.
struct watchdog {
    watchdog() { alarm(30); }
    ~watchdog() { alarm(0); }
};

TEST(FsStat, KindsWithAndWithoutFollowingLinks)
{
    tmptree t;
    ASSERT_TRUE(t.file("f", "hello"));
    ASSERT_TRUE(t.dir("d"));
    ASSERT_TRUE(t.file("d/inner", "x"));
    ASSERT_TRUE(t.link("d", "ld"));
    ASSERT_TRUE(t.link("f", "lf"));
    ASSERT_TRUE(t.link("missing", "dangling"));
    ASSERT_TRUE(t.fifo("p"));
    ASSERT_TRUE(t.sock("s"));

    struct row {
        const char *name;
        int stat_kind;  // -1: the call fails
        int lstat_kind;
        uint64_t size;  // checked after vl2_fs_stat
    } rows[] = {
        {"f", VL2_K_FILE, VL2_K_FILE, 5},   {"d", VL2_K_DIR, VL2_K_DIR, 0},  {"ld", VL2_K_DIR, VL2_K_LINK, 0},
        {"lf", VL2_K_FILE, VL2_K_LINK, 5},  {"dangling", -1, VL2_K_LINK, 0}, {"p", VL2_K_OTHER, VL2_K_OTHER, 0},
        {"s", VL2_K_OTHER, VL2_K_OTHER, 0}, {"nothing", -1, -1, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string p = t.at(r.name);
        vl2_fstat st;
        if (r.stat_kind < 0) {
            EXPECT_EQ(vl2_fs_stat(p.c_str(), &st), -1);
        } else {
            ASSERT_EQ(vl2_fs_stat(p.c_str(), &st), 0);
            EXPECT_EQ(st.kind, r.stat_kind);
            EXPECT_EQ(st.size, r.size);
            struct stat h;
            ASSERT_EQ(stat(p.c_str(), &h), 0);
            EXPECT_EQ(st.ino, (uint64_t)h.st_ino);
            EXPECT_EQ(st.dev, (uint64_t)h.st_dev);
        }
        if (r.lstat_kind < 0) {
            EXPECT_EQ(vl2_fs_lstat(p.c_str(), &st), -1);
        } else {
            ASSERT_EQ(vl2_fs_lstat(p.c_str(), &st), 0);
            EXPECT_EQ(st.kind, r.lstat_kind);
            struct stat h;
            ASSERT_EQ(lstat(p.c_str(), &h), 0);
            EXPECT_EQ(st.ino, (uint64_t)h.st_ino);
        }
    }

    vl2_fstat st;
    ASSERT_EQ(vl2_fs_stat("/dev/null", &st), 0);
    EXPECT_EQ(st.kind, VL2_K_OTHER);
}

TEST(FsStat, InvalidUtf8PathFailsEvenWhenTheHostHasIt)
{
    tmptree t;
    const char *bad[] = {"\xff", "\xc0\xaf", "\xed\xa0\x80", "a\xe2\x82"};
    for (const char *b : bad) {
        ASSERT_TRUE(t.file(b));
        vl2_fstat st;
        char out[256];
        EXPECT_EQ(vl2_fs_stat(t.at(b).c_str(), &st), -1);
        EXPECT_EQ(vl2_fs_lstat(t.at(b).c_str(), &st), -1);
        EXPECT_EQ(vl2_fs_realpath(t.at(b).c_str(), out, sizeof out), -1);
        EXPECT_EQ(vl2_fs_open_ro(t.at(b).c_str(), nullptr), nullptr);
    }
    ASSERT_TRUE(t.file("caf\xc3\xa9 \xf0\x9f\x98\x80"));
    vl2_fstat st;
    EXPECT_EQ(vl2_fs_stat(t.at("caf\xc3\xa9 \xf0\x9f\x98\x80").c_str(), &st), 0);
}

TEST(FsStat, WholeSecondTimesIncludingBefore1970)
{
    tmptree t;
    ASSERT_TRUE(t.file("old"));
    ASSERT_TRUE(t.file("epoch"));
    struct timespec ts[2] = {{-86400 * 365, 999999999}, {-1000, 500000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, t.at("old").c_str(), ts, 0), 0);
    struct timespec zero[2] = {{0, 0}, {0, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, t.at("epoch").c_str(), zero, 0), 0);

    vl2_fstat st;
    ASSERT_EQ(vl2_fs_stat(t.at("old").c_str(), &st), 0);
    EXPECT_EQ(st.atime, -86400 * 365);
    EXPECT_EQ(st.mtime, -1000);
    // Birth time (now) where the file system keeps one, else the mtime.
    EXPECT_TRUE(st.crtime > 0 || st.crtime == st.mtime) << st.crtime;
    ASSERT_EQ(vl2_fs_stat(t.at("epoch").c_str(), &st), 0);
    EXPECT_EQ(st.mtime, 0);
    EXPECT_EQ(st.atime, 0);
}

TEST(FsRealpath, ResolvesLinksAndNeedsRoomForTheTerminator)
{
    tmptree t;
    ASSERT_TRUE(t.dir("real"));
    ASSERT_TRUE(t.file("real/f"));
    ASSERT_TRUE(t.link("real", "via"));
    std::string want = t.at("real/f");
    char out[PATH_MAX];
    ASSERT_EQ(vl2_fs_realpath(t.at("via/./f").c_str(), out, sizeof out), 0);
    EXPECT_EQ(want, out);
    EXPECT_EQ(vl2_fs_realpath(t.at("via/f").c_str(), out, (int)want.size()), -1);
    ASSERT_EQ(vl2_fs_realpath(t.at("via/f").c_str(), out, (int)want.size() + 1), 0);
    EXPECT_EQ(want, out);
    EXPECT_EQ(vl2_fs_realpath(t.at("via/none").c_str(), out, sizeof out), -1);
    EXPECT_EQ(vl2_fs_sep(), '/');
}

TEST(FsRealstat, FollowsToTheObjectWithoutBlocking)
{
    watchdog w;
    tmptree t;
    ASSERT_TRUE(t.dir("d"));
    ASSERT_TRUE(t.file("d/f", "abc"));
    ASSERT_TRUE(t.fifo("d/p"));
    ASSERT_TRUE(t.link("d/f", "lf"));
    char real[PATH_MAX];
    vl2_fstat st;
    ASSERT_EQ(vl2_fs_realstat(t.at("lf").c_str(), real, sizeof real, &st), 0);
    EXPECT_EQ(t.at("d/f"), real);
    EXPECT_EQ(st.kind, VL2_K_FILE);
    EXPECT_EQ(st.size, 3u);
    ASSERT_EQ(vl2_fs_realstat(t.at("d/p").c_str(), real, sizeof real, &st), 0);
    EXPECT_EQ(st.kind, VL2_K_OTHER);
    EXPECT_EQ(vl2_fs_realstat(t.at("lf").c_str(), real, (int)t.at("d/f").size(), &st), -1);
}

TEST(FsDir, EnumeratesWithoutDotEntries)
{
    tmptree t;
    ASSERT_TRUE(t.dir("empty"));
    ASSERT_TRUE(t.dir("full"));
    for (const char *n : {"a", "B", ".hidden", "x y"}) ASSERT_TRUE(t.file(std::string("full/") + n));
    ASSERT_TRUE(t.file("plain"));

    vl2_dir *d = vl2_fs_opendir(t.at("empty").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(vl2_fs_readdir(d), nullptr);
    vl2_fs_closedir(d);

    d = vl2_fs_opendir(t.at("full").c_str());
    ASSERT_NE(d, nullptr);
    std::set<std::string> seen;
    while (const char *n = vl2_fs_readdir(d)) seen.insert(n);
    vl2_fs_closedir(d);
    EXPECT_EQ(seen, (std::set<std::string>{"a", "B", ".hidden", "x y"}));

    EXPECT_EQ(vl2_fs_opendir(t.at("plain").c_str()), nullptr);
    EXPECT_EQ(vl2_fs_opendir(t.at("none").c_str()), nullptr);
    vl2_fs_closedir(nullptr);
}

TEST(FsDir, OpenedDirectoryReportsWhereItReallyIsAndStatsMembers)
{
    watchdog w;
    tmptree t;
    ASSERT_TRUE(t.dir("real"));
    ASSERT_TRUE(t.file("real/f", "12345"));
    ASSERT_TRUE(t.fifo("real/p"));
    ASSERT_TRUE(t.link("f", "real/lf"));
    ASSERT_TRUE(t.link("real", "via"));
    char real[PATH_MAX];
    vl2_dir *d = vl2_fs_opendir_real(t.at("via").c_str(), real, sizeof real);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(t.at("real"), real);

    vl2_fstat st;
    ASSERT_EQ(vl2_fs_lstat_at(d, "lf", &st), 0);
    EXPECT_EQ(st.kind, VL2_K_LINK);
    ASSERT_EQ(vl2_fs_lstat_at(d, "p", &st), 0);
    EXPECT_EQ(st.kind, VL2_K_OTHER);
    char target[PATH_MAX];
    ASSERT_EQ(vl2_fs_realstat_at(d, "lf", target, sizeof target, &st), 0);
    EXPECT_EQ(t.at("real/f"), target);
    EXPECT_EQ(st.kind, VL2_K_FILE);
    EXPECT_EQ(st.size, 5u);
    // Only single members of the opened directory may be named.
    for (const char *bad : {"", ".", "..", "../real/f", "a/b"}) {
        EXPECT_EQ(vl2_fs_lstat_at(d, bad, &st), -1) << bad;
        EXPECT_EQ(vl2_fs_realstat_at(d, bad, target, sizeof target, &st), -1) << bad;
    }
    vl2_fs_closedir(d);
    EXPECT_EQ(vl2_fs_opendir_real(t.at("via").c_str(), real, (int)t.at("real").size()), nullptr);
}

TEST(FsRead, OpensOnlyRegularFilesAndNeverBlocks)
{
    watchdog w;
    tmptree t;
    ASSERT_TRUE(t.file("f", "data"));
    ASSERT_TRUE(t.dir("d"));
    ASSERT_TRUE(t.fifo("p"));
    ASSERT_TRUE(t.sock("s"));
    ASSERT_TRUE(t.link("f", "lf"));
    ASSERT_TRUE(t.link("p", "lp"));
    for (const std::string &p : {t.at("d"), t.at("p"), t.at("s"), t.at("lp"), t.at("none"), std::string("/dev/null")}) {
        vl2_fstat st;
        EXPECT_EQ(vl2_fs_open_ro(p.c_str(), &st), nullptr) << p;
    }
    vl2_fstat st;
    vl2_file *f = vl2_fs_open_ro(t.at("lf").c_str(), &st);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(st.kind, VL2_K_FILE);
    EXPECT_EQ(st.size, 4u);
    char real[PATH_MAX];
    ASSERT_EQ(vl2_fs_fd_path(f, real, sizeof real), 0);
    EXPECT_EQ(t.at("f"), real);
    EXPECT_EQ(vl2_fs_fd_path(f, real, (int)t.at("f").size()), -1);
    vl2_fs_close(f);
    vl2_fs_close(nullptr);
}

TEST(FsRead, PositionedReadsStopAtTheEnd)
{
    tmptree t;
    ASSERT_TRUE(t.file("f", "0123456789"));
    vl2_file *f = vl2_fs_open_ro(t.at("f").c_str(), nullptr);
    ASSERT_NE(f, nullptr);
    struct row {
        uint64_t offset;
        int count;
        int want;
        const char *bytes;
    } rows[] = {
        {0, 100, 10, "0123456789"},      {4, 3, 3, "456"},       {7, 100, 3, "789"}, {10, 100, 0, ""}, {11, 5, 0, ""},
        {(uint64_t)INT64_MAX, 5, 0, ""}, {UINT64_MAX, 5, 0, ""}, {0, 0, 0, ""},
    };
    for (const row &r : rows) {
        char buf[128] = {};
        int n = vl2_fs_pread(f, r.offset, buf, r.count);
        EXPECT_EQ(n, r.want) << r.offset;
        if (n > 0) {
            EXPECT_EQ(std::string(buf, (size_t)n), r.bytes);
        }
    }
    char buf[4];
    EXPECT_EQ(vl2_fs_pread(f, 0, buf, -1), -1);
    EXPECT_EQ(vl2_fs_pread(nullptr, 0, buf, 4), -1);
    vl2_fs_close(f);
}

}  // namespace
