// QUERY_DIRECTORY through the real loop, byte for byte, and the listing
// bound through the handler itself.
#include "files_util.h"

#include "fs/fs.h"
#include "sess/engine.h"

#include <fcntl.h>
#include <sys/stat.h>

using namespace fl;

namespace {

constexpr uint8_t RESTART = 0x01, SINGLE = 0x02, INDEX = 0x04, REOPEN = 0x10;
constexpr uint64_t DIR_FID = 0x21;  // first CREATE after the tree (id 1)

bytes qd(uint64_t mid, uint8_t cls, uint8_t flags = 0, const std::string &pattern = "*", uint32_t out_cap = 65536,
         uint64_t fid = DIR_FID, uint32_t index = 0)
{
    return request(14, mid, query_directory_body(cls, flags, pattern, out_cap, fid, index), 0, 1);
}

// The expected entry, written from the wire layout for the member rel of
// the tree (times and ids from the host, the rest by the rules).
bytes entry(const tmptree &t, const std::string &rel, uint8_t cls, uint32_t index, const std::string &short_nm = "",
            const char *leaf_as = nullptr)
{
    vl2_fstat st = {}, ls = {};
    EXPECT_EQ(0, vl2_fs_stat(t.at(rel).c_str(), &st));
    EXPECT_EQ(0, vl2_fs_lstat(t.at(rel).c_str(), &ls));
    std::string leaf = leaf_as ? leaf_as : rel.substr(rel.rfind('/') + 1);
    bytes name = utf16(leaf), e;
    put32(e, 0);
    put32(e, index);
    if (cls == 12) {
        put32(e, (uint32_t)name.size());
    } else {
        put64(e, vl2_filetime(st.crtime));
        put64(e, vl2_filetime(st.atime));
        put64(e, vl2_filetime(st.mtime));
        put64(e, vl2_filetime(st.crtime));
        put64(e, st.size);
        put64(e, (st.size + 65535) / 65536 * 65536);
        put32(e, st.kind == VL2_K_DIR ? 0x11 : 0x21);
        put32(e, (uint32_t)name.size());
        if (cls != 1) put32(e, 0);  // EaSize
        if (cls == 3 || cls == 37) {
            bytes sn = utf16(short_nm);
            e.push_back((uint8_t)sn.size());
            e.push_back(0);
            sn.resize(24, 0);
            e.insert(e.end(), sn.begin(), sn.end());
        }
        if (cls == 37) {
            put16(e, 0);
            put64(e, ls.ino);
        }
        if (cls == 38) {
            put32(e, 0);
            put64(e, ls.ino);
        }
    }
    e.insert(e.end(), name.begin(), name.end());
    while (e.size() % 8) e.push_back(0);
    return e;
}
// "." or ".." of the folder rel: its own metadata, FileIndex 0.
bytes dot(const tmptree &t, const std::string &rel, uint8_t cls, const char *name)
{
    return entry(t, rel, cls, 0, "", name);
}

// Entries chained by NextEntryOffset (0 in the last), behind the 8-byte body.
bytes listing(std::vector<bytes> entries)
{
    bytes all;
    for (size_t i = 0; i < entries.size(); i++) {
        if (i + 1 < entries.size()) vl2_put32(entries[i].data(), (uint32_t)entries[i].size());
        all.insert(all.end(), entries[i].begin(), entries[i].end());
    }
    bytes b = {9, 0, 72, 0};
    put32(b, (uint32_t)all.size());
    return h::cat(b, all);
}
const bytes NO_MORE_BODY = h::unhex("0900 0000 00000000 00");
const std::string ABC = "media/abc";

void set_times(const tmptree &t, const std::string &rel, time_t when)
{
    timespec ts[2] = {{when, 0}, {when + 60, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, t.at(rel).c_str(), ts, AT_SYMLINK_NOFOLLOW));
}

class QueryDir : public FilesTest {
protected:
    void SetUp() override
    {
        FilesTest::SetUp();
        ASSERT_TRUE(tree.dir("media/empty"));
        ASSERT_TRUE(tree.dir("media/abc"));
        ASSERT_TRUE(tree.file("media/abc/a", "alpha"));
        ASSERT_TRUE(tree.dir("media/abc/B"));
        ASSERT_TRUE(tree.file("media/abc/c", std::string(70000, 'c')));
        set_times(tree, "media/abc/a", 1600000000);
        set_times(tree, "media/abc/B", 1500000000);
        set_times(tree, "media/abc/c", 1400000000);
        // Listing a folder may move its access time (relatime), which the
        // dot entries report; pinned after the change time it stays put.
        for (const char *d : {"media/abc", "media/empty"}) {
            timespec ts[2] = {{time(nullptr) + 3600, 0}, {0, UTIME_OMIT}};
            ASSERT_EQ(0, utimensat(AT_FDCWD, tree.at(d).c_str(), ts, 0));
        }
    }
    std::string dir = "media/abc/";
    // Logon, tree 1 on media, CREATE of folder (fid 0x21), then frames.
    std::vector<bytes> on(const std::string &folder, std::vector<bytes> frames)
    {
        std::vector<bytes> all = {tree_connect(3, "media"), create(4, 1, folder)};
        all.insert(all.end(), frames.begin(), frames.end());
        auto r = talk(all);
        EXPECT_EQ(all.size(), r.size());
        if (r.size() >= 2) {
            EXPECT_EQ(SUCCESS, h::status(r[1]));
            r.erase(r.begin(), r.begin() + 2);
        }
        return r;
    }
};

TEST_F(QueryDir, EmptyFolderListsItsDotsThenNoMoreFiles)
{
    int64_t sent = stat(VL2_ST_LISTINGS_SENT);
    auto r = on("empty", {qd(10, 37), qd(11, 37), qd(12, 37, RESTART, "x*")});
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(h::hex(lg::rsp_hdr(14, SUCCESS, 10, 0, 1)), h::hex(bytes(r[0].begin(), r[0].begin() + 64)));
    EXPECT_EQ(h::hex(listing({dot(tree, "media/empty", 37, "."), dot(tree, "media/empty", 37, "..")})),
              h::hex(body(r[0])));
    EXPECT_EQ(h::hex(lg::rsp_hdr(14, NO_MORE_FILES, 11, 0, 1)), h::hex(bytes(r[1].begin(), r[1].begin() + 64)));
    EXPECT_EQ(h::hex(NO_MORE_BODY), h::hex(body(r[1])));
    EXPECT_EQ(NO_MORE_FILES, h::status(r[2])) << "the dots match only patterns that match them";
    EXPECT_EQ(sent + 3, stat(VL2_ST_LISTINGS_SENT));
}

TEST_F(QueryDir, EveryClassLaysOutItsEntries)
{
    for (uint8_t cls : {1, 2, 3, 12, 37, 38}) {
        SCOPED_TRACE(cls);
        // Byte order puts B before a and c; an 8.3 name gets its short form.
        // Expected first: the dots carry the folder's metadata as CREATE saw
        // it, and the listing itself may move the folder's access time.
        bytes want = listing({dot(tree, ABC, cls, "."), dot(tree, ABC, cls, ".."), entry(tree, dir + "B", cls, 1, "B"),
                              entry(tree, dir + "a", cls, 2, "A"), entry(tree, dir + "c", cls, 3, "C")});
        auto r = on("abc", {qd(10, cls), qd(11, cls)});
        ASSERT_EQ(2u, r.size());
        EXPECT_EQ(SUCCESS, h::status(r[0]));
        EXPECT_EQ(h::hex(want), h::hex(body(r[0])));
        EXPECT_EQ(NO_MORE_FILES, h::status(r[1]));
        EXPECT_EQ(h::hex(NO_MORE_BODY), h::hex(body(r[1])));
    }
}

TEST_F(QueryDir, ShortNamesOnlyForEightDotThreeShapes)
{
    struct {
        const char *name, *short_nm;
    } cases[] = {
        {"readme.txt", "README.TXT"},
        {"archive.tar.gz", ""},
        {"ninechars", ""},
        {"Eight.c", "EIGHT.C"},
        {".hidden", ""},
        {"x.json", ""},
        {"dot.", "DOT"},
        {"é.txt", "é.TXT"},
    };
    ASSERT_TRUE(tree.dir("media/sn"));
    std::vector<std::string> names;
    for (auto &c : cases) {
        ASSERT_TRUE(tree.file(std::string("media/sn/") + c.name));
        names.push_back(c.name);
    }
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = on("sn", {qd(10, 3, 0, c.name)});
        ASSERT_EQ(1u, r.size());
        size_t index = 1;
        for (auto &n : names)
            if (strcmp(n.c_str(), c.name) < 0) index++;
        EXPECT_EQ(h::hex(listing({entry(tree, std::string("media/sn/") + c.name, 3, (uint32_t)index, c.short_nm)})),
                  h::hex(body(r[0])));
    }
}

