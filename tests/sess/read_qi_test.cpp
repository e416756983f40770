// READ and QUERY_INFO through the real loop.
#include "files_util.h"

#include "fs/fs.h"

#include <cstdio>
#include <dirent.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace fl;

namespace {

std::string pattern(size_t n)
{
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++) s[i] = (char)(i * 7 + i / 251);
    return s;
}

bytes read_body(const std::string &data)
{
    bytes b = {17, 0, 80, 0};
    put32(b, (uint32_t)data.size());
    put32(b, 0);  // DataRemaining: nothing follows on another channel
    put32(b, 0);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

class Read : public FilesTest {
protected:
    std::string data = pattern(70000);
    void SetUp() override
    {
        FilesTest::SetUp();
        ASSERT_TRUE(tree.file("media/data.bin", data));
        ASSERT_TRUE(tree.file("media/big.bin", pattern(1048577)));
        ASSERT_TRUE(tree.dir("media/d"));
        ASSERT_TRUE(tree.file("media/d/f.txt", "inside"));
        ASSERT_TRUE(tree.dir("outside"));
        ASSERT_TRUE(tree.file("outside/f.txt", "OUTSIDE SECRET"));
    }
};

TEST_F(Read, OffsetsAndEndOfFile)
{
    // Clients that read until told so (ReadFile loops of some libraries)
    // stop only at END_OF_FILE; MinimumCount asks for it early.
    struct {
        uint32_t len;
        uint64_t off;
        uint32_t min_count;
        uint32_t status;
        size_t from, count;
    } cases[] = {
        {100, 0, 0, SUCCESS, 0, 100},
        {100, 69990, 0, SUCCESS, 69990, 10},  // the last 10 bytes
        {100, 69990, 10, SUCCESS, 69990, 10},
        {100, 69990, 11, END_OF_FILE, 0, 0},  // fewer than the minimum
        {100, 70000, 0, END_OF_FILE, 0, 0},   // at the end
        {100, 70000, 1, END_OF_FILE, 0, 0},
        {100, 1u << 30, 0, END_OF_FILE, 0, 0},   // beyond it
        {100, ~0ull - 5, 0, END_OF_FILE, 0, 0},  // an offset no host file reaches
        {0, 0, 0, SUCCESS, 0, 0},
        {0, 70000, 0, SUCCESS, 0, 0},  // nothing asked, nothing missing
        {65536, 4000, 0, SUCCESS, 4000, 65536},
    };
    std::vector<bytes> frames = {tree_connect(3, "media"), create(4, 1, "data.bin")};
    for (size_t i = 0; i < std::size(cases); i++)
        frames.push_back(read_req(10 + i, 1, 0x21, cases[i].len, cases[i].off, 0, cases[i].min_count));
    int64_t reads = stat(VL2_ST_READS), ok = 0;
    auto r = talk(frames);
    ASSERT_EQ(2 + std::size(cases), r.size());
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        const bytes &x = r[2 + i];
        EXPECT_EQ(h::hex(lg::rsp_hdr(8, cases[i].status, 10 + i, 0, 1)), h::hex(bytes(x.begin(), x.begin() + 64)));
        if (cases[i].status == SUCCESS) {
            ok++;
            EXPECT_TRUE(body(x) == read_body(data.substr(cases[i].from, cases[i].count)));
        } else {
            EXPECT_EQ("090000000000000000", h::hex(body(x)));
        }
    }
    EXPECT_EQ(reads + ok, stat(VL2_ST_READS)) << "one per READ, however many blocks";
}

TEST_F(Read, MaxReadIsTheLimit)
{
    for (bool large : {false, true}) {
        SCOPED_TRACE(large);
        uint32_t max = large ? 1048576 : 65536;
        auto r = talk({tree_connect(3, "media"), create(4, 1, "big.bin"), read_req(5, 1, 0x21, max, 1),
                       read_req(6, 1, 0x21, max + 1, 0)},
                      large);
        ASSERT_EQ(4u, r.size());
        EXPECT_EQ(SUCCESS, h::status(r[2]));
        EXPECT_EQ(max, h::le32(r[2], 64 + 4));
        EXPECT_EQ(80u + max, r[2].size());
        EXPECT_TRUE(body(r[2]) == read_body(pattern(1048577).substr(1, max)));
        EXPECT_EQ(INVALID, h::status(r[3]));
    }
}

