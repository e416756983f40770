// One frame in, one reply out: the compound walk, credits, related
// operations, refusals, signing and the commands answered inline.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "crypto/crypto.h"

#include <cstring>

size_t g_reply_cap = (size_t)8 << 20;
vl2_handler *g_test_handlers[CMD_COUNT];

namespace {

constexpr uint32_t FL_RELATED = 0x00000004;
constexpr uint32_t FL_SIGNED = 0x00000008;
constexpr uint64_t ANY_SID = 0xFFFFFFFFFFFFFFFFULL;
constexpr uint32_t ANY_TID = 0xFFFFFFFFu;
constexpr unsigned MAX_REQUESTS = 64;

// A response of its own for the request in hand, with the ERROR body.
void answer(vl2_reply *r, unsigned i, unsigned cmd, uint32_t status, uint64_t mid, uint64_t sid, uint32_t tid,
            uint16_t charge, uint16_t credits)
{
    (void)i;
    if (r->b.len == 0)
        rep_begin(r, cmd, status, mid, sid, tid, charge, credits);
    else
        rep_chain(r, cmd, status, mid, sid, tid, charge, credits);
    rep_error_body(r);
}

// 1 when the signature of the request at f[0..n) is right.
bool signature_ok(vl2_sess *s, uint8_t *f, size_t n)
{
    uint8_t sig[16], mac[32];
    memcpy(sig, f + 48, 16);
    memset(f + 48, 0, 16);
    vl2_hmac256(s->signing_key, sizeof s->signing_key, f, n, mac);
    memcpy(f + 48, sig, 16);
    return vl2_ct_equal(mac, sig, 16) == 1;
}

// Runs the command's handler on the response begun for it. A test seam
// stands in for the whole command, its StructureSize check included.
void run_handler(vl2_sess *s, const vl2_command *row, unsigned cmd, vl2_rd *rd, vl2_reply *r, uint64_t sid,
                 uint32_t tid)
{
    vl2_handler *seam = cmd < CMD_COUNT ? g_test_handlers[cmd] : nullptr;
    if (seam)
        seam(s, rd, r);
    else if (!command_size_ok(row, rd))
        err_reply_l(s, r, cmd, ST_INVALID_PARAMETER, sid, tid, __LINE__);
    else if (row->fn)
        row->fn(s, rd, r);
    else
        command_row(CMD_COUNT)->fn(s, rd, r);
}

}  // namespace

