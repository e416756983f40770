#include "cfg/cfg.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

namespace {

struct StatsTest : ::testing::Test {
    void SetUp() override { vl2_cfg_reset_for_tests(); }
    void TearDown() override { vl2_cfg_reset_for_tests(); }
};

TEST_F(StatsTest, NamesInDocumentOrder)
{
    const char *want[] = {
        "connections",    "refused_allow", "refused_full",    "negotiate",     "sessions",
        "guest_sessions", "logon_failed",  "trees",           "tree_refused",  "opens",
        "open_refused",   "reads",         "bytes_sent",      "listings_sent", "mutating_refused",
        "ioctl_refused",  "bad_signature", "protocol_errors", "timeouts",      "sign_required_sessions",
        "srvsvc_queries", "path_refused",
    };
    ASSERT_EQ(22, (int)VL2_ST_COUNT);
    for (int i = 0; i < VL2_ST_COUNT; i++) EXPECT_STREQ(want[i], vl2_stat_name(i)) << i;
    EXPECT_EQ(nullptr, vl2_stat_name(-1));
    EXPECT_EQ(nullptr, vl2_stat_name(VL2_ST_COUNT));
}

TEST_F(StatsTest, AddsAreSignedUnclampedAndReset)
{
    for (int i = 0; i < VL2_ST_COUNT; i++) EXPECT_EQ(0, vl2_stat_get((vl2_stat_id)i));
    vl2_stat_add(VL2_ST_TREES, -1);
    EXPECT_EQ(-1, vl2_stat_get(VL2_ST_TREES));
    vl2_stat_add(VL2_ST_BYTES_SENT, 5000000000LL);
    EXPECT_EQ(5000000000LL, vl2_stat_get(VL2_ST_BYTES_SENT));
    EXPECT_EQ(0, vl2_stat_get(VL2_ST_READS));
    vl2_cfg_reset_for_tests();
    EXPECT_EQ(0, vl2_stat_get(VL2_ST_TREES));
    EXPECT_EQ(0, vl2_stat_get(VL2_ST_BYTES_SENT));
}

TEST_F(StatsTest, OutOfRangeIdIsIgnored)
{
    vl2_stat_add((vl2_stat_id)VL2_ST_COUNT, 7);
    vl2_stat_add((vl2_stat_id)-1, 7);
    EXPECT_EQ(0, vl2_stat_get((vl2_stat_id)VL2_ST_COUNT));
    for (int i = 0; i < VL2_ST_COUNT; i++) EXPECT_EQ(0, vl2_stat_get((vl2_stat_id)i));
}

TEST_F(StatsTest, ConcurrentAddsAreNeverLost)
{
    auto worker = [](void *) -> void * {
        for (int i = 0; i < 20000; i++) {
            vl2_stat_add(VL2_ST_CONNECTIONS, 1);
            vl2_stat_add(VL2_ST_OPENS, 2);
        }
        return nullptr;
    };
    pthread_t t[4];
    for (auto &th : t) ASSERT_EQ(0, pthread_create(&th, nullptr, worker, nullptr));
    for (auto &th : t) pthread_join(th, nullptr);
    EXPECT_EQ(80000, vl2_stat_get(VL2_ST_CONNECTIONS));
    EXPECT_EQ(160000, vl2_stat_get(VL2_ST_OPENS));
}

}  // namespace
