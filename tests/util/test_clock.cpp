#include "util/util.h"

#include <gtest/gtest.h>

#include <time.h>

namespace {

TEST(Clocks, MonotonicNeverDecreases)
{
    uint64_t prev = vl2_now_ms();
    for (int i = 0; i < 100000; i++) {
        uint64_t now = vl2_now_ms();
        ASSERT_GE(now, prev);
        prev = now;
    }
}

TEST(Clocks, UnixNowIsSystemSeconds)
{
    time_t before = time(nullptr);
    int64_t now = vl2_unix_now();
    time_t after = time(nullptr);
    EXPECT_GE(now, (int64_t)before);
    EXPECT_LE(now, (int64_t)after);
    EXPECT_GT(now, 1600000000);  // after 2020: seconds, not milliseconds
}

}  // namespace
