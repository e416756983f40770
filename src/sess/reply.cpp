// The request header, reply builder and the error responses.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "sess/sess.h"

#include <cstring>

int hdr_parse(const uint8_t *q, size_t left, vl2_hdr *h)
{
    vl2_rd rd = {q, left, 0, 0};
    uint32_t protocol = rd_u32(&rd);
    uint16_t size = rd_u16(&rd);
    *h = {};
    h->charge = rd_u16(&rd);
    rd_u32(&rd);  // Status
    h->cmd = rd_u16(&rd) & 0xFF;
    h->credits = rd_u16(&rd);
    h->flags = rd_u32(&rd);
    h->next = rd_u32(&rd);
    h->mid = rd_u64(&rd);
    rd_u32(&rd);  // Reserved (the process id)
    h->tid = rd_u32(&rd);
    h->sid = rd_u64(&rd);
    rd_skip(&rd, 16);  // Signature
    if (rd.bad || protocol != 0x424D53FE || size != SMB2_HDR) return -1;
    return 0;
}

// ---- appends --------------------------------------------------------------

void w16(vl2_buf *b, uint16_t v)
{
    uint8_t t[2];
    vl2_put16(t, v);
    vl2_buf_put(b, t, 2);
}

void w32(vl2_buf *b, uint32_t v)
{
    uint8_t t[4];
    vl2_put32(t, v);
    vl2_buf_put(b, t, 4);
}

void w64(vl2_buf *b, uint64_t v)
{
    uint8_t t[8];
    vl2_put64(t, v);
    vl2_buf_put(b, t, 8);
}

void wzero(vl2_buf *b, size_t n)
{
    static const uint8_t z[64] = {};
    while (n > 0) {
        size_t k = n < sizeof z ? n : sizeof z;
        if (vl2_buf_put(b, z, k) < 0) return;
        n -= k;
    }
}

// ---- response headers --------------------------------------------------------

uint8_t *rep_hdr(vl2_reply *r)
{
    // A failed append may leave fewer bytes than a header; point at a scratch
    // header then so callers never write outside the buffer.
    static thread_local uint8_t scratch[SMB2_HDR];
    if (!r->b.data || r->hdr + SMB2_HDR > r->b.len) return scratch;
    return r->b.data + r->hdr;
}

void rep_status(vl2_reply *r, uint32_t status) { vl2_put32(rep_hdr(r) + 8, status); }

static void put_hdr(vl2_reply *r, unsigned cmd, uint32_t status, uint64_t mid, uint64_t sid, uint32_t tid,
                    uint16_t charge, uint16_t credits, uint32_t flags)
{
    uint8_t h[SMB2_HDR] = {0xFE, 'S', 'M', 'B', 64, 0};
    vl2_put16(h + 6, charge);
    vl2_put32(h + 8, status);
    vl2_put16(h + 12, (uint16_t)(cmd & 0xFF));
    vl2_put16(h + 14, credits);
    vl2_put32(h + 16, flags);
    vl2_put64(h + 24, mid);
    vl2_put32(h + 36, tid);
    vl2_put64(h + 40, sid);
    r->hdr = (size_t)r->b.len;
    vl2_buf_put(&r->b, h, sizeof h);
    r->cur_open = 1;
}

void rep_begin(vl2_reply *r, unsigned cmd, uint32_t status, uint64_t mid, uint64_t sid, uint32_t tid, uint16_t charge,
               uint16_t credits)
{
    r->b.len = 0;
    r->sign_pending = 0;
    put_hdr(r, cmd, status, mid, sid, tid, charge, credits, 0x00000001);
    r->hdr = 0;
}

void rep_chain(vl2_reply *r, unsigned cmd, uint32_t status, uint64_t mid, uint64_t sid, uint32_t tid, uint16_t charge,
               uint16_t credits)
{
    if (r->b.len % 8) wzero(&r->b, 8 - r->b.len % 8);
    if (r->b.failed) return;
    vl2_put32(rep_hdr(r) + 20, (uint32_t)(r->b.len - r->hdr));
    // The previous response is final now: padding and NextCommand included.
    if (r->sign_pending) rep_sign_pending(r, (size_t)r->b.len);
    put_hdr(r, cmd, status, mid, sid, tid, charge, credits, 0x00000005);
}

void rep_sign_pending(vl2_reply *r, size_t end)
{
    r->sign_pending = 0;
    if (r->b.failed || end > r->b.len || r->sign_at + SMB2_HDR > end) return;
    sign_message(&r->sign_with, r->b.data + r->sign_at, end - r->sign_at);
}

void rep_error_body(vl2_reply *r)
{
    if (r->b.failed || r->hdr + SMB2_HDR > r->b.len) return;
    r->b.len = r->hdr + SMB2_HDR;
    static const uint8_t body[9] = {9, 0, 0, 0, 0, 0, 0, 0, 0};
    vl2_buf_put(&r->b, body, sizeof body);
}

// ---- error responses ----------------------------------------------------------

void err_reply_l(vl2_sess *s, vl2_reply *r, unsigned cmd, uint32_t status, uint64_t sid, uint32_t tid, int line)
{
    if (r->b.len > 0 && r->cur_open) {
        // Found by a handler: the response in hand becomes the error.
        sess_trace(s, "[vlsmb2s %d] ERR_REPLY cmd=%u status=%08x line=%d mid=%llu%s\n", s->trace_id, cmd & 0xFF, status,
                   line, (unsigned long long)vl2_le64(rep_hdr(r) + 24), r->rq.in_chain ? " (chained)" : "");
        rep_status(r, status);
        rep_error_body(r);
        if (r->rq.in_chain) {
            r->chain_status = status;
            r->rq.failed = 1;
        }
        return;
    }
    uint64_t mid = s->cur_mid;
    if (mid == 0) mid = ++s->last_err_mid;
    sess_trace(s, "[vlsmb2s %d] ERR_REPLY cmd=%u status=%08x line=%d mid=%llu%s\n", s->trace_id, cmd & 0xFF, status,
               line, (unsigned long long)mid, r->rq.in_chain ? " (chained)" : "");
    if (r->b.len > 0) {
        // Found by the walk itself: a response of its own after the others.
        rep_chain(r, cmd, status, mid, sid, tid, r->rq.charge, 1);
        rep_error_body(r);
        r->chain_status = status;
        r->rq.failed = 1;
    } else {
        // No reply under way (SMB1): answer at once and leave the reply empty.
        vl2_reply one = {};
        rep_begin(&one, cmd, status, mid, sid, tid, r->rq.charge, 1);
        rep_error_body(&one);
        if (!one.b.failed) send_frame(s, one.b.data, (size_t)one.b.len);
        vl2_buf_free(&one.b);
    }
    if (mid > s->last_err_mid) s->last_err_mid = mid;
}

void create_error_l(vl2_sess *s, vl2_reply *r, uint32_t status, int write_access, int line)
{
    sess_trace(s, "[vlsmb2s %d] CREATE_ERR line=%d status=%08x\n", s->trace_id, line, status);
    vl2_stat_add(VL2_ST_OPEN_REFUSED, 1);
    if (write_access) vl2_stat_add(VL2_ST_MUTATING_REFUSED, 1);
    if (r->rq.in_chain) {
        err_reply_l(s, r, CMD_CREATE, status, s->session_id, r->rq.tid, line);
        return;
    }
    rep_status(r, status);
    if (r->b.failed || r->hdr + SMB2_HDR > r->b.len) return;
    r->b.len = r->hdr + SMB2_HDR;
    uint8_t body[88] = {9};
    vl2_buf_put(&r->b, body, sizeof body);
}
