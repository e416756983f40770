// Network server: run state, listener and connection threads (exported
// start/stop/port/client_count).
#pragma once

#include "vl2.h"

// 1 while a stop of the network server is in progress.
int vl2_server_stopping(void);

// Listener internals shared by start/stop (runstate.cpp owns the flag).
void vl2_set_stopping(int on);

// Starts fn(arg) on a new thread with a 1 MiB stack. 0 or -1.
// The handle is a pthread_t stored in *handle.
int vl2_thread_start(void *handle, void *(*fn)(void *), void *arg);
