#include "util/util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct hook_reset {
    ~hook_reset() { vl2_buf_set_realloc(nullptr); }
};

void *refuse(void *, size_t) { return nullptr; }

size_t g_asked;
void *record_refuse(void *, size_t size)
{
    g_asked = size;
    return nullptr;
}

std::string text(const vl2_buf &b) { return std::string((const char *)b.data, b.len); }

}  // namespace

TEST(Buf, GrowthSizes)
{
    struct {
        uint64_t count;
        uint64_t cap;
    } cases[] = {{0, 256}, {255, 256}, {256, 512}, {300, 512}, {511, 512}, {512, 1024}, {5000, 8192}};
    for (auto &c : cases) {
        vl2_buf b{};
        std::vector<uint8_t> bytes(c.count, 'x');
        ASSERT_EQ(vl2_buf_put(&b, bytes.data(), c.count), 0);
        EXPECT_EQ(b.len, c.count);
        EXPECT_EQ(b.cap, c.cap) << "count " << c.count;
        EXPECT_EQ(b.data[b.len], 0);
        vl2_buf_free(&b);
    }
}

TEST(Buf, AppendsKeepTerminatorAndDoubleAtLeastOnce)
{
    vl2_buf b{};
    std::string want;
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(vl2_buf_byte(&b, 0x100 + 'a' + i % 26), 0);  // only the low 8 bits
        want += (char)('a' + i % 26);
        ASSERT_EQ(b.data[b.len], 0);
    }
    ASSERT_EQ(vl2_buf_str(&b, "tail"), 0);
    want += "tail";
    EXPECT_EQ(text(b), want);
    EXPECT_EQ(b.cap, 1024u);
    // From an existing block the size doubles even when 2x overshoots.
    std::vector<uint8_t> big(5000, 'y');
    ASSERT_EQ(vl2_buf_put(&b, big.data(), big.size()), 0);
    EXPECT_EQ(b.cap, 8192u);
    vl2_buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    vl2_buf_free(&b);  // an all-zero buffer is harmless
}

TEST(Buf, SelfAppendSurvivesMove)
{
    vl2_buf b{};
    std::string want(200, 'q');
    vl2_buf_str(&b, want.c_str());
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(vl2_buf_put(&b, b.data, b.len), 0);
        want += want;
    }
    EXPECT_EQ(text(b), want);
    vl2_buf_free(&b);
}

TEST(Buf, PrintfOneAndTwoPassesAgree)
{
    for (size_t n : {0ul, 1ul, 511ul, 512ul, 513ul, 4000ul}) {
        std::string s(n, 'z');
        vl2_buf b{};
        vl2_buf_str(&b, "<");
        EXPECT_EQ(vl2_buf_printf(&b, "%s", s.c_str()), (int)n);
        vl2_buf_str(&b, ">");
        EXPECT_EQ(text(b), "<" + s + ">") << n;
        vl2_buf_free(&b);
    }
    vl2_buf b{};
    EXPECT_EQ(vl2_buf_printf(&b, "%d-%02x-%.3s-%lld-%zu", -5, 10, "abcdef", 1LL << 40, (size_t)7), 25);
    EXPECT_EQ(text(b), "-5-0a-abc-1099511627776-7");
    vl2_buf_free(&b);
}

TEST(Buf, ReserveAndCommit)
{
    vl2_buf b{};
    vl2_buf_str(&b, "ab");
    ASSERT_EQ(vl2_buf_reserve(&b, 1000), 0);
    EXPECT_EQ(b.len, 2u);
    EXPECT_GE(b.cap, 1003u);
    memcpy(b.data + b.len, "cdef", 4);
    vl2_buf_commit(&b, 4);
    EXPECT_EQ(std::string((char *)b.data), "abcdef");
    EXPECT_EQ(b.len, 6u);
    // Committing beyond the reserved room marks the build failed.
    vl2_buf_commit(&b, b.cap);
    EXPECT_EQ(b.failed, 1);
    EXPECT_EQ(b.len, 6u);
    vl2_buf_free(&b);
}

