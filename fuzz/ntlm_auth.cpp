// AUTHENTICATE verification with a fixed challenge, server name and clock:
// once on the guest path (no account), once against a configured account
// with guests refused, once with the time check off; and the user-name
// reader.
#include "fuzz_common.h"

#include "ntlm/ntlm.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <cstdio>

namespace {
constexpr int64_t NOW = 1700000000;  // the clock the seed conversations used
uint8_t g_chal[8];

void check(int rc, int anon, const uint8_t key[16])
{
    if (rc < -1 || rc > 1 || (anon != 0 && anon != 1)) abort();
    static const uint8_t zero[16] = {};
    // A refused message or another account's never yields a key. (An
    // anonymous one may carry the client's own key for signing.)
    if (rc != 0 && memcmp(key, zero, 16) != 0) {
        fprintf(stderr, "fuzz: a key for a refused message (rc %d anon %d)\n", rc, anon);
        abort();
    }
    if (rc != 0 && anon) abort();
}

void one(const uint8_t *m, size_t n, int timecheck, int guest_ok, const char *user, const char *pass)
{
    vl2_ntlm_auth a{};
    a.msg = m;
    a.len = n;
    a.challenge = g_chal;
    a.now = NOW;
    a.timecheck = timecheck;
    a.user = user;
    a.password = pass;
    a.guest_ok = guest_ok;
    a.anonymous = 7;
    memset(a.key, 0xAA, sizeof a.key);
    int rc = vl2_ntlm_type3(&a);
    check(rc, a.anonymous, a.key);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The trace lines are formatted from the message too (run with
    // -close_fd_mask=2 to drop them).
    setenv("VLSMB2S_TRACE", "1", 1);
    // The challenge a connection negotiated with the default name at NOW.
    const char *name = "VELANTORIMBUS";
    uint64_t g = vl2_fnv1a64(name, strlen(name), VL2_FNV_BASIS);
    uint8_t t[8];
    vl2_put64(t, (uint64_t)NOW);
    vl2_put64(g_chal, g ^ vl2_fnv1a64(t, 8, g));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    one(data, size, 1, 1, "", "");
    one(data, size, 1, 0, "alice", "secret");
    one(data, size, 0, 0, "Alice", "secret");
    for (int cap : {129, 5}) {
        char user[129];
        memset(user, 'x', sizeof user);
        if (vl2_ntlm_user(data, size, user, cap) == 0 && strnlen(user, cap) >= (size_t)cap) abort();
    }
    return 0;
}
