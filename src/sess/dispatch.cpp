// One frame in, one reply out: the compound walk, credits, related
// operations, refusals, signing and the commands answered inline.
#include "sess/engine.h"

#include "cfg/cfg.h"

size_t g_reply_cap = (size_t)8 << 20;
vl2_handler *g_test_handlers[CMD_COUNT];

namespace {

constexpr uint32_t FL_RELATED = 0x00000004;
constexpr uint32_t FL_SIGNED = 0x00000008;
constexpr uint64_t ANY_SID = 0xFFFFFFFFFFFFFFFFULL;
constexpr uint32_t ANY_TID = 0xFFFFFFFFu;
constexpr uint64_t ANY_FID = 0xFFFFFFFFFFFFFFFFULL;
constexpr unsigned MAX_REQUESTS = 64;

// A response of its own for the request in hand, with the ERROR body.
void answer(vl2_reply *r, unsigned cmd, uint32_t status, uint64_t mid, uint64_t sid, uint32_t tid, uint16_t charge,
            uint16_t credits)
{
    if (r->b.len == 0)
        rep_begin(r, cmd, status, mid, sid, tid, charge, credits);
    else
        rep_chain(r, cmd, status, mid, sid, tid, charge, credits);
    rep_error_body(r);
}

// Answers a handler's failure with the error body its command gives it.
void render_failure(vl2_sess *s, vl2_reply *r, unsigned cmd, uint32_t status, uint64_t sid, uint32_t tid)
{
    switch (r->fail_body) {
    case FAIL_BODY_CREATE:
    case FAIL_BODY_CREATE_WRITE:
        create_error_l(s, r, status, r->fail_body == FAIL_BODY_CREATE_WRITE, r->fail_line);
        break;
    case FAIL_BODY_SETUP:
        session_setup_fail_body(s, r, status);
        break;
    case FAIL_BODY_SIZE_NEEDED:
        err_reply_l(s, r, cmd, status, sid, tid, r->fail_line);
        if (r->b.failed) break;
        r->b.len = r->hdr + SMB2_HDR + 4;  // StructureSize, ErrorContextCount, Reserved
        w32(&r->b, 4);                     // ByteCount
        w32(&r->b, r->fail_size);          // ErrorData
        break;
    default:
        err_reply_l(s, r, cmd, status, sid, tid, r->fail_line);
        break;
    }
}

// Runs the command's handler on the response begun for it. A test seam
// stands in for the whole command, its StructureSize check included.
void run_handler(vl2_sess *s, const vl2_command *row, unsigned cmd, vl2_rd *rd, vl2_reply *r, uint64_t sid,
                 uint32_t tid)
{
    vl2_handler *seam = cmd < CMD_COUNT ? g_test_handlers[cmd] : nullptr;
    r->fail_line = __LINE__;
    r->fail_body = FAIL_BODY_ERROR;
    uint32_t status;
    if (seam)
        status = seam(s, rd, r);
    else if (!command_size_ok(row, rd))
        status = ST_INVALID_PARAMETER;
    else if (row->fn)
        status = row->fn(s, rd, r);
    else
        status = command_row(CMD_COUNT)->fn(s, rd, r);
    if (status != ST_SUCCESS) render_failure(s, r, cmd, status, sid, tid);
}

// How the walk disposed of a request before (or instead of) its handler.
enum how_t { RUN, ANSWERED, FRAME_ENDS, CASCADED };

// One request of a compound, with the ids it goes by once related ones are
// filled in from the request before it.
struct request {
    unsigned i;  // its place in the compound
    vl2_hdr h;
    const vl2_command *row;
    const uint8_t *q;  // its header in the frame
    size_t off;        // where that is
    size_t left;       // bytes from q to the end of the frame
    uint64_t sid;
    uint32_t tid;
    uint16_t credits;
    bool related;
    bool verified;  // it carried a good signature
};

// What one frame's walk carries from request to request.
struct walk {
    uint64_t prev_sid;
    uint32_t prev_tid;
    uint64_t fid;  // FileId of the compound's last successful CREATE
    int have_fid;
    // A request of the compound failed: the rest get its status, except
    // CLOSE, which still runs.
    bool cascade;
};

// The request's own bytes: up to its NextCommand, or to the frame's end.
size_t msg_len(const request &q) { return q.h.next >= SMB2_HDR && q.h.next <= q.left ? q.h.next : q.left; }

void answer(vl2_reply *r, const request &q, uint32_t status, uint16_t credits)
{
    answer(r, q.h.cmd, status, q.h.mid, q.sid, q.tid, q.h.charge, credits);
}

// The signature checks: a signed request must verify; an unsigned one is
// refused where either side requires signing.
how_t check_signing(vl2_sess *s, vl2_reply *r, request &q)
{
    // An encrypted frame was authenticated as a whole when it was opened;
    // its signatures are not looked at.
    if (s->frame_sealed) return RUN;
    if (q.h.flags & FL_SIGNED) {
        if (!s->authenticated || !sign_verify(&s->signer, q.q, msg_len(q))) {
            vl2_stat_add(VL2_ST_BAD_SIGNATURE, 1);
            answer(r, q, ST_ACCESS_DENIED, s->authenticated ? 1 : q.credits);
            return FRAME_ENDS;
        }
        q.verified = true;
    } else if (s->authenticated && !s->is_guest && (s->sign_required || s->client_sign_required) &&
               !q.row->sign_exempt) {
        // Either side requires signing on this session: an unsigned
        // request, which anyone on the path could have injected, is refused.
        vl2_stat_add(VL2_ST_BAD_SIGNATURE, 1);
        answer(r, q, ST_ACCESS_DENIED, q.credits);
        return ANSWERED;
    }
    return RUN;
}

// Whether a request on a session that encrypts must have come encrypted.
// NEGOTIATE and SESSION_SETUP never need to; an ECHO only when it names a
// session or is signed; a CANCEL is never answered.
bool must_be_sealed(const request &q)
{
    switch (q.h.cmd) {
    case CMD_NEGOTIATE:
    case CMD_SESSION_SETUP:
    case CMD_CANCEL:
        return false;
    case CMD_ECHO:
        return q.sid != 0 || (q.h.flags & FL_SIGNED);
    default:
        return true;
    }
}

// Everything that answers a request without running it.
how_t gate(vl2_sess *s, vl2_reply *r, request &q, walk &w)
{
    if (q.h.cmd == CMD_CANCEL) {
        // Nothing is ever left pending, so there is nothing to cancel
        // and, as for every CANCEL, nothing to answer.
        return ANSWERED;
    }
    if (w.cascade && q.h.cmd != CMD_CLOSE) {
        // A CLOSE still runs so that a failed compound leaks no handle.
        answer(r, q.h.cmd, r->chain_status, q.h.mid, q.h.sid, q.h.tid, q.h.charge, 1);
        return CASCADED;
    }
    if (s->seal.on && !s->frame_sealed && must_be_sealed(q)) {
        // Sent in the clear on a session whose traffic is encrypted: anyone
        // on the path could have written it.
        sess_trace(s, "[loop] unencrypted %s on an encrypted session refused\n", q.row->name);
        answer(r, q, ST_ACCESS_DENIED, q.credits);
        return ANSWERED;
    }
    if (r->b.len > g_reply_cap && q.h.cmd != CMD_CLOSE) {
        answer(r, q, ST_INSUFFICIENT_RESOURCES, q.credits);
        return ANSWERED;
    }
    how_t how = check_signing(s, r, q);
    if (how == RUN && q.i == 0 && q.h.next != 0 && (q.h.flags & FL_RELATED)) {
        // A compound that starts as related has nothing to relate to:
        // it fails whole. A CLOSE in it still runs (see the cascade).
        answer(r, q, ST_INVALID_PARAMETER, q.credits);
        r->chain_status = ST_INVALID_PARAMETER;
        w.cascade = true;
        how = ANSWERED;
    }
    return how;
}

// Runs a request the gate let through: the related FileId, the refusals,
// the handler and the signing of its response.
how_t run_request(vl2_sess *s, vl2_reply *r, request &q, walk &w)
{
    const unsigned cmd = q.h.cmd;
    s->cur_mid = q.h.mid;
    sess_trace(s, "[loop] body_off=%zu off=%zu\n", (size_t)SMB2_HDR, q.off);
    r->rq.tid = q.tid;
    r->rq.msg = q.q;
    r->rq.msg_len = msg_len(q);
    if (q.related && w.have_fid && q.row->inherits_fid) {
        r->rq.has_fid = 1;
        r->rq.fid = w.fid;
    }
    sess_trace(s, "[loop] postfid cmd=%u bstart=%zu\n", cmd, q.off + SMB2_HDR);

    // WRITE is served only on the srvsvc pipe (ioctl.cpp).
    const bool pipe_write = cmd == CMD_WRITE && write_allowed(s, q.q + SMB2_HDR, q.left - SMB2_HDR);
    if (q.row->refused && !pipe_write) {
        vl2_stat_add(VL2_ST_MUTATING_REFUSED, 1);
        answer(r, q, ST_ACCESS_DENIED, q.credits);
        const uint32_t next = q.h.next;
        return next == 0 || next < SMB2_HDR || next % 8 || next > q.left ? FRAME_ENDS : ANSWERED;
    }
    if (r->b.len == 0)
        rep_begin(r, cmd, ST_SUCCESS, q.h.mid, q.sid, q.tid, q.h.charge, q.credits);
    else
        rep_chain(r, cmd, ST_SUCCESS, q.h.mid, q.sid, q.tid, q.h.charge, q.credits);
    sess_trace(s, "[loop] dispatch cmd=%u rqoff=%d rqn=%zu bad=%d\n", cmd, 0, q.left - SMB2_HDR, 0);
    vl2_rd rd = {q.q + SMB2_HDR, q.left - SMB2_HDR, 0, 0};
    run_handler(s, q.row, cmd, &rd, r, q.sid, q.tid);
    if (cmd == CMD_CREATE && vl2_le32(rep_hdr(r) + 8) == ST_SUCCESS && r->rq.opened != 0) {
        w.fid = r->rq.opened;
        w.have_fid = 1;
    }
    // The responses to an encrypted frame go out sealed, never signed.
    if ((q.verified || r->rq.sign) && s->authenticated && !s->frame_sealed) {
        r->sign_pending = 1;
        r->sign_at = r->hdr;
        r->sign_with = s->signer;
    }
    sess_trace(s, "[loop] done cmd=%u outn=%zu\n", cmd, (size_t)r->b.len);
    if (r->rq.failed) w.cascade = true;
    return RUN;
}

// INVALID_PARAMETER, in a response of its own, for what follows the last
// request the walk could take (q: the bytes there).
void walk_error(vl2_sess *s, vl2_reply *r, const uint8_t *q, size_t left, unsigned cmd, const walk &w, int line)
{
    vl2_rd at = {q, left, 6, 0};  // CreditCharge, when the bytes reach it
    uint16_t charge = rd_u16(&at);
    r->rq.charge = at.bad ? 0 : charge;
    r->cur_open = 0;
    err_reply_l(s, r, cmd, ST_INVALID_PARAMETER, w.prev_sid, w.prev_tid, line);
}

// Takes the request in hand into the request record, with a related
// request's ids filled in; false when it may not come now, which ends the
// connection.
bool begin_request(vl2_sess *s, vl2_reply *r, request &q, const walk &w)
{
    const unsigned cmd = q.h.cmd;
    q.row = command_row(cmd);
    q.sid = q.h.sid;
    q.tid = q.h.tid;
    q.credits = q.h.credits == 0 ? 1 : q.h.credits > 128 ? 128 : q.h.credits;
    sess_trace(s, "[loop] count=%u off=%zu cmd=%u n=%zu\n", q.i, q.off, cmd, q.off + q.left);
    if (cmd == CMD_NEGOTIATE ? s->nego_final : !s->negotiated) {
        // Nothing but NEGOTIATE until it has fixed the challenge and the
        // signing policy, and no NEGOTIATE after that: a logon without a
        // fresh challenge could be replayed, and a second NEGOTIATE would
        // undo the client's signing requirement. The protocol has the
        // server drop such a connection; no logon is tried or counted.
        vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
        s->closing = 1;
        return false;
    }
    if (cmd != CMD_NEGOTIATE) s->nego_final = 1;
    r->rq = {};
    r->rq.tid = q.tid;
    r->rq.charge = q.h.charge;
    r->rq.in_chain = q.i > 0;
    r->cur_open = 0;
    q.related = (q.h.flags & FL_RELATED) && q.i > 0;
    if (q.related) {
        if (q.sid == ANY_SID) q.sid = w.prev_sid;
        if (q.tid == ANY_TID) q.tid = w.prev_tid;
    }
    return true;
}

}  // namespace

