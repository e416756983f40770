/* Running as a system service: readiness notification, descriptor limit,
 * the port file and dropping root. */
#define _GNU_SOURCE

#include "cli.h"

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

/* The notification protocol is one datagram on a unix socket; speaking it
 * here spares the program a library dependency for four messages. */
int notify(const char *text)
{
    const char *path = getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@')) return 0;
    struct sockaddr_un sa = {.sun_family = AF_UNIX};
    size_t n = strlen(path);
    if (n >= sizeof sa.sun_path) return -1;
    memcpy(sa.sun_path, path, n);
    if (sa.sun_path[0] == '@') sa.sun_path[0] = 0; /* abstract namespace */
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    socklen_t len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + n);
    ssize_t w = sendto(fd, text, strlen(text), MSG_NOSIGNAL, (struct sockaddr *)&sa, len);
    close(fd);
    return w == (ssize_t)strlen(text) ? 0 : -1;
}

void raise_nofile(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

/* A new file beside the target, renamed over it: a link planted at the
 * path is replaced, never written through. */
int write_port_file(const char *path, int port)
{
    size_t n = strlen(path);
    char *tmp = malloc(n + 32);
    if (!tmp) return -1;
    const char *slash = strrchr(path, '/');
    size_t dir = slash ? (size_t)(slash - path) + 1 : 0;
    snprintf(tmp, n + 32, "%.*s.%s.%ld.tmp", (int)dir, path, path + dir, (long)getpid());
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    int rc = -1;
    if (fd >= 0) {
        char text[16];
        int len = snprintf(text, sizeof text, "%d\n", port);
        rc = write(fd, text, (size_t)len) == len ? 0 : -1;
        if (close(fd) != 0) rc = -1;
        if (rc == 0) rc = rename(tmp, path);
        if (rc != 0) unlink(tmp);
    }
    free(tmp);
    return rc;
}

int run_as(const char *user)
{
    errno = 0;
    struct passwd *pw = getpwnam(user);
    if (!pw) {
        fprintf(stderr, "run-as: no user %s\n", user);
        return 1;
    }
    if (pw->pw_uid == 0) {
        fprintf(stderr, "run-as: %s is root\n", user);
        return 1;
    }
    /* The C library applies these to every thread, the server's too. */
    if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setresgid(pw->pw_gid, pw->pw_gid, pw->pw_gid) != 0 ||
        setresuid(pw->pw_uid, pw->pw_uid, pw->pw_uid) != 0) {
        fprintf(stderr, "run-as: cannot become %s: %s\n", user, strerror(errno));
        return 1;
    }
    return 0;
}
