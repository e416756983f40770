// The small read-only control functions: version, last error, session
// count, statistics document and self-test summary.
#include "vlsmb2s.h"

#include "cfg/cfg.h"
#include "crypto/crypto.h"
#include "exports/exports.h"
#include "util/util.h"

#include <climits>

const char *vlsmb2s_version(void) { return "1.0.0"; }

const char *vlsmb2s_last_error(void)
{
    // The calling thread's own copy, taken under the writers' lock: the slot
    // itself may be rewritten by another thread's failure while the caller
    // reads it, which would show the caller pieces of two messages.
    static thread_local char text[VL2_ERROR_SIZE];
    vl2_error_copy(text, sizeof text);
    return text;
}

int vlsmb2s_session_count(void)
{
    int64_t n = vl2_stat_get(VL2_ST_SESSIONS) - vl2_stat_get(VL2_ST_LOGON_FAILED);
    if (n <= 0) return 0;
    return n > INT_MAX ? INT_MAX : (int)n;
}

const char *vlsmb2s_stats_json(void)
{
    int port = vlsmb2s_port();
    vl2_buf b = {};
    vl2_buf_printf(&b, "{\"running\":%s,\"port\":%d,\"clients\":%d", port ? "true" : "false", port,
                   vlsmb2s_client_count());
    for (int i = 0; i < VL2_ST_COUNT; i++)
        vl2_buf_printf(&b, ",\"%s\":%lld", vl2_stat_name(i), (long long)vl2_stat_get((vl2_stat_id)i));
    vl2_buf_byte(&b, '}');
    if (b.failed) {
        vl2_buf_free(&b);
        return "{}";
    }
    return vl2_out_set(&b);
}

const char *vlsmb2s_selftest(void)
{
    vl2_buf b = {};
    vl2_buf_printf(&b, "selftest %s\n", vl2_selftest() == 0 ? "ok" : "FAILED");
    if (b.failed) {
        vl2_buf_free(&b);
        return "selftest FAILED (oom)\n";
    }
    return vl2_out_set(&b);
}
