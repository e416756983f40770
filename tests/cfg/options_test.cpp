#include "cfg/cfg.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstring>
#include <string>

namespace {

struct OptionsTest : ::testing::Test {
    void SetUp() override { vl2_cfg_reset_for_tests(); }
    void TearDown() override { vl2_cfg_reset_for_tests(); }
};

// Field by field: the record has padding that memcmp would compare.
bool same(const vl2_opts &a, const vl2_opts &b)
{
    return a.guest == b.guest && a.signing == b.signing && a.ntlm_timecheck == b.ntlm_timecheck &&
           a.max_clients == b.max_clients && a.idle_timeout_ms == b.idle_timeout_ms &&
           a.io_timeout_ms == b.io_timeout_ms && a.max_login_failures == b.max_login_failures &&
           a.max_credits == b.max_credits && a.max_handles == b.max_handles && a.max_message == b.max_message &&
           a.clock == b.clock && a.log == b.log && memcmp(a.server_name, b.server_name, sizeof a.server_name) == 0 &&
           a.logon_timeout_ms == b.logon_timeout_ms && a.max_clients_per_ip == b.max_clients_per_ip &&
           a.max_listing_bytes == b.max_listing_bytes && a.max_protocol == b.max_protocol &&
           a.min_protocol == b.min_protocol && a.encryption == b.encryption;
}

vl2_opts snap()
{
    vl2_opts o;
    vl2_opts_get(&o);
    return o;
}

TEST_F(OptionsTest, FreshRecordHoldsDefaults)
{
    vl2_opts o = snap(), d;
    vl2_opts_defaults(&d);
    EXPECT_TRUE(same(o, d));
    EXPECT_EQ(-1, o.guest);
    EXPECT_EQ(0, o.signing);
    EXPECT_EQ(1, o.ntlm_timecheck);
    EXPECT_EQ(16, o.max_clients);
    EXPECT_EQ(300000, o.idle_timeout_ms);
    EXPECT_EQ(30000, o.io_timeout_ms);
    EXPECT_EQ(3, o.max_login_failures);
    EXPECT_EQ(256, o.max_credits);
    EXPECT_EQ(1024, o.max_handles);
    EXPECT_EQ(4194304, o.max_message);
    EXPECT_EQ(0, o.clock);
    EXPECT_STREQ("VELANTORIMBUS", o.server_name);
    EXPECT_EQ(20000, o.logon_timeout_ms);
    EXPECT_EQ(0, o.max_clients_per_ip);
    EXPECT_EQ(134217728, o.max_listing_bytes);
    EXPECT_EQ(0x0210, o.max_protocol);
    EXPECT_EQ(0x0202, o.min_protocol);
    EXPECT_EQ(0, o.encryption);
}

// One row per value: accepted values give the field's new value, rejected
// ones the message (and every option stays as it was).
struct row {
    const char *key;
    const char *value;
    long long want;       // field value when accepted
    const char *message;  // null when accepted
};

long long field(const vl2_opts &o, const std::string &key)
{
    if (key == "guest") return o.guest;
    if (key == "signing") return o.signing;
    if (key == "ntlm_timecheck") return o.ntlm_timecheck;
    if (key == "max_clients") return o.max_clients;
    if (key == "idle_timeout_ms") return o.idle_timeout_ms;
    if (key == "io_timeout_ms") return o.io_timeout_ms;
    if (key == "max_login_failures") return o.max_login_failures;
    if (key == "max_credits") return o.max_credits;
    if (key == "max_handles") return o.max_handles;
    if (key == "max_message") return o.max_message;
    if (key == "clock") return o.clock;
    if (key == "log") return o.log;
    if (key == "logon_timeout_ms") return o.logon_timeout_ms;
    if (key == "max_clients_per_ip") return o.max_clients_per_ip;
    if (key == "max_listing_bytes") return o.max_listing_bytes;
    if (key == "max_protocol") return o.max_protocol;
    if (key == "min_protocol") return o.min_protocol;
    if (key == "encryption") return o.encryption;
    ADD_FAILURE() << "no field " << key;
    return 0;
}

const row k_rows[] = {
    {"guest", "auto", -1, nullptr},
    {"guest", "on", 1, nullptr},
    {"guest", "1", 1, nullptr},
    {"guest", "off", 0, nullptr},
    {"guest", "0", 0, nullptr},
    {"guest", "ON", 0, "guest: auto, on or off"},
    {"guest", "", 0, "guest: auto, on or off"},
    {"signing", "enabled", 0, nullptr},
    {"signing", "required", 1, nullptr},
    {"signing", "1", 1, nullptr},
    {"signing", "0", 0, "signing: enabled or required"},
    {"ntlm_timecheck", "off", 0, nullptr},
    {"ntlm_timecheck", "0", 0, nullptr},
    {"ntlm_timecheck", "on", 1, nullptr},
    {"ntlm_timecheck", "yes", 0, "ntlm_timecheck: on or off"},
    {"log", "access", 2, nullptr},
    {"log", "connections", 1, nullptr},
    {"log", "off", 0, nullptr},
    {"log", "Access", 0, "log: off, connections or access"},
    {"max_clients", "1", 1, nullptr},
    {"max_clients", "1024", 1024, nullptr},
    {"max_clients", "016", 16, nullptr},
    {"max_clients", "0", 0, "max_clients: 1..1024"},
    {"max_clients", "1025", 0, "max_clients: 1..1024"},
    {"max_clients", "+5", 0, "max_clients: 1..1024"},
    {"max_clients", "-5", 0, "max_clients: 1..1024"},
    {"max_clients", " 5", 0, "max_clients: 1..1024"},
    {"max_clients", "5 ", 0, "max_clients: 1..1024"},
    {"max_clients", "", 0, "max_clients: 1..1024"},
    {"max_clients", "00000000016", 16, nullptr},                  // 11 digits
    {"max_clients", "000000000016", 16, nullptr},                 // 12 digits
    {"max_clients", "0000000000016", 0, "max_clients: 1..1024"},  // 13 digits
    {"max_clients", "99999999999999999999", 0, "max_clients: 1..1024"},
    {"idle_timeout_ms", "100", 100, nullptr},
    {"idle_timeout_ms", "86400000", 86400000, nullptr},
    {"idle_timeout_ms", "99", 0, "idle_timeout_ms: 100..86400000"},
    {"idle_timeout_ms", "86400001", 0, "idle_timeout_ms: 100..86400000"},
    {"io_timeout_ms", "3600000", 3600000, nullptr},
    {"io_timeout_ms", "3600001", 0, "io_timeout_ms: 100..3600000"},
    {"max_login_failures", "100", 100, nullptr},
    {"max_login_failures", "101", 0, "max_login_failures: 1..100"},
    {"max_credits", "1", 1, nullptr},
    {"max_credits", "257", 0, "max_credits: 1..256"},
    {"max_handles", "1024", 1024, nullptr},
    {"max_handles", "0", 0, "max_handles: 1..1024"},
    {"max_message", "65536", 65536, nullptr},
    {"max_message", "16777216", 16777216, nullptr},
    {"max_message", "65535", 0, "max_message: 65536..16777216"},
    {"max_message", "16777217", 0, "max_message: 65536..16777216"},
    {"clock", "0", 0, nullptr},
    {"clock", "253402300799", 253402300799LL, nullptr},
    {"clock", "253402300800", 0, "clock: unix seconds, 0 = system"},
    {"clock", "1x", 0, "clock: unix seconds, 0 = system"},
    {"logon_timeout_ms", "0", 0, nullptr},
    {"logon_timeout_ms", "100", 100, nullptr},
    {"logon_timeout_ms", "86400000", 86400000, nullptr},
    {"logon_timeout_ms", "99", 0, "logon_timeout_ms: 0 (off) or 100..86400000"},
    {"logon_timeout_ms", "1", 0, "logon_timeout_ms: 0 (off) or 100..86400000"},
    {"logon_timeout_ms", "86400001", 0, "logon_timeout_ms: 0 (off) or 100..86400000"},
    {"max_clients_per_ip", "0", 0, nullptr},
    {"max_clients_per_ip", "1024", 1024, nullptr},
    {"max_clients_per_ip", "1025", 0, "max_clients_per_ip: 0..1024"},
    {"max_listing_bytes", "65536", 65536, nullptr},
    {"max_listing_bytes", "68719476736", 68719476736LL, nullptr},
    {"max_listing_bytes", "65535", 0, "max_listing_bytes: 65536..68719476736"},
    {"max_listing_bytes", "68719476737", 0, "max_listing_bytes: 65536..68719476736"},
    {"max_protocol", "3.1.1", 0x0311, nullptr},
    {"max_protocol", "3.0.2", 0x0302, nullptr},
    {"max_protocol", "2.0.2", 0x0202, nullptr},
    {"max_protocol", "3.1", 0, "max_protocol: 2.0.2, 2.1, 3.0, 3.0.2 or 3.1.1"},
    {"max_protocol", "SMB3", 0, "max_protocol: 2.0.2, 2.1, 3.0, 3.0.2 or 3.1.1"},
    {"min_protocol", "2.1", 0x0210, nullptr},
    {"min_protocol", "3.0", 0, "min_protocol: above max_protocol 2.1 (set max_protocol first)"},
    {"encryption", "off", 0, nullptr},
    {"encryption", "desired", 1, nullptr},
    {"encryption", "required", 2, nullptr},
    {"encryption", "on", 0, "encryption: off, desired or required"},
};

// The two bounds are checked against each other whichever moves.
TEST_F(OptionsTest, DialectRangeNeverEmpty)
{
    EXPECT_EQ(0, vlsmb2s_set_option("max_protocol", "3.1.1"));
    EXPECT_EQ(0, vlsmb2s_set_option("min_protocol", "3.0"));
    EXPECT_EQ(-1, vlsmb2s_set_option("max_protocol", "2.1"));
    EXPECT_STREQ("max_protocol: below min_protocol 3.0", vlsmb2s_last_error());
    EXPECT_EQ(0, vlsmb2s_set_option("max_protocol", "3.0"));
    EXPECT_EQ(0x0300, snap().max_protocol);
    EXPECT_EQ(0x0300, snap().min_protocol);
}

TEST_F(OptionsTest, TableOfValuesAndMessages)
{
    for (const row &r : k_rows) {
        SCOPED_TRACE(std::string(r.key) + "=" + r.value);
        vl2_cfg_reset_for_tests();
        vl2_opts before = snap();
        int rc = vlsmb2s_set_option(r.key, r.value);
        vl2_opts after = snap();
        if (r.message) {
            EXPECT_EQ(-1, rc);
            EXPECT_STREQ(r.message, vlsmb2s_last_error());
            EXPECT_TRUE(same(before, after));
        } else {
            EXPECT_EQ(0, rc);
            EXPECT_EQ(r.want, field(after, r.key));
        }
    }
}

TEST_F(OptionsTest, KeysAreCaseSensitiveAndUnknownKeysNamed)
{
    EXPECT_EQ(-1, vlsmb2s_set_option("Guest", "on"));
    EXPECT_STREQ("unknown option Guest", vlsmb2s_last_error());
    std::string longkey(100, 'k');
    EXPECT_EQ(-1, vlsmb2s_set_option(longkey.c_str(), "1"));
    EXPECT_EQ("unknown option " + std::string(64, 'k'), vlsmb2s_last_error());
}

TEST_F(OptionsTest, NullArguments)
{
    EXPECT_EQ(-1, vlsmb2s_set_option(nullptr, "1"));
    EXPECT_STREQ("set_option: NULL key or value", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_set_option("guest", nullptr));
    EXPECT_STREQ("set_option: NULL key or value", vlsmb2s_last_error());
}

TEST_F(OptionsTest, BannerAcceptsAnythingAndChangesNothing)
{
    vl2_opts before = snap();
    EXPECT_EQ(0, vlsmb2s_set_option("banner", "whatever \t text"));
    EXPECT_EQ(0, vlsmb2s_set_option("banner", ""));
    vl2_opts after = snap();
    EXPECT_TRUE(same(before, after));
}

TEST_F(OptionsTest, ServerNameBounds)
{
    std::string n63(63, 'N'), n64(64, 'N');
    EXPECT_EQ(0, vlsmb2s_set_option("server_name", n63.c_str()));
    EXPECT_EQ(n63, snap().server_name);
    EXPECT_EQ(-1, vlsmb2s_set_option("server_name", n64.c_str()));
    EXPECT_STREQ("server_name: 1..63 bytes", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_set_option("server_name", ""));
    EXPECT_STREQ("server_name: 1..63 bytes", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_set_option("server_name", "A\tB"));
    EXPECT_STREQ("server_name: printable ASCII only", vlsmb2s_last_error());
    EXPECT_EQ(-1, vlsmb2s_set_option("server_name", "caf\xc3\xa9"));
    EXPECT_STREQ("server_name: printable ASCII only", vlsmb2s_last_error());
    EXPECT_EQ(n63, snap().server_name);
    // A shorter name leaves no tail of the longer one behind.
    EXPECT_EQ(0, vlsmb2s_set_option("server_name", "S ~"));
    vl2_opts o = snap();
    EXPECT_STREQ("S ~", o.server_name);
    for (size_t i = 3; i < sizeof o.server_name; i++) EXPECT_EQ(0, o.server_name[i]);
}

// Two threads each changing its own key many times: no change is lost to
// the other thread's write-back.
TEST_F(OptionsTest, ConcurrentChangesOfDifferentKeysAreKept)
{
    auto worker = [](void *arg) -> void * {
        const char *key = (const char *)arg;
        for (int i = 0; i < 2000; i++) vlsmb2s_set_option(key, (i & 1) ? "200" : "101");
        return nullptr;
    };
    pthread_t a, b;
    ASSERT_EQ(0, pthread_create(&a, nullptr, worker, (void *)"idle_timeout_ms"));
    ASSERT_EQ(0, pthread_create(&b, nullptr, worker, (void *)"io_timeout_ms"));
    pthread_join(a, nullptr);
    pthread_join(b, nullptr);
    vl2_opts o = snap();
    EXPECT_EQ(200, o.idle_timeout_ms);
    EXPECT_EQ(200, o.io_timeout_ms);
}

TEST_F(OptionsTest, ResetRestoresDefaults)
{
    ASSERT_EQ(0, vlsmb2s_set_option("max_clients", "3"));
    ASSERT_EQ(0, vlsmb2s_set_option("server_name", "X"));
    vl2_cfg_reset_for_tests();
    vl2_opts o = snap(), d;
    vl2_opts_defaults(&d);
    EXPECT_TRUE(same(o, d));
}

}  // namespace
