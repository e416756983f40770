/* Applying a config file to the server, at start and on reload. */
#define _POSIX_C_SOURCE 200809L

#include "cli.h"
#include "vlsmb2s.h"

#include <string.h>
#include <strings.h>

static int fail(const struct conf *c, const struct kv *e, const char *key)
{
    /* "add_share: /x does not exist" reads "path: /x does not exist" here. */
    const char *m = vlsmb2s_last_error(), *colon = strstr(m, ": ");
    if (colon && !memchr(m, ' ', (size_t)(colon - m))) m = colon + 2;
    fprintf(stderr, "%s:%d: %s: %s\n", c->file, e->line, key, m);
    return 1;
}

static int add_share(const struct conf *c, const struct kv *e)
{
    return vlsmb2s_add_share(e->key, e->val) == 0 ? 0 : fail(c, e, "path");
}

static int add_user(const struct conf *c, const struct kv *e)
{
    return vlsmb2s_add_user(e->key, e->val) == 0 ? 0 : fail(c, e, "users file");
}

int conf_apply_shares(const struct conf *c)
{
    for (int i = 0; i < c->shares.n; i++)
        if (add_share(c, &c->shares.v[i]) != 0) return 1;
    return 0;
}

int conf_apply(const struct conf *c, int shares)
{
    for (int i = 0; i < c->opts.n; i++)
        if (vlsmb2s_set_option(c->opts.v[i].key, c->opts.v[i].val) != 0)
            return fail(c, &c->opts.v[i], c->opts.v[i].key);
    for (int i = 0; i < c->allow.n; i++)
        if (vlsmb2s_allow_cidr(c->allow.v[i].val) != 0) return fail(c, &c->allow.v[i], "allow");
    for (int i = 0; i < c->users.n; i++)
        if (add_user(c, &c->users.v[i]) != 0) return 1;
    return shares ? conf_apply_shares(c) : 0;
}

static int refuse(const char *why, const char *what)
{
    fprintf(stderr, "reload refused: %s%s%s; the running configuration is unchanged\n", why, what ? " " : "",
            what ? what : "");
    return 1;
}

static int same(const char *a, const char *b) { return (!a && !b) || (a && b && strcmp(a, b) == 0); }

/* Changes the library has no call for. */
static int live_check(const struct conf *old, const struct conf *next)
{
    if (!same(old->bind, next->bind)) return refuse("the bind address cannot change while serving", NULL);
    if (old->port != next->port) return refuse("the port cannot change while serving", NULL);
    for (int i = 0; i < old->allow.n; i++) {
        int kept = 0;
        for (int j = 0; j < next->allow.n && !kept; j++) kept = is(old->allow.v[i].val, next->allow.v[j].val);
        if (!kept) return refuse("an allow prefix cannot be removed while serving:", old->allow.v[i].val);
    }
    for (int i = 0; i < old->opts.n; i++)
        if (!kv_find(&next->opts, old->opts.v[i].key, 0) && !is(old->opts.v[i].key, "log"))
            return refuse("an option cannot go back to its default while serving; give its value:", old->opts.v[i].key);
    return 0;
}

/* Shares and accounts of old that next lacks or changes go first, so a
 * renamed path can be added again under the same name. A step that still
 * fails (the folder vanished since the check) is undone as far as the
 * library allows: added entries are removed, removed ones put back. */
int conf_reload(const struct conf *old, const struct conf *next)
{
    if (live_check(old, next) != 0) return 1;
    int rc = 0;
    for (int i = 0; i < next->opts.n && rc == 0; i++) {
        const struct kv *e = &next->opts.v[i], *o = kv_find(&old->opts, e->key, 0);
        if ((!o || !is(o->val, e->val)) && vlsmb2s_set_option(e->key, e->val) != 0) rc = fail(next, e, e->key);
    }
    /* The one default the command line knows: its own. */
    if (kv_find(&old->opts, "log", 0) && !kv_find(&next->opts, "log", 0)) vlsmb2s_set_option("log", SERVE_LOG);
    for (int i = 0; i < next->allow.n && rc == 0; i++)
        if (vlsmb2s_allow_cidr(next->allow.v[i].val) != 0) rc = fail(next, &next->allow.v[i], "allow");
    for (int i = 0; i < old->users.n && rc == 0; i++) {
        const struct kv *e = &old->users.v[i], *n = kv_find(&next->users, e->key, 0);
        if (!n) vlsmb2s_remove_user(e->key);
    }
    for (int i = 0; i < next->users.n && rc == 0; i++) {
        const struct kv *e = &next->users.v[i], *o = kv_find(&old->users, e->key, 0);
        if (!o || !is(o->val, e->val)) rc = add_user(next, e);
    }
    for (int i = 0; i < old->shares.n && rc == 0; i++) {
        const struct kv *e = &old->shares.v[i], *n = kv_find(&next->shares, e->key, 1);
        if (!n || !is(n->val, e->val)) vlsmb2s_remove_share(e->key);
    }
    for (int i = 0; i < next->shares.n && rc == 0; i++) {
        const struct kv *e = &next->shares.v[i], *o = kv_find(&old->shares, e->key, 1);
        if (!o || !is(o->val, e->val)) rc = add_share(next, e);
    }
    if (rc != 0) {
        /* Back to old: options, accounts and shares as they were. */
        for (int i = 0; i < old->opts.n; i++) vlsmb2s_set_option(old->opts.v[i].key, old->opts.v[i].val);
        for (int i = 0; i < next->users.n; i++)
            if (!kv_find(&old->users, next->users.v[i].key, 0)) vlsmb2s_remove_user(next->users.v[i].key);
        for (int i = 0; i < old->users.n; i++) vlsmb2s_add_user(old->users.v[i].key, old->users.v[i].val);
        for (int i = 0; i < next->shares.n; i++) vlsmb2s_remove_share(next->shares.v[i].key);
        for (int i = 0; i < old->shares.n; i++) vlsmb2s_add_share(old->shares.v[i].key, old->shares.v[i].val);
        fputs("reload refused; the running configuration is restored\n", stderr);
    }
    return rc;
}

void conf_print(const struct conf *c, FILE *to)
{
    fputs("[global]\n", to);
    if (c->bind) fprintf(to, "bind = %s\n", c->bind);
    if (c->port >= 0) fprintf(to, "port = %d\n", c->port);
    if (c->allow.n) {
        fputs("allow =", to);
        for (int i = 0; i < c->allow.n; i++) fprintf(to, " %s", c->allow.v[i].val);
        fputc('\n', to);
    }
    for (int i = 0; i < c->opts.n; i++) fprintf(to, "%s = %s\n", c->opts.v[i].key, c->opts.v[i].val);
    if (!kv_find(&c->opts, "log", 0)) fprintf(to, "log = %s\n", SERVE_LOG);
    if (c->users.n) {
        fputs("# accounts (passwords not shown):", to);
        for (int i = 0; i < c->users.n; i++) fprintf(to, " %s", c->users.v[i].key);
        fputc('\n', to);
    }
    for (int i = 0; i < c->shares.n; i++) fprintf(to, "\n[%s]\npath = %s\n", c->shares.v[i].key, c->shares.v[i].val);
}
