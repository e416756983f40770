// The process-wide last-error slot.
#include "util/util.h"

#include <pthread.h>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t ERR_SIZE = VL2_ERROR_SIZE;

char g_err[ERR_SIZE];
// Constant-initialised, so it is usable before any static constructor runs.
pthread_mutex_t g_err_lock = PTHREAD_MUTEX_INITIALIZER;
// Set while this thread serves a client (see vl2_error_quiet).
thread_local int t_quiet;

void store(const char *fmt, va_list ap)
{
    // Format outside the lock into scratch: keeps the critical section to a
    // copy, and lets a message quote the slot itself (vl2_error() as an
    // argument) without the formatter reading what it is overwriting.
    if (t_quiet) return;
    char tmp[ERR_SIZE];
    int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
    if (n < 0) return;
    size_t len = (size_t)n < ERR_SIZE ? (size_t)n : ERR_SIZE - 1;
    pthread_mutex_lock(&g_err_lock);
    memcpy(g_err, tmp, len);
    g_err[len] = 0;
    pthread_mutex_unlock(&g_err_lock);
}

}  // namespace

void vl2_set_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    store(fmt, ap);
    va_end(ap);
}

int vl2_fail(int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    store(fmt, ap);
    va_end(ap);
    return code;
}

int vl2_error_quiet(int on)
{
    int was = t_quiet;
    t_quiet = on;
    return was;
}

const char *vl2_error(void) { return g_err; }

size_t vl2_error_copy(char *out, size_t size)
{
    if (!out || size == 0) return 0;
    pthread_mutex_lock(&g_err_lock);
    size_t len = strnlen(g_err, ERR_SIZE - 1);
    if (len >= size) len = size - 1;
    memcpy(out, g_err, len);
    out[len] = 0;
    pthread_mutex_unlock(&g_err_lock);
    return len;
}
