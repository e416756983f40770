// The connection loop: framing, time-outs, writing replies, the trace.
#include "sess/engine.h"
#include "sess/sess.h"

#include "cfg/cfg.h"
#include "crypto/crypto.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int POLL_MS = 100;
constexpr size_t FIRST_RCAP = 65536;
constexpr int64_t FRAME_LIMIT = 4194304;
// A reply buffer up to this size (room for the largest READ reply) is kept
// for the next frame, so a run of large READs does not reallocate it every
// time; a larger one is freed at once.
constexpr uint64_t KEEP_REPLY_CAP = 2097152;
// A connection silent for a poll keeps no reply buffer larger than this.
constexpr uint64_t IDLE_REPLY_CAP = 65536;

// The tests made after every read, data or not, so that neither a silent
// nor a dripping peer can hold the thread past the idle limit or a stop.
int live(vl2_sess *s)
{
    if (s->io->stopping && s->io->stopping(s->io_ctx)) return 0;
    const uint64_t now = vl2_now_ms();
    if (now - s->last_ms > (uint64_t)s->opts.idle_timeout_ms) {
        vl2_stat_add(VL2_ST_TIMEOUTS, 1);
        return 0;
    }
    // Counted from the connection's start (or its last session), so that
    // neither keep-alives nor a trickle of requests let a peer that never
    // logs on hold a client slot.
    if (s->opts.logon_timeout_ms && !s->authenticated && now - s->unauth_since > (uint64_t)s->opts.logon_timeout_ms) {
        vl2_stat_add(VL2_ST_TIMEOUTS, 1);
        return 0;
    }
    return 1;
}

// Moves the received bytes not yet processed to the start of the buffer.
void compact(vl2_sess *s)
{
    memmove(s->rbuf, s->rbuf + s->rhead, s->rtail - s->rhead);
    s->rtail -= s->rhead;
    s->rhead = 0;
}

// Makes n bytes (at most rcap) available at rbuf + rhead. Each read asks
// for all the room left in the buffer, so requests that arrive back to back
// are taken in by one system call. While waiting, an idle connection gives
// up a large reply buffer (idle). 0, or -1 when the connection is to end.
int fill(vl2_sess *s, size_t n, vl2_buf *idle)
{
    if (s->rtail - s->rhead >= n) return 0;
    if (s->rhead + n > s->rcap) compact(s);
    int misses = 0;
    while (s->rtail - s->rhead < n) {
        size_t room = s->rcap - s->rtail;
        int32_t ask = (int32_t)(room < INT32_MAX ? room : INT32_MAX);
        int r = s->io->read(s->io_ctx, s->rbuf + s->rtail, ask, POLL_MS);
        if (r > 0) {
            s->rtail += r < ask ? (size_t)r : (size_t)ask;
        } else if (r == 0) {
            if (++misses >= 3) return -1;
        } else if (r != -2) {
            return -1;
        } else if (idle && idle->cap > IDLE_REPLY_CAP) {
            vl2_buf_free(idle);
        }
        if (!live(s)) return -1;
    }
    return 0;
}

// Takes n received bytes off the front of the buffer.
void consume(vl2_sess *s, size_t n)
{
    s->rhead += n;
    if (s->rhead == s->rtail) s->rhead = s->rtail = 0;
}

// Session request: discard its body, answer 0x82. 0, or -1 to end.
int session_request(vl2_sess *s, size_t len)
{
    size_t have = s->rtail - s->rhead < len ? s->rtail - s->rhead : len;
    consume(s, have);
    len -= have;
    uint8_t sink[512];
    while (len > 0) {
        int32_t ask = (int32_t)(len < sizeof sink ? len : sizeof sink);
        int r = s->io->read(s->io_ctx, sink, ask, POLL_MS);
        if (r == 0 || (r < 0 && r != -2)) return -1;
        if (r > 0) len -= r < ask ? (size_t)r : (size_t)ask;
        if (!live(s)) return -1;
    }
    static const uint8_t answer[4] = {0x82, 0, 0, 0};
    if (s->io->write(s->io_ctx, answer, 4) != 0) return -1;
    s->last_ms = vl2_now_ms();
    return 0;
}

