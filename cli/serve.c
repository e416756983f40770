/* The serve command: configuration, start, then signals until stopped. */
#define _GNU_SOURCE

#include "cli.h"
#include "vlsmb2s.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

/* Lenient decimal: leading digits, no digits gives 0; values beyond int
 * are clamped so they still fail the port range test. */
static int port_value(const char *text)
{
    long v = strtol(text, NULL, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

struct settings {
    const char *bind, *port_file, *config, *user;
    int port, port_given, allow_root;
};

static void prescan(int argc, char **argv, struct settings *s)
{
    for (int i = 0; i < argc; i++) {
        if (is(argv[i], "--allow-root")) {
            s->allow_root = 1;
            continue;
        }
        if (i + 1 >= argc) break;
        const char *v = argv[i + 1];
        if (is(argv[i], "--bind"))
            s->bind = v;
        else if (is(argv[i], "--port"))
            s->port = port_value(v), s->port_given = 1;
        else if (is(argv[i], "--port-file"))
            s->port_file = v;
        else if (is(argv[i], "--config"))
            s->config = v;
        else if (is(argv[i], "--run-as"))
            s->user = v;
        else
            continue;
        i++;
    }
}

static void status(void)
{
    char text[96];
    snprintf(text, sizeof text, "STATUS=serving on port %d, %d clients", vlsmb2s_port(), vlsmb2s_client_count());
    notify(text);
}

/* The new file is first checked whole in a fresh process (the check-config
 * command), so a bad share path or option value is found before anything
 * of the running configuration is touched. */
static int checked_elsewhere(const char *file)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    /* The child must not inherit the blocked stop signals. */
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK);
    char *args[] = {"vlsmb2s", "check-config", (char *)file, NULL};
    pid_t pid;
    int rc = posix_spawn(&pid, "/proc/self/exe", &fa, &at, args, environ);
    posix_spawnattr_destroy(&at);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int st = 0;
    pid_t w;
    while ((w = waitpid(pid, &st, 0)) < 0 && errno == EINTR)
        ;
    return w == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : -1;
}

static void reload(const char *file, struct conf *running, int argc, char **argv)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    char msg[64];
    snprintf(msg, sizeof msg, "RELOADING=1\nMONOTONIC_USEC=%lld", (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000);
    notify(msg);
    struct conf next;
    if (checked_elsewhere(file) != 0) {
        fprintf(stderr, "reload refused: %s does not check; the running configuration is unchanged\n", file);
    } else if (conf_read(file, &next) == 0) {
        conf_drop_overridden(&next, argc, argv);
        if (conf_reload(running, &next) == 0) {
            conf_free(running);
            *running = next;
            memset(&next, 0, sizeof next);
            fprintf(stderr, "reload: %s applied\n", file);
        }
        conf_free(&next);
    } else {
        conf_free(&next);
    }
    notify("READY=1");
    status();
}

static void stop_now(int sig)
{
    (void)sig;
    static const char m[] = "stop: second signal, exiting at once\n";
    ssize_t w = write(2, m, sizeof m - 1);
    (void)w;
    _exit(1);
}

/* Serves until SIGTERM or SIGINT; SIGHUP reloads the config file. */
static int run(const char *config, struct conf *running, int argc, char **argv)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    notify("READY=1");
    status();
    int clients = -1;
    for (;;) {
        struct timespec wait = {1, 0};
        int sig = sigtimedwait(&set, NULL, &wait);
        if (sig == SIGTERM || sig == SIGINT) break;
        if (sig == SIGHUP) {
            if (config)
                reload(config, running, argc, argv);
            else
                fputs("reload: no config file; nothing to do\n", stderr);
        }
        if (vlsmb2s_client_count() != clients) {
            clients = vlsmb2s_client_count();
            status();
        }
    }
    notify("STOPPING=1");
    struct sigaction sa = {.sa_handler = stop_now};
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    pthread_sigmask(SIG_UNBLOCK, &set, NULL);
    vlsmb2s_stop();
    return 0;
}

int serve(int argc, char **argv)
{
    struct settings s = {.port = 4450};
    prescan(argc, argv, &s);
    struct conf file = {.port = -1};
    if (s.config) {
        if (conf_read(s.config, &file) != 0) {
            conf_free(&file);
            return 1;
        }
        conf_drop_overridden(&file, argc, argv);
        if (!s.bind && file.bind) s.bind = file.bind;
        if (!s.port_given && file.port >= 0) s.port = file.port;
    }
    /* Every thread the server starts inherits this mask, so the signals
     * reach only the main thread's wait below. */
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, NULL);

    /* With --run-as the shares are added only after root is given up:
     * until then the server has nothing to read with root's rights. */
    vlsmb2s_set_option("log", SERVE_LOG);
    int rc = s.config ? conf_apply(&file, !s.user) : 0;
    if (rc == 0) rc = setup(argc, argv, s.user ? SETUP_NO_SHARES : SETUP_ALL);
    if (rc == 0 && geteuid() == 0 && !s.user && !s.allow_root) {
        fputs("serve: refusing to serve as root; give --run-as USER (or --allow-root)\n", stderr);
        rc = 1;
    }
    if (rc != 0) {
        conf_free(&file);
        return rc;
    }
    raise_nofile();
    // Megabyte read buffers straight from the system, so they go back to it
    // when freed: a fixed threshold stops malloc from raising its own after
    // the first such buffer and then keeping them in per-thread arenas.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    if (vlsmb2s_start(s.bind, s.port, NULL) != 0) {
        report("start");
        conf_free(&file);
        return 1;
    }
    if (s.user) {
        rc = run_as(s.user);
        if (rc == 0) rc = s.config ? conf_apply_shares(&file) : 0;
        if (rc == 0) rc = setup(argc, argv, SETUP_ONLY_SHARES);
        if (rc != 0) {
            vlsmb2s_stop();
            conf_free(&file);
            return rc;
        }
    }
    printf("vlsmb2s serving on %s port %d\n", s.bind ? s.bind : "127.0.0.1", vlsmb2s_port());
    fflush(stdout);
    if (s.port_file) write_port_file(s.port_file, vlsmb2s_port());
    rc = run(s.config, &file, argc, argv);
    conf_free(&file);
    return rc;
}
