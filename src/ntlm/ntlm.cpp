// NTLM: the CHALLENGE message, the NTLMv2 key derivation and the check of
// one AUTHENTICATE message against one account.
#include "ntlm/ntlm.h"
#include "crypto/crypto.h"
#include "util/util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t F_NTLM = 0x00000200;
constexpr uint32_t F_ESS = 0x00080000;
constexpr uint32_t F_KEY_EXCH = 0x40000000;
constexpr uint32_t F_TARGET_TYPE_SERVER = 0x00020000;
constexpr uint32_t CHALLENGE_FLAGS = 0xE0880601;
constexpr uint32_t F_128 = 0x20000000, F_56 = 0x80000000;
constexpr uint32_t ANSWERED = VL2_NTLM_SIGN | VL2_NTLM_SEAL | VL2_NTLM_ALWAYS_SIGN | VL2_NTLM_VERSION;
constexpr uint16_t AV_EOL = 0, AV_NB_COMPUTER = 1, AV_NB_DOMAIN = 2, AV_FLAGS = 6, AV_TIMESTAMP = 7;
constexpr uint32_t AV_FLAG_MIC = 0x00000002;
constexpr size_t MIC_AT = 72;
// The Version field when a client asks for one: 6.1 build 7600 and NTLM
// revision 15, the only revision defined; clients only log it.
const uint8_t VERSION_FIELD[8] = {6, 1, 0xb0, 0x1d, 0, 0, 0, 15};
constexpr size_t NT_MIN = 48, NT_MAX = 1040;
constexpr int64_t MAX_SKEW = 7200;
const char DEFAULT_NAME[] = VL2_DEFAULT_SERVER_NAME;
const uint8_t SIGNATURE[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

bool tracing() { return getenv("VLSMB2S_TRACE") != nullptr; }

__attribute__((format(printf, 1, 2))) void trace(const char *fmt, ...)
{
    if (!tracing()) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// Security-buffer descriptor. *ptr is null when the descriptor is missing
// or points outside the message (then *len is left as it was), or when its
// offset is 0 (then *len is still stored).
void field(vl2_rd *c, const uint8_t **ptr, size_t *len)
{
    *ptr = nullptr;
    if (rd_left(c) < 8) {
        rd_skip(c, rd_left(c));
        return;
    }
    uint16_t ln = rd_u16(c);
    uint16_t hi = rd_u16(c);
    uint32_t off = rd_u32(c);
    vl2_rd whole = *c;  // a field outside the message spoils only itself
    if (!rd_at(&whole, off, ln)) {
        trace("[t3field] off=%u ln=%u msglen=%zu hi=%u\n", off, (unsigned)ln, c->size, (unsigned)hi);
        return;
    }
    *len = ln;
    if (off) *ptr = c->data + off;
}

// The message type after the NTLMSSP signature, with *c left past it; 0
// when msg is too short for both or carries no signature.
uint32_t message_type(const uint8_t *msg, size_t len, vl2_rd *c)
{
    *c = {msg, msg ? len : 0, 0, 0};
    const uint8_t *sig = rd_bytes(c, 8);
    uint32_t type = rd_u32(c);
    return sig && !c->bad && memcmp(sig, SIGNATURE, 8) == 0 ? type : 0;
}

// The AV pairs of an NTLMv2 client blob, which start 28 bytes in.
struct av_walk {
    vl2_rd c;
    size_t at;  // where the pair last read starts
    uint16_t id, len;
    vl2_rd value;  // its value
    bool over;     // its value overruns the blob: the walk ends
};
av_walk av_start(const uint8_t *blob, size_t blen)
{
    av_walk w{};
    w.c = {blob, blen, 0, 0};
    rd_skip(&w.c, 28);
    return w;
}
// Reads the next pair: false when no pair header is left.
bool av_next(av_walk *w)
{
    if (w->over || rd_left(&w->c) < 4) return false;
    w->at = w->c.pos;
    w->id = rd_u16(&w->c);
    w->len = rd_u16(&w->c);
    w->over = w->len > rd_left(&w->c);
    w->value = rd_sub(&w->c, w->len);
    rd_skip(&w->c, w->len);
    return true;
}

// Lists the blob's AV pairs for the trace.
void trace_walk(const uint8_t *blob, size_t blen)
{
    fprintf(stderr, "[t3] walk blen=%zu:", blen);
    av_walk w = av_start(blob, blen);
    while (av_next(&w)) {
        fprintf(stderr, " id=%u len=%u@%zu", (unsigned)w.id, (unsigned)w.len, w.at);
        if (w.over) {
            fprintf(stderr, " OVER");
            break;
        }
        if (w.id == AV_EOL) break;
    }
    fprintf(stderr, "\n");
}

// The name the NTLMv2 key is made from is the upper-cased one, so two
// names that upper-case alike (in any script) are the same account.
bool same_user(const char *want, const uint8_t *wire16, size_t wirelen, const char *wire8)
{
    if (vl2_casecmp(wire8, want) == 0) return true;
    char cut[129];
    snprintf(cut, sizeof cut, "%s", want);
    uint8_t a[264], b[264];
    int alen = 0;
    if (wirelen > sizeof b || vl2_utf8_to_utf16le(cut, a, sizeof a, &alen) != 0 || (size_t)alen != wirelen)
        return false;
    if (wirelen) memcpy(b, wire16, wirelen);
    vl2_ntlm_upcase16le(a, (size_t)alen);
    vl2_ntlm_upcase16le(b, wirelen);
    return memcmp(a, b, wirelen) == 0;
}

// The server name as the CHALLENGE carries it: at most 60 bytes, UTF-16LE.
int server_name16(const char *server_name, char cut[61], uint8_t out[160], int *outlen)
{
    const char *name = (server_name && server_name[0]) ? server_name : DEFAULT_NAME;
    snprintf(cut, 61, "%.60s", name);
    return vl2_utf8_to_utf16le(cut, out, 160, outlen);
}

// The descriptors and flags of an AUTHENTICATE message.
struct t3_fields {
    const uint8_t *lm, *nt, *dom, *usr, *ws, *ersk;
    size_t lmlen, ntlen, domlen, usrlen, wslen, ersklen;
    uint32_t flags;
};

int read_fields(const uint8_t *msg, size_t len, t3_fields *f)
{
    *f = t3_fields{};
    if (!msg || len < 32) {
        trace("[t3] short %zu\n", len);
        return -1;
    }
    vl2_rd c;
    uint32_t type = message_type(msg, len, &c);
    if (type == 0) {
        trace("[t3] sig\n");
        return -1;
    }
    if (type != 3) return -1;
    field(&c, &f->lm, &f->lmlen);
    field(&c, &f->nt, &f->ntlen);
    if (!f->nt) {
        trace("[t3] ntfield\n");
        return -1;
    }
    field(&c, &f->dom, &f->domlen);
    field(&c, &f->usr, &f->usrlen);
    field(&c, &f->ws, &f->wslen);
    field(&c, &f->ersk, &f->ersklen);
    f->flags = rd_u32(&c);
    if (c.bad) {
        trace("[t3] flags\n");
        return -1;
    }
    return 0;
}

// Checks of the NTLMv2 client blob that hold whatever the account: its
// version, an AV list whose pairs stay inside the blob, and the time when
// the client sent a timestamp (clients that build the list from their own
// pairs send none; the proof covers whatever was sent). 0 or -1.
int blob_checks(const uint8_t *blob, size_t blen, int64_t now, int timecheck, uint32_t *avflags)
{
    *avflags = 0;
    vl2_rd c = {blob, blen, 0, 0};
    uint8_t ver = rd_u8(&c), hiver = rd_u8(&c);
    if (ver != 1 || hiver != 1) {
        trace("[t3] blobver %02x%02x\n", ver, hiver);
        return -1;
    }
    if (timecheck && tracing()) trace_walk(blob, blen);
    uint64_t ft = 0;
    av_walk w = av_start(blob, blen);
    while (av_next(&w) && !w.over && w.id != AV_EOL) {
        if (w.id == AV_TIMESTAMP) {
            if (w.len != 8) {
                trace("[t3] ts av len=%u\n", (unsigned)w.len);
                return -1;
            }
            ft = rd_u64(&w.value);
        }
        if (w.id == AV_FLAGS && w.len == 4) *avflags = rd_u32(&w.value);
    }
    if (w.over) {
        trace("[t3] av list overruns the blob\n");
        return -1;
    }
    if (!timecheck || ft == 0) return 0;
    int64_t secs = vl2_filetime_secs(ft);
    // Magnitude of secs - now without signed overflow.
    uint64_t skew = secs > now ? (uint64_t)secs - (uint64_t)now : (uint64_t)now - (uint64_t)secs;
    return skew > (uint64_t)MAX_SKEW ? -1 : 0;
}

// NTProofStr = HMAC-MD5(NTOWFv2, server challenge ++ blob), computed over
// the blob as the client sent it. True with the session base key when it
// matches the response's first 16 bytes.
bool proof_holds(const uint8_t challenge[8], const t3_fields &f, const uint8_t *blob, size_t blen, const char *user,
                 const char *password, uint8_t base[16])
{
    char domain[129] = "";
    if (f.dom && vl2_utf16_to_utf8(f.dom, f.domlen, domain, sizeof domain) < 0) domain[0] = 0;
    uint8_t nthash[16], ntowf[16];
    vl2_ntlm_hashes_dom(user, domain, password, nthash, ntowf);
    vl2_hmacmd5_ctx h;
    vl2_hmacmd5_init(&h, ntowf, 16);
    vl2_hmacmd5_update(&h, challenge, 8);
    vl2_hmacmd5_update(&h, blob, blen);
    uint8_t calc[16];
    vl2_hmacmd5_final(&h, calc);
    vl2_wipe(&h, sizeof h);
    bool ok = vl2_ct_equal(calc, f.nt, 16) != 0;
    if (ok) vl2_hmacmd5(ntowf, 16, f.nt, 16, base);
    vl2_wipe(nthash, sizeof nthash);
    vl2_wipe(ntowf, sizeof ntowf);
    return ok;
}

// MIC = HMAC-MD5(exported session key, NEGOTIATE ++ CHALLENGE ++
// AUTHENTICATE with its MIC field zeroed), over the messages as kept.
bool mic_holds(const vl2_ntlm_auth *a)
{
    const vl2_ntlm_exchange *x = a->x;
    if (!x || x->nego.lost || x->chal.lost || x->chal.len == 0) return false;
    static const uint8_t zero[16] = {0};
    vl2_hmacmd5_ctx h;
    vl2_hmacmd5_init(&h, a->key, 16);
    vl2_hmacmd5_update(&h, x->nego.data, x->nego.len);
    vl2_hmacmd5_update(&h, x->chal.data, x->chal.len);
    vl2_hmacmd5_update(&h, a->msg, MIC_AT);
    vl2_hmacmd5_update(&h, zero, 16);
    vl2_hmacmd5_update(&h, a->msg + MIC_AT + 16, a->len - MIC_AT - 16);
    uint8_t calc[16];
    vl2_hmacmd5_final(&h, calc);
    vl2_wipe(&h, sizeof h);
    return vl2_ct_equal(calc, a->msg + MIC_AT, 16) != 0;
}

// MD5(key ++ magic text with its NUL), the derivation of every direction key.
void magic_key(const uint8_t *key, size_t keylen, const char *magic, uint8_t out[16])
{
    uint8_t in[16 + 64];
    size_t n = strlen(magic) + 1;
    memcpy(in, key, keylen);
    memcpy(in + keylen, magic, n);
    vl2_md5(in, keylen + n, out);
    vl2_wipe(in, sizeof in);
}

const uint8_t ZERO_KEY[16] = {0};

// The exported session key: the client's random key, RC4 under base.
void decrypt_session_key(const uint8_t enc[16], const uint8_t base[16], uint8_t key[16])
{
    vl2_rc4_ctx rc;
    memcpy(key, enc, 16);
    vl2_rc4_init(&rc, base, 16);
    vl2_rc4(&rc, key, 16);
    vl2_wipe(&rc, sizeof rc);
}

// Responses nothing can be verified from: an empty one (anonymous) and
// those that are not NTLMv2-sized. 0 accepted as anonymous, -1 refused, 1
// not such a response.
int unverified(vl2_ntlm_auth *a, const t3_fields &f)
{
    // An anonymous logon carries no response to protect, whatever its flags
    // say; clients commonly send it with NTLM set and extended security clear.
    if (f.ntlen == 0) {
        trace("[t3] anonymous (empty NT response)\n");
        a->anonymous = 1;
        // An anonymous client that asked for key exchange signs with the key
        // it sent, encrypted under the all-zero session base key.
        if ((f.flags & F_KEY_EXCH) && f.ersk && f.ersklen == 16) decrypt_session_key(f.ersk, ZERO_KEY, a->key);
        return 0;
    }
    // NTLMv1 and NTLM2-session responses (24 bytes) are never verified; where
    // guests are admitted they are guests, whatever their flags.
    if (f.ntlen < NT_MIN || f.ntlen > NT_MAX) {
        if (a->guest_ok) {
            trace("[t3] short blob -> guest\n");
            a->anonymous = 1;
            return 0;
        }
        trace("[t3] ntlen %u\n", (unsigned)f.ntlen);
        return -1;
    }
    return 1;
}

}  // namespace

int vl2_ntlm_user(const uint8_t *msg, size_t len, char *out, int cap)
{
    vl2_rd c;
    if (len < 44 || !out || cap < 1 || message_type(msg, len, &c) != 3) return -1;
    rd_skip(&c, 24);  // to UserNameFields
    const uint8_t *usr = nullptr;
    size_t usrlen = 0;
    field(&c, &usr, &usrlen);
    out[0] = 0;
    if (usrlen == 0) return 0;
    return usr && vl2_utf16_to_utf8(usr, usrlen, out, cap) >= 0 ? 0 : -1;
}

int vl2_ntlm_type1(const uint8_t *msg, size_t len, uint32_t *flags)
{
    vl2_rd c;
    if (len < 16 || message_type(msg, len, &c) != 1) return -1;
    uint32_t f = rd_u32(&c);
    if (c.bad) return -1;
    if (flags) *flags = f;
    return 0;
}

int vl2_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t now, vl2_buf *b, uint32_t client_flags)
{
    char cut[61];
    uint8_t name[160];
    int nb = 0;
    if (server_name16(server_name, cut, name, &nb) != 0) return -1;
    const size_t B = (size_t)nb;
    const bool target = (client_flags & VL2_NTLM_REQUEST_TARGET) != 0;
    const bool version = (client_flags & VL2_NTLM_VERSION) != 0;
    uint32_t flags = CHALLENGE_FLAGS | (client_flags & ANSWERED);
    // Key exchange is offered only to a client that asked for it: one that
    // did not still sends an encrypted key when offered it, but leaves the
    // flag out of its AUTHENTICATE, so the two sides would sign and seal
    // with different keys.
    if (client_flags != 0 && !(client_flags & F_KEY_EXCH)) flags &= ~F_KEY_EXCH;
    if (target) flags |= VL2_NTLM_REQUEST_TARGET | F_TARGET_TYPE_SERVER;
    uint8_t m[80 + 3 * sizeof name];
    memset(m, 0, sizeof m);
    memcpy(m, SIGNATURE, 8);
    vl2_put32(m + 8, 2);
    // 12: TargetNameFields, filled below when a target name was asked for.
    vl2_put32(m + 20, flags);
    memcpy(m + 24, challenge, 8);
    // 32: Reserved.
    const size_t info_len = 2 * B + 24;
    vl2_put16(m + 40, (uint16_t)info_len);
    vl2_put16(m + 42, (uint16_t)info_len);
    uint8_t *p = m + 48;
    if (version) {
        memcpy(p, VERSION_FIELD, 8);
        p += 8;
    }
    vl2_put32(m + 44, (uint32_t)(p - m));
    vl2_put16(p, AV_NB_DOMAIN);
    vl2_put16(p + 2, (uint16_t)B);
    memcpy(p + 4, name, B);
    p += 4 + B;
    vl2_put16(p, AV_NB_COMPUTER);
    vl2_put16(p + 2, (uint16_t)B);
    memcpy(p + 4, name, B);
    p += 4 + B;
    vl2_put16(p, AV_TIMESTAMP);
    vl2_put16(p + 2, 8);
    vl2_put64(p + 4, vl2_filetime(now));
    p += 12;
    // MsvAvEOL: four zero bytes already there.
    p += 4;
    // A standalone server names itself (MS-NLMP: REQUEST_TARGET MUST be
    // answered with a TargetName); it follows the target information so
    // that the fixed layout above stays where it is.
    if (target) {
        vl2_put16(m + 12, (uint16_t)B);
        vl2_put16(m + 14, (uint16_t)B);
        vl2_put32(m + 16, (uint32_t)(p - m));
        memcpy(p, name, B);
        p += B;
    }
    vl2_buf_put(b, m, (uint64_t)(p - m));
    return 0;
}

