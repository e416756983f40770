/* vlsmb2s: command-line front end. Uses only the public header, like any
 * host application would. */
#define _POSIX_C_SOURCE 200809L

#include "cli.h"
#include "vlsmb2s.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

void usage(FILE *to)
{
    fputs("usage: vlsmb2s serve  [--share NAME=PATH]... [--user USER:PASS]... [--allow CIDR]...\n"
          "                      [--opt KEY=VALUE]... [--bind IP] [--port N] [--port-file FILE]\n"
          "                      [--users-file FILE] [--config FILE] [--run-as USER] [--allow-root]\n"
          "       vlsmb2s sim    [--share NAME=PATH]... [--user USER:PASS]... [--users-file FILE]\n"
          "                      [--opt KEY=VALUE]... [--ip IP] < SCRIPT\n"
          "       vlsmb2s check-config FILE\n"
          "       vlsmb2s selftest\n"
          "       vlsmb2s version | --version\n"
          "       vlsmb2s help | --help\n",
          to);
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
    int rc = setup(argc, argv, SETUP_ALL);
    if (rc != 0) return rc;
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
        if (n == 0) break;
        len += n;
    }
    script[len] = 0;
    const char *out = vlsmb2s_simulate(script, ip);
    free(script);
    if (!out) {
        report("simulate");
        return 1;
    }
    fwrite(out, 1, strlen(out), stdout);
    return 0;
}

/* Applies the file to this process's own server state (nothing is started)
 * so every value meets the same checks as when serving. */
int check_config(int argc, char **argv)
{
    if (argc != 1) {
        usage(stderr);
        return 2;
    }
    struct conf c;
    int rc = conf_read(argv[0], &c);
    if (rc == 0 && c.bind) {
        char cidr[128];
        snprintf(cidr, sizeof cidr, "%.100s/%s", c.bind, strchr(c.bind, ':') ? "128" : "32");
        if (!*c.bind || vlsmb2s_allow_cidr(cidr) != 0) {
            fprintf(stderr, "%s:%d: bind: %s is not an IP address\n", c.file, c.bind_line, c.bind);
            rc = 1;
        }
    }
    if (rc == 0) rc = conf_apply(&c, 1);
    if (rc == 0) conf_print(&c, stdout);
    conf_free(&c);
    return rc;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const char *cmd = argv[1];
    if (is(cmd, "version") || is(cmd, "--version")) {
        printf("vlsmb2s %s\n", vlsmb2s_version());
        return 0;
    }
    if (is(cmd, "help") || is(cmd, "--help")) {
        usage(stdout);
        return 0;
    }
    if (is(cmd, "selftest")) {
        const char *text = vlsmb2s_selftest();
        fputs(text, stdout);
        return strstr(text, "FAILED") ? 1 : 0;
    }
    if (is(cmd, "serve")) return serve(argc - 2, argv + 2);
    if (is(cmd, "sim")) return sim(argc - 2, argv + 2);
    if (is(cmd, "check-config")) return check_config(argc - 2, argv + 2);
    usage(stderr);
    return 2;
}
