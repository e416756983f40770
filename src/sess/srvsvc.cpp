// The srvsvc pipe: just enough connection-oriented DCE/RPC to acknowledge a
// bind and answer NetrShareEnum. Stateless: one request PDU in, one reply
// PDU (a single fragment) out.
#include "sess/engine.h"

#include "cfg/cfg.h"

#include <cstdlib>
#include <cstring>

namespace {

enum : uint8_t { PT_REQUEST = 0, PT_RESPONSE = 2, PT_FAULT = 3, PT_BIND = 11, PT_BIND_ACK = 12 };
constexpr uint8_t PFC_OBJECT_UUID = 0x80;
constexpr uint16_t FRAG_SIZE = 4280;
constexpr uint16_t OP_SHARE_ENUM_ALL = 15;
constexpr uint32_t NCA_OP_RANGE_ERROR = 0x1C010003;
constexpr uint32_t ERROR_INVALID_LEVEL = 124;
constexpr int MAX_SHARES = 257;

// Common header; frag_length is patched once the PDU is complete.
void pdu_header(vl2_buf *b, uint8_t ptype, uint32_t call_id)
{
    static const uint8_t head[8] = {5, 0, 0, 0x03, 0x10, 0, 0, 0};
    uint8_t h[8];
    memcpy(h, head, sizeof h);
    h[2] = ptype;
    vl2_buf_put(b, h, sizeof h);
    w16(b, 0);  // frag_length
    w16(b, 0);  // auth_length
    w32(b, call_id);
}

void pdu_finish(vl2_buf *b, size_t start)
{
    if (b->failed) return;
    vl2_put16(b->data + start + 8, (uint16_t)(b->len - start));
}

// Conformant varying UTF-16LE string with its NUL, padded to 4. Text that
// is not UTF-8 is widened byte by byte so the share is still listed.
void ndr_string(vl2_buf *b, const char *text)
{
    uint8_t u[2 * 260];
    int ulen = 0;
    if (vl2_utf8_to_utf16le(text, u, (int)sizeof u - 2, &ulen) != 0) {
        ulen = 0;
        for (const char *p = text; *p && ulen + 2 < (int)sizeof u - 2; p++) {
            u[ulen++] = (uint8_t)*p;
            u[ulen++] = 0;
        }
    }
    u[ulen++] = 0;
    u[ulen++] = 0;
    uint32_t chars = (uint32_t)ulen / 2;
    w32(b, chars);
    w32(b, 0);
    w32(b, chars);
    vl2_buf_put(b, u, (uint64_t)ulen);
    if (ulen % 4) wzero(b, 4 - ulen % 4);
}

// The information level a NetrShareEnum request asks for, or 1 when the
// stub cannot be read.
uint32_t requested_level(const uint8_t *stub, size_t n)
{
    vl2_rd rd = {stub, n, 0, 0};
    uint32_t ref = rd_u32(&rd);
    if (ref != 0) {
        rd_u32(&rd);  // MaxCount
        rd_u32(&rd);  // Offset
        uint32_t actual = rd_u32(&rd);
        if (rd.bad || actual > n / 2) return 1;
        rd_skip(&rd, (size_t)actual * 2);
        if (rd.pos % 4) rd_skip(&rd, 4 - rd.pos % 4);
    }
    uint32_t level = rd_u32(&rd);
    return rd.bad ? 1 : level;
}

// The fields of the common header the answers need.
struct pdu_head {
    uint8_t ptype;
    uint8_t flags;
    uint16_t frag_length;
    uint32_t call_id;
};

void bind_ack(vl2_rd *in, const pdu_head &h, vl2_buf *out)
{
    // Header 16, frag sizes and assoc group 8, context list head 4, first
    // context head 4, abstract syntax 20, then the first transfer syntax.
    constexpr size_t TS_AT = 52, TS_LEN = 20;
    const uint8_t *ts = rd_at(in, TS_AT, TS_LEN);
    if (!ts) return;
    size_t start = (size_t)out->len;
    pdu_header(out, PT_BIND_ACK, h.call_id);
    w16(out, FRAG_SIZE);   // max_xmit_frag
    w16(out, FRAG_SIZE);   // max_recv_frag
    w32(out, 0);           // assoc_group_id
    w16(out, 0);           // secondary address: empty
    wzero(out, 2);         // padded to 4
    vl2_buf_byte(out, 1);  // one result
    wzero(out, 3);
    w16(out, 0);  // acceptance
    w16(out, 0);  // reason
    vl2_buf_put(out, ts, TS_LEN);
    pdu_finish(out, start);
}

// in stands after the common header.
void request(vl2_rd *in, const pdu_head &h, vl2_buf *out)
{
    rd_u32(in);  // alloc_hint
    uint16_t ctx = rd_u16(in);
    uint16_t opnum = rd_u16(in);
    if (in->bad) return;
    size_t start = (size_t)out->len;
    if (opnum != OP_SHARE_ENUM_ALL) {
        pdu_header(out, PT_FAULT, h.call_id);
        w32(out, 0);  // alloc_hint
        w16(out, ctx);
        vl2_buf_byte(out, 0);  // cancel_count
        vl2_buf_byte(out, 0);
        w32(out, NCA_OP_RANGE_ERROR);
        w32(out, 0);
        pdu_finish(out, start);
        return;
    }
    // The stub ends where the fragment says, when that is inside the PDU.
    size_t stub = (h.flags & PFC_OBJECT_UUID) ? 40 : 24;
    size_t end = h.frag_length >= stub && h.frag_length < in->size ? h.frag_length : in->size;
    const uint8_t *p = stub <= end ? rd_at(in, stub, end - stub) : nullptr;
    uint32_t level = p ? requested_level(p, end - stub) : 1;
    pdu_header(out, PT_RESPONSE, h.call_id);
    w32(out, 0);  // alloc_hint
    w16(out, ctx);
    vl2_buf_byte(out, 0);
    vl2_buf_byte(out, 0);
    srvsvc_share_enum(out, level);
    pdu_finish(out, start);
    vl2_stat_add(VL2_ST_SRVSVC_QUERIES, 1);
}

}  // namespace

