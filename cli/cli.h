/* Shared declarations of the command-line program's files. Everything here
 * talks to the server only through the public header. */
#ifndef VLSMB2S_CLI_H
#define VLSMB2S_CLI_H

#include <stdio.h>

int is(const char *a, const char *b);
void usage(FILE *to);

/* One configuration entry: a share (key NAME, value PATH), an account
 * (NAME, PASSWORD), an option (KEY, VALUE) or an allow prefix (value only).
 * line is where it was given (0: not from a file). */
struct kv {
    char *key;
    char *val;
    int line;
};

struct kvlist {
    struct kv *v;
    int n, cap;
};

/* What a config file says, after parsing. */
struct conf {
    char *file; /* the file's name, for messages */
    char *bind; /* null when not given */
    int port;   /* -1 when not given */
    int bind_line, port_line;
    struct kvlist shares, users, opts, allow;
};

int kv_add(struct kvlist *l, const char *key, const char *val, int line);
struct kv *kv_find(const struct kvlist *l, const char *key, int nocase);
void conf_free(struct conf *c);

/* Parses FILE into c (zeroed first); the users file it names is read too.
 * 0, or 1 after writing "FILE:LINE: KEY: message" to stderr. */
int conf_read(const char *file, struct conf *c);
/* Reads NAME:PASSWORD lines into users; refuses a file group or others can
 * read. 0, or 1 after a message on stderr. */
int users_file_read(const char *file, struct kvlist *users);

/* ---- command-line arguments (args.c) ---- */
/* Applies --share/--user/--users-file/--allow/--opt in order; skips the
 * command's own settings. 0 or the exit status of the first failure. */
enum { SETUP_ALL, SETUP_NO_SHARES, SETUP_ONLY_SHARES };
int setup(int argc, char **argv, int which);
/* "op: detail" on stderr with the last error, one prefix only. */
void report(const char *op);
/* Drops from c whatever the command line gives itself (shares and users
 * by name, options by key), so the command line wins. */
void conf_drop_overridden(struct conf *c, int argc, char **argv);

/* ---- applying a config (apply.c) ---- */
#define SERVE_LOG "connections" /* serve's log level unless told otherwise */
/* Applies the options, prefixes and accounts of c, then (with shares set)
 * its shares; 0, or 1 after "FILE:LINE: KEY: message". */
int conf_apply(const struct conf *c, int shares);
int conf_apply_shares(const struct conf *c);
/* Applies the difference from old to new to the running server. 0 when
 * applied; 1 when refused, with the running configuration unchanged and
 * the reason on stderr. */
int conf_reload(const struct conf *old, const struct conf *next);
/* The effective configuration, passwords left out. */
void conf_print(const struct conf *c, FILE *to);

/* ---- service plumbing (service.c) ---- */
/* Sends one sd_notify datagram when $NOTIFY_SOCKET is set; 0 or -1. */
int notify(const char *text);
/* Raises the soft descriptor limit to the hard one. */
void raise_nofile(void);
/* Writes the port through a temporary file renamed into place. 0 or -1. */
int write_port_file(const char *path, int port);
/* Takes USER's uid, gid and groups in every thread of the process (and
 * with them loses every capability). 0, or 1 with a message. */
int run_as(const char *user);

int serve(int argc, char **argv);
int check_config(int argc, char **argv);

#endif
