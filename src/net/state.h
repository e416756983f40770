// Internal to the network module: the network state record `g`. The one
// instance lives in runstate.cpp; other files of this module reach it only
// through vl2_net_acquire / vl2_net_release, so every field access happens
// under its lock. Never call into the configuration module while holding it.
#pragma once

#include <pthread.h>

#include <cstdint>

struct vl2_netstate {
    pthread_mutex_t lock;   // guards every field below
    int32_t stopping;       // 1 while a stop of the network server is in progress
    // The listener's fields (running, socket, port, accept thread,
    // connection list, client count) are added here.
};

// Takes g.lock and returns the record; release with vl2_net_release.
// Hold it only for a few field accesses, never across a blocking call.
vl2_netstate *vl2_net_acquire(void);
void vl2_net_release(void);
