#include "vfs/vfs.h"

#include "cfg/cfg.h"
#include "fs/fs.h"
#include "fs/tmptree.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Layout: <tmp>/share is shared as "docs", <tmp>/share2 is its sibling
// outside the share, <tmp>/share/one.txt is also shared alone as "single".
struct VfsTest : ::testing::Test {
    tmptree t;

    void SetUp() override
    {
        vl2_cfg_reset_for_tests();
        ASSERT_TRUE(t.dir("share"));
        ASSERT_TRUE(t.dir("share2"));
        ASSERT_TRUE(t.file("share2/secret", "outside"));
        ASSERT_TRUE(t.dir("share/sub"));
        ASSERT_TRUE(t.file("share/sub/f.txt", "inside data"));
        ASSERT_TRUE(t.file("share/one.txt", "1"));
        ASSERT_EQ(vlsmb2s_add_share("docs", t.at("share").c_str()), 0) << vlsmb2s_last_error();
        ASSERT_EQ(vlsmb2s_add_share("single", t.at("share/one.txt").c_str()), 0) << vlsmb2s_last_error();
    }
    void TearDown() override { vl2_cfg_reset_for_tests(); }

    static int64_t refused() { return vl2_stat_get(VL2_ST_PATH_REFUSED); }

    std::vector<vl2_vent> list(const char *rel, int *rc = nullptr)
    {
        vl2_vres r;
        std::vector<vl2_vent> v;
        if (vl2_vfs_resolve("docs", rel, &r) != 0) {
            if (rc) *rc = -100;
            return v;
        }
        vl2_vent *e = nullptr;
        int n = -1;
        int got = vl2_vfs_list(&r, &e, &n);
        if (rc) *rc = got;
        if (got == 0) {
            for (int i = 0; i < n; i++) {
                v.push_back(e[i]);
                v.back().name = strdup(e[i].name);
            }
            vl2_vfs_free(e, n);
        }
        return v;
    }
    static std::vector<std::string> names(const std::vector<vl2_vent> &v)
    {
        std::vector<std::string> out;
        for (const vl2_vent &e : v) out.push_back(e.name);
        return out;
    }
    static void drop(std::vector<vl2_vent> &v)
    {
        for (vl2_vent &e : v) free(e.name);
        v.clear();
    }
};

TEST(VfsInside, ContainmentRules)
{
    vl2_share folder = {"f", "/srv/data", 0};
    vl2_share rootdir = {"r", "/", 0};
    vl2_share single = {"s", "/srv/data/file.txt", 1};
    vl2_share ipc = {"IPC$", "", 0};
    struct row {
        const vl2_share *share;
        const char *path;
        int want;
    } rows[] = {
        {&folder, "/srv/data", 1},
        {&folder, "/srv/data/a/b", 1},
        {&folder, "/srv/database", 0},
        {&folder, "/srv/dat", 0},
        {&folder, "/srv", 0},
        {&folder, "/SRV/data", 0},
        {&rootdir, "/", 1},
        {&rootdir, "/etc/passwd", 1},
        {&single, "/srv/data/file.txt", 1},
        {&single, "/srv/data/file.txt/x", 0},
        {&single, "/srv/data/file.txt2", 0},
        {&single, "/srv/data", 0},
        {&ipc, "/anything", 1},
    };
    for (const row &r : rows) EXPECT_EQ(vl2_vfs_inside(r.path, r.share), r.want) << r.share->path << " " << r.path;
}

TEST_F(VfsTest, ResolvesNamesInsideTheShare)
{
    vl2_vres r;
    ASSERT_EQ(vl2_vfs_resolve("docs", "", &r), 0);
    EXPECT_EQ(r.kind, VL2_R_DIR);
    EXPECT_EQ(t.at("share"), r.path);
    EXPECT_STREQ(r.share.name, "docs");
    ASSERT_EQ(vl2_vfs_resolve("DOCS", nullptr, &r), 0);
    EXPECT_EQ(r.kind, VL2_R_DIR);

    ASSERT_EQ(vl2_vfs_resolve("docs", "sub/f.txt", &r), 0);
    EXPECT_EQ(r.kind, VL2_R_FILE);
    EXPECT_EQ(t.at("share/sub/f.txt"), r.path);
    EXPECT_EQ(r.st.size, 11u);

    for (const char *ipc : {"IPC$", "ipc$", "Ipc$"}) {
        ASSERT_EQ(vl2_vfs_resolve(ipc, "whatever", &r), 0) << ipc;
        EXPECT_EQ(r.kind, VL2_R_IPC);
        EXPECT_STREQ(r.path, "");
    }
}

