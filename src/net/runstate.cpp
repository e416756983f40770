// Server run state (the stop flag) and thread start-up.
#include "net/net.h"
#include "net/state.h"

#include <pthread.h>

#include <climits>

namespace {

vl2_netstate g = {PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, -1, 0, {}, nullptr, 0};

constexpr size_t STACK_SIZE = 1024 * 1024;

}  // namespace

vl2_netstate *vl2_net_acquire(void)
{
    pthread_mutex_lock(&g.lock);
    return &g;
}

void vl2_net_release(void) { pthread_mutex_unlock(&g.lock); }

int vl2_server_stopping(void)
{
    vl2_netstate *s = vl2_net_acquire();
    int v = s->stopping;
    vl2_net_release();
    return v;
}

void vl2_set_stopping(int on)
{
    vl2_netstate *s = vl2_net_acquire();
    s->stopping = on ? 1 : 0;
    vl2_net_release();
}

int vl2_thread_start(void *handle, void *(*fn)(void *), void *arg)
{
    if (!handle || !fn) return -1;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    size_t stack = STACK_SIZE < (size_t)PTHREAD_STACK_MIN ? (size_t)PTHREAD_STACK_MIN : STACK_SIZE;
    int rc = pthread_attr_setstacksize(&attr, stack);
    pthread_t t;
    if (rc == 0) rc = pthread_create(&t, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) return -1;
    *(pthread_t *)handle = t;
    return 0;
}