TEST_F(Read, Refusals)
{
    int64_t reads = stat(VL2_ST_READS);
    auto r = talk({tree_connect(3, "media"), create(4, 1, ""), tree_connect(5, "IPC$"), create(6, 3, "srvsvc"),
                   create(7, 1, "data.bin"), read_req(8, 1, 0x21, 10, 0), read_req(9, 3, 0x41, 10, 0),
                   read_req(10, 1, 0x51, 10, 0, 1), read_req(11, 1, 0x71, 10, 0)});
    ASSERT_EQ(9u, r.size());
    EXPECT_EQ(IS_A_DIRECTORY, h::status(r[5]));
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[6])) << "the pipe is read through IOCTL";
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[7])) << "channel";
    EXPECT_EQ(FILE_CLOSED, h::status(r[8])) << "unknown FileId";
    for (int i = 5; i < 9; i++) EXPECT_EQ(73u, r[i].size());
    EXPECT_EQ(reads, stat(VL2_ST_READS));
}

TEST_F(Read, ContentIsReadNowNotAtCreate)
{
    std::vector<bytes> pre = guest_logon();
    pre.push_back(tree_connect(3, "media"));
    pre.push_back(create(4, 1, "d/f.txt"));
    pre.push_back(create(5, 1, "data.bin"));
    auto r = lg::converse({lg::send(pre), [&](const std::vector<bytes> &) {
                               unlink(tree.at("media/d/f.txt").c_str());
                               tree.file("media/data.bin", data + "more");
                               return std::vector<bytes>{read_req(6, 1, 0x21, 0, 0), read_req(7, 1, 0x31, 10, 70000)};
                           }});
    ASSERT_EQ(8u, r.size());
    EXPECT_EQ(DENIED, h::status(r[6])) << "deleted after CREATE, even for Length 0";
    EXPECT_TRUE(body(r[7]) == read_body("more")) << "grown past its CREATE-time size";
}

TEST_F(Read, FolderSwappedForALinkServesNothingOutside)
{
    int64_t refused = stat(VL2_ST_PATH_REFUSED);
    std::vector<bytes> pre = guest_logon();
    pre.push_back(tree_connect(3, "media"));
    pre.push_back(create(4, 1, "d/f.txt"));
    auto r = lg::converse({lg::send(pre), [&](const std::vector<bytes> &) {
                               unlink(tree.at("media/d/f.txt").c_str());
                               rmdir(tree.at("media/d").c_str());
                               tree.link(tree.at("outside"), "media/d");
                               return std::vector<bytes>{read_req(5, 1, 0x21, 100, 0)};
                           }});
    ASSERT_EQ(6u, r.size());
    EXPECT_EQ(SUCCESS, h::status(r[4]));
    EXPECT_EQ(DENIED, h::status(r[5]));
    EXPECT_EQ(73u, r[5].size());
    EXPECT_EQ(refused + 1, stat(VL2_ST_PATH_REFUSED));
}

// The host changes between two READs of one open: the second READ gives
// what opening the name afresh gives, whatever the first one left behind.
TEST_F(Read, HostChangesBetweenTwoReadsOfOneOpen)
{
    struct {
        const char *what;
        std::function<void(const std::string &)> change;  // given the open's folder
        uint32_t status;
        std::string data;
    } cases[] = {
        {"rewritten in place", [&](const std::string &d) { tree.file(d + "/f.txt", "INSIDE"); }, SUCCESS, "INSIDE"},
        {"replaced by a rename",
         [&](const std::string &d) {
             tree.file(d + "/new", "renamed");
             rename(tree.at(d + "/new").c_str(), tree.at(d + "/f.txt").c_str());
         },
         SUCCESS, "renamed"},
        {"deleted", [&](const std::string &d) { unlink(tree.at(d + "/f.txt").c_str()); }, DENIED, ""},
        {"folder swapped for a link out",
         [&](const std::string &d) {
             unlink(tree.at(d + "/f.txt").c_str());
             rmdir(tree.at(d).c_str());
             tree.link(tree.at("outside"), d);
         },
         DENIED, ""},
        {"swapped for a FIFO",
         [&](const std::string &d) {
             unlink(tree.at(d + "/f.txt").c_str());
             mkfifo(tree.at(d + "/f.txt").c_str(), 0644);
         },
         DENIED, ""},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].what);
        const std::string d = "media/c" + std::to_string(i);
        ASSERT_TRUE(tree.dir(d));
        ASSERT_TRUE(tree.file(d + "/f.txt", "inside"));
        std::vector<bytes> pre = guest_logon();
        pre.push_back(tree_connect(3, "media"));
        pre.push_back(create(4, 1, "c" + std::to_string(i) + "/f.txt"));
        pre.push_back(read_req(5, 1, 0x21, 100, 0));
        auto r = lg::converse({lg::send(pre), [&](const std::vector<bytes> &) {
                                   cases[i].change(d);
                                   return std::vector<bytes>{read_req(6, 1, 0x21, 100, 0)};
                               }});
        ASSERT_EQ(7u, r.size());
        EXPECT_TRUE(body(r[5]) == read_body("inside"));
        EXPECT_EQ(cases[i].status, h::status(r[6]));
        if (cases[i].status == SUCCESS) {
            EXPECT_TRUE(body(r[6]) == read_body(cases[i].data));
        }
    }
}

