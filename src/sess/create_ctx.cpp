// CREATE contexts: the chain a request carries, checked whole, and the
// answers the server gives (maximal access and the on-disk id).
#include "sess/engine.h"

#include <cstring>

namespace {

constexpr size_t HEAD = 16;  // Next, NameOffset, NameLength, Reserved, DataOffset, DataLength
const uint8_t TAG_MXAC[4] = {'M', 'x', 'A', 'c'};
const uint8_t TAG_QFID[4] = {'Q', 'F', 'i', 'd'};
const uint8_t TAG_DHNC[4] = {'D', 'H', 'n', 'C'};
const uint8_t TAG_DH2C[4] = {'D', 'H', '2', 'C'};

bool is(const uint8_t *name, uint16_t len, const uint8_t tag[4]) { return len == 4 && memcmp(name, tag, 4) == 0; }

// Notes what one well-formed context asks of the server; false when a
// context the server acts on carries data of the wrong size.
bool take(const uint8_t *name, uint16_t name_len, uint32_t data_len, vl2_create_ctx *out)
{
    if (is(name, name_len, TAG_MXAC)) {
        // Empty, or a timestamp the answer would be compared with.
        if (data_len != 0 && data_len != 8) return false;
        out->mxac = 1;
    } else if (is(name, name_len, TAG_QFID)) {
        out->qfid = 1;
    } else if (is(name, name_len, TAG_DHNC) || is(name, name_len, TAG_DH2C)) {
        out->reconnect = 1;
    }
    // Durable handle and lease requests, app instances, security
    // descriptors, extended attributes and the rest are not granted, so
    // they get no answer: the client sees they were not.
    return true;
}

// Appends one response context (its name at 16, its data at 24) and links
// the one before it (at *prev, SIZE_MAX for none) to it.
void put_context(vl2_buf *b, size_t *prev, const uint8_t tag[4], const uint8_t *data, uint32_t n)
{
    if (b->len % 8) wzero(b, 8 - b->len % 8);
    size_t at = (size_t)b->len;
    if (*prev != SIZE_MAX && !b->failed) vl2_put32(b->data + *prev, (uint32_t)(at - *prev));
    w32(b, 0);   // Next
    w16(b, 16);  // NameOffset
    w16(b, 4);   // NameLength
    w16(b, 0);   // Reserved
    w16(b, 24);  // DataOffset
    w32(b, n);   // DataLength
    vl2_buf_put(b, tag, 4);
    w32(b, 0);  // aligns the data to 8
    vl2_buf_put(b, data, n);
    *prev = at;
}

}  // namespace

uint32_t create_contexts(vl2_rd *rd, uint64_t hdr_off, uint64_t len, vl2_create_ctx *out)
{
    *out = {};
    if (len == 0) return ST_SUCCESS;
    vl2_rd body = *rd;
    const uint8_t *chain = rd_region(&body, hdr_off, len);
    if (!chain || hdr_off % 8) return ST_INVALID_PARAMETER;
    vl2_rd c = {chain, (size_t)len, 0, 0};
    for (;;) {
        const size_t at = c.pos;
        uint32_t next = rd_u32(&c);
        uint16_t name_off = rd_u16(&c);
        uint16_t name_len = rd_u16(&c);
        rd_u16(&c);  // Reserved
        uint16_t data_off = rd_u16(&c);
        uint32_t data_len = rd_u32(&c);
        if (c.bad) return ST_INVALID_PARAMETER;
        // A context ends where the next one begins (8-aligned, past this
        // one's head), the last one at the end of the chain. Name and data
        // lie inside it, after the head.
        const uint64_t size = next ? next : len - at;
        if (next % 8 || (next && next < HEAD) || size > len - at) return ST_INVALID_PARAMETER;
        if (name_off < HEAD || name_len < 4 || (uint64_t)name_off + name_len > size) return ST_INVALID_PARAMETER;
        if (data_len && (data_off < HEAD || data_off % 8 || (uint64_t)data_off + data_len > size))
            return ST_INVALID_PARAMETER;
        const uint8_t *name = rd_at(&c, at + name_off, name_len);
        if (!name || !take(name, name_len, data_len, out)) return ST_INVALID_PARAMETER;
        out->count++;
        if (next == 0) return ST_SUCCESS;
        rd_skip(&c, at + next - c.pos);  // next is past the head and inside the chain
    }
}

void create_answer(vl2_reply *r, const vl2_create_ctx *want, uint32_t max_access, uint64_t disk_id)
{
    if (!want->mxac && !want->qfid) return;
    vl2_buf *b = &r->b;
    size_t prev = SIZE_MAX, first = SIZE_MAX;
    if (want->mxac) {
        uint8_t d[8];
        vl2_put32(d, ST_SUCCESS);  // QueryStatus
        vl2_put32(d + 4, max_access);
        put_context(b, &prev, TAG_MXAC, d, sizeof d);
        first = prev;
    }
    if (want->qfid) {
        uint8_t d[32] = {};
        vl2_put64(d, disk_id);  // then VolumeId and Reserved, all zero
        put_context(b, &prev, TAG_QFID, d, sizeof d);
        if (first == SIZE_MAX) first = prev;
    }
    if (b->failed) return;
    uint8_t *body = b->data + r->hdr + SMB2_HDR;
    vl2_put32(body + 80, (uint32_t)(first - r->hdr));          // CreateContextsOffset
    vl2_put32(body + 84, (uint32_t)((size_t)b->len - first));  // CreateContextsLength
}
