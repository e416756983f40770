// SPNEGO wrapping of NTLM: client blobs read as DER through the checked
// cursor, and the four fixed-layout server tokens.
#include "ntlm/ntlm.h"
#include "util/util.h"

#include <cstring>

const char vl2_spnego_hint[] = "not_defined_in_RFC4178@please_ignore";

namespace {

const uint8_t SPNEGO_OID[] = {0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};
// NTLMSSP's OID, then the same with its DER tag and length.
const uint8_t OID_NTLM[] = {0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0a};
const uint8_t NTLM_OID[] = {0x06,        sizeof OID_NTLM, OID_NTLM[0], OID_NTLM[1], OID_NTLM[2], OID_NTLM[3],
                            OID_NTLM[4], OID_NTLM[5],     OID_NTLM[6], OID_NTLM[7], OID_NTLM[8], OID_NTLM[9]};
const uint8_t NEG_STATE_INCOMPLETE[] = {0x0a, 0x01, 0x01};
const uint8_t ACCEPT_COMPLETED[] = {0xa1, 0x07, 0x30, 0x05, 0xa0, 0x03, 0x0a, 0x01, 0x00};
constexpr size_t HINTS_LEN = sizeof vl2_spnego_hint - 1;

void der_len(vl2_buf *b, size_t n)
{
    if (n < 128) {
        vl2_buf_byte(b, (int)n);
    } else if (n <= 255) {
        vl2_buf_byte(b, 0x81);
        vl2_buf_byte(b, (int)n);
    } else {
        vl2_buf_byte(b, 0x82);
        vl2_buf_byte(b, (int)(n >> 8) & 0xff);
        vl2_buf_byte(b, (int)(n & 0xff));
    }
}

size_t der_size(size_t n) { return n < 128 ? 1 : n <= 255 ? 2 : 3; }

bool is_ntlm_oid(vl2_rd c, uint8_t tag, size_t len)
{
    if (tag != 0x06 || len != sizeof OID_NTLM) return false;
    const uint8_t *oid = rd_bytes(&c, len);
    return oid && memcmp(oid, OID_NTLM, len) == 0;
}

// mechTypes [0]: 0 when the SEQUENCE OF lists NTLMSSP anywhere, else -2.
int mech_types(vl2_rd a0)
{
    uint8_t t;
    size_t l;
    if (rd_der(&a0, &t, &l) != 0 || !(t & 0x20)) return -2;
    vl2_rd list = rd_sub(&a0, l);
    while (rd_der(&list, &t, &l) == 0) {
        if (is_ntlm_oid(list, t, l)) return 0;
        rd_skip(&list, l);
    }
    return -2;
}

// The OCTET STRING inside a context element [n] whose contents c covers.
bool octets(vl2_rd c, const uint8_t **p, size_t *n)
{
    uint8_t t;
    size_t l;
    if (rd_der(&c, &t, &l) != 0 || t != 0x04) return false;
    *p = rd_bytes(&c, l);
    *n = l;
    return *p != nullptr;
}

// [0] negTokenInit inside the GSS token. The server answers any NegTokenInit
// with its challenge; the mechToken, when there is one, only tells which
// NTLM flags the client asked for, and mechTypes is kept for the client's
// mechListMIC.
int neg_token_init(vl2_rd a0, vl2_spnego_in *in)
{
    uint8_t t;
    size_t l;
    if (rd_der(&a0, &t, &l) != 0 || !(t & 0x20)) return -1;
    vl2_rd seq = rd_sub(&a0, l);
    // A short or damaged tail after mechTypes is tolerated: everything
    // needed has been seen by then.
    while (rd_der(&seq, &t, &l) == 0) {
        if (t == 0xa0) {
            if (mech_types(rd_sub(&seq, l)) != 0) return -2;
            in->mech_types = rd_at(&seq, seq.pos, l);
            in->mech_types_len = l;
        } else if (t == 0xa2 && !octets(rd_sub(&seq, l), &in->init_tok, &in->init_toklen)) {
            in->init_tok = nullptr;
            in->init_toklen = 0;
        }
        // reqFlags (a1), mechListMIC (a3) and the rest are skipped.
        rd_skip(&seq, l);
    }
    return 0;
}

int gss_token(const uint8_t *blob, size_t len, vl2_spnego_in *in)
{
    vl2_rd c{blob, len, 0, 0};
    uint8_t t;
    size_t l;
    if (rd_der(&c, &t, &l) != 0 || !(t & 0x20)) return -1;
    c = rd_sub(&c, l);
    while (rd_left(&c)) {
        if (rd_der(&c, &t, &l) != 0) return -1;
        if (is_ntlm_oid(c, t, l)) {
            in->raw = 1;
            return 0;
        }
        if (t == 0xa0) return neg_token_init(rd_sub(&c, l), in);
        rd_skip(&c, l);
    }
    return -1;
}

// responseToken [2] is required; a mechListMIC [3] after it is taken when
// it is well formed, and a damaged tail after the token is tolerated.
int neg_token_resp(const uint8_t *blob, size_t len, vl2_spnego_in *in)
{
    vl2_rd c{blob, len, 0, 0};
    uint8_t t;
    size_t l;
    if (rd_der(&c, &t, &l) != 0 || !(t & 0x20)) return -1;
    c = rd_sub(&c, l);
    vl2_rd first = c;
    if (rd_der(&first, &t, &l) == 0) {
        if (t == 0x30) {
            c = rd_sub(&first, l);
        } else {
            c = first;
            rd_skip(&c, l);
        }
    }
    while (rd_left(&c)) {
        if (rd_der(&c, &t, &l) != 0) break;
        if (t == 0xa2 && !in->tok) {
            if (!octets(rd_sub(&c, l), &in->tok, &in->toklen)) return -1;
        } else if (t == 0xa3 && in->tok && !octets(rd_sub(&c, l), &in->mic, &in->miclen)) {
            in->mic = nullptr;
            in->miclen = 0;
        }
        rd_skip(&c, l);
    }
    return in->tok ? 0 : -1;
}

}  // namespace