TEST(Buf, GrowthFailureIsStickyAndKeepsContents)
{
    hook_reset reset;
    vl2_buf b{};
    vl2_buf_str(&b, "kept");
    vl2_buf_set_realloc(refuse);
    std::vector<uint8_t> big(400, 'x');
    EXPECT_LT(vl2_buf_put(&b, big.data(), big.size()), 0);
    EXPECT_EQ(b.failed, 1);
    EXPECT_EQ(b.cap, 256u);
    EXPECT_EQ(std::string((char *)b.data), "kept");
    vl2_buf_set_realloc(nullptr);
    // Room exists, but the failure is for good.
    EXPECT_LT(vl2_buf_byte(&b, 'y'), 0);
    EXPECT_LT(vl2_buf_str(&b, "z"), 0);
    EXPECT_LT(vl2_buf_printf(&b, "%d", 1), 0);
    EXPECT_LT(vl2_buf_printf(&b, "%600d", 1), 0);
    EXPECT_LT(vl2_buf_reserve(&b, 1), 0);
    vl2_hex_encode((const uint8_t *)"\x01", 1, &b);
    EXPECT_EQ(std::string((char *)b.data), "kept");
    EXPECT_EQ(b.len, 4u);
    vl2_buf_free(&b);
    EXPECT_EQ(b.failed, 0);
    EXPECT_EQ(vl2_buf_str(&b, "again"), 0);
    EXPECT_EQ(text(b), "again");
    vl2_buf_free(&b);
}

TEST(Buf, FirstBlockAndTwoPassPrintfFailures)
{
    hook_reset reset;
    vl2_buf_set_realloc(refuse);
    vl2_buf b{};
    EXPECT_LT(vl2_buf_put(&b, nullptr, 0), 0);
    EXPECT_EQ(b.failed, 1);
    EXPECT_EQ(b.data, nullptr);
    vl2_buf_free(&b);
    vl2_buf_set_realloc(nullptr);
    vl2_buf_str(&b, "x");
    vl2_buf_set_realloc(refuse);
    EXPECT_LT(vl2_buf_printf(&b, "%700s", "y"), 0);
    EXPECT_EQ(b.failed, 1);
    EXPECT_EQ(text(b), "x");
    vl2_buf_free(&b);
}

TEST(Buf, FourGiBLimit)
{
    hook_reset reset;
    vl2_buf_set_realloc(record_refuse);
    vl2_buf b{};
    g_asked = 0;
    // Exactly 2^32 bytes with the terminator: the largest block is asked for.
    EXPECT_LT(vl2_buf_reserve(&b, (1ULL << 32) - 1), 0);
    EXPECT_EQ(g_asked, (size_t)1 << 32);
    vl2_buf_free(&b);
    g_asked = 0;
    for (uint64_t extra : {1ULL << 32, ~0ULL, ~0ULL - 1}) {
        EXPECT_LT(vl2_buf_reserve(&b, extra), 0);
        EXPECT_EQ(b.failed, 1);
        EXPECT_EQ(g_asked, 0u) << "no allocation beyond 4 GiB is attempted";
        vl2_buf_free(&b);
    }
}

TEST(Error, CutAndKept)
{
    std::string m(600, 'm');
    vl2_set_error("%s", m.c_str());
    EXPECT_EQ(std::string(vl2_error()), m.substr(0, 511));
    EXPECT_EQ(vl2_fail(-7, "op: %.64s is bad", "thing"), -7);
    EXPECT_STREQ(vl2_error(), "op: thing is bad");
    vl2_buf b{};
    vl2_buf_str(&b, "ok");  // a successful call leaves the text in place
    vl2_buf_free(&b);
    EXPECT_STREQ(vl2_error(), "op: thing is bad");
    // A message may quote the slot itself.
    vl2_set_error("outer: %s", vl2_error());
    EXPECT_STREQ(vl2_error(), "outer: op: thing is bad");
    char small[6];
    EXPECT_EQ(vl2_error_copy(small, sizeof small), 5u);
    EXPECT_STREQ(small, "outer");
}

TEST(Error, EmptyInFreshProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // re-runs the program for a fresh slot
    EXPECT_EXIT(exit(vl2_error()[0] == 0 ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST(Error, ConcurrentWritersNeverGarble)
{
    constexpr int threads = 4, rounds = 3000;
    std::vector<std::thread> ts;
    std::vector<int> bad(threads, 0);
    // A message is "<id>:" and 400 copies of one letter chosen by id.
    auto whole = [](const char *s) {
        size_t n = strlen(s);
        if (n != 402 || s[1] != ':' || s[0] < '0' || s[0] >= '0' + threads) return false;
        char c = (char)('a' + (s[0] - '0'));
        for (size_t i = 2; i < n; i++)
            if (s[i] != c) return false;
        return true;
    };
    for (int t = 0; t < threads; t++)
        ts.emplace_back([t, &bad, &whole] {
            std::string body(400, (char)('a' + t));
            char copy[512];
            for (int r = 0; r < rounds; r++) {
                vl2_fail(-1, "%d:%s", t, body.c_str());
                vl2_error_copy(copy, sizeof copy);
                if (!whole(copy)) bad[t]++;
            }
        });
    for (auto &t : ts) t.join();
    for (int t = 0; t < threads; t++) EXPECT_EQ(bad[t], 0);
    EXPECT_TRUE(whole(vl2_error()));
}