size_t open_descriptors()
{
    size_t n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
}

// Every open READ keeps its host file for the next READ, but one connection
// keeps a bounded number (the least recently read go first), and an open's
// CLOSE closes its file.
TEST_F(Read, KeptFilesAreBoundedAndClosedWithTheirOpens)
{
    constexpr int FILES = 40;
    std::vector<bytes> opens = guest_logon(), reads, closes;
    opens.push_back(tree_connect(3, "media"));
    for (int i = 0; i < FILES; i++) {
        const std::string name = "k" + std::to_string(i);
        ASSERT_TRUE(tree.file("media/" + name, "file " + std::to_string(i)));
        const uint64_t fid = ((uint64_t)(i + 2) << 4) | 1;
        opens.push_back(create(4 + i, 1, name));
        reads.push_back(read_req(100 + i, 1, fid, 100, 0));
        closes.push_back(close_req(200 + i, 1, fid));
    }
    const size_t before = open_descriptors();
    std::vector<size_t> during;
    auto then = [&](std::vector<bytes> next) {
        return [&, next](const std::vector<bytes> &) {
            during.push_back(open_descriptors());
            return next;
        };
    };
    opens.insert(opens.end(), reads.begin(), reads.end());
    auto r = lg::converse({lg::send(opens), then(reads), then(closes), then({})});
    ASSERT_EQ(LOGON_REPLIES + 1 + 4u * FILES, r.size());
    for (int i = 0; i < FILES; i++) {
        SCOPED_TRACE(i);
        const bytes want = read_body("file " + std::to_string(i));
        EXPECT_TRUE(body(r[LOGON_REPLIES + 1 + FILES + i]) == want);
        EXPECT_TRUE(body(r[LOGON_REPLIES + 1 + 2 * FILES + i]) == want) << "read again after its file gave way";
        EXPECT_EQ(SUCCESS, h::status(r[LOGON_REPLIES + 1 + 3 * FILES + i]));
    }
    ASSERT_EQ(3u, during.size());
    for (size_t kept : {during[0], during[1]}) {
        EXPECT_GT(kept, before);
        EXPECT_LE(kept, before + 16);
    }
    EXPECT_EQ(before, during[2]) << "every CLOSE closed its file";
}

class QueryInfo : public FilesTest {
protected:
    void SetUp() override
    {
        FilesTest::SetUp();
        ASSERT_TRUE(tree.file("media/one", "1"));
        ASSERT_TRUE(tree.file("media/seventy", std::string(70000, 's')));
        ASSERT_EQ(0, vl2_fs_stat(tree.at("media/one").c_str(), &one));
    }
    vl2_fstat one = {};
    // Opens "" (0x21), "one" (0x31) and "seventy" (0x41) on tree 1 and the
    // pipe (0x61) on tree 5, then asks the given queries.
    std::vector<bytes> ask(std::vector<bytes> queries)
    {
        std::vector<bytes> f = {tree_connect(3, "media"), create(4, 1, ""),        create(5, 1, "one"),
                                create(6, 1, "seventy"),  tree_connect(7, "IPC$"), create(8, 5, "srvsvc")};
        f.insert(f.end(), queries.begin(), queries.end());
        auto r = talk(f);
        EXPECT_EQ(f.size(), r.size());
        if (r.size() < 6) return {};
        return std::vector<bytes>(r.begin() + 6, r.end());
    }
};

bytes data_of(const bytes &x) { return x.size() >= 72 ? bytes(x.begin() + 72, x.end()) : bytes(); }

