// TREE_CONNECT / TREE_DISCONNECT, CREATE and CLOSE through the real loop.
#include "files_util.h"

#include "fs/fs.h"

#include <sys/stat.h>

using namespace fl;

namespace {

class Trees : public FilesTest {};

TEST_F(Trees, ShareLookupAndTreeIds)
{
    struct {
        const char *path;
        uint32_t status;
        uint32_t tid;
    } cases[] = {
        {"\\\\srv\\media", SUCCESS, 1},
        {"\\\\other.host\\MEDIA", SUCCESS, 2},  // host ignored, case folded
        {"media", SUCCESS, 3},
        {"//srv/Media", SUCCESS, 4},
        {"\\\\srv\\ipc$", SUCCESS, 5},
        {"\\\\srv\\media\\", NAME_INVALID, 0},
        {"\\\\srv\\nope", NAME_NOT_FOUND, 0},
        {"\\\\srv\\med", NAME_NOT_FOUND, 0},
    };
    std::vector<bytes> frames;
    for (size_t i = 0; i < std::size(cases); i++) frames.push_back(tree_connect(10 + i, cases[i].path));
    int64_t trees = stat(VL2_ST_TREES), refused = stat(VL2_ST_TREE_REFUSED);
    auto r = talk(frames);
    ASSERT_EQ(std::size(cases), r.size());
    for (size_t i = 0; i < r.size(); i++) {
        SCOPED_TRACE(cases[i].path);
        EXPECT_EQ(cases[i].status, h::status(r[i]));
        EXPECT_EQ(cases[i].tid, h::le32(r[i], 36));
        if (cases[i].status == SUCCESS)
            EXPECT_EQ("100001000000000000000000ff000000", h::hex(body(r[i]))) << "disk, access 0xFF";
        else
            EXPECT_EQ(73u, r[i].size());
    }
    EXPECT_EQ(trees + 5, stat(VL2_ST_TREES));
    EXPECT_EQ(refused + 2, stat(VL2_ST_TREE_REFUSED));  // the empty name is not counted
}

TEST_F(Trees, MalformedPathsAndNoSession)
{
    bytes lone = {9, 0, 0, 0, 72, 0, 2, 0, 0x00, 0xD8};  // unpaired surrogate
    bytes odd = {9, 0, 0, 0, 72, 0, 1, 0, 'm'};
    bytes big = {9, 0, 0, 0, 72, 0, 0x0A, 0x04};
    big.resize(8 + 1034, 'a');
    bytes outside = {9, 0, 0, 0, 72, 0, 20, 0, 'm', 0};
    auto r = talk({request(3, 5, lone), request(3, 6, odd), request(3, 7, big), request(3, 8, outside)});
    ASSERT_EQ(4u, r.size());
    for (const bytes &x : r) EXPECT_EQ(INVALID, h::status(x));

    int64_t refused = stat(VL2_ST_TREE_REFUSED);
    bool sent = false;
    auto n = h::converse([&](const std::vector<bytes> &) {
        if (sent) return std::vector<bytes>{};
        sent = true;
        return std::vector<bytes>{lg::negotiate({0x0210}), tree_connect(1, "\\\\srv\\media")};
    });
    ASSERT_EQ(2u, n.size());
    EXPECT_EQ(SESSION_DELETED, h::status(n[1]));
    EXPECT_EQ(refused + 1, stat(VL2_ST_TREE_REFUSED));
}

// Each command is held to its StructureSize before its handler runs; a
// refused WRITE is refused whatever its size says.
TEST_F(Trees, WrongStructureSizeIsInvalidParameter)
{
    struct {
        uint16_t cmd;
        uint16_t ssz;
        uint32_t status;
    } cases[] = {
        {1, 24, INVALID},  {3, 8, INVALID},   {6, 25, INVALID}, {8, 48, INVALID}, {11, 56, INVALID},
        {14, 32, INVALID}, {16, 40, INVALID}, {9, 48, DENIED},  {1, 0, INVALID},
    };
    std::vector<bytes> frames;
    uint64_t mid = 3;
    for (auto &c : cases) {
        bytes b(80, 0);
        b[0] = (uint8_t)c.ssz;
        frames.push_back(request(c.cmd, mid++, b, 0, 1));
    }
    frames.push_back(request(3, mid++, {9}, 0, 1));  // shorter than a StructureSize
    auto r = talk(frames);
    ASSERT_EQ(frames.size(), r.size());
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_EQ(cases[i].status, h::status(r[i])) << "command " << cases[i].cmd;
        EXPECT_EQ(73u, r[i].size()) << "the 9-byte error body";
    }
    EXPECT_EQ(INVALID, h::status(r.back()));
}

