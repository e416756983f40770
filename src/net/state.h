// Internal to the network module: the network state record `g`. The one
// instance lives in runstate.cpp; other files of this module reach it only
// through vl2_net_acquire / vl2_net_release, so every field access happens
// under its lock. Never call into the configuration module while holding it.
#pragma once

#include <pthread.h>

#include <cstdint>

struct vl2_conn;

struct vl2_netstate {
    pthread_mutex_t lock;  // guards every field below
    int32_t stopping;      // 1 while a stop of the network server is in progress
    // The listener's fields (listener.cpp).
    int32_t running;  // from a start past its argument tests until stopped
    int32_t started;  // the accept thread exists; before that a stop has nothing to stop
    int sock;         // the listening socket, -1 when none
    int32_t port;     // the port actually bound
    pthread_t acceptor;
    vl2_conn *conns;   // connection records, newest first
    int32_t nclients;  // connections whose loop has not finished
};

// Takes g.lock and returns the record; release with vl2_net_release.
// Hold it only for a few field accesses, never across a blocking call.
vl2_netstate *vl2_net_acquire(void);
void vl2_net_release(void);
