// Configuration and policy: options, shares, users, guest policy, counters
// and the client allow-list. Every function may be called from any thread;
// each takes the configuration lock for its own table access only and never
// holds it across file-system calls or another lock.
#pragma once

#include "vl2.h"

// ---- options ------------------------------------------------------------
// Exported: vlsmb2s_set_option (include/vlsmb2s.h).
void vl2_opts_get(vl2_opts *out);       // consistent snapshot
void vl2_opts_defaults(vl2_opts *out);  // the built-in defaults

// ---- shares and users ---------------------------------------------------
// Exported: vlsmb2s_add_share, _remove_share, _add_user, _remove_user.
// 0 found (copy in out, may be null), -1 not found. IPC$ (any case) is
// found without the lock, with an empty path.
int vl2_share_find(const char *name, vl2_share *out);
// Newly allocated array (free()) of IPC$ then every share, sorted IPC$
// first then case-insensitive name order; 0 or -1 when out of memory.
int vl2_share_list(vl2_share **out, int *count);
// Copies of the index-th account: 0, or 1 when an output is null or the
// index is out of range. The caller wipes its password copy.
int vl2_user_at(int index, char *name, int namecap, char *password, int passcap);
int vl2_guest_allowed(void);  // 1 or 0

// ---- operator log ------------------------------------------------------
// Levels of the `log` option; each includes the ones below it.
enum { VL2_LOG_OFF = 0, VL2_LOG_CONNECTIONS = 1, VL2_LOG_ACCESS = 2 };
bool vl2_log_on(int level);
// One line on stderr when the `log` option is at least level: a "<priority>"
// prefix (syslog: 4 warning, 5 notice, 6 info) when stderr is the journal,
// an ISO-8601 UTC time otherwise. Client text must come through vl2_escape;
// never pass a secret.
void vl2_log(int level, int priority, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// One event line: "WHAT from PEER[ user=U][ share=S][ name=N][ read=B][: DETAIL]".
// user, share and name (client text, escaped here) may be null; bytes < 0
// is left out; detail is the server's own text.
void vl2_log_event(int level, int priority, const char *what, const char *peer, const char *user, const char *share,
                   const char *name, long long bytes, const char *detail);

// ---- counters -----------------------------------------------------------
void vl2_stat_add(vl2_stat_id id, int64_t amount);
int64_t vl2_stat_get(vl2_stat_id id);
const char *vl2_stat_name(int id);  // "connections" .. "path_refused"

// ---- allow-list ---------------------------------------------------------
// Exported: vlsmb2s_allow_cidr.
int vl2_client_allowed(const vl2_ip *ip);  // loopback always 1

// ---- failed-logon throttle ----------------------------------------------
// Failed logons counted per client address across connections, in a fixed
// table (the oldest entry gives way). now_ms is monotonic milliseconds.
// 1 when logons from ip are refused at now_ms, else 0.
int vl2_logon_blocked(const vl2_ip *ip, uint64_t now_ms);
// Counts one failed logon; while ip is blocked it changes nothing.
void vl2_logon_failed(const vl2_ip *ip, uint64_t now_ms);

// Test support: restores every table, option and counter to its start
// state. Not for use while connections are served.
void vl2_cfg_reset_for_tests(void);
