// Engine internals shared by the connection loop, the dispatcher and the
// command handlers. Not for use outside src/sess.
#pragma once

#include "vl2.h"
#include "util/util.h"
#include "ntlm/ntlm.h"

#include <cstring>

// ---- status codes -------------------------------------------------------
// The one list of the statuses the server sends: the ST_ names and the
// names traces show both come from it.
#define VL2_STATUS_LIST(X) \
    X(SUCCESS, 0x00000000) \
    X(PENDING, 0x00000103) \
    X(BUFFER_OVERFLOW, 0x80000005) \
    X(NO_MORE_FILES, 0x80000006) \
    X(INVALID_HANDLE, 0xC0000008) \
    X(INVALID_INFO_CLASS, 0xC0000003) \
    X(INFO_LENGTH_MISMATCH, 0xC0000004) \
    X(INVALID_PARAMETER, 0xC000000D) \
    X(END_OF_FILE, 0xC0000011) \
    X(MORE_PROCESSING_REQUIRED, 0xC0000016) \
    X(ACCESS_DENIED, 0xC0000022) \
    X(BUFFER_TOO_SMALL, 0xC0000023) \
    X(OBJECT_NAME_INVALID, 0xC0000033) \
    X(OBJECT_NAME_NOT_FOUND, 0xC0000034) \
    X(OBJECT_PATH_NOT_FOUND, 0xC000003A) \
    X(LOGON_FAILURE, 0xC000006D) \
    X(INSUFFICIENT_RESOURCES, 0xC000009A) \
    X(FILE_IS_A_DIRECTORY, 0xC00000BA) \
    X(NOT_SUPPORTED, 0xC00000BB) \
    X(REQUEST_NOT_ACCEPTED, 0xC00000D0) \
    X(NOT_A_DIRECTORY, 0xC0000103) \
    X(FILE_CLOSED, 0xC0000128) \
    X(USER_SESSION_DELETED, 0xC0000203) \
    X(CANCELLED, 0xC0000480) \
    X(NO_PREAUTH_INTEGRITY_HASH_OVERLAP, 0xC05D0000)

enum : uint32_t {
#define VL2_STATUS_ENUM(name, value) ST_##name = value,
    VL2_STATUS_LIST(VL2_STATUS_ENUM)
#undef VL2_STATUS_ENUM
};
// The status's name for traces ("STATUS?" when not in the list).
const char *status_name(uint32_t status);

// SMB2 command codes (low byte of the Command field).
// clang-format off
enum : unsigned {
    CMD_NEGOTIATE = 0, CMD_SESSION_SETUP, CMD_LOGOFF, CMD_TREE_CONNECT, CMD_TREE_DISCONNECT,
    CMD_CREATE, CMD_CLOSE, CMD_FLUSH, CMD_READ, CMD_WRITE, CMD_LOCK, CMD_IOCTL, CMD_CANCEL,
    CMD_ECHO, CMD_QUERY_DIRECTORY, CMD_CHANGE_NOTIFY, CMD_QUERY_INFO, CMD_SET_INFO,
    CMD_OPLOCK_BREAK, CMD_COUNT,
};
// clang-format on

constexpr size_t SMB2_HDR = 64;

// The fields of a request's SMB2 header the engine uses, read once.
struct vl2_hdr {
    unsigned cmd;      // low byte of Command
    uint16_t charge;   // CreditCharge
    uint16_t credits;  // CreditRequest
    uint32_t flags;
    uint32_t next;  // NextCommand
    uint64_t mid;
    uint32_t tid;
    uint64_t sid;
};
// Reads the request header at q (left bytes there): 0, or -1 when no valid
// SMB2 header starts at q.
int hdr_parse(const uint8_t *q, size_t left, vl2_hdr *h);

