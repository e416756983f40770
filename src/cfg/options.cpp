// Server options: validation of one key at a time and consistent snapshots.
#include "vlsmb2s.h"

#include "cfg/cfg.h"
#include "cfg/cfg_lock.h"
#include "util/util.h"

#include <cstring>

namespace {

constexpr vl2_opts DEFAULTS = {
    -1,       // guest: auto
    0,        // signing: enabled
    1,        // ntlm_timecheck
    16,       // max_clients
    300000,   // idle_timeout_ms
    30000,    // io_timeout_ms
    3,        // max_login_failures
    256,      // max_credits
    1024,     // max_handles
    4194304,  // max_message
    0,        // clock: system
    VL2_DEFAULT_SERVER_NAME,
    0,      // log: off unless the host asks for it
    20000,  // logon_timeout_ms
    0,      // max_clients_per_ip: no cap
    // Snapshots cost about 100 bytes an entry: a 100,000-entry folder
    // needs about 10 MiB, and the whole server's listings stay well below
    // its 256 MiB working-set target.
    134217728,  // max_listing_bytes
    0x0210,     // max_protocol: 2.1
    0x0202,     // min_protocol: 2.0.2
    0,          // encryption: off
};

vl2_opts g_opts = DEFAULTS;

struct word {
    const char *text;
    int32_t value;
};

struct word_key {
    const char *key;
    int32_t vl2_opts::*field;
    const word *words;
    int nwords;
    const char *msg;
};

const word GUEST_WORDS[] = {{"auto", -1}, {"on", 1}, {"1", 1}, {"off", 0}, {"0", 0}};
const word SIGNING_WORDS[] = {{"enabled", 0}, {"required", 1}, {"1", 1}};
const word ONOFF_WORDS[] = {{"on", 1}, {"1", 1}, {"off", 0}, {"0", 0}};
const word LOG_WORDS[] = {{"off", 0}, {"connections", 1}, {"access", 2}};
const word DIALECT_WORDS[] = {
    {"2.0.2", 0x0202}, {"2.1", 0x0210}, {"3.0", 0x0300}, {"3.0.2", 0x0302}, {"3.1.1", 0x0311}};
const word ENCRYPTION_WORDS[] = {{"off", 0}, {"desired", 1}, {"required", 2}};

const word_key WORD_KEYS[] = {
    {"guest", &vl2_opts::guest, GUEST_WORDS, 5, "guest: auto, on or off"},
    {"signing", &vl2_opts::signing, SIGNING_WORDS, 3, "signing: enabled or required"},
    {"ntlm_timecheck", &vl2_opts::ntlm_timecheck, ONOFF_WORDS, 4, "ntlm_timecheck: on or off"},
    {"log", &vl2_opts::log, LOG_WORDS, 3, "log: off, connections or access"},
    {"max_protocol", &vl2_opts::max_protocol, DIALECT_WORDS, 5, "max_protocol: 2.0.2, 2.1, 3.0, 3.0.2 or 3.1.1"},
    {"min_protocol", &vl2_opts::min_protocol, DIALECT_WORDS, 5, "min_protocol: 2.0.2, 2.1, 3.0, 3.0.2 or 3.1.1"},
    {"encryption", &vl2_opts::encryption, ENCRYPTION_WORDS, 3, "encryption: off, desired or required"},
};

// The dialect range must stay non-empty; each bound is checked against the
// other's current value, so a wider range is set by moving max first.
int range_check(const word_key &k, int32_t v)
{
    if (k.field == &vl2_opts::min_protocol && v > g_opts.max_protocol)
        return vl2_fail(-1, "min_protocol: above max_protocol %s (set max_protocol first)",
                        vl2_dialect_name(g_opts.max_protocol));
    if (k.field == &vl2_opts::max_protocol && v < g_opts.min_protocol)
        return vl2_fail(-1, "max_protocol: below min_protocol %s", vl2_dialect_name(g_opts.min_protocol));
    return 0;
}

// Exactly one of i32 / i64 is set. zero_off: 0 is accepted too (the
// feature is off) besides lo..hi.
struct num_key {
    const char *key;
    int32_t vl2_opts::*i32;
    int64_t vl2_opts::*i64;
    int64_t lo;
    int64_t hi;
    const char *msg;
    bool zero_off = false;
};

const num_key NUM_KEYS[] = {
    {"max_clients", &vl2_opts::max_clients, nullptr, 1, 1024, "max_clients: 1..1024"},
    {"idle_timeout_ms", &vl2_opts::idle_timeout_ms, nullptr, 100, 86400000, "idle_timeout_ms: 100..86400000"},
    {"io_timeout_ms", &vl2_opts::io_timeout_ms, nullptr, 100, 3600000, "io_timeout_ms: 100..3600000"},
    {"max_login_failures", &vl2_opts::max_login_failures, nullptr, 1, 100, "max_login_failures: 1..100"},
    {"max_credits", &vl2_opts::max_credits, nullptr, 1, 256, "max_credits: 1..256"},
    {"max_handles", &vl2_opts::max_handles, nullptr, 1, 1024, "max_handles: 1..1024"},
    {"max_message", nullptr, &vl2_opts::max_message, 65536, 16777216, "max_message: 65536..16777216"},
    {"clock", nullptr, &vl2_opts::clock, 0, 253402300799LL, "clock: unix seconds, 0 = system"},
    {"logon_timeout_ms", &vl2_opts::logon_timeout_ms, nullptr, 100, 86400000,
     "logon_timeout_ms: 0 (off) or 100..86400000", true},
    {"max_clients_per_ip", &vl2_opts::max_clients_per_ip, nullptr, 0, 1024, "max_clients_per_ip: 0..1024"},
    {"max_listing_bytes", nullptr, &vl2_opts::max_listing_bytes, 65536, 68719476736LL,
     "max_listing_bytes: 65536..68719476736"},
};

// Plain decimal digits only (at most 12, leading zeros allowed), within
// lo..hi inclusive; out is untouched on failure.
int parse_int(const char *text, int64_t lo, int64_t hi, int64_t *out)
{
    if (!text || !*text) return -1;
    int64_t v = 0;
    int n = 0;
    for (const char *p = text; *p; p++, n++) {
        if (n >= 12 || *p < '0' || *p > '9') return -1;
        v = v * 10 + (*p - '0');
    }
    if (v < lo || v > hi) return -1;
    *out = v;
    return 0;
}

}  // namespace