TEST_F(QueryInfo, AllInformationSizes)
{
    bytes all;
    for (int64_t t : {one.crtime, one.atime, one.mtime, one.crtime}) put64(all, vl2_filetime(t));
    put32(all, 0x21);
    put32(all, 0);
    put64(all, 65536);
    put64(all, 1);
    put32(all, 1);
    put32(all, 0);
    put64(all, one.ino);
    put32(all, 0);
    put32(all, 0x001200A9);
    all.resize(96, 0);
    put32(all, 8);  // the share-relative name follows
    all = h::cat(all, utf16("\\one"));
    auto r = ask({query_info(10, 1, 0x31, 1, 18, 96), query_info(11, 1, 0x31, 1, 18, 95),
                  query_info(12, 1, 0x31, 1, 18, 0), query_info(13, 1, 0x31, 1, 18, 108),
                  query_info(14, 1, 0x31, 1, 18, 4096), query_info(15, 1, 0x31, 1, 18, 101)});
    ASSERT_EQ(6u, r.size());
    for (int i : {0, 5}) {
        uint32_t cut = i ? 101 : 96;
        EXPECT_EQ(OVERFLOW, h::status(r[i]));
        EXPECT_EQ(h::hex(bytes(all.begin(), all.begin() + cut)), h::hex(data_of(r[i])));
        EXPECT_EQ(cut, h::le32(r[i], 68));
    }
    EXPECT_EQ(INFO_LENGTH_MISMATCH, h::status(r[1]));
    EXPECT_EQ(73u, r[1].size());
    for (int i : {2, 3, 4}) {
        EXPECT_EQ(SUCCESS, h::status(r[i]));
        EXPECT_EQ("09004800"
                  "6c000000",
                  h::hex(bytes(r[i].begin() + 64, r[i].begin() + 72)));
        EXPECT_EQ(h::hex(all), h::hex(data_of(r[i])));
    }
}

TEST_F(QueryInfo, FileClasses)
{
    auto r =
        ask({query_info(10, 1, 0x21, 1, 5, 0), query_info(11, 1, 0x31, 1, 5, 0), query_info(12, 1, 0x41, 1, 34, 0),
             query_info(13, 1, 0x31, 1, 6, 8), query_info(14, 1, 0x21, 1, 35, 0), query_info(15, 1, 0x31, 1, 35, 8),
             query_info(16, 1, 0x31, 1, 35, 7), query_info(17, 1, 0x31, 1, 7, 0), query_info(18, 1, 0x31, 1, 7, 3),
             query_info(19, 1, 0x31, 1, 4, 40), query_info(20, 1, 0x31, 1, 99, 0), query_info(21, 1, 0x61, 1, 5, 0)});
    ASSERT_EQ(12u, r.size());
    EXPECT_EQ("0000000000000000"
              "0000000000000000"
              "00000000"
              "00"
              "01"
              "0000",
              h::hex(data_of(r[0])));
    EXPECT_EQ("0000010000000000"
              "0100000000000000"
              "01000000"
              "00"
              "00"
              "0000",
              h::hex(data_of(r[1])));
    bytes net = data_of(r[2]);
    ASSERT_EQ(56u, net.size());
    EXPECT_EQ(131072u, h::le64(net, 32));
    EXPECT_EQ(70000u, h::le64(net, 40));
    EXPECT_EQ(0x21u, h::le32(net, 48));
    bytes ino;
    put64(ino, one.ino);
    EXPECT_EQ(h::hex(ino), h::hex(data_of(r[3])));
    EXPECT_EQ("1000000000000000", h::hex(data_of(r[4]))) << "attribute tag of a folder";
    EXPECT_EQ("2100000000000000", h::hex(data_of(r[5])));
    EXPECT_EQ(INFO_LENGTH_MISMATCH, h::status(r[6]));
    EXPECT_EQ("00000000", h::hex(data_of(r[7]))) << "no extended attributes";
    EXPECT_EQ(INFO_LENGTH_MISMATCH, h::status(r[8]));
    EXPECT_EQ(40u, data_of(r[9]).size());
    EXPECT_EQ(INVALID_INFO_CLASS, h::status(r[10]));
    EXPECT_EQ(SUCCESS, h::status(r[11])) << "the pipe's file information";
    EXPECT_EQ("0000000000000000"
              "0000000000000000"
              "01000000"
              "00"
              "00"
              "0000",
              h::hex(data_of(r[11])));
}

