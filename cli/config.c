/* The config file (INI: a [global] section and one section per share) and
 * the users file (NAME:PASSWORD lines). */
#define _POSIX_C_SOURCE 200809L

#include "cli.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

int kv_add(struct kvlist *l, const char *key, const char *val, int line)
{
    if (l->n == l->cap) {
        int cap = l->cap ? l->cap * 2 : 8;
        struct kv *v = realloc(l->v, (size_t)cap * sizeof *v);
        if (!v) return -1;
        l->v = v;
        l->cap = cap;
    }
    struct kv *e = &l->v[l->n];
    e->key = strdup(key ? key : "");
    e->val = strdup(val ? val : "");
    e->line = line;
    if (!e->key || !e->val) {
        free(e->key);
        free(e->val);
        return -1;
    }
    l->n++;
    return 0;
}

struct kv *kv_find(const struct kvlist *l, const char *key, int nocase)
{
    for (int i = 0; i < l->n; i++)
        if ((nocase ? strcasecmp(l->v[i].key, key) : strcmp(l->v[i].key, key)) == 0) return &l->v[i];
    return NULL;
}

static void kv_free(struct kvlist *l, int secret)
{
    for (int i = 0; i < l->n; i++) {
        if (secret) memset(l->v[i].val, 0, strlen(l->v[i].val));
        free(l->v[i].key);
        free(l->v[i].val);
    }
    free(l->v);
    memset(l, 0, sizeof *l);
}

void conf_free(struct conf *c)
{
    free(c->file);
    free(c->bind);
    kv_free(&c->shares, 0);
    kv_free(&c->users, 1);
    kv_free(&c->opts, 0);
    kv_free(&c->allow, 0);
    c->file = c->bind = NULL;
}

static char *trim(char *s)
{
    while (*s == ' ' || *s == '\t') s++;
    size_t n = strlen(s);
    while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n')) s[--n] = 0;
    return s;
}

/* Lower case, blanks folded to one space: "Users  File" is "users file". */
static void norm_key(char *k)
{
    char *w = k;
    for (char *r = k; *r; r++) {
        if (*r == ' ' || *r == '\t') {
            if (w > k && w[-1] != ' ') *w++ = ' ';
        } else {
            *w++ = (char)tolower((unsigned char)*r);
        }
    }
    *w = 0;
}

/* Strips one pair of matching quotes; -1 for an unmatched one. */
static int unquote(char **v)
{
    char *s = *v;
    size_t n = strlen(s);
    if (n && (s[0] == '"' || s[0] == '\'')) {
        if (n < 2 || s[n - 1] != s[0]) return -1;
        s[n - 1] = 0;
        *v = s + 1;
    }
    return 0;
}

struct parse {
    const char *file;
    int line;
    struct conf *c;
    char *share; /* current share section, or null in [global] */
    int in_section;
    int share_line;
};

static int bad(const struct parse *p, const char *key, const char *msg)
{
    if (key)
        fprintf(stderr, "%s:%d: %s: %s\n", p->file, p->line, key, msg);
    else
        fprintf(stderr, "%s:%d: %s\n", p->file, p->line, msg);
    return 1;
}

static int section(struct parse *p, char *s)
{
    char *end = strchr(s, ']');
    if (!end || *trim(end + 1)) return bad(p, NULL, "a section line is [NAME]");
    *end = 0;
    char *name = trim(s + 1);
    if (!*name) return bad(p, NULL, "empty section name");
    if (p->share && !kv_find(&p->c->shares, p->share, 1)) {
        int l = p->line;
        p->line = p->share_line;
        bad(p, p->share, "the share has no path");
        p->line = l;
        return 1;
    }
    free(p->share);
    p->share = NULL;
    p->in_section = 1;
    if (strcasecmp(name, "global") == 0) return 0;
    /* A share's name is checked by the server when it is added. */
    for (int i = 0; i < p->c->shares.n; i++)
        if (strcasecmp(p->c->shares.v[i].key, name) == 0) return bad(p, name, "share given twice");
    p->share = strdup(name);
    p->share_line = p->line;
    return p->share ? 0 : bad(p, NULL, "out of memory");
}

static int port_of(const char *v)
{
    if (!*v || strlen(v) > 5) return -1;
    for (const char *c = v; *c; c++)
        if (*c < '0' || *c > '9') return -1;
    int n = atoi(v);
    return n <= 65535 ? n : -1;
}

