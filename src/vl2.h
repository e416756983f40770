// Shared plain records used across modules. Functions live in the module
// headers (util/util.h, cfg/cfg.h, ...); this header only defines data.
#pragma once

#include <cstddef>
#include <cstdint>

// Growable byte buffer. All-zero is a valid empty buffer. After any
// successful append data[len] == 0. cap is 0 or 256 * 2^k, at most 2^32.
// failed is sticky: once a growth failed every later append fails too.
struct vl2_buf {
    uint8_t *data;
    uint64_t len;
    uint64_t cap;
    int32_t failed;
};

// An IP address. family 4 or 6 (0 in a zeroed record); IPv4 uses addr[0..3]
// and leaves the rest zero. IPv4-mapped IPv6 addresses are always family 4.
struct vl2_ip {
    int32_t family;
    uint8_t addr[16];
};

// An address prefix; bits of ip beyond prefix are always clear.
struct vl2_cidr {
    vl2_ip ip;
    int32_t prefix;
};

// Server options; also the type of every snapshot (cfg: vl2_opts_get).
struct vl2_opts {
    int32_t guest;               // -1 auto, 0 off, 1 on
    int32_t signing;             // 0 enabled, 1 required
    int32_t ntlm_timecheck;      // 1 on
    int32_t max_clients;         // 1..1024
    int32_t idle_timeout_ms;     // 100..86400000
    int32_t io_timeout_ms;       // 100..3600000
    int32_t max_login_failures;  // 1..100
    int32_t max_credits;         // 1..256
    int32_t max_handles;         // 1..1024
    int64_t max_message;         // 65536..16777216
    int64_t clock;               // 0 = system clock, else unix seconds
    char server_name[64];        // 1..63 printable ASCII bytes
    int32_t log;                 // 0 off, 1 connections, 2 access
    int32_t logon_timeout_ms;    // 0 off, else 100..86400000
    int32_t max_clients_per_ip;  // 0 no cap, else 1..1024
    int64_t max_listing_bytes;   // all connections' directory snapshots
    int32_t max_protocol;        // highest dialect offered: 0x0202 .. 0x0311
    int32_t min_protocol;        // lowest dialect accepted, never above max_protocol
    int32_t encryption;          // 0 off, 1 desired, 2 required
};

// One share. path is canonical (vl2_fs_realpath); empty for IPC$.
struct vl2_share {
    char name[81];
    char path[1025];
    int single_file;
};

// One account; the password is kept as given (hashes are made per logon).
struct vl2_user {
    char name[129];
    char password[257];
};

// Statistics counter ids; names and order are fixed (stats document keys).
enum vl2_stat_id {
    VL2_ST_CONNECTIONS = 0,
    VL2_ST_REFUSED_ALLOW,
    VL2_ST_REFUSED_FULL,
    VL2_ST_NEGOTIATE,
    VL2_ST_SESSIONS,
    VL2_ST_GUEST_SESSIONS,
    VL2_ST_LOGON_FAILED,
    VL2_ST_TREES,
    VL2_ST_TREE_REFUSED,
    VL2_ST_OPENS,
    VL2_ST_OPEN_REFUSED,
    VL2_ST_READS,
    VL2_ST_BYTES_SENT,
    VL2_ST_LISTINGS_SENT,
    VL2_ST_MUTATING_REFUSED,
    VL2_ST_IOCTL_REFUSED,
    VL2_ST_BAD_SIGNATURE,
    VL2_ST_PROTOCOL_ERRORS,
    VL2_ST_TIMEOUTS,
    VL2_ST_SIGN_REQUIRED_SESSIONS,
    VL2_ST_SRVSVC_QUERIES,
    VL2_ST_PATH_REFUSED,
    VL2_ST_COUNT
};

// Transport handed to the connection loop.
//  write: writes all count bytes; 0 on success, non-zero on failure.
//  read: 1..count bytes read; 0 nothing more will come; -2 time-out; -1 error.
//  log_frame: optional observer; ">>" request frames, "<<" replies, without
//    the 4-byte frame prefix.
//  writev2: optional; writes a then b as one unit (same contract as write).
//    Lets a socket send the frame prefix and body in one system call.
//  stopping: optional; non-zero when the connection is to end now (its
//    server is stopping). Asked after every read; null: never.
struct vl2_io {
    void *ctx;
    int (*write)(void *ctx, const uint8_t *bytes, int32_t count);
    int (*read)(void *ctx, uint8_t *buf, int32_t count, int timeout_ms);
    void (*log_frame)(void *ctx, const char *dir, const uint8_t *bytes, int64_t count);
    int (*writev2)(void *ctx, const uint8_t *a, int32_t na, const uint8_t *b, int32_t nb);
    int (*stopping)(void *ctx);
};

// Host object kinds (fs).
enum { VL2_K_FILE = 0, VL2_K_DIR = 1, VL2_K_LINK = 2, VL2_K_OTHER = 3 };

// Metadata of one host object; times are whole seconds since 1970 UTC.
struct vl2_fstat {
    int kind;
    uint64_t size;
    int64_t mtime;
    int64_t atime;
    int64_t crtime;
    uint64_t dev;
    uint64_t ino;
};

// Resolution kinds (vfs).
enum { VL2_R_DIR = 1, VL2_R_FILE = 2, VL2_R_IPC = 3 };

// Result of resolving a share-relative name (vfs).
struct vl2_vres {
    int kind;
    char path[2050];
    vl2_share share;
    vl2_fstat st;
};

// One member of a listed directory (vfs); name is owned by the array.
struct vl2_vent {
    char *name;
    int kind;         // VL2_K_FILE, VL2_K_DIR or VL2_K_LINK
    int target_kind;  // VL2_K_FILE or VL2_K_DIR
    uint64_t size;
    int64_t mtime;
    int64_t atime;
    int64_t crtime;
    uint64_t ino;  // the entry's own id (a link's own, not its target's)
};

// Wire time: 100 ns ticks since 1601 from unix seconds. Unsigned
// arithmetic: an absurd host time wraps instead of overflowing.
// The name the server goes by unless the host names it.
#define VL2_DEFAULT_SERVER_NAME "VELANTORIMBUS"

constexpr uint64_t VL2_FILETIME_EPOCH_SECS = 11644473600ULL;  // 1601 to 1970
inline uint64_t vl2_filetime(int64_t unix_seconds)
{
    return ((uint64_t)unix_seconds + VL2_FILETIME_EPOCH_SECS) * 10000000ULL;
}
// Unix seconds of a wire time (whole seconds, rounded down).
inline int64_t vl2_filetime_secs(uint64_t ft) { return (int64_t)(ft / 10000000ULL) - (int64_t)VL2_FILETIME_EPOCH_SECS; }