void vl2_opts_defaults(vl2_opts *out) { *out = DEFAULTS; }

void vl2_opts_get(vl2_opts *out)
{
    vl2_cfg_hold hold;
    *out = g_opts;
}

int32_t vl2_cfg_guest_locked(void) { return g_opts.guest; }

void vl2_cfg_reset_opts_locked(void) { g_opts = DEFAULTS; }

// The value is validated before the lock is taken and only the one field is
// written under it, so concurrent changes of different keys never undo each
// other.
int vlsmb2s_set_option(const char *key, const char *value)
{
    if (!key || !value) return vl2_fail(-1, "set_option: NULL key or value");

    for (const word_key &k : WORD_KEYS) {
        if (strcmp(key, k.key) != 0) continue;
        for (int i = 0; i < k.nwords; i++) {
            if (strcmp(value, k.words[i].text) == 0) {
                vl2_cfg_hold hold;
                if (range_check(k, k.words[i].value) != 0) return -1;
                g_opts.*k.field = k.words[i].value;
                return 0;
            }
        }
        return vl2_fail(-1, "%s", k.msg);
    }

    for (const num_key &k : NUM_KEYS) {
        if (strcmp(key, k.key) != 0) continue;
        int64_t v = 0;
        if (parse_int(value, k.zero_off ? 0 : k.lo, k.hi, &v) != 0 || (v != 0 && v < k.lo))
            return vl2_fail(-1, "%s", k.msg);
        vl2_cfg_hold hold;
        if (k.i32)
            g_opts.*k.i32 = (int32_t)v;
        else
            g_opts.*k.i64 = v;
        return 0;
    }

    if (strcmp(key, "server_name") == 0) {
        size_t n = strnlen(value, sizeof g_opts.server_name);
        if (n < 1 || n >= sizeof g_opts.server_name)
            return vl2_fail(-1, "server_name: 1..%d bytes", (int)sizeof g_opts.server_name - 1);
        for (size_t i = 0; i < n; i++) {
            unsigned char c = (unsigned char)value[i];
            if (c < 0x20 || c > 0x7E) return vl2_fail(-1, "server_name: printable ASCII only");
        }
        vl2_cfg_hold hold;
        memset(g_opts.server_name, 0, sizeof g_opts.server_name);
        memcpy(g_opts.server_name, value, n);
        return 0;
    }

    // Accepted for compatibility with older front ends; it has no effect.
    if (strcmp(key, "banner") == 0) return 0;

    return vl2_fail(-1, "unknown option %.64s", key);
}
