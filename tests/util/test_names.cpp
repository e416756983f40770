#include "util/util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string rep(const std::string &s, int n)
{
    std::string r;
    for (int i = 0; i < n; i++) r += s;
    return r;
}

// n components of len bytes joined with sep.
std::string comps(int n, int len, char sep = '/')
{
    std::string r;
    for (int i = 0; i < n; i++) {
        if (i) r += sep;
        r += std::string(len, (char)('a' + i % 26));
    }
    return r;
}

}  // namespace

TEST(Vpath, Table)
{
    struct {
        std::string in;
        int cap;
        int rc;
        std::string out_or_msg;
    } cases[] = {
        {"", 1, 0, ""},
        {"\\/\\//", 1, 0, ""},
        {"", 0, -8, "the name needs 1 bytes"},
        {"a\\b//c\\", 64, 0, "a/b/c"},
        {"/dir\\sub/file.txt", 64, 0, "dir/sub/file.txt"},
        {" lead:*?\"<>|\xc3\xa9", 64, 0, " lead:*?\"<>|\xc3\xa9"},
        {"abc", 3, -8, "the name needs 4 bytes"},
        {"abc", 4, 0, "abc"},
        {"a/./b", 64, -7, "\".\" is not a valid name component"},
        {"a/../b", 64, -7, "\"..\" is not a valid name component"},
        {"a/.../b", 64, -7, "name component ends in a dot or a space"},
        {"a/b /c", 64, -7, "name component ends in a dot or a space"},
        {"a/b\x1f"
         "c",
         64, -7, "control byte in a name component"},
        {"a/b\x7f", 64, -7, "control byte in a name component"},
        {std::string(255, 'x'), 300, 0, std::string(255, 'x')},
        {std::string(256, 'x'), 300, -7, "name component longer than 255 bytes"},
        // The first broken rule decides: length comes before the trailing dot.
        {std::string(300, 'x') + ".", 400, -7, "name component longer than 255 bytes"},
        {comps(64, 1), 200, 0, comps(64, 1)},
        {comps(65, 1, '\\'), 200, -7, "deeper than 64 components"},
        {std::string(2049, '/'), 10, -7, "name longer than 2048 bytes"},
        {std::string(2048, '/'), 1, 0, ""},
    };
    for (auto &c : cases) {
        char out[2100];
        vl2_set_error("unchanged");
        int rc = vl2_vpath(c.in.c_str(), c.cap ? out : nullptr, c.cap);
        ASSERT_EQ(rc, c.rc) << c.in;
        if (rc == 0)
            EXPECT_EQ(std::string(out), c.out_or_msg);
        else
            EXPECT_EQ(std::string(vl2_error()), c.out_or_msg) << c.in;
    }
    // 4 x 254 bytes + 3 separators = 1019; a fifth component takes it to 1024 or 1025.
    std::string p1024 = comps(4, 254) + "/zzzz", p1025 = comps(4, 254) + "/zzzzz";
    char out[1100];
    EXPECT_EQ(vl2_vpath(p1024.c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out).size(), 1024u);
    EXPECT_EQ(vl2_vpath(("//" + rep("\\", 5) + p1025).c_str(), out, sizeof out), -7);
    EXPECT_STREQ(vl2_error(), "path longer than 1024 bytes");
    EXPECT_EQ(vl2_vpath(nullptr, out, 1), 0);
    EXPECT_STREQ(out, "");
}

TEST(PatCheck, Table)
{
    struct {
        std::string pat;
        int rc;
        const char *msg;
    } cases[] = {
        {"*.txt", 0, nullptr},
        {"", 0, nullptr},
        {"<>\"?*", 0, nullptr},
        {std::string(512, 'p'), 0, nullptr},
        {std::string(513, 'p'), -1, "pattern longer than 512 bytes"},
        {"dir/*", -1, "the pattern is a leaf name only"},
        {"dir\\*", -1, "the pattern is a leaf name only"},
        {"a\tb/", -1, "control byte in the pattern"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(vl2_pat_check(c.pat.c_str()), c.rc) << c.pat;
        if (c.msg) {
            EXPECT_STREQ(vl2_error(), c.msg);
        }
    }
    EXPECT_EQ(vl2_pat_check(nullptr), -1);
    EXPECT_STREQ(vl2_error(), "NULL pattern");
}

TEST(Glob, Table)
{
    struct {
        const char *pat, *name;
        int want;
    } cases[] = {
        {"*.TXT", "readme.txt", 1},
        {"*.txt", "readme.txt.bak", 0},
        {"a?c", "abc", 1},
        {"a?c", "ac", 0},
        {"*a*b", "xaxxb", 1},
        {"*a*b", "xaxxbc", 0},
        {"", "", 1},
        {"", "a", 0},
        {"*", "", 1},
        {"*", "anything", 1},
        {"**", "x", 1},
        {"a*", "", 0},
        {"?", "\xc3\xa9", 0},  // one '?' per byte
        {"??", "\xc3\xa9", 1},
        {"\xc3\x89", "\xc3\xa9", 0},  // no folding above ASCII
        {"*ab*ab", "abababab", 1},
        {"<.txt", "<.TXT", 1},
        {"a*b*c*d", "aXbXcXdX", 0},
        {"abc", "ab", 0},
    };
    for (auto &c : cases) EXPECT_EQ(vl2_glob_match(c.pat, c.name), c.want) << c.pat << " vs " << c.name;
}

TEST(Casecmp, Table)
{
    EXPECT_EQ(vl2_casecmp("IPC$", "ipc$"), 0);
    EXPECT_EQ(vl2_casecmp("", ""), 0);
    EXPECT_NE(vl2_casecmp("\xc3\x84", "\xc3\xa4"), 0);
    EXPECT_LT(vl2_casecmp("abc", "ABD"), 0);
    EXPECT_GT(vl2_casecmp("abc", "AB"), 0);
    EXPECT_LT(vl2_casecmp("ab", "ABC"), 0);
    EXPECT_GT(vl2_casecmp("\x80", "a"), 0);       // unsigned byte order
    EXPECT_EQ(vl2_casecmp("[", "{"), '[' - '{');  // only A-Z fold
}

TEST(Fnv, KnownValuesAndChaining)
{
    EXPECT_EQ(vl2_fnv1a64("", 0, VL2_FNV_BASIS), VL2_FNV_BASIS);
    EXPECT_EQ(vl2_fnv1a64("", 0, 42), 42u);
    EXPECT_EQ(vl2_fnv1a64("a", 1, VL2_FNV_BASIS), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(vl2_fnv1a64("foobar", 6, VL2_FNV_BASIS), 0x85944171f73967e8ULL);
    EXPECT_EQ(vl2_fnv1a64("bar", 3, vl2_fnv1a64("foo", 3, VL2_FNV_BASIS)), 0x85944171f73967e8ULL);
}