TEST_F(QueryDir, SingleEntryIndexAndRestart)
{
    std::vector<bytes> frames;
    for (int i = 0; i < 6; i++) frames.push_back(qd(10 + i, 37, SINGLE));
    for (bytes f : {qd(20, 37, SINGLE | INDEX, "*", 65536, DIR_FID, 1), qd(21, 37, RESTART | SINGLE),
                    qd(22, 12, REOPEN, "?"), qd(23, 12, INDEX, "?", 65536, DIR_FID, 7)})
        frames.push_back(f);
    auto r = on("abc", frames);
    ASSERT_EQ(10u, r.size());
    EXPECT_EQ(h::hex(listing({dot(tree, ABC, 37, ".")})), h::hex(body(r[0])));
    EXPECT_EQ(h::hex(listing({dot(tree, ABC, 37, "..")})), h::hex(body(r[1])));
    EXPECT_EQ(h::hex(listing({entry(tree, dir + "B", 37, 1, "B")})), h::hex(body(r[2])));
    EXPECT_EQ(h::hex(listing({entry(tree, dir + "a", 37, 2, "A")})), h::hex(body(r[3])));
    EXPECT_EQ(h::hex(listing({entry(tree, dir + "c", 37, 3, "C")})), h::hex(body(r[4])));
    EXPECT_EQ(NO_MORE_FILES, h::status(r[5]));
    EXPECT_EQ(h::hex(listing({entry(tree, dir + "a", 37, 2, "A")})), h::hex(body(r[6]))) << "FileIndex 1 resumes at 2";
    EXPECT_EQ(h::hex(listing({dot(tree, ABC, 37, ".")})), h::hex(body(r[7]))) << "restart";
    EXPECT_EQ(SUCCESS, h::status(r[8])) << "reopen takes the new class and pattern";
    EXPECT_EQ(h::hex(listing({dot(tree, ABC, 12, "."), entry(tree, dir + "B", 12, 1), entry(tree, dir + "a", 12, 2),
                              entry(tree, dir + "c", 12, 3)})),
              h::hex(body(r[8])));
    EXPECT_EQ(NO_MORE_FILES, h::status(r[9])) << "an index past the end";
}

