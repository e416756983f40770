// The transform header of SMB 3.x: opening encrypted requests and sealing
// responses, both in place.
#include "sess/engine.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint16_t FLAG_ENCRYPTED = 0x0001;
// The authenticated data is the header from its Nonce on.
constexpr size_t AAD_AT = 20;
constexpr size_t AAD_LEN = TRANSFORM_HDR - AAD_AT;

}  // namespace

int transform_parse(const uint8_t *f, size_t n, vl2_transform *t)
{
    vl2_rd rd = {f, n, 0, 0};
    *t = {};
    uint32_t protocol = rd_u32(&rd);
    t->sig = f + rd.pos;
    rd_skip(&rd, 16);
    t->nonce = f + rd.pos;
    rd_skip(&rd, 16);
    t->size = rd_u32(&rd);
    rd_u16(&rd);  // Reserved
    t->flags = rd_u16(&rd);
    t->sid = rd_u64(&rd);
    if (rd.bad || protocol != 0x424D53FD || t->flags != FLAG_ENCRYPTED) return -1;
    // One message, exactly as long as the frame says: anything else is
    // either a truncated frame or bytes nobody authenticated.
    if (t->size == 0 || t->size != n - TRANSFORM_HDR) return -1;
    return 0;
}

int transform_open(vl2_aead_key *k, uint8_t *f, size_t n)
{
    vl2_transform t;
    if (transform_parse(f, n, &t) != 0 || !k->alg) return -1;
    return vl2_aead_open(k, t.nonce, f + AAD_AT, AAD_LEN, f + TRANSFORM_HDR, t.size, t.sig) == 0 ? 0 : -1;
}

int transform_seal_nonce(vl2_aead_key *k, const uint8_t nonce[16], uint64_t sid, uint8_t *msg, size_t n,
                         uint8_t hdr[TRANSFORM_HDR])
{
    if (!k->alg || n == 0 || n > UINT32_MAX) return -1;
    vl2_put32(hdr, 0x424D53FD);
    memset(hdr + 4, 0, 16);  // Signature, written below
    memcpy(hdr + 20, nonce, 16);
    vl2_put32(hdr + 36, (uint32_t)n);
    vl2_put16(hdr + 40, 0);
    vl2_put16(hdr + 42, FLAG_ENCRYPTED);
    vl2_put64(hdr + 44, sid);
    return vl2_aead_seal(k, hdr + 20, hdr + AAD_AT, AAD_LEN, msg, n, hdr + 4) == 0 ? 0 : -1;
}

int transform_seal(vl2_seal *e, uint64_t sid, uint8_t *msg, size_t n, uint8_t hdr[TRANSFORM_HDR])
{
    // The counter makes every nonce under this key a new one; a random
    // nonce could repeat. It never wraps: the last value is never used.
    if (e->sealed == UINT64_MAX) return -1;
    uint8_t nonce[16] = {};
    vl2_put64(nonce, e->sealed++);  // spent even when sealing fails
    return transform_seal_nonce(&e->out, nonce, sid, msg, n, hdr);
}
