#include "cfg/cfg.h"
#include "exports/exports.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct ControlTest : ::testing::Test {
    void SetUp() override { vl2_cfg_reset_for_tests(); }
    void TearDown() override
    {
        vl2_buf_set_realloc(nullptr);
        vl2_cfg_reset_for_tests();
    }
};

TEST_F(ControlTest, Version) { EXPECT_STREQ("1.0.0", vlsmb2s_version()); }

TEST_F(ControlTest, LastErrorSurvivesLaterSuccess)
{
    EXPECT_EQ(-1, vlsmb2s_set_option("max_clients", "0"));
    EXPECT_STREQ("max_clients: 1..1024", vlsmb2s_last_error());
    EXPECT_EQ(0, vlsmb2s_set_option("max_clients", "5"));
    EXPECT_STREQ("max_clients: 1..1024", vlsmb2s_last_error());
}

// Failures on other threads may replace the message at any time; the text
// the caller holds is still one whole message, and stays as it was.
TEST_F(ControlTest, LastErrorIsWholeWhileOtherThreadsFail)
{
    vl2_fail(-1, "%s", std::string(400, 'a').c_str());
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (char c : {'a', 'b'})
        writers.emplace_back([c, &done] {
            const std::string body(400, c);
            while (!done) vl2_fail(-1, "%s", body.c_str());
        });
    int torn = 0, changed = 0;
    for (int i = 0; i < 20000; i++) {
        const char *t = vlsmb2s_last_error();
        const std::string seen = t;
        if (seen.size() != 400 || seen.find_first_not_of(seen[0]) != std::string::npos) torn++;
        if (seen != t) changed++;
    }
    done = true;
    for (auto &w : writers) w.join();
    EXPECT_EQ(0, torn);
    EXPECT_EQ(0, changed);
}

TEST_F(ControlTest, SessionCountIsSessionsLessFailuresNeverNegative)
{
    struct {
        int64_t sessions, failed;
        int want;
    } rows[] = {
        {0, 0, 0}, {3, 5, 0}, {5, 3, 2}, {4, 4, 0}, {-2, 0, 0}, {5000000000LL, 0, 2147483647},
    };
    for (auto &r : rows) {
        vl2_cfg_reset_for_tests();
        vl2_stat_add(VL2_ST_SESSIONS, r.sessions);
        vl2_stat_add(VL2_ST_LOGON_FAILED, r.failed);
        EXPECT_EQ(r.want, vlsmb2s_session_count()) << r.sessions << " - " << r.failed;
    }
}

std::string fresh_document()
{
    std::string s = "{\"running\":false,\"port\":0,\"clients\":0";
    for (int i = 0; i < VL2_ST_COUNT; i++) s += std::string(",\"") + vl2_stat_name(i) + "\":0";
    return s + "}";
}

TEST_F(ControlTest, StatsDocumentOfAFreshProcess)
{
    std::string doc = vlsmb2s_stats_json();
    EXPECT_EQ(fresh_document(), doc);
    EXPECT_EQ(0u, doc.find("{\"running\":false,\"port\":0,\"clients\":0,\"connections\":0,"));
    EXPECT_NE(std::string::npos, doc.find(",\"srvsvc_queries\":0,\"path_refused\":0}"));
    EXPECT_EQ(std::string::npos, doc.find_first_of(" \n"));
    int members = 0;
    for (char c : doc) members += c == ':';
    EXPECT_EQ(25, members);
}

TEST_F(ControlTest, StatsDocumentCarriesSignedValues)
{
    vl2_stat_add(VL2_ST_TREES, -1);
    vl2_stat_add(VL2_ST_BYTES_SENT, 1234567890123LL);
    std::string doc = vlsmb2s_stats_json();
    EXPECT_NE(std::string::npos, doc.find(",\"trees\":-1,"));
    EXPECT_NE(std::string::npos, doc.find(",\"bytes_sent\":1234567890123,"));
}

TEST_F(ControlTest, EachCallReplacesTheThreadsResult)
{
    const char *a = vlsmb2s_stats_json();
    std::string copy = a;
    vl2_stat_add(VL2_ST_READS, 1);
    const char *b = vlsmb2s_stats_json();
    EXPECT_NE(copy, std::string(b));
    // The same slot serves the self-test summary.
    const char *c = vlsmb2s_selftest();
    EXPECT_STREQ("selftest ok\n", c);
}

void *stats_in_thread(void *arg)
{
    const char *mine = vlsmb2s_stats_json();
    *(std::string *)arg = mine;
    // Left in the slot on purpose: thread exit must free it.
    return nullptr;
}

TEST_F(ControlTest, ResultSlotIsPerThread)
{
    const char *main_text = vlsmb2s_selftest();
    pthread_t t;
    std::string theirs;
    ASSERT_EQ(0, pthread_create(&t, nullptr, stats_in_thread, &theirs));
    pthread_join(t, nullptr);
    EXPECT_EQ(fresh_document(), theirs);
    // Another thread's call neither freed nor replaced this thread's text.
    EXPECT_STREQ("selftest ok\n", main_text);
}

void *fail_alloc(void *, size_t) { return nullptr; }

TEST_F(ControlTest, OutOfMemoryGivesFixedTextsAndKeepsTheSlot)
{
    const char *held = vlsmb2s_selftest();
    vl2_buf_set_realloc(fail_alloc);
    EXPECT_STREQ("{}", vlsmb2s_stats_json());
    EXPECT_STREQ("selftest FAILED (oom)\n", vlsmb2s_selftest());
    vl2_buf_set_realloc(nullptr);
    EXPECT_STREQ("selftest ok\n", held);
}

TEST_F(ControlTest, OutSetTakesOverTheBlock)
{
    vl2_buf b = {};
    vl2_buf_str(&b, "first");
    const char *first = vl2_out_set(&b);
    EXPECT_STREQ("first", first);
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0u, b.len);

    vl2_buf never = {};
    EXPECT_STREQ("", vl2_out_set(&never));

    vl2_buf bad = {};
    vl2_buf_str(&bad, "x");
    bad.failed = 1;
    const char *held = vlsmb2s_selftest();
    EXPECT_EQ(nullptr, vl2_out_set(&bad));
    EXPECT_EQ(nullptr, bad.data);
    EXPECT_STREQ("selftest ok\n", held);
}

}  // namespace