void vl2_ntlm_hashes_dom(const char *user, const char *domain, const char *password, uint8_t nthash[16],
                         uint8_t ntowfv2[16])
{
    char u[129], d[129];
    snprintf(u, sizeof u, "%s", user ? user : "");
    snprintf(d, sizeof d, "%s", domain ? domain : "");
    uint8_t pw[514];
    int pwlen = 0;
    if (vl2_utf8_to_utf16le(password ? password : "", pw, sizeof pw, &pwlen) != 0) {
        memset(nthash, 0, 16);
        memset(ntowfv2, 0, 16);
        vl2_wipe(pw, sizeof pw);
        return;
    }
    vl2_md4(pw, (size_t)pwlen, nthash);
    vl2_wipe(pw, sizeof pw);

    uint8_t ud[264];
    int ulen = 0, dlen = 0;
    if (vl2_utf8_to_utf16le(u, ud, sizeof ud, &ulen) != 0) ulen = 0;
    // Clients upper-case the user name (not the domain) unit by unit.
    vl2_ntlm_upcase16le(ud, (size_t)ulen);
    if (vl2_utf8_to_utf16le(d, ud + ulen, (int)sizeof ud - ulen, &dlen) != 0) dlen = 0;
    vl2_hmacmd5(nthash, 16, ud, (size_t)(ulen + dlen), ntowfv2);
}

