// Network server: run state and clocks (used by the engine), listener and
// connection threads (exported start/stop/port/client_count).
#pragma once

#include "vl2.h"

// 1 while a stop of the network server is in progress.
int vl2_server_stopping(void);
// Monotonic milliseconds; never decreases.
uint64_t vl2_now_ms(void);
// Whole seconds since 1970-01-01 UTC from the system clock.
int64_t vl2_unix_now(void);

// Listener internals shared by start/stop (runstate.cpp owns the flag).
void vl2_set_stopping(int on);

// Starts fn(arg) on a new thread with a 1 MiB stack. 0 or -1.
// The handle is a pthread_t stored in *handle.
int vl2_thread_start(void *handle, void *(*fn)(void *), void *arg);