TEST_F(Trees, DisconnectRetiresTheTreeOnce)
{
    ASSERT_TRUE(tree.file("media/a.txt", "abc"));
    int64_t trees = stat(VL2_ST_TREES);
    auto r = talk({tree_connect(3, "media"), create(4, 1, "a.txt"), tree_disconnect(5, 1), create(6, 1, "a.txt"),
                   tree_disconnect(7, 1), read_req(8, 1, 0x21, 3, 0)});
    ASSERT_EQ(6u, r.size());
    EXPECT_EQ(SUCCESS, h::status(r[1]));
    EXPECT_EQ("04000000", h::hex(body(r[2])));
    EXPECT_EQ(SESSION_DELETED, h::status(r[3]));
    EXPECT_EQ(SUCCESS, h::status(r[4]));
    EXPECT_EQ(SUCCESS, h::status(r[5])) << "opens outlive their tree";
    EXPECT_EQ(trees, stat(VL2_ST_TREES));
}

class Create : public FilesTest {
protected:
    void SetUp() override
    {
        FilesTest::SetUp();
        ASSERT_TRUE(tree.file("media/file.txt", std::string(70000, 'x')));
        ASSERT_TRUE(tree.dir("media/sub"));
        ASSERT_TRUE(tree.file("media/sub/f", "f"));
        ASSERT_TRUE(tree.dir("outside"));
        ASSERT_TRUE(tree.file("outside/secret", "secret"));
        ASSERT_TRUE(tree.dir("media2"));  // a sibling sharing the name prefix
        ASSERT_TRUE(tree.file("media2/x", "x"));
        ASSERT_TRUE(tree.link(tree.at("outside"), "media/link_out"));
        ASSERT_TRUE(tree.link(tree.at("media2"), "media/link_sib"));
        ASSERT_TRUE(tree.link("sub", "media/link_in"));
    }
};

TEST_F(Create, SuccessResponseByteExact)
{
    vl2_fstat st = {};
    ASSERT_EQ(0, vl2_fs_stat(tree.at("media/file.txt").c_str(), &st));
    auto r = talk({tree_connect(3, "media"), create(4, 1, "file.txt")});
    ASSERT_EQ(2u, r.size());
    bytes want;
    put16(want, 89);
    put16(want, 0);
    put32(want, 1);
    for (int64_t t : {st.crtime, st.atime, st.mtime, st.crtime}) put64(want, vl2_filetime(t));
    put64(want, 131072);
    put64(want, 70000);
    put32(want, 0x21);
    put32(want, 0);
    put64(want, 0x21);
    put64(want, 0);
    put64(want, 0);
    want.push_back(0);
    EXPECT_EQ(h::hex(h::cat(lg::rsp_hdr(5, SUCCESS, 4, 0, 1), want)), h::hex(r[1]));
}

