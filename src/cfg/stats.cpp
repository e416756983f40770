// The statistics counters: plain sums under the configuration lock.
#include "cfg/cfg.h"
#include "cfg/cfg_lock.h"

#include <cstring>

namespace {

// Index order is the order of the statistics document.
const char *const names[VL2_ST_COUNT] = {
    "connections",    "refused_allow", "refused_full",    "negotiate",     "sessions",
    "guest_sessions", "logon_failed",  "trees",           "tree_refused",  "opens",
    "open_refused",   "reads",         "bytes_sent",      "listings_sent", "mutating_refused",
    "ioctl_refused",  "bad_signature", "protocol_errors", "timeouts",      "sign_required_sessions",
    "srvsvc_queries", "path_refused",
};

int64_t g_stats[VL2_ST_COUNT];

bool in_range(int id) { return id >= 0 && id < VL2_ST_COUNT; }

}  // namespace

void vl2_cfg_reset_stats_locked(void) { memset(g_stats, 0, sizeof g_stats); }

// An id outside the table is ignored rather than written past the array.
void vl2_stat_add(vl2_stat_id id, int64_t amount)
{
    if (!in_range(id)) return;
    vl2_cfg_hold hold;
    g_stats[id] += amount;
}

int64_t vl2_stat_get(vl2_stat_id id)
{
    if (!in_range(id)) return 0;
    vl2_cfg_hold hold;
    return g_stats[id];
}

const char *vl2_stat_name(int id) { return in_range(id) ? names[id] : nullptr; }