TEST_F(QueryInfo, FileSystemClassesAndRefusals)
{
    auto r =
        ask({query_info(10, 1, 0x21, 2, 1, 0), query_info(11, 1, 0x21, 2, 1, 0), query_info(12, 1, 0x31, 2, 1, 0),
             query_info(13, 1, 0x21, 2, 5, 0), query_info(14, 1, 0x21, 2, 3, 0), query_info(15, 1, 0x21, 2, 4, 0),
             query_info(16, 1, 0x21, 2, 7, 0), query_info(17, 1, 0x21, 2, 1, 21), query_info(18, 1, 0x21, 2, 1, 22),
             query_info(19, 1, 0x21, 3, 0, 0), query_info(20, 5, 0x61, 2, 1, 0), query_info(21, 1, 0x99, 1, 4, 0),
             query_info(22, 1, 0x21, 2, 2, 0), query_info(23, 1, 0x21, 5, 1, 0), query_info(24, 1, 0x21, 4, 0, 0)});
    ASSERT_EQ(15u, r.size());
    std::string root = tree.at("media");
    bytes vol;
    put64(vol, 116444736000000000ull);
    put32(vol, (uint32_t)lg::fnv(root.data(), root.size()));
    put32(vol, 10);
    put16(vol, 0);
    vol = h::cat(vol, utf16("media"));
    EXPECT_EQ(h::hex(vol), h::hex(data_of(r[0])));
    EXPECT_EQ(h::hex(data_of(r[0])), h::hex(data_of(r[1]))) << "same serial twice";
    EXPECT_NE(h::le32(data_of(r[0]), 8), h::le32(data_of(r[2]), 8)) << "serial follows the object";
    EXPECT_EQ("07000400"
              "ff000000"
              "08000000" +
                  h::hex(utf16("NTFS")),
              h::hex(data_of(r[3])));
    EXPECT_EQ("0000000000000000"
              "0000000000000000"
              "01000000"
              "00020000",
              h::hex(data_of(r[4])));
    EXPECT_EQ("07000000"
              "02000000",
              h::hex(data_of(r[5])));
    EXPECT_EQ(h::hex(h::cat(bytes(24, 0), h::unhex("01000000 00020000"))), h::hex(data_of(r[6])));
    EXPECT_EQ(INFO_LENGTH_MISMATCH, h::status(r[7])) << "below 12 + label";
    EXPECT_EQ(OVERFLOW, h::status(r[8]));
    EXPECT_EQ(22u, data_of(r[8]).size());
    EXPECT_EQ(BUFFER_TOO_SMALL, h::status(r[9])) << "security, no room";
    EXPECT_EQ(INVALID_INFO_CLASS, h::status(r[10])) << "file-system classes on the pipe";
    EXPECT_EQ(FILE_CLOSED, h::status(r[11]));
    EXPECT_EQ(INVALID_INFO_CLASS, h::status(r[12]));
    EXPECT_EQ(INVALID_INFO_CLASS, h::status(r[13]));
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[14])) << "quota";
}

// smbclient's allinfo stops at INVALID_INFO_CLASS for the alternate name but
// goes on past NOT_SUPPORTED.
TEST_F(QueryInfo, AlternateNameIsNotSupportedSoAllinfoGoesOn)
{
    auto r = ask({query_info(10, 1, 0x21, 1, 21, 0), query_info(11, 1, 0x31, 1, 21, 0)});
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[0]));
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[1]));
}

TEST_F(QueryInfo, VolumeLabelOfANonAsciiShare)
{
    ASSERT_TRUE(tree.dir("m\xc3\xbasica"));
    ASSERT_EQ(0, vlsmb2s_add_share("M\xc3\xbasica", tree.at("m\xc3\xbasica").c_str()));
    auto r = talk({tree_connect(3, "\\\\s\\M\xc3\xbasica"), create(4, 1, ""), query_info(5, 1, 0x21, 2, 1, 0)});
    ASSERT_EQ(3u, r.size());
    ASSERT_EQ(SUCCESS, h::status(r[0]));
    bytes d = data_of(r[2]);
    bytes label = {'M', 0, 0xFA, 0, 's', 0, 'i', 0, 'c', 0, 'a', 0};
    EXPECT_EQ(12u, h::le32(d, 12));
    EXPECT_EQ(h::hex(label), h::hex(bytes(d.begin() + std::min<size_t>(18, d.size()), d.end())));
}