TEST_F(Create, RefusalsAndCounters)
{
    struct C {
        const char *what;
        bool ipc;
        create_args a;
        uint32_t status;
        int write;    // counted in mutating_refused
        int escaped;  // counted in path_refused
    };
    auto A = [](std::string name, uint32_t access = GENERIC_READ, uint32_t disp = 1, uint32_t opts = 0,
                uint32_t imp = 2) {
        create_args a;
        a.name = name;
        a.access = access;
        a.disp = disp;
        a.opts = opts;
        a.imp = imp;
        return a;
    };
    const C cases[] = {
        {"open existing file", false, A("file.txt"), SUCCESS, 0, 0},
        {"FILE_OPEN_IF", false, A("file.txt", GENERIC_READ, 3), DENIED, 1, 0},
        {"FILE_CREATE on the pipe", true, A("srvsvc", GENERIC_READ, 2), DENIED, 1, 0},
        {"MAXIMUM_ALLOWED on disk", false, A("file.txt", 0x02000000), DENIED, 1, 0},
        {"MAXIMUM_ALLOWED on IPC", true, A("srvsvc", 0x02000000), SUCCESS, 0, 0},
        {"GENERIC_WRITE", false, A("file.txt", 0x40000000), DENIED, 1, 0},
        {"DELETE right", false, A("file.txt", 0x00010000), DENIED, 1, 0},
        {"write-through", false, A("file.txt", READ_ATTRIBUTES, 1, 0x2), DENIED, 1, 0},
        {"write-through on IPC", true, A("srvsvc", READ_ATTRIBUTES, 1, 0x2), SUCCESS, 0, 0},
        {"delete-on-close", false, A("file.txt", READ_ATTRIBUTES, 1, 0x1000), DENIED, 1, 0},
        {"option 0x20000", false, A("file.txt", GENERIC_READ, 1, 0x20000), NOT_SUPPORTED, 0, 0},
        {"reserve opfilter", false, A("file.txt", GENERIC_READ, 1, 0x100000), NOT_SUPPORTED, 0, 0},
        {"impersonation 4", false, A("file.txt", GENERIC_READ, 1, 0, 4), SUCCESS, 0, 0},
        {"impersonation 5", false, A("file.txt", GENERIC_READ, 1, 0, 5), INVALID, 0, 0},
        {"dot-dot", false, A("sub\\..\\file.txt"), NAME_INVALID, 0, 1},
        {"missing", false, A("missing.txt"), PATH_NOT_FOUND, 0, 0},
        {"link outside", false, A("link_out\\secret"), PATH_NOT_FOUND, 0, 1},
        {"link to prefix sibling", false, A("link_sib\\x"), PATH_NOT_FOUND, 0, 1},
        {"link inside", false, A("link_in\\f"), SUCCESS, 0, 0},
        {"directory-file on a file", false, A("file.txt", GENERIC_READ, 1, 0x1), NOT_A_DIRECTORY, 0, 0},
        {"non-directory on the root", false, A("", GENERIC_READ, 1, 0x40), IS_A_DIRECTORY, 0, 0},
        {"pipe, upper case", true, A("SRVSVC"), SUCCESS, 0, 0},
        // A leading backslash is malformed, and found before any right is examined.
        {"pipe with a backslash", true, A("\\srvsvc"), INVALID, 0, 0},
        {"leading backslash", false, A("\\file.txt"), INVALID, 0, 0},
        {"leading backslash, write access", false, A("\\file.txt", 0x40000000, 5), INVALID, 0, 0},
        {"leading slash", false, A("/file.txt"), SUCCESS, 0, 0},
    };
    for (const C &c : cases) {
        SCOPED_TRACE(c.what);
        int64_t refused = stat(VL2_ST_OPEN_REFUSED), mut = stat(VL2_ST_MUTATING_REFUSED),
                esc = stat(VL2_ST_PATH_REFUSED), opens = stat(VL2_ST_OPENS);
        auto r = talk({tree_connect(3, c.ipc ? "\\\\s\\IPC$" : "\\\\s\\media"), create(4, 1, c.a)});
        ASSERT_EQ(2u, r.size());
        EXPECT_EQ(c.status, h::status(r[1]));
        bool ok = c.status == SUCCESS;
        EXPECT_EQ(ok ? 153u : 152u, r[1].size()) << "89-byte body, or the 88-byte error body";
        if (!ok) {
            EXPECT_EQ(0x09, r[1][64]);
        }
        EXPECT_EQ(refused + (ok ? 0 : 1), stat(VL2_ST_OPEN_REFUSED));
        EXPECT_EQ(opens + (ok ? 1 : 0), stat(VL2_ST_OPENS));
        EXPECT_EQ(mut + c.write, stat(VL2_ST_MUTATING_REFUSED));
        EXPECT_EQ(esc + c.escaped, stat(VL2_ST_PATH_REFUSED));
    }
}