// ---- signing ----------------------------------------------------------------
// How a session signs. Zero is what SMB 2.0.2 and 2.1 use, so a session
// record starts out with it; another algorithm is another case in
// signing.cpp, not another call site.
// Numbered as SMB 3.1.1's SIGNING_CAPABILITIES number them.
enum vl2_sign_alg : int { SIGN_HMAC_SHA256 = 0, SIGN_AES_CMAC = 1, SIGN_AES_GMAC = 2 };
// A copy shares the libcrypto key records of its original; only the
// session's own signer (s->signer) is ever released.
struct vl2_signer {
    vl2_sign_alg alg;
    uint8_t key[16];
    vl2_cmac_key cmac;  // SIGN_AES_CMAC: key scheduled once per session
    vl2_aead_key gmac;  // SIGN_AES_GMAC: an AES-128-GCM key
};
// Whether msg[0..n) (one message, header first) carries its right signature.
bool sign_verify(const vl2_signer *k, const uint8_t *msg, size_t n);
// Signs msg[0..n) in place: sets the Signed flag and writes the signature.
void sign_message(const vl2_signer *k, uint8_t *msg, size_t n);
// Frees the signer's key records and wipes it.
void sign_release(vl2_signer *k);
struct vl2_sess;
// The keys of a logon that has just succeeded, from its 16-byte session
// key: s->signer by the connection's dialect and algorithm and, when the
// NEGOTIATE chose a cipher, both cipher keys in s->seal (left off). What
// the last logon left is released first. 0, or -1 when libcrypto refused a
// key (nothing is then kept).
int session_keys(vl2_sess *s, const uint8_t session_key[16]);
// One step of a pre-authentication integrity hash: h = SHA-512(h || msg).
void preauth_chain(uint8_t h[64], const uint8_t *msg, size_t n);

// ---- encryption (SMB 3.x) ------------------------------------------------
// The session's cipher state. The NEGOTIATE picks the cipher (s->cipher);
// the logon derives both keys and decides whether the session encrypts;
// the connection loop opens TRANSFORM_HEADER requests with in and seals
// responses with out. A zeroed record is a session without encryption.
struct vl2_seal {
    int on;            // the session's traffic travels encrypted
    vl2_aead_key in;   // client to server: opens requests
    vl2_aead_key out;  // server to client: seals responses
    uint64_t sealed;   // messages sealed under out so far: the nonce counter
};
// Releases both keys and zeroes the record.
inline void seal_release(vl2_seal *e)
{
    vl2_aead_release(&e->in);
    vl2_aead_release(&e->out);
    vl2_wipe(e, sizeof *e);
}

// The transform header that carries one encrypted message (or compound):
// ProtocolId FD 'S' 'M' 'B', Signature (the AEAD tag), Nonce (11 bytes for
// CCM, 12 for GCM, the rest zero), OriginalMessageSize, Reserved, Flags
// (1: encrypted), SessionId. The tag covers the header from Nonce on.
constexpr size_t TRANSFORM_HDR = 52;
inline bool is_transform(const uint8_t *f, size_t n)
{
    return n >= 4 && f[0] == 0xFD && f[1] == 'S' && f[2] == 'M' && f[3] == 'B';
}
struct vl2_transform {
    const uint8_t *sig;    // 16 bytes inside the frame
    const uint8_t *nonce;  // 16 bytes inside the frame
    uint32_t size;         // OriginalMessageSize
    uint16_t flags;
    uint64_t sid;
};
// Reads the transform header of frame f[0..n) through the cursor: 0, or -1
// when it is short, not a transform header, not flagged encrypted, or its
// OriginalMessageSize is not exactly the n - 52 bytes that follow.
int transform_parse(const uint8_t *f, size_t n, vl2_transform *t);
// Opens frame f[0..n) in place with k (the client-to-server key): 0 with
// the plaintext at f + 52, or -1 (the header is bad, k holds no key, or the
// tag does not match; the message bytes are then wiped).
int transform_open(vl2_aead_key *k, uint8_t *f, size_t n);
// Seals msg[0..n) in place with k under the given nonce (16 bytes as the
// header carries them) and writes the 52-byte header for it to hdr. 0 or -1.
int transform_seal_nonce(vl2_aead_key *k, const uint8_t nonce[16], uint64_t sid, uint8_t *msg, size_t n,
                         uint8_t hdr[TRANSFORM_HDR]);
// Seals with e->out under the next value of the session's nonce counter.
// -1 when the counter is spent or sealing fails: the connection must end,
// since a nonce may never be used twice under one key.
int transform_seal(vl2_seal *e, uint64_t sid, uint8_t *msg, size_t n, uint8_t hdr[TRANSFORM_HDR]);

