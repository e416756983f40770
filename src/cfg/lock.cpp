// The configuration lock and the test reset of every configuration table.
#include "cfg/cfg.h"
#include "cfg/cfg_lock.h"

#include <cstdlib>

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

int vl2_cfg_tracing(void) { return getenv("VLSMB2S_TRACE") != nullptr; }

void vl2_cfg_reset_for_tests(void)
{
    vl2_cfg_hold hold;
    vl2_cfg_reset_opts_locked();
    vl2_cfg_reset_shares_locked();
    vl2_cfg_reset_users_locked();
    vl2_cfg_reset_stats_locked();
    vl2_cfg_reset_allow_locked();
    vl2_cfg_reset_throttle_locked();
}
