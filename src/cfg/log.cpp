// Operator log: one line per connection, logon, tree connect and open on
// standard error, as chosen by the `log` option. Separate from the trace.
#include "cfg/cfg.h"
#include "util/util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The journal takes a "<N>" priority prefix and stamps lines itself; it is
// our stderr only when JOURNAL_STREAM names the very file stderr is.
bool stderr_is_journal()
{
    static std::once_flag once;
    static bool journal = false;
    std::call_once(once, [] {
        const char *js = getenv("JOURNAL_STREAM");
        unsigned long long dev = 0, ino = 0;
        struct stat st;
        if (js && sscanf(js, "%llu:%llu", &dev, &ino) == 2 && fstat(2, &st) == 0)
            journal = (unsigned long long)st.st_dev == dev && (unsigned long long)st.st_ino == ino;
    });
    return journal;
}

}  // namespace

bool vl2_log_on(int level)
{
    vl2_opts o;
    vl2_opts_get(&o);
    return level > VL2_LOG_OFF && o.log >= level;
}

void vl2_log(int level, int priority, const char *fmt, ...)
{
    if (!vl2_log_on(level)) return;
    char line[1024];
    int n;
    if (stderr_is_journal()) {
        n = snprintf(line, sizeof line, "<%d>", priority);
    } else {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        struct tm tm;
        gmtime_r(&ts.tv_sec, &tm);
        n = (int)strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%S", &tm);
        n += snprintf(line + n, sizeof line - (size_t)n, ".%03ldZ ", ts.tv_nsec / 1000000);
    }
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof line - (size_t)n - 1, fmt, ap);
    va_end(ap);
    if (m < 0) return;
    n += m;
    if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
    line[n++] = '\n';
    // One write per line, so lines of concurrent connections never mix.
    ssize_t w = write(2, line, (size_t)n);
    (void)w;
}

void vl2_log_event(int level, int priority, const char *what, const char *peer, const char *user, const char *share,
                   const char *name, long long bytes, const char *detail)
{
    if (!vl2_log_on(level)) return;
    char u[200] = "", sh[140] = "", nm[600] = "", rd[40] = "";
    if (user) {
        memcpy(u, " user=", 6);
        vl2_escape(user, u + 6, sizeof u - 6);
    }
    if (share) {
        memcpy(sh, " share=", 7);
        vl2_escape(share, sh + 7, sizeof sh - 7);
    }
    if (name) {
        memcpy(nm, " name=", 6);
        vl2_escape(name, nm + 6, sizeof nm - 6);
    }
    if (bytes >= 0) snprintf(rd, sizeof rd, " read=%lld", bytes);
    vl2_log(level, priority, "%s from %s%s%s%s%s%s%s", what, peer, u, sh, nm, rd, detail ? ": " : "",
            detail ? detail : "");
}