// ---- the request in hand ------------------------------------------------
// What belongs to one request of a frame rather than to the connection. The
// dispatcher fills it in before the handler runs; the handler finds it in
// the reply it is handed (r->rq).
struct vl2_req {
    uint32_t tid;     // the tree it names (a related request's filled in)
    uint16_t charge;  // its CreditCharge
    int in_chain;     // not the first request of its compound
    int failed;       // answered with an error inside a compound: the rest cascade
    int sign;         // the handler asks for its response to be signed
    uint64_t opened;  // FileId a successful CREATE opened, for related requests
    // Set for a related request whose command inherits a FileId, once a
    // CREATE of its compound has opened one: fid is what rd_fid hands out.
    int has_fid;
    uint64_t fid;
    const uint8_t *msg;  // the whole request message, header first
    size_t msg_len;      // (up to its NextCommand), for the pre-authentication hash
};

struct vl2_reply;
// Reads the persistent half of a request's FileId. A related request's
// all-ones FileId stands for the one its compound's last successful CREATE
// opened (r->rq); the client's bytes are never rewritten.
uint64_t rd_fid(vl2_rd *rd, const vl2_reply *r);

// ---- reply under construction ------------------------------------------
struct vl2_reply {
    vl2_buf b;
    size_t hdr;             // offset of the current response header in b
    uint32_t chain_status;  // status of the last error response in a compound
    // Bookkeeping of the dispatcher (all zero on entry to frame_in):
    int cur_open;      // the header at hdr belongs to the request in hand
    int sign_pending;  // the response at sign_at is signed once final
    size_t sign_at;
    vl2_signer sign_with;
    vl2_req rq;  // the request the current response answers
    // How the handler in hand failed: the call site for the trace, and
    // which error body its command gives the status (FAIL_BODY_*).
    int fail_line;
    int fail_body;
    uint32_t fail_size;  // FAIL_BODY_SIZE_NEEDED: the buffer size the client needs
};

// Little-endian appends.
void w16(vl2_buf *b, uint16_t v);
void w32(vl2_buf *b, uint32_t v);
void w64(vl2_buf *b, uint64_t v);
void wzero(vl2_buf *b, size_t n);
// Status field of the current response header.
void rep_status(vl2_reply *r, uint32_t status);
// Pointer to the current response header (valid until the next append).
uint8_t *rep_hdr(vl2_reply *r);

struct vl2_sess;

// Starts the reply afresh with one response header (Flags 1); hdr = 0.
void rep_begin(vl2_reply *r, unsigned cmd, uint32_t status, uint64_t mid, uint64_t sid, uint32_t tid, uint16_t charge,
               uint16_t credits);
// Pads to 8, links NextCommand, appends a chained header (Flags 5).
void rep_chain(vl2_reply *r, unsigned cmd, uint32_t status, uint64_t mid, uint64_t sid, uint32_t tid, uint16_t charge,
               uint16_t credits);
// Replaces whatever body the current response has with the 9-byte SMB2
// ERROR body (StructureSize 9, then zeros).
void rep_error_body(vl2_reply *r);
// Signs the response at r->sign_at up to end in place with r->sign_with
// and clears sign_pending.
void rep_sign_pending(vl2_reply *r, size_t end);
// Error response: sets the status of the current response (handler errors)
// or appends a chained one (walk errors), each with the ERROR body; with an
// empty reply it sends a standalone error frame at once. line identifies the
// call site in the trace.
void err_reply_l(vl2_sess *s, vl2_reply *r, unsigned cmd, uint32_t status, uint64_t sid, uint32_t tid, int line);
#define err_reply(s, r, cmd, status, sid, tid) err_reply_l((s), (r), (cmd), (status), (sid), (tid), __LINE__)
// CREATE error response (88-byte body when not in a chain).
void create_error_l(vl2_sess *s, vl2_reply *r, uint32_t status, int write_access, int line);

// What a CREATE request's contexts ask of the server.
struct vl2_create_ctx {
    int count;      // well-formed contexts in the chain
    int mxac;       // maximal access, answered
    int qfid;       // the on-disk id, answered
    int reconnect;  // a durable handle reconnect: there is never a handle to reconnect to
};
// Reads the whole chain at CreateContextsOffset hdr_off (from the SMB2
// header), CreateContextsLength len of the body in rd (rd does not move):
// ST_SUCCESS with *out filled (a length of 0 is no chain), or
// ST_INVALID_PARAMETER when the chain is malformed: outside the body, not
// 8-aligned, a Next, name or data that leaves its context.
uint32_t create_contexts(vl2_rd *rd, uint64_t hdr_off, uint64_t len, vl2_create_ctx *out);
// Appends the answers want asks for after the CREATE response body in hand
// (8-aligned, maximal access first) and sets its CreateContextsOffset and
// CreateContextsLength; nothing when there is nothing to answer.
void create_answer(vl2_reply *r, const vl2_create_ctx *want, uint32_t max_access, uint64_t disk_id);

