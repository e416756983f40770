/* The configuration arguments shared by serve and sim. */
#define _POSIX_C_SOURCE 200809L

#include "cli.h"
#include "vlsmb2s.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

int is(const char *a, const char *b) { return strcmp(a, b) == 0; }

void report(const char *op)
{
    const char *e = vlsmb2s_last_error();
    size_t n = strlen(op);
    /* The library's messages mostly name their operation already. */
    if (strncmp(e, op, n) == 0 && e[n] == ':')
        fprintf(stderr, "%s\n", e);
    else
        fprintf(stderr, "%s: %s\n", op, e);
}

/* Calls fn(left, right) with value cut at the first sep. 0, or 1 when fn
 * fails (the message names op), or 2 when out of memory. */
static int split_call(const char *value, const char *sep, const char *op, int (*fn)(const char *, const char *))
{
    char *left = strndup(value, (size_t)(sep - value));
    if (!left) {
        fputs("out of memory\n", stderr);
        return 2;
    }
    int rc = fn(left, sep + 1);
    free(left);
    if (rc != 0) {
        report(op);
        return 1;
    }
    return 0;
}

static int set_option(const char *k, const char *v) { return vlsmb2s_set_option(k, v); }
static int add_share(const char *n, const char *p) { return vlsmb2s_add_share(n, p); }
static int add_user(const char *u, const char *p) { return vlsmb2s_add_user(u, p); }

static int is_flag(const char *a) { return is(a, "--allow-root"); }

static int users_from_file(const char *file)
{
    struct kvlist users = {0};
    int rc = users_file_read(file, &users);
    for (int i = 0; rc == 0 && i < users.n; i++) {
        if (vlsmb2s_add_user(users.v[i].key, users.v[i].val) != 0) {
            fprintf(stderr, "%s:%d: ", file, users.v[i].line);
            report("add_user");
            rc = 1;
        }
    }
    for (int i = 0; i < users.n; i++) memset(users.v[i].val, 0, strlen(users.v[i].val));
    struct conf tmp = {.users = users};
    conf_free(&tmp);
    return rc;
}

int setup(int argc, char **argv, int which)
{
    for (int i = 0; i < argc; i += 2) {
        const char *opt = argv[i];
        if (is_flag(opt)) {
            i--;
            continue;
        }
        int known = is(opt, "--share") || is(opt, "--user") || is(opt, "--allow") || is(opt, "--opt") ||
                    is(opt, "--users-file") || is(opt, "--bind") || is(opt, "--port") || is(opt, "--port-file") ||
                    is(opt, "--ip") || is(opt, "--config") || is(opt, "--run-as");
        if (!known || i + 1 >= argc) {
            fprintf(stderr, "unknown argument %s\n", opt);
            usage(stderr);
            return 2;
        }
        const char *val = argv[i + 1];
        int rc = 0;
        if ((which == SETUP_NO_SHARES && is(opt, "--share")) || (which == SETUP_ONLY_SHARES && !is(opt, "--share")))
            continue;
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
        } else if (is(opt, "--users-file")) {
            rc = users_from_file(val);
        } else if (is(opt, "--allow")) {
            if (vlsmb2s_allow_cidr(val) != 0) {
                report("allow_cidr");
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
        if (rc != 0) return rc;
    }
    return 0;
}

/* Removes entries of l whose key matches the part of val before sep. */
static void drop_named(struct kvlist *l, const char *val, char sep, int nocase)
{
    const char *cut = strchr(val, sep);
    if (!cut) return;
    size_t n = (size_t)(cut - val);
    for (int i = 0; i < l->n; i++) {
        const char *k = l->v[i].key;
        if (strlen(k) == n && (nocase ? strncasecmp(k, val, n) : strncmp(k, val, n)) == 0) {
            free(l->v[i].key);
            free(l->v[i].val);
            l->v[i] = l->v[--l->n];
            i--;
        }
    }
}

void conf_drop_overridden(struct conf *c, int argc, char **argv)
{
    for (int i = 0; i < argc; i += 2) {
        if (is_flag(argv[i])) {
            i--;
            continue;
        }
        if (i + 1 >= argc) break;
        const char *val = argv[i + 1];
        if (is(argv[i], "--share"))
            drop_named(&c->shares, val, '=', 1);
        else if (is(argv[i], "--user"))
            drop_named(&c->users, val, ':', 0);
        else if (is(argv[i], "--opt"))
            drop_named(&c->opts, val, '=', 0);
        else if (is(argv[i], "--bind")) {
            free(c->bind);
            c->bind = NULL;
        } else if (is(argv[i], "--port"))
            c->port = -1;
    }
}