TEST_F(QueryDir, ExactNamesAndMisses)
{
    auto r =
        on("abc", {qd(10, 37, 0, "A"), qd(11, 37, 0, "A"), qd(12, 37, RESTART, "nothere"), qd(13, 37, RESTART, "*c")});
    ASSERT_EQ(4u, r.size());
    EXPECT_EQ(h::hex(listing({entry(tree, dir + "a", 37, 2, "A")})), h::hex(body(r[0]))) << "letters fold";
    EXPECT_EQ(NO_MORE_FILES, h::status(r[1]));
    EXPECT_EQ(NO_MORE_FILES, h::status(r[2]));
    EXPECT_EQ(h::hex(listing({entry(tree, dir + "c", 37, 3, "C")})), h::hex(body(r[3])));
}

TEST_F(QueryDir, ChangedPatternOrClassWithoutRestartIsRefused)
{
    std::string p511(511, 'x');
    auto r = on("abc", {qd(10, 37, SINGLE), qd(11, 3), qd(12, 37, SINGLE), qd(13, 37, 0, "a"), qd(14, 37, SINGLE),
                        // Patterns that differ only past their 511th byte differ.
                        qd(15, 37, RESTART, p511 + "a"), qd(16, 37, 0, p511 + "b"), qd(17, 37, 0, p511 + "b"),
                        qd(18, 37, 0, p511 + "b")});
    ASSERT_EQ(9u, r.size());
    EXPECT_EQ(SUCCESS, h::status(r[0]));
    EXPECT_EQ(INVALID, h::status(r[1]));
    EXPECT_EQ(h::hex(listing({dot(tree, ABC, 37, ".")})), h::hex(body(r[2]))) << "a fresh listing";
    EXPECT_EQ(INVALID, h::status(r[3]));
    EXPECT_EQ(SUCCESS, h::status(r[4]));
    EXPECT_EQ(NO_MORE_FILES, h::status(r[5]));
    EXPECT_EQ(INVALID, h::status(r[6]));
    EXPECT_EQ(NO_MORE_FILES, h::status(r[7])) << "a fresh listing for the 512-byte pattern";
    EXPECT_EQ(NO_MORE_FILES, h::status(r[8])) << "and it can be continued";
}