void srvsvc_share_enum(vl2_buf *b, uint32_t level)
{
    if (level != 1) {
        // A level we do not serve: an empty answer of that level, refused.
        w32(b, level);
        w32(b, level);
        w32(b, 0);  // no container
        w32(b, 0);  // TotalEntries
        w32(b, 0);  // no ResumeHandle
        w32(b, ERROR_INVALID_LEVEL);
        return;
    }
    vl2_share *list = nullptr;
    int count = 0;
    if (vl2_share_list(&list, &count) != 0) {
        list = nullptr;
        count = 0;
    }
    uint32_t n = count < MAX_SHARES ? (uint32_t)count : MAX_SHARES;
    w32(b, 1);
    w32(b, 1);
    w32(b, 0x00020000);  // container
    w32(b, n);
    w32(b, n ? 0x00020004 : 0);
    if (n) {
        w32(b, n);
        for (uint32_t i = 0; i < n; i++) {
            w32(b, 0x00022000 + 4 * i);
            w32(b, strcmp(list[i].name, "IPC$") == 0 ? 3 : 0);
            w32(b, 0x00024000 + 4 * i);
        }
        for (uint32_t i = 0; i < n; i++) {
            char name[81];
            memcpy(name, list[i].name, 80);
            name[80] = 0;
            ndr_string(b, name);
            ndr_string(b, strcmp(name, "IPC$") == 0 ? "IPC share" : "read-only share");
        }
    }
    free(list);
    w32(b, n);  // TotalEntries
    w32(b, 0);  // no ResumeHandle
    w32(b, 0);  // success
}

void srvsvc_pdu(const uint8_t *in, size_t n, vl2_buf *out)
{
    vl2_rd rd = {in, in ? n : 0, 0, 0};
    pdu_head h;
    rd_skip(&rd, 2);  // version and minor version
    h.ptype = rd_u8(&rd);
    h.flags = rd_u8(&rd);
    rd_skip(&rd, 4);  // data representation
    h.frag_length = rd_u16(&rd);
    rd_u16(&rd);  // auth_length
    h.call_id = rd_u32(&rd);
    if (rd.bad) return;
    if (h.ptype == PT_BIND)
        bind_ack(&rd, h, out);
    else if (h.ptype == PT_REQUEST)
        request(&rd, h, out);
}
