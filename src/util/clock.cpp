// The clocks: monotonic milliseconds for time-outs, system seconds for the
// wire's times.
#include "util/util.h"

#include <time.h>

uint64_t vl2_now_ms(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

int64_t vl2_unix_now(void)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec;
}