void vl2_ntlm_hashes(const char *user, const char *password, uint8_t nthash[16], uint8_t ntowfv2[16])
{
    vl2_ntlm_hashes_dom(user, "", password, nthash, ntowfv2);
}

int vl2_ntlm_type3(vl2_ntlm_auth *a)
{
    a->anonymous = 0;
    a->proof_tried = 0;
    a->mic = 0;
    a->flags = 0;
    memset(a->key, 0, 16);
    const char *user = a->user ? a->user : "";
    const char *password = a->password ? a->password : "";
    t3_fields f;
    if (read_fields(a->msg, a->len, &f) != 0) return -1;
    a->flags = f.flags;
    const int early = unverified(a, f);
    if (early != 1) return early;
    if ((f.flags & F_NTLM) && !(f.flags & F_ESS)) {
        trace("[t3] ntonly flags=%08x\n", f.flags);
        return -1;
    }
    if ((f.flags & F_KEY_EXCH) && (!f.ersk || f.ersklen != 16)) return -1;
    const uint8_t *blob = f.nt + 16;
    const size_t blen = f.ntlen - 16;
    uint32_t avflags = 0;
    if (blob_checks(blob, blen, a->now, a->timecheck, &avflags) != 0) return -1;
    // The MIC sits after the Version field; a message too short to hold it
    // cannot carry the MIC it announces.
    if ((avflags & AV_FLAG_MIC) && a->len < MIC_AT + 16) return -1;
    char wire[129] = "";
    if (f.usrlen && (!f.usr || vl2_utf16_to_utf8(f.usr, f.usrlen, wire, sizeof wire) < 0)) return -1;
    // Name test last among the checks, first before any hashing: a refused
    // message is refused alike for every name, and in the account loop only
    // the matching account pays for hashing.
    if (user[0] && !same_user(user, f.usr, f.usrlen, wire)) {
        if (tracing()) {
            char ew[4 * 129], eu[4 * 129];
            vl2_escape(wire, ew, sizeof ew);
            vl2_escape(user, eu, sizeof eu);
            trace("[t3] user mismatch wire='%s' want='%s'\n", ew, eu);
        }
        return 1;
    }
    a->proof_tried = 1;
    uint8_t base[16];
    if (!proof_holds(a->challenge, f, blob, blen, user, password, base)) {
        if (tracing()) {
            char ew[4 * 129];
            vl2_escape(wire, ew, sizeof ew);
            trace("[t3] proof MISMATCH user='%s'\n", ew);
        }
        return 1;
    }
    if (f.flags & F_KEY_EXCH)
        decrypt_session_key(f.ersk, base, a->key);
    else
        memcpy(a->key, base, 16);
    vl2_wipe(base, sizeof base);
    if (avflags & AV_FLAG_MIC) {
        if (!mic_holds(a)) {
            if (tracing()) {
                char ew[4 * 129];
                vl2_escape(wire, ew, sizeof ew);
                trace("[t3] mic MISMATCH user='%s'\n", ew);
            }
            memset(a->key, 0, 16);
            return 1;
        }
        a->mic = 1;
    }
    return 0;
}