void frame_in(vl2_sess *s, uint8_t *f, size_t len, vl2_reply *r, int *send)
{
    s->in_chain = 0;
    s->chain_failed = 0;
    s->cascade = 0;
    *send = 0;
    if (len >= 4 && f[0] == 0xFF && f[1] == 'S' && f[2] == 'M' && f[3] == 'B') {
        s->cur_charge = 0;
        smb1_negotiate(s, f, len, r, send);
        return;
    }

    size_t off = 0;
    unsigned i = 0;
    uint64_t prev_sid = 0;
    uint32_t prev_tid = 0;
    uint64_t fid = 0;
    int have_fid = 0;

    for (;;) {
        uint8_t *q = f + off;
        size_t left = len - off;
        if (left < SMB2_HDR || memcmp(q, "\xFESMB", 4) != 0 || vl2_le16(q + 4) != 64) {
            // No valid request header here: the end of the walk.
            if (i == 0) {
                vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
                s->closing = 1;
                return;
            }
            unsigned bad_cmd = left >= 14 ? q[12] : 0;
            s->cur_charge = left >= 8 ? vl2_le16(q + 6) : 0;
            r->cur_open = 0;
            err_reply_l(s, r, bad_cmd, ST_INVALID_PARAMETER, prev_sid, prev_tid, __LINE__);
            break;
        }
        unsigned cmd = q[12];
        const vl2_command *row = command_row(cmd);
        uint16_t charge = vl2_le16(q + 6);
        uint16_t creq = vl2_le16(q + 14);
        uint32_t flags = vl2_le32(q + 16);
        uint32_t next = vl2_le32(q + 20);
        uint64_t mid = vl2_le64(q + 24);
        uint32_t tid = vl2_le32(q + 36);
        uint64_t sid = vl2_le64(q + 40);
        uint16_t credits = creq == 0 ? 1 : creq > 128 ? 128 : creq;
        sess_trace(s, "[loop] count=%u off=%zu cmd=%u n=%zu\n", i, off, cmd, len);
        if (cmd == CMD_NEGOTIATE ? s->nego_final : !s->negotiated) {
            // Nothing but NEGOTIATE until it has fixed the challenge and the
            // signing policy, and no NEGOTIATE after that: a logon without a
            // fresh challenge could be replayed, and a second NEGOTIATE would
            // undo the client's signing requirement. The protocol has the
            // server drop such a connection; no logon is tried or counted.
            vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
            s->closing = 1;
            break;
        }
        if (cmd != CMD_NEGOTIATE) s->nego_final = 1;
        s->cur_tree = tid;
        s->cur_charge = charge;
        s->cur_credits = credits;
        s->sign_this = 0;
        r->cur_open = 0;
        s->in_chain = i > 0;

        bool related = (flags & FL_RELATED) && i > 0;
        if (related) {
            if (sid == ANY_SID) sid = prev_sid;
            if (tid == ANY_TID) tid = prev_tid;
        }

        // 0: processed; 1: answered without running; 2: frame ends here;
        // 3: answered with the cascaded status.
        int how = 0;
        bool verified = false;
        if (cmd == CMD_CANCEL) {
            // Nothing is ever left pending, so there is nothing to cancel
            // and, as for every CANCEL, nothing to answer.
            how = 1;
        } else if (s->cascade && cmd != CMD_CLOSE) {
            // A CLOSE still runs so that a failed compound leaks no handle.
            answer(r, i, cmd, r->chain_status, mid, vl2_le64(q + 40), vl2_le32(q + 36), charge, 1);
            how = 3;
        } else if (r->b.len > g_reply_cap && cmd != CMD_CLOSE) {
            answer(r, i, cmd, ST_INSUFFICIENT_RESOURCES, mid, sid, tid, charge, credits);
            how = 1;
        } else if (flags & FL_SIGNED) {
            if (!s->authenticated) {
                vl2_stat_add(VL2_ST_BAD_SIGNATURE, 1);
                answer(r, i, cmd, ST_ACCESS_DENIED, mid, sid, tid, charge, credits);
                how = 2;
            } else {
                size_t end = len;
                if (next >= SMB2_HDR && next <= left) end = off + next;
                if (!signature_ok(s, q, end - off)) {
                    vl2_stat_add(VL2_ST_BAD_SIGNATURE, 1);
                    answer(r, i, cmd, ST_ACCESS_DENIED, mid, sid, tid, charge, 1);
                    how = 2;
                } else {
                    verified = true;
                }
            }
        } else if (s->authenticated && !s->is_guest && (s->sign_required || s->client_sign_required) &&
                   !row->sign_exempt) {
            // Either side requires signing on this session: an unsigned
            // request, which anyone on the path could have injected, is refused.
            vl2_stat_add(VL2_ST_BAD_SIGNATURE, 1);
            answer(r, i, cmd, ST_ACCESS_DENIED, mid, sid, tid, charge, credits);
            how = 1;
        }

        if (how == 2) break;
        if (how == 0 && i == 0 && next != 0 && (flags & FL_RELATED)) {
            // A compound that starts as related has nothing to relate to:
            // it fails whole. A CLOSE in it still runs (see the cascade).
            answer(r, i, cmd, ST_INVALID_PARAMETER, mid, sid, tid, charge, credits);
            r->chain_status = ST_INVALID_PARAMETER;
            s->cascade = 1;
            how = 1;
        }
        if (how == 0) {
            s->cur_mid = mid;
            sess_trace(s, "[loop] body_off=%zu off=%zu\n", (size_t)SMB2_HDR, off);
            s->cur_tree = tid;
            int fo = row->fid_at;
            if (related && have_fid && fo >= 0 && left >= SMB2_HDR + fo + 8) {
                uint8_t *p = q + SMB2_HDR + fo;
                if (vl2_le64(p) == ANY_SID) vl2_put64(p, fid);
            }
            sess_trace(s, "[loop] postfid cmd=%u bstart=%zu\n", cmd, off + SMB2_HDR);

            // WRITE is served only on the srvsvc pipe (ioctl.cpp).
            const bool pipe_write = cmd == CMD_WRITE && write_allowed(s, q + SMB2_HDR, left - SMB2_HDR);
            if (row->refused && !pipe_write) {
                vl2_stat_add(VL2_ST_MUTATING_REFUSED, 1);
                answer(r, i, cmd, ST_ACCESS_DENIED, mid, sid, tid, charge, credits);
                if (next == 0 || next < SMB2_HDR || next % 8 || next > left) break;
                how = 1;
            } else {
                if (r->b.len == 0)
                    rep_begin(r, cmd, ST_SUCCESS, mid, sid, tid, charge, credits);
                else
                    rep_chain(r, cmd, ST_SUCCESS, mid, sid, tid, charge, credits);
                sess_trace(s, "[loop] dispatch cmd=%u rqoff=%d rqn=%zu bad=%d\n", cmd, 0, left - SMB2_HDR, 0);
                vl2_rd rd = {q + SMB2_HDR, left - SMB2_HDR, 0, 0};
                run_handler(s, row, cmd, &rd, r, sid, tid);
                if (cmd == CMD_CREATE && vl2_le32(rep_hdr(r) + 8) == ST_SUCCESS && s->last_fid != 0) {
                    fid = s->last_fid;
                    have_fid = 1;
                }
                if ((verified || s->sign_this) && s->authenticated) {
                    r->sign_pending = 1;
                    r->sign_at = r->hdr;
                    memcpy(r->sign_key, s->signing_key, sizeof r->sign_key);
                }
                s->sign_this = 0;
                sess_trace(s, "[loop] done cmd=%u outn=%zu\n", cmd, (size_t)r->b.len);
                if (s->chain_failed) {
                    s->chain_failed = 0;
                    s->cascade = 1;
                }
            }
        }

        // The next request of the compound.
        if (next == 0) break;
        if (next > left) {
            if (how != 3) vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
            break;
        }
        off += next;
        prev_sid = sid;
        prev_tid = tid;
        if (++i == MAX_REQUESTS) {
            s->cur_charge = len - off >= 8 ? vl2_le16(f + off + 6) : 0;
            r->cur_open = 0;
            err_reply_l(s, r, 0, ST_INVALID_PARAMETER, prev_sid, prev_tid, __LINE__);
            vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
            break;
        }
    }
    if (r->sign_pending) rep_sign_pending(r, (size_t)r->b.len);
    *send = r->b.len > 0;
}
