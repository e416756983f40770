// IOCTL (negotiate validation and srvsvc transceive) and the WRITE/READ
// pair some clients use on the srvsvc pipe instead of a transceive.
#include "sess/engine.h"

#include "cfg/cfg.h"

namespace {

constexpr uint32_t FSCTL_VALIDATE_NEGOTIATE_INFO = 0x00140204;
constexpr uint32_t FSCTL_PIPE_TRANSCEIVE = 0x0011C017;
constexpr uint32_t FSCTL_DFS_GET_REFERRALS = 0x00060194;
constexpr uint32_t FSCTL_DFS_GET_REFERRALS_EX = 0x000601B0;
constexpr uint32_t FSCTL_PIPE_WAIT = 0x00110018;
constexpr uint32_t FSCTL_QUERY_NETWORK_INTERFACE_INFO = 0x001401FC;
constexpr uint64_t ALL_ONES = 0xFFFFFFFFFFFFFFFFULL;
constexpr uint32_t MAX_PDU_IN = 16384;
constexpr uint32_t OUT_OFFSET = 112;  // header plus the 48-byte body
constexpr uint8_t READ_DATA_OFFSET = 80;

// The controls a client sends with the all-ones FileId: none is served.
bool takes_no_handle(uint32_t ctl)
{
    return ctl == FSCTL_DFS_GET_REFERRALS || ctl == FSCTL_DFS_GET_REFERRALS_EX || ctl == FSCTL_PIPE_WAIT ||
           ctl == FSCTL_QUERY_NETWORK_INTERFACE_INFO;
}

uint32_t refuse_l(vl2_reply *r, uint32_t status, bool count, int line)
{
    if (count) vl2_stat_add(VL2_ST_IOCTL_REFUSED, 1);
    return rep_fail_l(r, status, FAIL_BODY_ERROR, line);
}
#define refuse(r, status, count) refuse_l((r), (status), (count), __LINE__)

void ioctl_body(vl2_buf *b, uint32_t ctl, uint64_t fid_p, uint64_t fid_v, uint32_t in_off, uint32_t out_count)
{
    w16(b, 49);
    w16(b, 0);
    w32(b, ctl);
    w64(b, fid_p);
    w64(b, fid_v);
    w32(b, in_off);
    w32(b, 0);
    w32(b, OUT_OFFSET);
    w32(b, out_count);
    w32(b, 0);
    w32(b, 0);
}

uint32_t validate_negotiate(vl2_sess *s, vl2_reply *r, uint64_t fid_p)
{
    vl2_buf *b = &r->b;
    rep_status(r, ST_SUCCESS);
    ioctl_body(b, FSCTL_VALIDATE_NEGOTIATE_INFO, fid_p, ALL_ONES, 0, 24);
    w32(b, s->caps);
    put_server_guid(b, s);
    w16(b, security_mode(s));
    w16(b, (uint16_t)s->dialect);
    return ST_SUCCESS;
}

}  // namespace

uint32_t cmd_ioctl(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);  // StructureSize, checked by the dispatcher
    rd_u16(rd);  // Reserved
    uint32_t ctl = rd_u32(rd);
    uint64_t fid_p = rd_fid(rd, r);
    uint64_t fid_v = rd_u64(rd);
    uint32_t in_off = rd_u32(rd);
    uint32_t in_count = rd_u32(rd);
    rd_u32(rd);  // MaxInputResponse
    rd_u32(rd);  // OutputOffset
    rd_u32(rd);  // OutputCount
    uint32_t max_out = rd_u32(rd);
    rd_u32(rd);  // Flags
    if (rd->bad) return refuse(r, ST_INVALID_PARAMETER, false);

    if (ctl == FSCTL_VALIDATE_NEGOTIATE_INFO && s->dialect >= 0x0300) {
        // 3.x clients check the NEGOTIATE this way and the server checks
        // their side of it: a mismatch means someone on the path changed
        // it, and the connection ends. 3.1.1 has its hash instead.
        const uint8_t *in = rd_region(rd, in_off, in_count);
        if (s->dialect == 0x0311 || !in || max_out < 24 || !negotiate_validates(s, in, in_count)) {
            vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
            s->closing = 1;
            return refuse(r, ST_ACCESS_DENIED, false);
        }
    }
    if (ctl == FSCTL_VALIDATE_NEGOTIATE_INFO) return validate_negotiate(s, r, fid_p);
    if (takes_no_handle(ctl)) return refuse(r, ST_NOT_SUPPORTED, true);
    // Every other code names a handle, and a handle that is not open is
    // answered as such whatever the code asks for.
    vl2_open *o = sess_open(s, fid_p);
    if (!o) return refuse(r, ST_FILE_CLOSED, false);
    if (ctl != FSCTL_PIPE_TRANSCEIVE || !o->is_pipe) return refuse(r, ST_NOT_SUPPORTED, true);
    const uint8_t *in = rd_region(rd, in_off, in_count);
    if (!in || in_count > MAX_PDU_IN) return refuse(r, ST_INVALID_PARAMETER, false);

    vl2_buf *b = &r->b;
    rep_status(r, ST_SUCCESS);
    const size_t body = (size_t)b->len;
    ioctl_body(b, ctl, fid_p, fid_v, OUT_OFFSET, 0);
    const size_t pdu = (size_t)b->len;
    srvsvc_pdu(in, in_count, b);
    if (b->failed) return ST_SUCCESS;  // the loop drops the reply and ends
    uint64_t n = b->len - pdu;
    vl2_buf_free(&o->pipe_out);
    o->pipe_pos = 0;
    if (n > max_out) {
        // A client checks the output against its own limit: it gets what
        // fits, and READs the rest of the PDU from the pipe.
        if (vl2_buf_put(&o->pipe_out, b->data + pdu + max_out, n - max_out) != 0) {
            vl2_buf_free(&o->pipe_out);
            return refuse(r, ST_INSUFFICIENT_RESOURCES, false);
        }
        b->len = pdu + max_out;
        b->data[b->len] = 0;
        n = max_out;
        rep_status(r, ST_BUFFER_OVERFLOW);
    }
    vl2_put32(b->data + body + 36, (uint32_t)n);
    return ST_SUCCESS;
}