// The error bodies a handler's status is answered with: the ERROR body,
// the ERROR body carrying the size the client needs (r->fail_size),
// CREATE's own (counted as a refused open, a refused write when asked to
// write) or a failed logon's.
enum : int { FAIL_BODY_ERROR = 0, FAIL_BODY_SIZE_NEEDED, FAIL_BODY_CREATE, FAIL_BODY_CREATE_WRITE, FAIL_BODY_SETUP };
inline uint32_t rep_fail_l(vl2_reply *r, uint32_t status, int body, int line)
{
    r->fail_line = line;
    r->fail_body = body;
    return status;
}
// What a handler returns to be answered with status.
#define rep_fail(r, status) rep_fail_l((r), (status), FAIL_BODY_ERROR, __LINE__)
#define create_fail(r, status, wr) rep_fail_l((r), (status), (wr) ? FAIL_BODY_CREATE_WRITE : FAIL_BODY_CREATE, __LINE__)
#define setup_fail(r, status) rep_fail_l((r), (status), FAIL_BODY_SETUP, __LINE__)
// Writes one reply with its frame prefix; a failed write sets closing.
// A reply that must travel encrypted (every reply to an encrypted frame;
// on a session that encrypts, every reply but NEGOTIATE's and
// SESSION_SETUP's) is sealed in place first, and its transform header goes
// out with the prefix; when it cannot be sealed nothing is written and
// closing is set.
void send_frame(vl2_sess *s, uint8_t *bytes, size_t count);
// Trace line to stderr when the connection traces (one write per call). The
// text is written as given; "[vlsmb2s %d]" leads are the caller's.
void sess_trace(const vl2_sess *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// ---- trees and opens ----------------------------------------------------
struct vl2_tree {
    uint32_t id;  // 24 bits used
    int gone;
    char name[81];
    int is_ipc;
    vl2_share share;  // copy taken at connect time; empty for IPC$
    vl2_tree *next;
};

struct vl2_listing {
    int held;
    vl2_vent *ents;
    int count;
    uint32_t pos;       // index of the next entry to examine
    char pattern[516];  // the whole pattern (up to 512 bytes) and its NUL
    int cls;
    int dots;       // how many of "." and ".." were examined (0..2)
    int64_t bytes;  // its share of the server-wide listing budget
};

struct vl2_open {
    uint64_t id;  // persistent FileId; volatile half is 0 on the wire
    int is_dir;
    int is_pipe;
    char path[2050];
    char name[1026];  // share-relative, '/'-separated; "" for the root
    char share_name[81];
    vl2_share share;
    vl2_fstat st;
    uint64_t disk_id;
    vl2_listing listing;
    vl2_buf pipe_out;  // pending RPC reply written by WRITE, drained by READ
    uint64_t pipe_pos;
    int64_t bytes_read;  // for the access log at close
    // The host file READ keeps for this open's next READ while the name
    // still leads to it (read.cpp); null when none is kept.
    struct vl2_file *file;
    uint64_t file_dev, file_ino;  // the file it was opened as
    uint64_t file_used;           // s->read_tick at its last READ
    vl2_open *next;
};

// The open's name inside its share, for the access log ("" for a
// single-file share or its root).
inline const char *open_share_name(const vl2_open *o)
{
    if (o->is_pipe) return "srvsvc";
    size_t n = strnlen(o->share.path, sizeof o->share.path);
    if (strncmp(o->path, o->share.path, n) != 0) return o->path;
    return o->path[n] == '/' ? o->path + n + 1 : o->path + n;
}

// ---- directory listings and the srvsvc pipe ------------------------------
// Most directory entries one connection may hold in listings at once.
constexpr int64_t LISTING_ENTRIES_MAX = 1000000;
// Frees a held listing and takes its entries off s->listing_entries and
// its bytes off the server-wide listing budget.
void listing_release(vl2_sess *s, vl2_listing *l);
// Turns one DCE/RPC request PDU of the srvsvc pipe into its reply PDU,
// appended to out (nothing appended for PDUs that get no reply).
void srvsvc_pdu(const uint8_t *in, size_t n, vl2_buf *out);
// Appends the NetrShareEnum reply stub for the requested information level.
void srvsvc_share_enum(vl2_buf *out, uint32_t level);
// READ on a pipe open: hands out up to length bytes of the reply a WRITE
// left (BUFFER_OVERFLOW while more remains); ST_SUCCESS, or
// NOT_SUPPORTED to answer with when nothing is pending.
uint32_t pipe_read(vl2_open *o, uint32_t length, vl2_reply *r);
// 1 when a WRITE request body (n bytes) names an open srvsvc pipe: the walk
// then dispatches it to cmd_write instead of refusing it.
int write_allowed(vl2_sess *s, const uint8_t *body, size_t n);

// ---- per-connection record ---------------------------------------------
struct vl2_sess {
    // connection loop
    const vl2_io *io;
    void *io_ctx;
    vl2_ip peer;
    char peer_text[64];
    int trace_id;
    vl2_opts opts;
    uint8_t *rbuf;
    size_t rcap;
    uint64_t last_ms;
    int closing;
    vl2_tree *trees;
    vl2_open *opens;
    int trace;
    // message processing
    int negotiated;
    int dialect;
    int client_sign_required;
    int large_mtu;
    uint64_t max_read;
    uint64_t max_write;
    uint64_t guid_seed;
    uint64_t last_err_mid;
    uint64_t cur_mid;  // the last request that ran; a walk error answers under it
    int authenticated;
    uint64_t session_id;
    int sign_required;
    vl2_signer signer;  // set up by the logon
    uint8_t challenge[8];
    int login_failures;
    uint64_t next_id;
    // additions
    int is_guest;  // the session was set up as a guest
    // The logon in progress: the messages its integrity checks cover, and
    // the server's mechListMIC for the accept-completed token.
    vl2_ntlm_exchange ntlm;
    uint8_t reply_mic[16];
    int reply_mic_set;
    int open_count;
    int64_t listing_entries;  // entries held in listings across all opens
    // Host files the opens keep for READ (read.cpp): how many, and a count
    // of READs that orders their last use.
    int kept_files;
    uint64_t read_tick;
    // Received bytes not yet processed are rbuf[rhead, rtail) (loop.cpp).
    size_t rhead, rtail;
    int offline;            // served by vl2_sess_run_offline
    char user[129];         // account named at logon, for the access log
    int nego_final;         // the dialect is settled: another NEGOTIATE ends the connection
    uint64_t unauth_since;  // start of the time without a session (logon time-out)
    int cipher;             // cipher the NEGOTIATE chose (vl2_aead_alg numbers), 0 for none
    vl2_seal seal;          // the session's encryption, set up by the logon
    int frame_sealed;       // the frame in hand arrived in a transform header
    uint32_t caps;          // Capabilities the NEGOTIATE answered (and its validation repeats)
    vl2_sign_alg sign_alg;  // how the dialect (and 3.1.1's contexts) sign
    int enc_policy;         // the encryption option as the NEGOTIATE found it
    // 3.1.1 pre-authentication integrity: the connection's hash after the
    // NEGOTIATE, and that of the logon in progress.
    uint8_t preauth[64];
    uint8_t sess_preauth[64];
    // What the client's NEGOTIATE said, for its validation (3.0, 3.0.2).
    uint32_t client_caps;
    uint16_t client_secmode;
    uint8_t client_guid[16];
};

// The tree with the given id, unless it is gone; or null.
vl2_tree *sess_tree(vl2_sess *s, uint32_t tid);
// Open with the given persistent FileId, or null.
vl2_open *sess_open(vl2_sess *s, uint64_t fid);
// Releases one open (its listing, pipe output and kept READ file) and
// unlinks it.
void sess_close_open(vl2_sess *s, vl2_open *o);
void sess_release_trees(vl2_sess *s);
void sess_release_opens(vl2_sess *s);
// Closes the host file o keeps for READ, if any.
void read_file_drop(vl2_sess *s, vl2_open *o);

// ---- command handlers (run with the response header begun, SUCCESS) ----
// A handler reads its request and writes its body: it returns ST_SUCCESS
// when the response it wrote stands (whatever status it gave it), or the
// status the dispatcher answers with instead (rep_fail and kin).
typedef uint32_t vl2_handler(vl2_sess *s, vl2_rd *rd, vl2_reply *r);
vl2_handler cmd_negotiate, cmd_session_setup, cmd_logoff, cmd_tree_connect, cmd_tree_disconnect, cmd_create, cmd_close,
    cmd_read, cmd_write, cmd_ioctl, cmd_query_directory, cmd_query_info;

// Everything the engine knows about one command code. Adding a command is
// its handler's file plus one row (commands.cpp).
struct vl2_command {
    const char *name;       // for traces
    vl2_handler *fn;        // null: answered by the walk alone (CANCEL, refusals)
    bool refused;           // would change the store: refused on this read-only server
    bool sign_exempt;       // may arrive unsigned on a session that requires signing
    bool inherits_fid;      // a related request's all-ones FileId is the compound's (rd_fid)
    uint16_t ssz, ssz_alt;  // StructureSize the dispatcher holds it to (0: not checked there)
};
// The row of a command code; codes past the table share one row ("?")
// whose handler answers NOT_SUPPORTED.
const vl2_command *command_row(unsigned cmd);
// Whether the request body in rd carries a StructureSize its row accepts.
bool command_size_ok(const vl2_command *row, const vl2_rd *rd);

// Gives a connection that has not negotiated yet a fresh challenge and the
// server's signing policy from s->opts, so neither is ever left at zero.
void negotiate_seed(vl2_sess *s);
// Whether a VALIDATE_NEGOTIATE_INFO request (in[0..n)) repeats what the
// client's NEGOTIATE said and what the server chose from it.
bool negotiate_validates(const vl2_sess *s, const uint8_t *in, size_t n);
// The SMB1 multi-protocol NEGOTIATE (frame starts 0xFF 'S' 'M' 'B').
void smb1_negotiate(vl2_sess *s, const uint8_t *frame, size_t len, vl2_reply *r, int *send);
// Completes a SESSION_SETUP response: MORE_PROCESSING_REQUIRED with the
// CHALLENGE (more 1) or SUCCESS (more 0); raw selects bare NTLM over SPNEGO.
void session_setup_ok_body(vl2_sess *s, vl2_reply *r, int guest, int more, int raw);
// Completes a failed SESSION_SETUP (8-byte body), counts the failure and
// sets closing when the connection's limit is reached.
void session_setup_fail_body(vl2_sess *s, vl2_reply *r, uint32_t status);
// Processes one frame into one reply (see the dispatcher).
void frame_in(vl2_sess *s, const uint8_t *frame, size_t len, vl2_reply *r, int *send);

// Once a frame's reply has grown past this many bytes the rest of its
// requests are answered INSUFFICIENT_RESOURCES, so a reply always fits the
// 24-bit frame length. Tests may lower it.
extern size_t g_reply_cap;
// Test seam: a non-null entry replaces the handler of that command code.
extern vl2_handler *g_test_handlers[CMD_COUNT];

// SecurityMode the server announces (NEGOTIATE and its validation): signing
// is always enabled; required adds its own bit. Announcing "required" alone
// reads as "signing disabled" to scanners such as nmap.
inline uint16_t security_mode(const vl2_sess *s) { return s->sign_required ? 0x0003 : 0x0001; }

// The time the connection works by: the fixed clock when one is set.
int64_t clock_time(const vl2_sess *s);

// The server GUID (NEGOTIATE, and its validation), from the seed the
// NEGOTIATE derived.
inline void put_server_guid(vl2_buf *b, const vl2_sess *s)
{
    w64(b, s->guid_seed);
    w64(b, s->guid_seed ^ 0x564C4D4232ULL);
}

// FileAttributes the server shows: everything is read-only; a directory
// is a directory, anything else an archive file.
constexpr uint32_t ATTR_READONLY = 0x01, ATTR_DIRECTORY = 0x10, ATTR_ARCHIVE = 0x20;
constexpr uint32_t file_attributes(bool dir) { return ATTR_READONLY | (dir ? ATTR_DIRECTORY : ATTR_ARCHIVE); }
inline uint32_t attributes(const vl2_open *o) { return file_attributes(o->is_dir); }

// Wire time from unix seconds; allocation size rounded to 64 KiB.
inline uint64_t alloc_size(uint64_t size) { return (size + 65535) & ~(uint64_t)65535; }