TEST_F(VfsTest, RefusesWhatIsMissingOrNotAFileOrFolder)
{
    ASSERT_TRUE(t.fifo("share/pipe"));
    ASSERT_TRUE(t.link("nowhere", "share/dangling"));
    std::string longname(2100, 'a');
    int64_t before = refused();
    struct row {
        const char *share;
        const char *path;
    } rows[] = {
        {"docs", "missing"}, {"docs", "sub/missing"},    {"docs", "pipe"},      {"docs", "dangling"},
        {"nope", ""},        {"docs", longname.c_str()}, {"single", "one.txt"}, {"single", "x"},
    };
    for (const row &r : rows) {
        vl2_vres res;
        res.kind = 99;
        EXPECT_EQ(vl2_vfs_resolve(r.share, r.path, &res), -1) << r.share << "/" << r.path;
        EXPECT_STREQ(vl2_error(), "The file cannot be found.");
        EXPECT_EQ(res.kind, 0);
    }
    EXPECT_EQ(refused(), before);
}

TEST_F(VfsTest, SingleFileShareResolvesOnlyItsRoot)
{
    vl2_vres r;
    ASSERT_EQ(vl2_vfs_resolve("single", "", &r), 0);
    EXPECT_EQ(r.kind, VL2_R_FILE);
    EXPECT_EQ(t.at("share/one.txt"), r.path);
    EXPECT_EQ(r.st.size, 1u);
    // The shared file later swapped for a folder is no longer that file.
    ASSERT_EQ(rename(t.at("share/one.txt").c_str(), t.at("share/one.old").c_str()), 0);
    ASSERT_TRUE(t.dir("share/one.txt"));
    EXPECT_EQ(vl2_vfs_resolve("single", "", &r), -1);
}

TEST_F(VfsTest, LinksAreFollowedOnlyWhileTheyStayInside)
{
    ASSERT_TRUE(t.link("../share2", "share/out"));
    ASSERT_TRUE(t.link(t.at("share2/secret"), "share/outfile"));
    ASSERT_TRUE(t.link("sub", "share/alias"));
    vl2_vres r;
    int64_t before = refused();
    EXPECT_EQ(vl2_vfs_resolve("docs", "out", &r), -1);
    EXPECT_EQ(vl2_vfs_resolve("docs", "out/secret", &r), -1);
    EXPECT_EQ(vl2_vfs_resolve("docs", "outfile", &r), -1);
    EXPECT_EQ(refused(), before + 3);

    ASSERT_EQ(vl2_vfs_resolve("docs", "alias", &r), 0);
    EXPECT_EQ(r.kind, VL2_R_DIR);
    EXPECT_EQ(t.at("share/sub"), r.path);
    ASSERT_EQ(vl2_vfs_resolve("docs", "alias/f.txt", &r), 0);
    EXPECT_EQ(t.at("share/sub/f.txt"), r.path);
    EXPECT_EQ(refused(), before + 3);
}