int vl2_spnego_parse(const uint8_t *blob, size_t len, vl2_spnego_in *in)
{
    *in = vl2_spnego_in{};
    if (!blob || len <= 1) return -1;
    if (blob[0] == 0x60) return gss_token(blob, len, in);
    if (blob[0] == 0xa1) return neg_token_resp(blob, len, in);
    if (len >= 8 && memcmp(blob, "NTLMSSP", 8) == 0) {
        in->tok = blob;
        in->toklen = len;
        in->raw = 1;
        return 0;
    }
    return -1;
}

int vl2_spnego_init(const uint8_t *blob, size_t len, const uint8_t **tokp, size_t *toklen, int *raw)
{
    vl2_spnego_in in;
    int rc = vl2_spnego_parse(blob, len, &in);
    *tokp = rc == 0 ? in.tok : nullptr;
    *toklen = rc == 0 ? in.toklen : 0;
    *raw = rc == 0 ? in.raw : 0;
    return rc;
}

int vl2_spnego_resp(const uint8_t *msg, size_t len, vl2_buf *b)
{
    size_t n = len;
    size_t C = 1 + der_size(n) + n;
    size_t B = 5 + 14 + 1 + der_size(C) + C;
    size_t A = 1 + der_size(B) + B;
    vl2_buf_byte(b, 0xa1);
    der_len(b, A);
    vl2_buf_byte(b, 0x30);
    der_len(b, B);
    vl2_buf_byte(b, 0xa0);
    vl2_buf_byte(b, 0x03);
    vl2_buf_put(b, NEG_STATE_INCOMPLETE, sizeof NEG_STATE_INCOMPLETE);
    vl2_buf_byte(b, 0xa1);
    vl2_buf_byte(b, 0x0c);
    vl2_buf_put(b, NTLM_OID, sizeof NTLM_OID);
    vl2_buf_byte(b, 0xa2);
    der_len(b, C);
    vl2_buf_byte(b, 0x04);
    der_len(b, n);
    if (n) vl2_buf_put(b, msg, n);
    return 0;
}

int vl2_spnego_done(vl2_buf *b)
{
    vl2_buf_put(b, ACCEPT_COMPLETED, sizeof ACCEPT_COMPLETED);
    return 0;
}

namespace {

// [0] mechTypes listing NTLMSSP only: a0 0e 30 0c NTLM_OID.
void put_mech_types(vl2_buf *b)
{
    static const uint8_t head[] = {0xa0, 0x0e, 0x30, 0x0c};
    vl2_buf_put(b, head, sizeof head);
    vl2_buf_put(b, NTLM_OID, sizeof NTLM_OID);
}

// [3] negHints { [0] hintName GeneralString }: 44 bytes.
void put_hints(vl2_buf *b)
{
    static const uint8_t head[] = {0xa3, 0x2a, 0x30, 0x28, 0xa0, 0x26, 0x1b, 0x24};
    vl2_buf_put(b, head, sizeof head);
    vl2_buf_put(b, vl2_spnego_hint, HINTS_LEN);
}

}  // namespace

int vl2_spnego_init_tok(const uint8_t *mech, size_t len, vl2_buf *b)
{
    size_t n = len;
    size_t D = 1 + der_size(n) + n;
    size_t C = 16 + 1 + der_size(D) + D + 44;
    size_t B = 1 + der_size(C) + C;
    size_t A = 8 + 1 + der_size(B) + B;
    vl2_buf_byte(b, 0x60);
    der_len(b, A);
    vl2_buf_put(b, SPNEGO_OID, sizeof SPNEGO_OID);
    vl2_buf_byte(b, 0xa0);
    der_len(b, B);
    vl2_buf_byte(b, 0x30);
    der_len(b, C);
    put_mech_types(b);
    vl2_buf_byte(b, 0xa2);
    der_len(b, D);
    vl2_buf_byte(b, 0x04);
    der_len(b, n);
    if (n) vl2_buf_put(b, mech, n);
    put_hints(b);
    return 0;
}

int vl2_spnego_init_tok_nomect(vl2_buf *b)
{
    static const uint8_t head[] = {0x60, 0x48};
    static const uint8_t init[] = {0xa0, 0x3e, 0x30, 0x3c};
    vl2_buf_put(b, head, sizeof head);
    vl2_buf_put(b, SPNEGO_OID, sizeof SPNEGO_OID);
    vl2_buf_put(b, init, sizeof init);
    put_mech_types(b);
    put_hints(b);
    return 0;
}

int vl2_spnego_done_mic(const uint8_t mic[16], vl2_buf *b)
{
    // negTokenResp { negState accept-completed, mechListMIC OCTET STRING }.
    static const uint8_t head[] = {0xa1, 0x1b, 0x30, 0x19, 0xa0, 0x03, 0x0a, 0x01, 0x00, 0xa3, 0x12, 0x04, 0x10};
    vl2_buf_put(b, head, sizeof head);
    vl2_buf_put(b, mic, 16);
    return 0;
}