void trace_request(const vl2_sess *s, const uint8_t *f, size_t len)
{
    char line[640];
    int n = snprintf(line, sizeof line, ">> %s hex:", vl2_frame_name(f, len));
    size_t show = len < 176 ? len : 176;
    for (size_t i = 0; i < show; i++) n += snprintf(line + n, sizeof line - n, " %02x", f[i]);
    n += snprintf(line + n, sizeof line - n, "\n");
    sess_trace(s, "[vlsmb2s %d] %.*s", s->trace_id, n, line);
}

void trace_dump(const vl2_sess *s, const uint8_t *b, size_t len)
{
    char line[640];
    int n = 0;
    size_t show = len < 200 ? len : 200;
    for (size_t i = 0; i < show; i++) n += snprintf(line + n, sizeof line - n, " %02x", b[i]);
    snprintf(line + n, sizeof line - n, "\n");
    sess_trace(s, "%s", line);
}

// Opens an encrypted frame in place (the message then starts 52 bytes in).
// What cannot be opened ends the connection without a reply: answering
// would tell a forger which guess came closest, and the client could not
// read an answer to a message it did not send.
int open_sealed(vl2_sess *s, uint8_t *f, size_t n)
{
    vl2_transform t;
    const char *why = nullptr;
    if (!s->negotiated || s->dialect < 0x0300)
        why = "before a 3.x dialect";
    else if (transform_parse(f, n, &t) != 0)
        why = "malformed";
    else if (!s->authenticated || t.sid != s->session_id || !s->seal.in.alg)
        why = "no session with keys";
    else if (transform_open(&s->seal.in, f, n) != 0)
        why = "failed authentication";
    if (!why) return 0;
    sess_trace(s, "[loop] encrypted frame %s; closing\n", why);
    vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
    return -1;
}

// Runs one opened message through the engine and sends what it answers.
// 0, or -1 when the reply could not be built whole (the connection ends).
int handle_message(vl2_sess *s, vl2_reply *r, uint8_t *msg, size_t len)
{
    // The reply buffer is reused from frame to frame; only its length is reset.
    r->b.len = 0;
    r->hdr = 0;
    r->chain_status = 0;
    r->cur_open = 0;
    r->sign_pending = 0;
    r->sign_at = 0;
    int send = 0;
    frame_in(s, msg, len, r, &send);
    size_t n = (size_t)r->b.len;
    if (r->b.failed) {
        // Part of the reply is missing: never pass it off as complete.
        sess_trace(s, "[loop] reply could not be built; closing\n");
        return -1;
    }
    if (s->trace && n > 0) trace_dump(s, r->b.data, n);
    // Read before sending: a sealed reply is ciphertext afterwards.
    const uint32_t status = n >= 12 ? vl2_le32(r->b.data + 8) : 0;
    if (send && n > 11 && !(n == SMB2_HDR && status == 0)) send_frame(s, r->b.data, n);
    if (s->trace && n > 0 && send)
        sess_trace(s, "[vlsmb2s %d] << %u bytes %s\n", s->trace_id, (unsigned)n,
                   n >= 12 ? status_name(status) : "STATUS?");
    // A session that ended gives up its keys once its last reply has gone
    // out sealed with them.
    if (!s->authenticated && (s->seal.in.alg || s->seal.out.alg)) seal_release(&s->seal);
    return 0;
}