TEST_F(VfsTest, ListsSortedByteWise)
{
    ASSERT_TRUE(t.dir("share/abc"));
    for (const char *n : {"B", "a", "C"}) ASSERT_TRUE(t.file(std::string("share/abc/") + n, n));
    int rc;
    std::vector<vl2_vent> v = list("abc", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(names(v), (std::vector<std::string>{"B", "C", "a"}));
    for (const vl2_vent &e : v) {
        EXPECT_EQ(e.kind, VL2_K_FILE);
        EXPECT_EQ(e.target_kind, VL2_K_FILE);
        EXPECT_EQ(e.size, 1u);
    }
    drop(v);

    ASSERT_TRUE(t.dir("share/empty"));
    v = list("empty", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(v.empty());
}

TEST_F(VfsTest, ListingHidesWhatClientsMustNotReach)
{
    std::string n255(255, 'n');
    ASSERT_TRUE(t.dir("share/mix"));
    ASSERT_TRUE(t.dir("share/mix/folder"));
    ASSERT_TRUE(t.file("share/mix/plain", "12345"));
    ASSERT_TRUE(t.file("share/mix/" + n255));
    ASSERT_TRUE(t.file("share/mix/line\nfeed"));
    ASSERT_TRUE(t.file("share/mix/carriage\rreturn"));
    ASSERT_TRUE(t.fifo("share/mix/pipe"));
    ASSERT_TRUE(t.sock("share/mix/sock"));
    ASSERT_TRUE(t.link("gone", "share/mix/dangling"));
    ASSERT_TRUE(t.link("../../share2", "share/mix/outdir"));
    ASSERT_TRUE(t.link(t.at("share2/secret"), "share/mix/outfile"));
    ASSERT_TRUE(t.link("pipe", "share/mix/topipe"));
    ASSERT_TRUE(t.link("../sub", "share/mix/subdir"));
    ASSERT_TRUE(t.link("plain", "share/mix/toplain"));
    struct timespec ts[2] = {{1000000, 0}, {2000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, t.at("share/sub").c_str(), ts, 0), 0);

    int64_t before = refused();
    int rc;
    std::vector<vl2_vent> v = list("mix", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(names(v), (std::vector<std::string>{"folder", n255, "plain", "subdir", "toplain"}));
    EXPECT_EQ(refused(), before);  // hiding a member is not a refusal

    struct stat ls;
    ASSERT_EQ(lstat(t.at("share/mix/subdir").c_str(), &ls), 0);
    for (const vl2_vent &e : v) {
        std::string n = e.name;
        if (n == "folder") {
            EXPECT_EQ(e.kind, VL2_K_DIR);
            EXPECT_EQ(e.size, 0u);
        } else if (n == "subdir") {
            EXPECT_EQ(e.kind, VL2_K_LINK);
            EXPECT_EQ(e.target_kind, VL2_K_DIR);
            EXPECT_EQ(e.atime, 1000000);
            EXPECT_EQ(e.mtime, 2000000);
            EXPECT_EQ(e.ino, (uint64_t)ls.st_ino);
        } else if (n == "toplain") {
            EXPECT_EQ(e.kind, VL2_K_LINK);
            EXPECT_EQ(e.target_kind, VL2_K_FILE);
            EXPECT_EQ(e.size, 5u);
        }
    }
    drop(v);
}

TEST_F(VfsTest, ListingNeedsADirectory)
{
    vl2_vres r;
    ASSERT_EQ(vl2_vfs_resolve("docs", "sub/f.txt", &r), 0);
    vl2_vent *e = (vl2_vent *)1;
    int n = 7;
    EXPECT_EQ(vl2_vfs_list(&r, &e, &n), -1);
    EXPECT_STREQ(vl2_error(), "Not a directory.");
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(n, 0);

    ASSERT_TRUE(t.dir("share/gone"));
    ASSERT_EQ(vl2_vfs_resolve("docs", "gone", &r), 0);
    ASSERT_EQ(rmdir(t.at("share/gone").c_str()), 0);
    EXPECT_EQ(vl2_vfs_list(&r, &e, &n), -1);
    EXPECT_STREQ(vl2_error(), "The file cannot be found.");
    vl2_vfs_free(nullptr, 0);
}

// A local user swaps a resolved folder for a link between CREATE and the
// later READ or listing; what is opened then must still be checked.
TEST_F(VfsTest, FolderSwappedForOutsideLinkAfterResolveIsRefused)
{
    vl2_vres dir, file;
    ASSERT_EQ(vl2_vfs_resolve("docs", "sub", &dir), 0);
    ASSERT_EQ(vl2_vfs_resolve("docs", "sub/f.txt", &file), 0);
    ASSERT_TRUE(t.file("share2/f.txt", "stolen"));

    vl2_file *f = vl2_vfs_open_read(&file.share, file.path, nullptr);
    ASSERT_NE(f, nullptr);
    vl2_fs_close(f);

    ASSERT_EQ(rename(t.at("share/sub").c_str(), t.at("share/sub.old").c_str()), 0);
    ASSERT_TRUE(t.link(t.at("share2"), "share/sub"));
    int64_t before = refused();

    vl2_fstat st;
    EXPECT_EQ(vl2_vfs_open_read(&file.share, file.path, &st), nullptr);
    EXPECT_EQ(refused(), before + 1);

    vl2_vent *e = nullptr;
    int n = 0;
    EXPECT_EQ(vl2_vfs_list(&dir, &e, &n), -1);
    EXPECT_STREQ(vl2_error(), "The file cannot be found.");
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(refused(), before + 2);
}

TEST_F(VfsTest, FolderSwappedForInsideLinkStillServes)
{
    vl2_vres dir, file;
    ASSERT_EQ(vl2_vfs_resolve("docs", "sub", &dir), 0);
    ASSERT_EQ(vl2_vfs_resolve("docs", "sub/f.txt", &file), 0);
    ASSERT_EQ(rename(t.at("share/sub").c_str(), t.at("share/moved").c_str()), 0);
    ASSERT_TRUE(t.link("moved", "share/sub"));
    int64_t before = refused();

    vl2_fstat st;
    vl2_file *f = vl2_vfs_open_read(&file.share, file.path, &st);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(st.size, 11u);
    char buf[32];
    EXPECT_EQ(vl2_fs_pread(f, 0, buf, sizeof buf), 11);
    vl2_fs_close(f);

    vl2_vent *e = nullptr;
    int n = 0;
    ASSERT_EQ(vl2_vfs_list(&dir, &e, &n), 0);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(e[0].name, "f.txt");
    vl2_vfs_free(e, n);
    EXPECT_EQ(refused(), before);
}

TEST_F(VfsTest, ReadOfSingleFileShareAndOfNonFiles)
{
    vl2_vres r;
    ASSERT_EQ(vl2_vfs_resolve("single", "", &r), 0);
    vl2_file *f = vl2_vfs_open_read(&r.share, r.path, nullptr);
    ASSERT_NE(f, nullptr);
    vl2_fs_close(f);

    ASSERT_TRUE(t.fifo("share/p"));
    vl2_share docs;
    ASSERT_EQ(vl2_share_find("docs", &docs), 0);
    alarm(30);  // a blocking open would hang here
    EXPECT_EQ(vl2_vfs_open_read(&docs, t.at("share/p").c_str(), nullptr), nullptr);
    alarm(0);
    EXPECT_EQ(vl2_vfs_open_read(&docs, t.at("share/sub").c_str(), nullptr), nullptr);
    vl2_share ipc;
    ASSERT_EQ(vl2_share_find("IPC$", &ipc), 0);
    EXPECT_EQ(vl2_vfs_open_read(&ipc, t.at("share/one.txt").c_str(), nullptr), nullptr);
}

// Made in memory: 100,001 files on a disk take far too long for a unit test.
TEST(VfsCap, ListingStopsAtOneHundredThousandEntries)
{
    struct stat sh;
    if (stat("/dev/shm", &sh) != 0 || !S_ISDIR(sh.st_mode) || access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/shm";
    vl2_cfg_reset_for_tests();
    tmptree t("/dev/shm");
    ASSERT_TRUE(t.dir("many"));
    ASSERT_EQ(vlsmb2s_add_share("docs", t.root.c_str()), 0) << vlsmb2s_last_error();
    std::string base = t.at("many") + "/";
    char name[16];
    for (int i = 0; i <= 100000; i++) {
        snprintf(name, sizeof name, "%06d", i);
        int fd = open((base + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    vl2_vres r;
    ASSERT_EQ(vl2_vfs_resolve("docs", "many", &r), 0);
    vl2_vent *e = nullptr;
    int n = 0;
    ASSERT_EQ(vl2_vfs_list(&r, &e, &n), 0);
    EXPECT_EQ(n, 100000);
    for (int i = 1; i < n; i++) ASSERT_LT(strcmp(e[i - 1].name, e[i].name), 0);
    vl2_vfs_free(e, n);
    vl2_cfg_reset_for_tests();
}

}  // namespace
