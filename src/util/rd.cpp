// The checked read cursor.
#include "util/util.h"

namespace {

constexpr uint64_t HDR = 64;  // the SMB2 header rd_region's offsets count from

// How many of the n bytes asked for are there; sets bad when not all.
size_t take(vl2_rd *r, size_t n)
{
    size_t have = rd_left(r);
    if (have < n) {
        r->bad = 1;
        return have;
    }
    return n;
}

uint64_t rd_le(vl2_rd *r, size_t n)
{
    n = take(r, n);
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) v |= (uint64_t)r->data[r->pos + i] << (8 * i);
    r->pos += n;
    return v;
}

}  // namespace

uint8_t rd_u8(vl2_rd *r) { return (uint8_t)rd_le(r, 1); }
uint16_t rd_u16(vl2_rd *r) { return (uint16_t)rd_le(r, 2); }
uint32_t rd_u32(vl2_rd *r) { return (uint32_t)rd_le(r, 4); }
uint64_t rd_u64(vl2_rd *r) { return rd_le(r, 8); }

uint64_t rd_be(vl2_rd *r, size_t n)
{
    n = take(r, n > 8 ? 8 : n);
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) v = (v << 8) | r->data[r->pos + i];
    r->pos += n;
    return v;
}

void rd_skip(vl2_rd *r, size_t n) { r->pos += take(r, n); }

const uint8_t *rd_bytes(vl2_rd *r, size_t n)
{
    if (!r->data || rd_left(r) < n) {
        r->bad = 1;
        if (r->pos < r->size) r->pos = r->size;
        return nullptr;
    }
    const uint8_t *p = r->data + r->pos;
    r->pos += n;
    return p;
}

const uint8_t *rd_at(vl2_rd *r, uint64_t off, uint64_t len)
{
    if (!r->data || off > r->size || len > r->size - off) {
        r->bad = 1;
        return nullptr;
    }
    return r->data + off;
}

const uint8_t *rd_region(vl2_rd *r, uint64_t hdr_off, uint64_t len)
{
    if (hdr_off < HDR) {
        r->bad = 1;
        return nullptr;
    }
    return rd_at(r, hdr_off - HDR, len);
}

vl2_rd rd_sub(const vl2_rd *r, size_t n)
{
    vl2_rd c = *r;
    size_t have = rd_left(r);
    if (have < n) {
        c.bad = 1;
        n = have;
    }
    c.size = c.pos + n;
    return c;
}

int rd_der(vl2_rd *r, uint8_t *tag, size_t *len)
{
    if (rd_left(r) < 2) {
        r->bad = 1;
        return -1;
    }
    uint8_t t = rd_u8(r);
    if ((t & 0x1f) == 0x1f) {  // multi-byte identifiers are never needed
        r->bad = 1;
        return -1;
    }
    size_t l = rd_u8(r);
    if (l >= 0x80) {
        size_t n = l & 0x7f;
        if (n > 4 || rd_left(r) < n) {
            r->bad = 1;
            return -1;
        }
        l = (size_t)rd_be(r, n);
    }
    if (l > rd_left(r)) {
        r->bad = 1;
        return -1;
    }
    *tag = t;
    *len = l;
    return 0;
}