void serve(vl2_sess *s)
{
    vl2_reply r = {};
    for (;;) {
        // Frames that arrived together are served from the buffer without a
        // read, so the time limits are tested here as well.
        if (!live(s)) break;
        if (fill(s, 4, &r.b) != 0) break;
        uint8_t pre[4];
        memcpy(pre, s->rbuf + s->rhead, 4);
        consume(s, 4);
        size_t len = ((size_t)pre[1] << 16) | ((size_t)pre[2] << 8) | pre[3];
        if (pre[0] == 0x81) {
            if (session_request(s, len) != 0) break;
            continue;
        }
        if (pre[0] != 0x00) {
            vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
            break;
        }
        if (len == 0) {
            s->last_ms = vl2_now_ms();
            continue;
        }
        int64_t limit = s->opts.max_message < FRAME_LIMIT ? s->opts.max_message : FRAME_LIMIT;
        if ((int64_t)len > limit) {
            vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
            break;
        }
        if (len > s->rcap) {
            compact(s);
            uint8_t *nb = (uint8_t *)realloc(s->rbuf, len + 16);
            if (!nb) break;
            s->rbuf = nb;
            s->rcap = len + 16;
        }
        if (fill(s, len, nullptr) != 0) break;
        uint8_t *frame = s->rbuf + s->rhead;
        size_t mlen = len;
        s->last_ms = vl2_now_ms();
        s->frame_sealed = 0;
        if (is_transform(frame, len)) {
            if (open_sealed(s, frame, len) != 0) break;
            frame += TRANSFORM_HDR;
            mlen -= TRANSFORM_HDR;
            s->frame_sealed = 1;
        }
        // Observers see the message the engine works on, opened.
        if (s->io->log_frame) s->io->log_frame(s->io_ctx, ">>", frame, (int64_t)mlen);
        if (s->trace) trace_request(s, frame, mlen);

        const int rc = handle_message(s, &r, frame, mlen);
        consume(s, len);
        if (rc != 0) break;
        if (r.b.cap > KEEP_REPLY_CAP) vl2_buf_free(&r.b);
        vl2_opts_get(&s->opts);
        // The idle clock restarts once the frame is done with, so that slow
        // processing is not charged to the client.
        s->last_ms = vl2_now_ms();
        if (s->authenticated) s->unauth_since = s->last_ms;
        if (s->closing) break;
    }
    vl2_wipe(&r.sign_with, sizeof r.sign_with);
    vl2_buf_free(&r.b);
}

}  // namespace

const char *vl2_cmd_name(unsigned code) { return command_row(code & 0xFF)->name; }

const char *vl2_frame_name(const uint8_t *bytes, size_t count)
{
    if (!bytes || count <= 3) return "?";
    if (bytes[0] == 0xFF && bytes[1] == 'S' && bytes[2] == 'M' && bytes[3] == 'B') {
        if (count == 4) return "SMB1";
        return bytes[4] == 0x72 ? "SMB1_NEGOTIATE" : "SMB1";
    }
    if (count < SMB2_HDR) return "?";
    return vl2_cmd_name(vl2_le16(bytes + 12));
}

void sess_trace(const vl2_sess *s, const char *fmt, ...)
{
    if (!s || !s->trace) return;
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if ((size_t)n >= sizeof buf) n = sizeof buf - 1;
    ssize_t w = ::write(2, buf, (size_t)n);
    (void)w;
}

// Whether the reply b[0..n) goes out encrypted (see send_frame).
static bool reply_sealed(const vl2_sess *s, const uint8_t *b, size_t n)
{
    if (s->frame_sealed) return true;
    if (!s->seal.on || n < SMB2_HDR || vl2_le32(b) != 0x424D53FE) return false;
    const unsigned cmd = vl2_le16(b + 12);
    return cmd != CMD_NEGOTIATE && cmd != CMD_SESSION_SETUP;
}