TEST_F(Create, NoTreeAndRemovedShare)
{
    auto r = talk({create(4, 99, "file.txt"), tree_connect(5, "media")});
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(SESSION_DELETED, h::status(r[0]));

    // A tree of a share removed afterwards serves nothing more.
    std::vector<bytes> pre = guest_logon();
    pre.push_back(tree_connect(3, "media"));
    auto rr = lg::converse({lg::send(pre), [&](const std::vector<bytes> &) {
                                vlsmb2s_remove_share("media");
                                return std::vector<bytes>{create(4, 1, ""), create(5, 1, "file.txt")};
                            }});
    ASSERT_EQ(6u, rr.size());
    EXPECT_EQ(NAME_NOT_FOUND, h::status(rr[4]));
    EXPECT_EQ(PATH_NOT_FOUND, h::status(rr[5]));
}

// The last-error slot is the operator's: what clients make fail (missing
// names, "..", a removed share) is answered on the wire and leaves it alone.
TEST_F(Create, ClientErrorsLeaveTheOperatorsLastError)
{
    ASSERT_NE(0, vlsmb2s_set_option("no_such_option", "1"));
    const std::string before = vlsmb2s_last_error();
    ASSERT_FALSE(before.empty());
    auto r = talk(
        {tree_connect(3, "media"), create(4, 1, "missing.txt"), create(5, 1, "sub\\..\\x"), tree_connect(6, "nosuch")});
    ASSERT_EQ(4u, r.size());
    EXPECT_EQ(PATH_NOT_FOUND, h::status(r[1]));
    EXPECT_EQ(NAME_INVALID, h::status(r[2]));
    EXPECT_NE(SUCCESS, h::status(r[3]));
    EXPECT_EQ(before, vlsmb2s_last_error());
    // The operator's own failures still land.
    EXPECT_NE(0, vlsmb2s_remove_share("nosuch"));
    EXPECT_STREQ("remove_share: no share nosuch", vlsmb2s_last_error());
}

TEST_F(Create, RootNamesAndFileIds)
{
    auto r = talk({tree_connect(3, "media"), create(4, 1, ""), create(5, 1, "sub\\f"), create(6, 1, "sub/f"),
                   tree_connect(7, "IPC$"), create(8, 1, "file.txt")});
    ASSERT_EQ(6u, r.size());
    EXPECT_EQ(0x11u, h::le32(r[1], 64 + 56)) << "root is a read-only directory";
    EXPECT_EQ(0x21u, h::le64(r[1], 64 + 64));
    EXPECT_EQ(0x31u, h::le64(r[2], 64 + 64));
    EXPECT_EQ(0x41u, h::le64(r[3], 64 + 64));
    EXPECT_EQ(5u, h::le32(r[4], 36)) << "trees and files draw from one counter";
    EXPECT_EQ(0x61u, h::le64(r[5], 64 + 64));
    // a\b and a/b are the same object: same metadata.
    EXPECT_EQ(h::hex(bytes(r[2].begin() + 72, r[2].begin() + 124)),
              h::hex(bytes(r[3].begin() + 72, r[3].begin() + 124)));
}

TEST_F(Create, HandleLimit)
{
    ASSERT_EQ(0, vlsmb2s_set_option("max_handles", "2"));
    auto r = talk({tree_connect(3, "media"), create(4, 1, "file.txt"), create(5, 1, "file.txt"),
                   create(6, 1, "file.txt"), close_req(7, 1, 0x21), create(8, 1, "file.txt")});
    ASSERT_EQ(6u, r.size());
    EXPECT_EQ(SUCCESS, h::status(r[2]));
    EXPECT_EQ(NO_RESOURCES, h::status(r[3]));
    EXPECT_EQ(SUCCESS, h::status(r[4]));
    EXPECT_EQ(SUCCESS, h::status(r[5]));
    EXPECT_EQ(0x41u, h::le64(r[5], 64 + 64));
}