int write_allowed(vl2_sess *s, const uint8_t *body, size_t n)
{
    vl2_rd rd = {body, n, 0, 0};
    rd_skip(&rd, 16);  // StructureSize .. Offset
    const uint64_t fid = rd_u64(&rd);
    if (!body || rd.bad) return 0;
    vl2_open *o = sess_open(s, fid);
    return o && o->is_pipe;
}

uint32_t cmd_write(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);  // StructureSize, checked by the dispatcher
    uint16_t data_off = rd_u16(rd);
    uint32_t length = rd_u32(rd);
    rd_u64(rd);  // Offset: a pipe has none
    uint64_t fid = rd_u64(rd);
    rd_u64(rd);  // volatile half
    uint32_t channel = rd_u32(rd);
    rd_u32(rd);  // RemainingBytes
    rd_u16(rd);  // WriteChannelInfoOffset
    rd_u16(rd);  // WriteChannelInfoLength
    rd_u32(rd);  // Flags
    if (rd->bad) return rep_fail(r, ST_INVALID_PARAMETER);
    vl2_open *o = sess_open(s, fid);
    if (!o || !o->is_pipe) {
        // Only the pipe takes writes; everything else stays read-only.
        vl2_stat_add(VL2_ST_MUTATING_REFUSED, 1);
        return rep_fail(r, ST_ACCESS_DENIED);
    }
    if (channel != 0) return rep_fail(r, ST_NOT_SUPPORTED);
    const uint8_t *data = rd_region(rd, data_off, length);
    if (!data || length > MAX_PDU_IN) return rep_fail(r, ST_INVALID_PARAMETER);

    // The written PDU is answered at once; its reply waits for READ and
    // replaces whatever an earlier WRITE left unread.
    vl2_buf_free(&o->pipe_out);
    o->pipe_pos = 0;
    srvsvc_pdu(data, length, &o->pipe_out);
    if (o->pipe_out.failed) {
        vl2_buf_free(&o->pipe_out);
        return rep_fail(r, ST_INSUFFICIENT_RESOURCES);
    }
    vl2_buf *b = &r->b;
    rep_status(r, ST_SUCCESS);
    w16(b, 17);
    w16(b, 0);
    w32(b, length);  // Count
    w32(b, 0);       // Remaining
    w16(b, 0);       // WriteChannelInfoOffset
    w16(b, 0);       // WriteChannelInfoLength
    return ST_SUCCESS;
}

uint32_t pipe_read(vl2_open *o, uint32_t length, vl2_reply *r)
{
    if (o->pipe_pos >= o->pipe_out.len) return rep_fail(r, ST_NOT_SUPPORTED);
    uint64_t have = o->pipe_out.len - o->pipe_pos;
    uint32_t n = have < length ? (uint32_t)have : length;
    vl2_buf *b = &r->b;
    rep_status(r, n < have ? ST_BUFFER_OVERFLOW : ST_SUCCESS);
    w16(b, 17);
    vl2_buf_byte(b, READ_DATA_OFFSET);
    vl2_buf_byte(b, 0);
    w32(b, n);  // DataLength
    w32(b, 0);  // DataRemaining: the rest is signalled by BUFFER_OVERFLOW
    w32(b, 0);
    vl2_buf_put(b, o->pipe_out.data + o->pipe_pos, n);
    o->pipe_pos += n;
    if (o->pipe_pos >= o->pipe_out.len) {
        vl2_buf_free(&o->pipe_out);
        o->pipe_pos = 0;
    }
    return ST_SUCCESS;
}