void send_frame(vl2_sess *s, uint8_t *bytes, size_t count)
{
    const bool seal = reply_sealed(s, bytes, count);
    const size_t wire = count + (seal ? TRANSFORM_HDR : 0);
    if (wire > 0xFFFFFF) {
        // A length the prefix cannot carry would desynchronise the stream.
        sess_trace(s, "[loop] reply of %zu bytes exceeds the frame limit; closing\n", wire);
        s->closing = 1;
        return;
    }
    if (s->trace)
        sess_trace(s, "[vlsmb2s %d] SEND %u bytes status=%02x%02x%02x%02x%s\n", s->trace_id, (unsigned)count,
                   count >= 12 ? bytes[11] : 0, count >= 12 ? bytes[10] : 0, count >= 12 ? bytes[9] : 0,
                   count >= 12 ? bytes[8] : 0, seal ? " sealed" : "");
    const vl2_io *io = s->io;
    if (io->log_frame) io->log_frame(s->io_ctx, "<<", bytes, (int64_t)count);
    // The prefix and the transform header go out ahead of the reply, which
    // is sealed where it lies: no copy of READ data is made for it.
    uint8_t pre[4 + TRANSFORM_HDR];
    size_t npre = 4;
    if (seal) {
        // After a LOGOFF the reply still names the session it ended.
        const uint64_t sid = s->session_id ? s->session_id : count >= SMB2_HDR ? vl2_le64(bytes + 40) : 0;
        if (transform_seal(&s->seal, sid, bytes, count, pre + 4) != 0) {
            sess_trace(s, "[loop] reply could not be sealed; closing\n");
            s->closing = 1;
            return;
        }
        npre += TRANSFORM_HDR;
    }
    pre[0] = 0;
    pre[1] = (uint8_t)(wire >> 16);
    pre[2] = (uint8_t)(wire >> 8);
    pre[3] = (uint8_t)wire;
    if (io->writev2 && count > 0) {
        if (io->writev2(s->io_ctx, pre, (int32_t)npre, bytes, (int32_t)count) != 0) s->closing = 1;
    } else {
        if (io->write(s->io_ctx, pre, (int32_t)npre) != 0) s->closing = 1;
        if (count > 0 && io->write(s->io_ctx, bytes, (int32_t)count) != 0) s->closing = 1;
    }
    vl2_stat_add(VL2_ST_BYTES_SENT, (int64_t)wire);
}

static void run(const vl2_io *io, const vl2_ip *peer, int trace_id, int offline)
{
    // What a client makes fail is answered on the wire; only the operator's
    // own calls write the last-error slot.
    struct quiet {
        int was = vl2_error_quiet(1);
        ~quiet() { vl2_error_quiet(was); }
    } q;
    vl2_ip ip = {};
    if (peer) ip = *peer;
    char text[64];
    vl2_ip_format(&ip, text, sizeof text);
    if (!vl2_client_allowed(&ip)) {
        vl2_stat_add(VL2_ST_REFUSED_ALLOW, 1);
        vl2_log_event(VL2_LOG_CONNECTIONS, 4, "connection refused", text, nullptr, nullptr, nullptr, -1, "not allowed");
        return;
    }
    if (!io || !io->read || !io->write) return;
    vl2_sess *s = (vl2_sess *)calloc(1, sizeof *s);
    if (!s) return;
    s->rbuf = (uint8_t *)malloc(FIRST_RCAP);
    if (!s->rbuf) {
        free(s);
        return;
    }
    s->rcap = FIRST_RCAP;
    s->io = io;
    s->io_ctx = io->ctx;
    s->peer = ip;
    memcpy(s->peer_text, text, sizeof s->peer_text);
    s->peer_text[sizeof s->peer_text - 1] = 0;
    s->trace_id = trace_id;
    s->offline = offline;
    const char *tv = getenv("VLSMB2S_TRACE");
    s->trace = tv && tv[0] == '1';
    vl2_opts_get(&s->opts);
    negotiate_seed(s);
    s->last_ms = s->unauth_since = vl2_now_ms();
    vl2_stat_add(VL2_ST_CONNECTIONS, 1);
    vl2_log_event(VL2_LOG_CONNECTIONS, 6, "connection accepted", text, nullptr, nullptr, nullptr, -1, nullptr);

    serve(s);

    vl2_stat_add(VL2_ST_CONNECTIONS, -1);
    sess_release_trees(s);
    sess_release_opens(s);
    sign_release(&s->signer);
    seal_release(&s->seal);
    free(s->rbuf);
    free(s);
}

void vl2_sess_run(const vl2_io *io, const vl2_ip *peer, int trace_id) { run(io, peer, trace_id, 0); }

void vl2_sess_run_offline(const vl2_io *io, const vl2_ip *peer, int trace_id) { run(io, peer, trace_id, 1); }