TEST_F(Create, QfidContext)
{
    vl2_fstat st = {};
    ASSERT_EQ(0, vl2_fs_stat(tree.at("media/file.txt").c_str(), &st));
    auto with = [](std::vector<bytes> ctxs) {
        create_args a;
        a.name = "file.txt";
        for (const bytes &c : ctxs) a.contexts = h::cat(a.contexts, c);
        return a;
    };
    auto r = talk({tree_connect(3, "media"), create(4, 1, with({context("QFid", 0)})),
                   create(5, 1, with({context("MxAc", 0, false), context("QFid", 0)})),
                   create(6, 1, with({context("MxAc", 8)})), create(7, 1, "file.txt")});
    ASSERT_EQ(5u, r.size());
    bytes qfid = h::unhex("00000000 1000 0400 0000 1800 20000000 51466964 00000000");
    put64(qfid, st.ino);
    qfid.resize(56, 0);
    // Maximal access: QueryStatus 0 and the read rights, all this server grants.
    const std::string mxac = "1000 0400 0000 1800 08000000 4d784163 00000000 00000000 a9001200";
    struct {
        int i;
        std::string answers;
    } want[] = {
        {1, h::hex(qfid)},
        {2, h::hex(h::unhex("20000000" + mxac)) + h::hex(qfid)},
        {3, h::hex(h::unhex("00000000" + mxac))},
    };
    for (const auto &w : want) {
        SCOPED_TRACE(w.i);
        const bytes &p = r[w.i];
        ASSERT_EQ(SUCCESS, h::status(p));
        EXPECT_EQ(160u, h::le32(p, 64 + 80));
        EXPECT_EQ(w.answers.size() / 2, h::le32(p, 64 + 84));
        ASSERT_EQ(160u + w.answers.size() / 2, p.size());
        EXPECT_EQ(w.answers, h::hex(bytes(p.begin() + 160, p.end())));
        EXPECT_EQ(bytes(7, 0), bytes(p.begin() + 153, p.begin() + 160)) << "zero padding";
    }
    EXPECT_EQ(0u, h::le64(r[4], 64 + 80));
    EXPECT_EQ(153u, r[4].size());
}