// The name a client sees is the share's, never the host's: a leading
// backslash, backslash separators, the root as one backslash. A client that
// sizes FileAllInformation as its fixed 100 bytes plus at least one byte of
// name (the Linux kernel's) cannot mount without it.
TEST_F(QueryInfo, NamesAreShareRelative)
{
    ASSERT_TRUE(tree.dir("media/Sub dir"));
    ASSERT_TRUE(tree.file("media/Sub dir/\xc3\xa9t\xc3\xa9.txt", "e"));
    auto r = talk({tree_connect(3, "media"), create(4, 1, ""), create(5, 1, "Sub dir\\\xc3\xa9t\xc3\xa9.txt"),
                   create(6, 1, "Sub dir//"), tree_connect(7, "IPC$"), create(8, 5, "srvsvc"),
                   query_info(10, 1, 0x21, 1, 18, 65536), query_info(11, 1, 0x31, 1, 18, 65536),
                   query_info(12, 1, 0x41, 1, 18, 65536), query_info(13, 5, 0x61, 1, 18, 65536),
                   query_info(14, 1, 0x21, 1, 9, 0), query_info(15, 1, 0x31, 1, 9, 0), query_info(16, 1, 0x31, 1, 9, 3),
                   query_info(17, 1, 0x31, 1, 48, 0)});
    ASSERT_EQ(14u, r.size());
    const char *names[] = {"\\", "\\Sub dir\\\xc3\xa9t\xc3\xa9.txt", "\\Sub dir", "\\srvsvc"};
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(names[i]);
        bytes d = data_of(r[6 + i]), name = utf16(names[i]);
        ASSERT_EQ(SUCCESS, h::status(r[6 + i]));
        ASSERT_GE(d.size(), 101u);
        EXPECT_EQ(name.size(), h::le32(d, 96));
        EXPECT_EQ(h::hex(name), h::hex(bytes(d.begin() + 100, d.end())));
        if (i < 2) {
            bytes n9 = data_of(r[10 + i]);
            EXPECT_EQ(h::hex(bytes(d.begin() + 96, d.end())), h::hex(n9)) << "FileNameInformation";
        }
    }
    EXPECT_EQ(INFO_LENGTH_MISMATCH, h::status(r[12]));
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[13])) << "normalized names exist from 3.1.1 on";
}

// One fixed descriptor: owner Administrators, group SYSTEM, a DACL letting
// Everyone read and execute; only the parts asked for; never cut.
TEST_F(QueryInfo, SecurityDescriptor)
{
    const std::string owner = "01020000000000052000000020020000", group = "010100000000000512000000",
                      dacl = "02001c0001000000"
                             "00001400a9001200"
                             "010100000000000100000000";
    struct {
        uint32_t addl, obuf, status;
        std::string data;
    } cases[] = {
        {7, 4096, SUCCESS,
         "01000480"
         "14000000"
         "24000000"
         "00000000"
         "30000000" +
             owner + group + dacl},
        {7, 76, SUCCESS,
         "01000480"
         "14000000"
         "24000000"
         "00000000"
         "30000000" +
             owner + group + dacl},
        {4, 48, SUCCESS,
         "01000480"
         "00000000"
         "00000000"
         "00000000"
         "14000000" +
             dacl},
        {3, 4096, SUCCESS,
         "01000080"
         "14000000"
         "24000000"
         "00000000"
         "00000000" +
             owner + group},
        {8, 4096, SUCCESS,
         "01000080"
         "00000000"
         "00000000"
         "00000000"
         "00000000"},  // no SACL is shown
        {7, 75, BUFFER_TOO_SMALL,
         "04000000"
         "4c000000"},  // ByteCount, then the size needed
        {7, 0, BUFFER_TOO_SMALL,
         "04000000"
         "4c000000"},
    };
    std::vector<bytes> q;
    for (size_t i = 0; i < std::size(cases); i++)
        q.push_back(query_info(10 + i, 1, 0x31, 3, 0, cases[i].obuf, cases[i].addl));
    q[1] = query_info(11, 5, 0x61, 3, 0, cases[1].obuf, cases[1].addl);  // the pipe shows it too
    auto r = ask(q);
    ASSERT_EQ(std::size(cases), r.size());
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].status, h::status(r[i]));
        if (cases[i].status == SUCCESS) {
            EXPECT_EQ(cases[i].data, h::hex(data_of(r[i])));
            EXPECT_EQ(cases[i].data.size() / 2, h::le32(r[i], 68));
        } else {
            EXPECT_EQ("09000000" + cases[i].data, h::hex(body(r[i])));
        }
    }
}

}  // namespace