void vl2_ntlm_keep(vl2_ntlm_kept *k, const uint8_t *p, size_t len)
{
    k->lost = len > sizeof k->data;
    k->len = k->lost ? 0 : len;
    if (k->len) memcpy(k->data, p, len);
}

void vl2_ntlm_dir_init(vl2_ntlm_dir *d, const uint8_t key[16], uint32_t flags, int server_to_client)
{
    const char *sign = server_to_client ? "session key to server-to-client signing key magic constant"
                                        : "session key to client-to-server signing key magic constant";
    const char *seal = server_to_client ? "session key to server-to-client sealing key magic constant"
                                        : "session key to client-to-server sealing key magic constant";
    magic_key(key, 16, sign, d->sign_key);
    magic_key(key, (flags & F_128) ? 16 : (flags & F_56) ? 7 : 5, seal, d->seal_key);
    vl2_rc4_init(&d->seal, d->seal_key, 16);
    d->seq = 0;
}

void vl2_ntlm_mac(vl2_ntlm_dir *d, uint32_t flags, const uint8_t *msg, size_t len, uint8_t sig[16])
{
    uint8_t seq[4];
    vl2_put32(seq, d->seq);
    vl2_hmacmd5_ctx h;
    vl2_hmacmd5_init(&h, d->sign_key, 16);
    vl2_hmacmd5_update(&h, seq, 4);
    vl2_hmacmd5_update(&h, msg, len);
    uint8_t full[16];
    vl2_hmacmd5_final(&h, full);
    vl2_wipe(&h, sizeof h);
    if (flags & F_KEY_EXCH) vl2_rc4(&d->seal, full, 8);
    vl2_put32(sig, 1);
    memcpy(sig + 4, full, 8);
    memcpy(sig + 12, seq, 4);
    d->seq++;
}
