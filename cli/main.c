/* vlsmb2s: command-line front end. Uses only the public header, like any
 * host application would. */
#define _POSIX_C_SOURCE 200809L

#include "vlsmb2s.h"

#include <limits.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void usage(void)
{
    fputs("usage: vlsmb2s serve  [--share NAME=PATH]... [--user USER:PASS]... [--allow CIDR]...\n"
          "                      [--opt KEY=VALUE]... [--bind IP] [--port N] [--port-file FILE]\n"
          "       vlsmb2s sim    [--share NAME=PATH]... [--user USER:PASS]... [--opt KEY=VALUE]... [--ip IP] < SCRIPT\n"
          "       vlsmb2s selftest\n"
          "       vlsmb2s version\n",
          stderr);
}

static int is(const char *a, const char *b) { return strcmp(a, b) == 0; }

/* Calls fn(left, right) with value cut at the first sep. 0, or 1 when fn
 * fails (the message names op), or 2 when out of memory. */
static int split_call(const char *value, const char *sep, const char *op,
                      int (*fn)(const char *, const char *))
{
    size_t cut = (size_t)(sep - value);
    char *left = strndup(value, cut);
    if (!left) {
        fputs("out of memory\n", stderr);
        return 2;
    }
    int rc = fn(left, sep + 1);
    free(left);
    if (rc != 0) {
        fprintf(stderr, "%s: %s\n", op, vlsmb2s_last_error());
        return 1;
    }
    return 0;
}

static int set_option(const char *k, const char *v) { return vlsmb2s_set_option(k, v); }
static int add_share(const char *n, const char *p) { return vlsmb2s_add_share(n, p); }
static int add_user(const char *u, const char *p) { return vlsmb2s_add_user(u, p); }

/* Applies the configuration options in command-line order; stops at the
 * first failure and returns its exit status, or 0. */
static int setup(int argc, char **argv)
{
    for (int i = 0; i < argc; i += 2) {
        const char *opt = argv[i];
        int known = is(opt, "--share") || is(opt, "--user") || is(opt, "--allow") || is(opt, "--opt") ||
                    is(opt, "--bind") || is(opt, "--port") || is(opt, "--port-file") || is(opt, "--ip");
        if (!known || i + 1 >= argc) {
            fprintf(stderr, "unknown argument %s\n", opt);
            usage();
            return 2;
        }
        const char *val = argv[i + 1];
        int rc = 0;
        if (is(opt, "--share")) {
            const char *eq = strchr(val, '=');
            if (!eq) {
                fputs("--share needs NAME=PATH\n", stderr);
                return 2;
            }
            rc = split_call(val, eq, "add_share", add_share);
        } else if (is(opt, "--user")) {
            const char *colon = strchr(val, ':');
            if (!colon) {
                fputs("--user needs USER:PASS\n", stderr);
                return 2;
            }
            rc = split_call(val, colon, "add_user", add_user);
        } else if (is(opt, "--allow")) {
            if (vlsmb2s_allow_cidr(val) != 0) {
                fprintf(stderr, "allow_cidr: %s\n", vlsmb2s_last_error());
                rc = 1;
            }
        } else if (is(opt, "--opt")) {
            const char *eq = strchr(val, '=');
            if (!eq) {
                fputs("--opt needs KEY=VALUE\n", stderr);
                return 2;
            }
            rc = split_call(val, eq, "set_option", set_option);
        }
        if (rc != 0)
            return rc;
    }
    return 0;
}

/* Lenient decimal: leading digits, no digits gives 0; values beyond int
 * are clamped so they still fail the port range test. */
static int port_value(const char *text)
{
    long v = strtol(text, NULL, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

static int serve(int argc, char **argv)
{
    const char *bind = NULL, *port_file = NULL;
    int port = 4450;
    for (int i = 0; i < argc; i++) {
        if (i + 1 < argc && (is(argv[i], "--bind") || is(argv[i], "--port") || is(argv[i], "--port-file"))) {
            if (is(argv[i], "--bind"))
                bind = argv[i + 1];
            else if (is(argv[i], "--port"))
                port = port_value(argv[i + 1]);
            else
                port_file = argv[i + 1];
            i++;
        }
    }
    int rc = setup(argc, argv);
    if (rc != 0)
        return rc;
    // Megabyte read buffers straight from the system, so they go back to it
    // when freed: a fixed threshold stops malloc from raising its own after
    // the first such buffer and then keeping them in per-thread arenas.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    if (vlsmb2s_start(bind, port, NULL) != 0) {
        fprintf(stderr, "start: %s\n", vlsmb2s_last_error());
        return 1;
    }
    printf("vlsmb2s serving on %s port %d\n", bind ? bind : "127.0.0.1", vlsmb2s_port());
    fflush(stdout);
    if (port_file) {
        FILE *f = fopen(port_file, "w");
        if (f) {
            fprintf(f, "%d\n", vlsmb2s_port());
            fclose(f);
        }
    }
    /* Runs until the process is terminated. */
    for (;;) {
        struct timespec t = {0, 100 * 1000 * 1000};
        nanosleep(&t, NULL);
    }
}

static int sim(int argc, char **argv)
{
    const char *ip = "127.0.0.1";
    for (int i = 0; i < argc; i++) {
        if (i + 1 < argc && is(argv[i], "--ip")) {
            ip = argv[i + 1];
            i++;
        }
    }
    int rc = setup(argc, argv);
    if (rc != 0)
        return rc;
    size_t cap = 1048576, len = 0;
    char *script = malloc(cap);
    if (!script) {
        fputs("out of memory\n", stderr);
        return 2;
    }
    for (;;) {
        if (cap - len <= 1) {
            char *grown = cap <= SIZE_MAX / 2 ? realloc(script, cap * 2) : NULL;
            if (!grown) {
                free(script);
                fputs("out of memory\n", stderr);
                return 2;
            }
            script = grown;
            cap *= 2;
        }
        size_t n = fread(script + len, 1, cap - len - 1, stdin);
        if (n == 0)
            break;
        len += n;
    }
    script[len] = 0;
    const char *out = vlsmb2s_simulate(script, ip);
    free(script);
    if (!out) {
        fprintf(stderr, "simulate: %s\n", vlsmb2s_last_error());
        return 1;
    }
    fwrite(out, 1, strlen(out), stdout);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage();
        return 2;
    }
    const char *cmd = argv[1];
    if (is(cmd, "version")) {
        printf("vlsmb2s %s\n", vlsmb2s_version());
        return 0;
    }
    if (is(cmd, "selftest")) {
        const char *text = vlsmb2s_selftest();
        fputs(text, stdout);
        return strstr(text, "FAILED") ? 1 : 0;
    }
    if (is(cmd, "serve"))
        return serve(argc - 2, argv + 2);
    if (is(cmd, "sim"))
        return sim(argc - 2, argv + 2);
    usage();
    return 2;
}