uint64_t rd_fid(vl2_rd *rd, const vl2_reply *r)
{
    uint64_t fid = rd_u64(rd);
    return fid == ANY_FID && r->rq.has_fid ? r->rq.fid : fid;
}

void frame_in(vl2_sess *s, const uint8_t *f, size_t len, vl2_reply *r, int *send)
{
    r->rq = {};
    *send = 0;
    if (len >= 4 && f[0] == 0xFF && f[1] == 'S' && f[2] == 'M' && f[3] == 'B') {
        smb1_negotiate(s, f, len, r, send);
        return;
    }

    size_t off = 0;
    walk w = {};
    for (unsigned i = 0;; i++) {
        request q = {};
        q.i = i;
        q.q = f + off;
        q.off = off;
        q.left = len - off;
        if (hdr_parse(q.q, q.left, &q.h) != 0) {
            // No valid request header here: the end of the walk.
            if (i == 0) {
                vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
                s->closing = 1;
                return;
            }
            vl2_rd at = {q.q, q.left, 12, 0};  // the Command's low byte, when there are both bytes
            unsigned cmd = rd_u16(&at) & 0xFF;
            walk_error(s, r, q.q, q.left, at.bad ? 0 : cmd, w, __LINE__);
            break;
        }
        if (!begin_request(s, r, q, w)) break;

        how_t how = gate(s, r, q, w);
        if (how == RUN) how = run_request(s, r, q, w);
        if (how == FRAME_ENDS) break;

        // The next request of the compound.
        if (q.h.next == 0) break;
        if (q.h.next > q.left) {
            if (how != CASCADED) vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
            break;
        }
        off += q.h.next;
        w.prev_sid = q.sid;
        w.prev_tid = q.tid;
        if (i + 1 == MAX_REQUESTS) {
            walk_error(s, r, f + off, len - off, 0, w, __LINE__);
            vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
            break;
        }
    }
    if (r->sign_pending) rep_sign_pending(r, (size_t)r->b.len);
    // A LOGOFF's answer is signed with the keys it ends: they go only now.
    if (!s->authenticated) sign_release(&s->signer);
    *send = r->b.len > 0;
}
