// Internal to the configuration module: the configuration lock and the
// per-table reset hooks used by vl2_cfg_reset_for_tests.
#pragma once

#include <pthread.h>

#include <cstdint>

// Guards the options, the share and user tables, the counters and the
// allow-list. Held only while copying into or out of them.
extern pthread_mutex_t g_lock;

// Scoped hold of g_lock.
struct vl2_cfg_hold {
    vl2_cfg_hold() { pthread_mutex_lock(&g_lock); }
    ~vl2_cfg_hold() { pthread_mutex_unlock(&g_lock); }
    vl2_cfg_hold(const vl2_cfg_hold &) = delete;
    vl2_cfg_hold &operator=(const vl2_cfg_hold &) = delete;
};

// The guest option; caller holds g_lock.
int32_t vl2_cfg_guest_locked(void);

// Start-state restores; each expects g_lock to be held.
void vl2_cfg_reset_opts_locked(void);
void vl2_cfg_reset_shares_locked(void);
void vl2_cfg_reset_users_locked(void);
void vl2_cfg_reset_stats_locked(void);
void vl2_cfg_reset_allow_locked(void);
void vl2_cfg_reset_throttle_locked(void);

// 1 when the VLSMB2S_TRACE variable exists (any value).
int vl2_cfg_tracing(void);