// Contexts the server does not grant are passed over, a reconnect finds no
// handle, and a chain that does not hold together refuses the CREATE.
TEST_F(Create, ContextChains)
{
    // A context with a name of any length and dlen bytes of data.
    auto ctx = [](const std::string &name, uint32_t dlen, bool last = true) {
        bytes c;
        uint32_t data_at = (16 + (uint32_t)name.size() + 7) / 8 * 8, size = data_at + dlen;
        put32(c, last ? 0 : (size + 7) / 8 * 8);
        put16(c, 16);
        put16(c, (uint16_t)name.size());
        put16(c, 0);
        put16(c, dlen ? (uint16_t)data_at : 0);
        put32(c, dlen);
        c.insert(c.end(), name.begin(), name.end());
        c.resize(last ? size : (size + 7) / 8 * 8, 0);
        return c;
    };
    auto patch16 = [](bytes c, size_t at, uint16_t v) {
        vl2_put16(&c[at], v);
        return c;
    };
    auto patch32 = [](bytes c, size_t at, uint32_t v) {
        vl2_put32(&c[at], v);
        return c;
    };
    const std::string app_instance("\x45\xBC\xA6\x6A\xEF\xA7\xF7\x4A\x90\x08\xFA\x46\x2E\x14\x4D\x74", 16);
    const bytes one = ctx("MxAc", 0);
    struct {
        const char *what;
        bytes contexts;
        int64_t off_delta, len_delta;  // applied to the request's CreateContextsOffset/Length
        uint32_t status;
        uint32_t answered;  // CreateContextsLength of the response
    } cases[] = {
        {"nothing granted",
         h::cat(h::cat(h::cat(ctx("DHnQ", 16, false), ctx("DH2Q", 32, false)),
                       h::cat(ctx("RqLs", 52, false), ctx("AAPL", 24, false))),
                h::cat(h::cat(ctx("SecD", 20, false), ctx("ExtA", 12, false)),
                       h::cat(ctx("AlSi", 8, false), h::cat(ctx(app_instance, 20, false), ctx("TWrp", 8))))),
         0, 0, SUCCESS, 0},
        {"maximal access among others", h::cat(h::cat(ctx("DHnQ", 16, false), ctx("MxAc", 0, false)), ctx("RqLs", 32)),
         0, 0, SUCCESS, 32},
        {"reconnect", ctx("DHnC", 16), 0, 0, NAME_NOT_FOUND, 0},
        {"reconnect v2 after a lease", h::cat(ctx("RqLs", 32, false), ctx("DH2C", 36)), 0, 0, NAME_NOT_FOUND, 0},
        {"Next not a multiple of 8", h::cat(patch32(ctx("DHnQ", 16, false), 0, 36), ctx("MxAc", 0)), 0, 0, INVALID, 0},
        {"Next inside the head", h::cat(patch32(ctx("DHnQ", 16, false), 0, 8), ctx("MxAc", 0)), 0, 0, INVALID, 0},
        {"Next past the chain", patch32(one, 0, 64), 0, 0, INVALID, 0},
        {"next context cut short", h::cat(ctx("DHnQ", 16, false), bytes(8, 0)), 0, 0, INVALID, 0},
        {"name inside the head", patch16(one, 4, 8), 0, 0, INVALID, 0},
        {"name too short", patch16(one, 6, 2), 0, 0, INVALID, 0},
        {"name past the context", patch16(one, 6, 12), 0, 0, INVALID, 0},
        {"data not aligned", patch16(ctx("DHnQ", 16), 10, 20), 0, 0, INVALID, 0},
        {"data past the context", patch32(ctx("DHnQ", 16), 12, 17), 0, 0, INVALID, 0},
        {"maximal access with 4 bytes", ctx("MxAc", 4), 0, 0, INVALID, 0},
        {"chain shorter than a head", one, 0, -16, INVALID, 0},
        {"chain past the body", one, 0, 8, INVALID, 0},
        {"chain before the body", one, -96, 0, INVALID, 0},
        {"chain not aligned", h::cat(bytes(4, 0), one), 4, -4, INVALID, 0},
    };
    std::vector<bytes> frames = {tree_connect(3, "media")};
    for (size_t i = 0; i < std::size(cases); i++) {
        create_args a;
        a.name = "file.txt";
        a.contexts = cases[i].contexts;
        bytes f = create(10 + i, 1, a);
        // CreateContextsOffset and Length sit 48 bytes into the body, after the frame prefix and header.
        vl2_put32(&f[4 + 64 + 48], (uint32_t)(vl2_le32(&f[4 + 64 + 48]) + cases[i].off_delta));
        vl2_put32(&f[4 + 64 + 52], (uint32_t)(vl2_le32(&f[4 + 64 + 52]) + cases[i].len_delta));
        frames.push_back(f);
    }
    int64_t refused = stat(VL2_ST_OPEN_REFUSED);
    auto r = talk(frames);
    ASSERT_EQ(std::size(cases) + 1, r.size());
    int failures = 0;
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].what);
        const bytes &p = r[i + 1];
        EXPECT_EQ(cases[i].status, h::status(p));
        if (cases[i].status != SUCCESS) {
            failures++;
            continue;
        }
        EXPECT_EQ(cases[i].answered, h::le32(p, 64 + 84));
        EXPECT_EQ(cases[i].answered ? 160u : 0u, h::le32(p, 64 + 80));
    }
    EXPECT_EQ(refused + failures, stat(VL2_ST_OPEN_REFUSED));
}

TEST_F(Create, CloseReportsCreateTimeMetadataOnce)
{
    std::vector<bytes> pre = guest_logon();
    pre.push_back(tree_connect(3, "media"));
    pre.push_back(create(4, 1, "file.txt"));
    auto r = lg::converse({lg::send(pre), [&](const std::vector<bytes> &) {
                               tree.file("media/file.txt", "now much shorter");
                               return std::vector<bytes>{close_req(5, 1, 0x21), close_req(6, 1, 0x21)};
                           }});
    ASSERT_EQ(7u, r.size());
    const bytes &cr = r[4], &cl = r[5];
    ASSERT_EQ(SUCCESS, h::status(cl));
    ASSERT_EQ(124u, cl.size());
    EXPECT_EQ("3c00000000000000", h::hex(bytes(cl.begin() + 64, cl.begin() + 72)));
    EXPECT_EQ(h::hex(bytes(cr.begin() + 72, cr.begin() + 124)), h::hex(bytes(cl.begin() + 72, cl.end())));
    EXPECT_EQ(70000u, h::le64(cl, 64 + 48));
    EXPECT_EQ(FILE_CLOSED, h::status(r[6])) << "already closed";
}

