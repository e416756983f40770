// The failed-logon throttle on a clock of its own: when an address is
// blocked, for how long, and that nobody else is.
#include "cfg/cfg.h"
#include "util/util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

vl2_ip ip(const char *text)
{
    vl2_ip a{};
    EXPECT_EQ(0, vl2_ip_parse(text, &a)) << text;
    return a;
}

class Throttle : public ::testing::Test {
protected:
    void SetUp() override { vl2_cfg_reset_for_tests(); }
    void TearDown() override { vl2_cfg_reset_for_tests(); }
};

TEST_F(Throttle, FiveFailuresInTheWindowBlockForTenSeconds)
{
    const vl2_ip a = ip("192.0.2.7"), b = ip("192.0.2.8");
    struct {
        const char *what;
        uint64_t fail_at[6];  // 0 ends the list
        uint64_t probe_at;
        int blocked;
    } cases[] = {
        {"four failures", {1000, 1100, 1200, 1300}, 1400, 0},
        {"the fifth failure blocks", {1000, 1100, 1200, 1300, 1400}, 1401, 1},
        {"still blocked just before ten seconds", {1000, 1100, 1200, 1300, 1400}, 11399, 1},
        {"free ten seconds after the fifth", {1000, 1100, 1200, 1300, 1400}, 11400, 0},
        {"failures spread beyond the window", {1000, 6000, 11001, 16000, 21000}, 21001, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vl2_cfg_reset_for_tests();
        for (uint64_t t : c.fail_at)
            if (t) vl2_logon_failed(&a, t);
        EXPECT_EQ(c.blocked, vl2_logon_blocked(&a, c.probe_at));
        EXPECT_EQ(0, vl2_logon_blocked(&b, c.probe_at)) << "another address";
    }
}

TEST_F(Throttle, RefusalsWhileBlockedDoNotProlongIt)
{
    const vl2_ip a = ip("2001:db8::1");
    for (uint64_t t = 1000; t < 1500; t += 100) vl2_logon_failed(&a, t);
    ASSERT_EQ(1, vl2_logon_blocked(&a, 1500));
    for (uint64_t t = 1500; t < 11400; t += 50) vl2_logon_failed(&a, t);
    EXPECT_EQ(0, vl2_logon_blocked(&a, 11400));
    vl2_logon_failed(&a, 11500);
    EXPECT_EQ(0, vl2_logon_blocked(&a, 11501)) << "counting starts afresh";
}

// Many addresses cannot grow the table: the oldest counts give way, but a
// block is not lifted early by failures from elsewhere.
TEST_F(Throttle, TableIsBoundedAndKeepsBlocks)
{
    const vl2_ip blocked = ip("198.51.100.1"), counting = ip("198.51.100.2");
    for (int k = 0; k < 5; k++) vl2_logon_failed(&blocked, 1000 + k);
    for (int k = 0; k < 4; k++) vl2_logon_failed(&counting, 1000 + k);
    for (int i = 0; i < 4000; i++) {
        vl2_ip x = ip(("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250)).c_str());
        vl2_logon_failed(&x, 1010 + i);
    }
    EXPECT_EQ(1, vl2_logon_blocked(&blocked, 5100));
    vl2_logon_failed(&counting, 5100);
    EXPECT_EQ(0, vl2_logon_blocked(&counting, 5101)) << "its four earlier failures were evicted";
}

}  // namespace