static int global_key(struct parse *p, const char *key, char *val)
{
    struct conf *c = p->c;
    if (is(key, "bind")) {
        if (c->bind) return bad(p, key, "given twice");
        c->bind = strdup(val);
        c->bind_line = p->line;
        return c->bind ? 0 : bad(p, NULL, "out of memory");
    }
    if (is(key, "port")) {
        if (c->port >= 0) return bad(p, key, "given twice");
        if ((c->port = port_of(val)) < 0) return bad(p, key, "0..65535");
        c->port_line = p->line;
        return 0;
    }
    if (is(key, "allow")) {
        /* A list of prefixes, split at commas and blanks. */
        for (char *save = NULL, *t = strtok_r(val, ", \t", &save); t; t = strtok_r(NULL, ", \t", &save))
            if (kv_add(&c->allow, NULL, t, p->line) != 0) return bad(p, NULL, "out of memory");
        return 0;
    }
    if (is(key, "users file")) {
        int first = c->users.n;
        if (users_file_read(val, &c->users) != 0) return bad(p, key, "not read (see above)");
        for (int i = first; i < c->users.n; i++) c->users.v[i].line = p->line;
        return 0;
    }
    if (is(key, "user") || is(key, "password")) return bad(p, key, "accounts go in the users file, not here");
    /* Every other key is a server option, checked when it is applied. */
    if (kv_find(&c->opts, key, 0)) return bad(p, key, "given twice");
    return kv_add(&c->opts, key, val, p->line) == 0 ? 0 : bad(p, NULL, "out of memory");
}

static int line(struct parse *p, char *raw)
{
    char *s = trim(raw);
    if (!*s || *s == '#' || *s == ';') return 0;
    if (*s == '[') return section(p, s);
    char *eq = strchr(s, '=');
    if (!eq) return bad(p, NULL, "expected KEY = VALUE or [SECTION]");
    *eq = 0;
    char *key = trim(s), *val = trim(eq + 1);
    norm_key(key);
    if (!*key) return bad(p, NULL, "empty key");
    if (unquote(&val) != 0) return bad(p, key, "unmatched quote");
    if (!p->in_section) return bad(p, key, "outside a section; start with [global]");
    if (!p->share) return global_key(p, key, val);
    if (!is(key, "path")) return bad(p, key, "unknown share key (only path)");
    if (kv_find(&p->c->shares, p->share, 1)) return bad(p, key, "given twice");
    if (!*val) return bad(p, key, "empty path");
    return kv_add(&p->c->shares, p->share, val, p->line) == 0 ? 0 : bad(p, NULL, "out of memory");
}

int conf_read(const char *file, struct conf *c)
{
    memset(c, 0, sizeof *c);
    c->port = -1;
    c->file = strdup(file);
    FILE *f = fopen(file, "r");
    if (!f) {
        fprintf(stderr, "%s: %s\n", file, strerror(errno));
        return 1;
    }
    struct parse p = {.file = file, .c = c};
    char buf[4096];
    int rc = 0;
    while (rc == 0 && fgets(buf, sizeof buf, f)) {
        p.line++;
        size_t n = strlen(buf);
        if (n == sizeof buf - 1 && buf[n - 1] != '\n' && !feof(f))
            rc = bad(&p, NULL, "line longer than 4095 bytes");
        else
            rc = line(&p, buf);
    }
    if (rc == 0 && ferror(f)) rc = bad(&p, NULL, "read error");
    if (rc == 0 && p.share && !kv_find(&c->shares, p.share, 1)) {
        p.line = p.share_line;
        rc = bad(&p, p.share, "the share has no path");
    }
    free(p.share);
    fclose(f);
    return rc;
}

int users_file_read(const char *file, struct kvlist *users)
{
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "%s: %s\n", file, strerror(errno));
        return 1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: not a regular file\n", file);
        close(fd);
        return 1;
    }
    /* Passwords readable by others are as good as published. */
    if (st.st_mode & 077) {
        fprintf(stderr, "%s: group or others can read it; chmod 600 %s\n", file, file);
        close(fd);
        return 1;
    }
    FILE *f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        return 1;
    }
    char buf[1024];
    int ln = 0, rc = 0;
    while (rc == 0 && fgets(buf, sizeof buf, f)) {
        ln++;
        /* Only the line end goes: a password may start or end with blanks. */
        buf[strcspn(buf, "\r\n")] = 0;
        char *s = buf;
        if (!*trim(buf) || *trim(buf) == '#') continue;
        char *colon = strchr(s, ':');
        if (!colon || colon == s) {
            fprintf(stderr, "%s:%d: needs NAME:PASSWORD\n", file, ln);
            rc = 1;
        } else {
            *colon = 0;
            if (kv_add(users, s, colon + 1, ln) != 0) rc = 1;
        }
    }
    memset(buf, 0, sizeof buf);
    fclose(f);
    return rc;
}