// A share redefined on a narrower folder after the connect: an open made
// since is held to the new root, so a link swapped in later cannot reach
// what only the old definition covered.
TEST_F(Create, OpenIsHeldToTheShareItWasResolvedIn)
{
    ASSERT_TRUE(tree.dir("media/inner"));
    ASSERT_TRUE(tree.file("media/inner/f.txt", "inside"));
    ASSERT_TRUE(tree.file("media/old-only.txt", "old root only"));
    std::vector<bytes> pre = guest_logon();
    pre.push_back(tree_connect(3, "media"));
    auto r = lg::converse({lg::send(pre),
                           [&](const std::vector<bytes> &) {
                               vlsmb2s_remove_share("media");
                               EXPECT_EQ(0, vlsmb2s_add_share("media", tree.at("media/inner").c_str()));
                               return std::vector<bytes>{create(4, 1, "f.txt")};
                           },
                           [&](const std::vector<bytes> &) {
                               unlink(tree.at("media/inner/f.txt").c_str());
                               tree.link(tree.at("media/old-only.txt"), "media/inner/f.txt");
                               return std::vector<bytes>{read_req(5, 1, 0x21, 100, 0)};
                           }});
    ASSERT_EQ(6u, r.size());
    EXPECT_EQ(SUCCESS, h::status(r[4]));
    EXPECT_EQ(DENIED, h::status(r[5]));
}

// A compound whose first request claims to be related has nothing to take
// its identifiers from: every member fails, and a CLOSE of the handle it
// would have inherited finds none.
TEST_F(Create, CompoundThatStartsRelatedFailsWhole)
{
    auto member = [](const bytes &framed, bool related, bool last) {
        bytes b(framed.begin() + 4, framed.end());
        if (related) {
            b[16] |= 0x04;
            memset(&b[36], 0xFF, 12);  // TreeId and SessionId of the previous request
        }
        if (!last) {
            b.resize((b.size() + 7) / 8 * 8, 0);
            vl2_put32(&b[20], (uint32_t)b.size());
        }
        return b;
    };
    const uint64_t ONES = ~0ull;
    for (bool first_related : {true, false}) {
        SCOPED_TRACE(first_related);
        bytes chain = h::cat(h::cat(member(create(4, 1, "file.txt"), first_related, false),
                                    member(query_info(5, 1, ONES, 1, 5, 0), true, false)),
                             member(close_req(6, 1, ONES), true, true));
        int64_t opens = stat(VL2_ST_OPENS);
        auto r = talk({tree_connect(3, "media"), h::frame(chain), close_req(7, 1, 0x21)});
        ASSERT_EQ(3u, r.size());
        std::vector<uint32_t> got;
        for (size_t off = 0; off + 64 <= r[1].size();) {
            got.push_back(h::status(r[1], off));
            uint32_t next = h::le32(r[1], off + 20);
            if (!next) break;
            off += next;
        }
        if (first_related) {
            EXPECT_EQ((std::vector<uint32_t>{INVALID, INVALID, FILE_CLOSED}), got);
            EXPECT_EQ(opens, stat(VL2_ST_OPENS));
        } else {
            EXPECT_EQ((std::vector<uint32_t>{SUCCESS, SUCCESS, SUCCESS}), got);
        }
        EXPECT_EQ(FILE_CLOSED, h::status(r[2])) << "no handle outlives the chain";
    }
    // A lone request carrying the flag is no compound and is served.
    bytes lone = create(4, 1, "file.txt");
    lone[4 + 16] |= 0x04;
    auto r = talk({tree_connect(3, "media"), lone});
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(SUCCESS, h::status(r[1]));
}

}  // namespace