TEST_F(QueryDir, RefusedRequests)
{
    ASSERT_TRUE(tree.file("media/plain.txt", "x"));
    bytes cut = query_directory_body(37, 0, "*", 65536, DIR_FID);
    cut.resize(20);
    bytes short_name_off = query_directory_body(37, 0, "*", 65536, DIR_FID);
    vl2_put16(&short_name_off[24], 63);
    bytes past_end = query_directory_body(37, 0, "*", 65536, DIR_FID);
    vl2_put16(&past_end[26], 200);
    bytes lone_surrogate = query_directory_body(37, 0, "", 65536, DIR_FID);
    vl2_put16(&lone_surrogate[24], 96);
    vl2_put16(&lone_surrogate[26], 2);
    lone_surrogate.back() = 0xD8;
    lone_surrogate.insert(lone_surrogate.end() - 1, 0x00);
    auto r =
        on("abc", {request(14, 10, query_directory_body(37, 0, "*", 65536, DIR_FID, 0, 32), 0, 1),
                   request(14, 11, cut, 0, 1), qd(12, 4), qd(13, 37, 0, "*", 65536, 0x999),
                   qd(14, 37, 0, std::string(513, 'a')), qd(15, 37, 0, "a\\b"), request(14, 16, short_name_off, 0, 1),
                   request(14, 17, past_end, 0, 1), request(14, 18, lone_surrogate, 0, 1), create(19, 1, "plain.txt"),
                   qd(20, 37, 0, "*", 65536, 0x31), qd(21, 37)});
    ASSERT_EQ(12u, r.size());
    const uint32_t want[] = {INVALID, INVALID, INVALID_INFO_CLASS, FILE_CLOSED, INVALID, INVALID, INVALID, INVALID,
                             INVALID, SUCCESS, NOT_A_DIRECTORY,    SUCCESS};
    for (size_t i = 0; i < std::size(want); i++) EXPECT_EQ(want[i], h::status(r[i])) << i;
    EXPECT_EQ("090000000000000000", h::hex(body(r[2])));
}

TEST_F(QueryDir, ThePipeIsNotAFolder)
{
    auto r = talk({tree_connect(3, "IPC$"), create(4, 1, "srvsvc"), qd(5, 37)});
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[2]));
}

TEST_F(QueryDir, OutputLimitSplitsAndTooSmallIsAMismatch)
{
    bytes d1 = dot(tree, ABC, 37, "."), d2 = dot(tree, ABC, 37, "..");
    bytes b = entry(tree, dir + "B", 37, 1, "B"), a = entry(tree, dir + "a", 37, 2, "A");
    uint32_t two = (uint32_t)(b.size() + a.size());
    ASSERT_EQ(two, d1.size() + d2.size());
    int64_t sent = stat(VL2_ST_LISTINGS_SENT);
    auto r = on("abc", {qd(10, 37, 0, "*", (uint32_t)d1.size() - 1), qd(11, 37, 0, "*", two), qd(12, 37, 0, "*", 1),
                        qd(13, 37, 0, "*", two), qd(14, 37, 0, "*", two)});
    ASSERT_EQ(5u, r.size());
    EXPECT_EQ(INFO_LENGTH_MISMATCH, h::status(r[0]));
    EXPECT_EQ("090000000000000000", h::hex(body(r[0])));
    EXPECT_EQ(h::hex(listing({d1, d2})), h::hex(body(r[1]))) << "the position did not move";
    EXPECT_EQ(INFO_LENGTH_MISMATCH, h::status(r[2]));
    EXPECT_EQ(h::hex(listing({b, a})), h::hex(body(r[3])));
    EXPECT_EQ(h::hex(listing({entry(tree, dir + "c", 37, 3, "C")})), h::hex(body(r[4])));
    EXPECT_EQ(sent + 3, stat(VL2_ST_LISTINGS_SENT)) << "mismatches are not listings";
}

TEST_F(QueryDir, OneResponseHoldsALittleMoreThanOneMebibyte)
{
    ASSERT_TRUE(tree.dir("media/many"));
    const std::string tail(200, 'n');
    const size_t count = 2200, each = (104 + 2 * (4 + tail.size()) + 7) / 8 * 8;
    for (size_t i = 0; i < count; i++) {
        char pfx[8];
        snprintf(pfx, sizeof pfx, "%04zu", i);
        ASSERT_TRUE(tree.file("media/many/" + std::string(pfx) + tail));
    }
    auto r = on("many", {qd(10, 37, 0, "*", 0), qd(11, 37, 0, "*", 0), qd(12, 37, 0, "*", 0)});
    ASSERT_EQ(3u, r.size());
    const size_t dots = 2 * 112, first = dots + ((1048576 - dots) / each + 1) * each;
    EXPECT_EQ(first, h::le32(r[0], 68)) << "stops after the entry that passes 1 MiB";
    EXPECT_EQ(count * each - (first - dots), h::le32(r[1], 68));
    EXPECT_EQ(NO_MORE_FILES, h::status(r[2]));
    // The dots, then every entry once, in order.
    uint32_t next_index = 1;
    for (int k = 0; k < 2; k++) {
        size_t off = 72;
        if (k == 0) {
            EXPECT_EQ(0u, h::le32(r[k], off + 4));
            off += h::le32(r[k], off);
            EXPECT_EQ(0u, h::le32(r[k], off + 4));
            off += h::le32(r[k], off);
        }
        for (;;) {
            EXPECT_EQ(next_index++, h::le32(r[k], off + 4));
            uint32_t step = h::le32(r[k], off);
            if (!step) break;
            off += step;
        }
    }
    EXPECT_EQ(count + 1, next_index);
}

TEST_F(QueryDir, AFolderGoneAtRestartKeepsAnEmptyListing)
{
    ASSERT_TRUE(tree.dir("media/gone"));
    ASSERT_TRUE(tree.file("media/gone/f"));
    std::vector<bytes> frames = {tree_connect(3, "media"), create(4, 1, "gone"), qd(10, 37, SINGLE)};
    std::vector<bytes> later = {qd(11, 37, RESTART), qd(12, 37), qd(13, 37, 0, "other"), qd(14, 37)};
    size_t step = 0;
    auto all = fl::guest_logon();
    all.insert(all.end(), frames.begin(), frames.end());
    auto replies = h::converse([&](const std::vector<bytes> &) -> std::vector<bytes> {
        if (step++ == 0) return all;
        if (step == 2) {
            unlink(tree.at("media/gone/f").c_str());
            rmdir(tree.at("media/gone").c_str());
            return later;
        }
        return {};
    });
    ASSERT_EQ(LOGON_REPLIES + 7, replies.size());
    auto r = std::vector<bytes>(replies.begin() + LOGON_REPLIES + 2, replies.end());
    EXPECT_EQ(SUCCESS, h::status(r[0]));
    EXPECT_EQ(DENIED, h::status(r[1]));
    EXPECT_EQ(NO_MORE_FILES, h::status(r[2])) << "the old pattern goes on, empty";
    EXPECT_EQ(INVALID, h::status(r[3]));
    EXPECT_EQ(DENIED, h::status(r[4])) << "nothing held any more: the host is asked again";
}

// The handler alone: a connection holds at most a million listed entries.
TEST_F(QueryDir, ListingsPerConnectionAreBounded)
{
    vl2_sess s = {};
    vl2_opts_get(&s.opts);
    vl2_open *o = (vl2_open *)calloc(1, sizeof *o);
    ASSERT_TRUE(o);
    o->id = DIR_FID;
    o->is_dir = 1;
    snprintf(o->path, sizeof o->path, "%s", tree.at("media/abc").c_str());
    ASSERT_EQ(0, vl2_share_find("media", &o->share));
    s.opens = o;
    s.open_count = 1;
    bytes rq = query_directory_body(37, 0, "*", 65536, DIR_FID);
    auto ask = [&](uint8_t flags) {
        rq[3] = flags;
        vl2_reply r = {};
        rep_begin(&r, 14, 0, 1, 0, 0, 0, 1);
        vl2_rd rd = {rq.data(), rq.size(), 0, 0};
        // A failure comes back as the status the dispatcher would answer.
        uint32_t st = cmd_query_directory(&s, &rd, &r);
        if (st == ST_SUCCESS) st = vl2_le32(r.b.data + 8);
        vl2_buf_free(&r.b);
        return st;
    };
    s.listing_entries = LISTING_ENTRIES_MAX - 2;
    EXPECT_EQ(DENIED, ask(0)) << "three more would pass the bound";
    EXPECT_EQ(LISTING_ENTRIES_MAX - 2, s.listing_entries);
    s.listing_entries = LISTING_ENTRIES_MAX - 3;
    EXPECT_EQ(SUCCESS, ask(0));
    EXPECT_EQ(LISTING_ENTRIES_MAX, s.listing_entries);
    EXPECT_EQ(SUCCESS, ask(RESTART)) << "a restart gives its entries back first";
    EXPECT_EQ(LISTING_ENTRIES_MAX, s.listing_entries);
    sess_release_opens(&s);
    EXPECT_EQ(LISTING_ENTRIES_MAX - 3, s.listing_entries) << "released with the open";
}

}  // namespace
