// NEGOTIATE in its SMB2 form and the SMB1 multi-protocol form: dialect
// choice, transfer sizes, signing policy, server GUID, NTLM challenge and
// the first security token.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "crypto/crypto.h"
#include "ntlm/ntlm.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

constexpr uint16_t D202 = 0x0202, D210 = 0x0210, D300 = 0x0300, D302 = 0x0302, D311 = 0x0311;
constexpr uint16_t D2FF = 0x02FF;  // "more follows": the SMB1 form's answer when 2.1 or 3.x may be chosen
constexpr uint32_t CAP_LARGE_MTU = 0x04, CAP_ENCRYPTION = 0x40;

// Token of the VLSMB2S_SAMBA_TOKEN switch (without its hint name): a
// NegTokenInit2 without mechToken, for comparing client behaviour.
const uint8_t SAMBA_TOKEN[] = {0x60, 0x48, 0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02, 0xa0, 0x3e, 0x30,
                               0x3c, 0xa0, 0x0e, 0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82,
                               0x37, 0x02, 0x02, 0x0a, 0xa3, 0x2a, 0x30, 0x28, 0xa0, 0x26, 0x1b, 0x24};

// A token with a 4-byte dummy mechToken whose outer length octets are
// deliberately not recomputed for it (tests how clients cope).
const uint8_t SHORT_HEAD[] = {0x60, 0x4c, 0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02, 0xa0, 0x3e,
                              0x30, 0x3c, 0xa0, 0x0e, 0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04,
                              0x01, 0x82, 0x37, 0x02, 0x02, 0x0a, 0xa2, 0x06, 0x04, 0x04, 0x01, 0x02,
                              0x03, 0x04, 0xa3, 0x2a, 0x30, 0x28, 0xa0, 0x26, 0x1b, 0x24};

// n unpredictable bytes; 0, or -1 when the system has no source at all.
int random_bytes(uint8_t *out, size_t want)
{
    size_t got = 0;
    while (got < want) {
        ssize_t n = getrandom(out + got, want - got, 0);
        if (n > 0) {
            got += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    if (got == want) return 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    got = 0;
    while (got < want) {
        ssize_t n = read(fd, out + got, want - got);
        if (n > 0)
            got += (size_t)n;
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    close(fd);
    return got == want ? 0 : -1;
}

// Server GUID seed and NTLM challenge. With a fixed clock the challenge is
// derived from the server name and that second so runs are reproducible;
// on the system clock it must be unpredictable, or a recorded exchange
// could be replayed against the next connection in the same second.
void make_challenge(vl2_sess *s, const vl2_opts *fresh, int64_t t)
{
    uint64_t g = vl2_fnv1a64(fresh->server_name, strlen(fresh->server_name), VL2_FNV_BASIS);
    s->guid_seed = g;
    if (s->opts.clock == 0 && random_bytes(s->challenge, 8) == 0) return;
    uint8_t tb[8];
    vl2_put64(tb, (uint64_t)t);
    uint64_t h = vl2_fnv1a64(tb, 8, g);
    if (s->opts.clock == 0) h ^= vl2_now_ms() * 0x9E3779B97F4A7C15ULL;  // last resort without a random source
    vl2_put64(s->challenge, g ^ h);
}

// A NEGOTIATE the server cannot answer ends the connection.
uint32_t fail_l(vl2_sess *s, vl2_reply *r, uint32_t status, int line)
{
    vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
    s->closing = 1;
    return rep_fail_l(r, status, FAIL_BODY_ERROR, line);
}
#define fail(s, r, status) fail_l((s), (r), (status), __LINE__)

// Appends the NEGOTIATE response body with its security token.
void put_body(vl2_sess *s, vl2_reply *r, uint16_t secmode, uint32_t max_transact, int64_t t, const vl2_buf *tok)
{
    vl2_buf *b = &r->b;
    w16(b, 65);
    w16(b, secmode);
    w16(b, (uint16_t)s->dialect);
    w16(b, 0);
    put_server_guid(b, s);
    w32(b, s->caps);
    w32(b, max_transact);
    w32(b, (uint32_t)s->max_read);
    w32(b, (uint32_t)s->max_write);
    w64(b, vl2_filetime(t));
    w64(b, 0);
    w16(b, 128);
    w16(b, (uint16_t)tok->len);
    w32(b, 0);
    if (tok->len) vl2_buf_put(b, tok->data, tok->len);
}

// The security token chosen by the test switches in the environment.
void pick_token(const vl2_buf *challenge, vl2_buf *tok)
{
    if (getenv("VLSMB2S_RAW_NTLM_NEGO")) {
        vl2_buf_put(tok, challenge->data, challenge->len);
    } else if (getenv("VLSMB2S_SHORT_MECHTOK")) {
        vl2_buf_put(tok, SHORT_HEAD, sizeof SHORT_HEAD);
        vl2_buf_put(tok, vl2_spnego_hint, strlen(vl2_spnego_hint));
    } else if (getenv("VLSMB2S_EMPTY_MECHTOK")) {
        vl2_spnego_init_tok(nullptr, 0, tok);
    } else if (getenv("VLSMB2S_NO_MECHTOK")) {
        vl2_spnego_init_tok_nomect(tok);
    } else if (getenv("VLSMB2S_SAMBA_TOKEN")) {
        vl2_buf_put(tok, SAMBA_TOKEN, sizeof SAMBA_TOKEN);
        vl2_buf_put(tok, vl2_spnego_hint, strlen(vl2_spnego_hint));
    } else {
        vl2_spnego_init_tok_nomect(tok);
    }
}

// The dialects this server speaks, within the operator's range.
bool dialect_allowed(const vl2_opts *o, uint16_t v)
{
    const bool known = v == D202 || v == D210 || v == D300 || v == D302 || v == D311;
    return known && v >= o->min_protocol && v <= o->max_protocol;
}

// Scans one candidate position of the dialect list. Returns 1 when every
// value was plausible (best filled in), 0 otherwise; 3.x values mark is31.
int scan_at(vl2_sess *s, const vl2_opts *o, vl2_rd *rd, size_t c, unsigned count, uint16_t *best, int *is31)
{
    *best = 0;
    vl2_rd list = *rd;
    if (!rd_region(&list, SMB2_HDR + c, 2ull * count)) return 0;
    list.pos = c;
    for (unsigned i = 0; i < count; i++) {
        uint16_t v = rd_u16(&list);
        if (v < 0x0200 || v > 0x03FF) {
            sess_trace(s, "[nego] cand@%zu plausible=%d got=%x\n", c, 0, (unsigned)*best);
            return 0;
        }
        if (dialect_allowed(o, v) && v > *best) *best = v;
        if (v >= 0x0300) *is31 = 1;
    }
    sess_trace(s, "[nego] cand@%zu plausible=%d got=%x\n", c, 1, (unsigned)*best);
    return 1;
}

constexpr uint16_t CTX_PREAUTH = 1, CTX_ENCRYPTION = 2, CTX_SIGNING = 8;
constexpr uint16_t HASH_SHA512 = 1;
constexpr size_t SALT_LEN = 32;

// What a 3.1.1 client's negotiate contexts asked for.
struct nego_ctx {
    int preauth, encryption, signing;  // how many of each came
    bool sha512;
    int cipher;    // the server's pick of the client's ciphers, 0 none
    int sign_alg;  // the server's pick of the client's signing algorithms, -1 none
};

// Index of v in pref (lower is preferred), or n when absent.
int rank(const uint16_t *pref, int n, uint16_t v)
{
    for (int i = 0; i < n; i++)
        if (pref[i] == v) return i;
    return n;
}

// GCM first: it is the faster mode and the one every 3.1.1 client offers.
// AES-128 before AES-256: ten rounds instead of fourteen, and 128 bits are
// ample for a session key; a client that lists only AES-256 still gets it.
const uint16_t CIPHERS[] = {VL2_AES128_GCM, VL2_AES256_GCM, VL2_AES128_CCM, VL2_AES256_CCM};
// GMAC signs several times faster than CMAC, CMAC faster than HMAC-SHA256.
const uint16_t SIGN_ALGS[] = {SIGN_AES_GMAC, SIGN_AES_CMAC, SIGN_HMAC_SHA256};

// The server's pick of a context's list of 16-bit ids (count first): 0 with
// *pick (or unchanged when none is known), -1 when the list is malformed.
int pick_id(vl2_rd *c, const uint16_t *pref, int n, int *pick)
{
    uint16_t count = rd_u16(c);
    if (c->bad || count == 0) return -1;
    int best = n;
    for (unsigned i = 0; i < count; i++) {
        int k = rank(pref, n, rd_u16(c));
        if (k < best) best = k;
    }
    if (c->bad) return -1;
    if (best < n) *pick = pref[best];
    return 0;
}

// Reads the contexts at (off, count); ST_SUCCESS or the status that
// refuses the NEGOTIATE. Unknown context types are skipped.
uint32_t read_contexts(vl2_rd *rd, uint32_t off, uint16_t count, nego_ctx *x)
{
    *x = {};
    x->sign_alg = -1;
    vl2_rd all = *rd;
    if (count == 0 || !rd_region(&all, off, 0)) return ST_INVALID_PARAMETER;
    uint64_t at = off;  // from the SMB2 header, where the 8-byte alignment counts
    for (unsigned i = 0; i < count; i++) {
        if (i > 0) at = (at + 7) & ~7ull;
        vl2_rd h = all;
        const uint8_t *head = rd_region(&h, at, 8);
        if (!head) return ST_INVALID_PARAMETER;
        h.pos = at - SMB2_HDR;
        uint16_t type = rd_u16(&h), len = rd_u16(&h);
        rd_u32(&h);
        const uint8_t *data = rd_region(&h, at + 8, len);
        if (!data) return ST_INVALID_PARAMETER;
        vl2_rd c = {data, len, 0, 0};
        at += 8ull + len;
        if (type == CTX_PREAUTH) {
            x->preauth++;
            uint16_t hashes = rd_u16(&c), salt = rd_u16(&c);
            if (hashes == 0) return ST_INVALID_PARAMETER;
            for (unsigned k = 0; k < hashes; k++) x->sha512 |= rd_u16(&c) == HASH_SHA512;
            rd_skip(&c, salt);
            if (c.bad) return ST_INVALID_PARAMETER;
        } else if (type == CTX_ENCRYPTION) {
            x->encryption++;
            if (pick_id(&c, CIPHERS, 4, &x->cipher) != 0) return ST_INVALID_PARAMETER;
        } else if (type == CTX_SIGNING) {
            x->signing++;
            if (pick_id(&c, SIGN_ALGS, 3, &x->sign_alg) != 0) return ST_INVALID_PARAMETER;
        }
    }
    if (x->preauth != 1 || x->encryption > 1 || x->signing > 1) return ST_INVALID_PARAMETER;
    if (!x->sha512) return ST_NO_PREAUTH_INTEGRITY_HASH_OVERLAP;
    return ST_SUCCESS;
}

// Pads the response to a multiple of 8 bytes from its header.
void pad8(vl2_buf *b, const vl2_reply *r) { wzero(b, (8 - (b->len - r->hdr) % 8) % 8); }

void put_context(vl2_buf *b, const vl2_reply *r, uint16_t type, const uint8_t *data, uint16_t len)
{
    pad8(b, r);
    w16(b, type);
    w16(b, len);
    w32(b, 0);
    vl2_buf_put(b, data, len);
}

// The salt of our PREAUTH_INTEGRITY answer: random, or under a fixed clock
// derived from the challenge so conversations are reproducible.
void make_salt(const vl2_sess *s, uint8_t salt[SALT_LEN])
{
    if (s->opts.clock == 0 && random_bytes(salt, SALT_LEN) == 0) return;
    uint64_t h = VL2_FNV_BASIS;
    for (size_t i = 0; i < SALT_LEN; i += 8) {
        h = vl2_fnv1a64(s->challenge, 8, h);
        vl2_put64(salt + i, h);
    }
}

// Appends the answering contexts after the security buffer and fills in
// NegotiateContextOffset and NegotiateContextCount.
void put_contexts(vl2_sess *s, vl2_reply *r, const nego_ctx &x)
{
    vl2_buf *b = &r->b;
    const size_t body = r->hdr + SMB2_HDR;
    pad8(b, r);
    const uint64_t first = b->len - r->hdr;
    uint16_t n = 0;
    uint8_t pre[6 + SALT_LEN];
    vl2_put16(pre, 1);
    vl2_put16(pre + 2, SALT_LEN);
    vl2_put16(pre + 4, HASH_SHA512);
    make_salt(s, pre + 6);
    put_context(b, r, CTX_PREAUTH, pre, sizeof pre);
    n++;
    if (x.encryption && s->enc_policy != 0) {
        uint8_t enc[4];
        vl2_put16(enc, 1);
        vl2_put16(enc + 2, (uint16_t)s->cipher);
        put_context(b, r, CTX_ENCRYPTION, enc, sizeof enc);
        n++;
    }
    if (x.signing && x.sign_alg >= 0) {
        uint8_t sig[4];
        vl2_put16(sig, 1);
        vl2_put16(sig + 2, (uint16_t)x.sign_alg);
        put_context(b, r, CTX_SIGNING, sig, sizeof sig);
        n++;
    }
    if (b->failed) return;
    vl2_put16(b->data + body + 6, n);
    vl2_put32(b->data + body + 60, (uint32_t)first);
}

}  // namespace

void preauth_chain(uint8_t h[64], const uint8_t *msg, size_t n)
{
    // libcrypto failing leaves the hash as it was: the keys then differ
    // from the client's and its first signed request is refused.
    (void)vl2_sha512_chain(h, msg, n);
}

bool negotiate_validates(const vl2_sess *s, const uint8_t *in, size_t n)
{
    vl2_rd rd = {in, n, 0, 0};
    const uint32_t caps = rd_u32(&rd);
    uint8_t guid[16];
    for (uint8_t &g : guid) g = rd_u8(&rd);
    const uint16_t secmode = rd_u16(&rd);
    const uint16_t count = rd_u16(&rd);
    vl2_opts o;
    vl2_opts_get(&o);
    uint16_t best = 0;
    for (unsigned i = 0; i < count && !rd.bad; i++) {
        const uint16_t v = rd_u16(&rd);
        if (dialect_allowed(&o, v) && v > best) best = v;
    }
    return !rd.bad && count > 0 && caps == s->client_caps && secmode == s->client_secmode &&
           memcmp(guid, s->client_guid, sizeof guid) == 0 && best == s->dialect;
}

int64_t clock_time(const vl2_sess *s) { return s->opts.clock ? s->opts.clock : vl2_unix_now(); }

void negotiate_seed(vl2_sess *s)
{
    s->sign_required = s->opts.signing == 1;
    make_challenge(s, &s->opts, clock_time(s));
}

namespace {

// The dialect list: some clients put it elsewhere than the body says, so
// the end of the frame is tried first, then the fixed places. The highest
// dialect both sides allow, or 0; is31 tells whether 3.1.1 was offered.
uint16_t pick_dialect(vl2_sess *s, const vl2_opts *fresh, vl2_rd *rd, uint16_t count, int *is31)
{
    const size_t n = rd->size;
    size_t cand[5];
    size_t ncand = 0;
    if (n >= 2u * count) cand[ncand++] = n - 2u * count;
    static const size_t FIXED[] = {36, 34, 32, 28};
    for (size_t c : FIXED) cand[ncand++] = c;
    sess_trace(s, "[nego] ncand=%zu rq.n=%zu\n", ncand, n);
    for (size_t k = 0; k < ncand; k++) {
        if (cand[k] + 2u * count > n) continue;
        uint16_t b = 0;
        if (scan_at(s, fresh, rd, cand[k], count, &b, is31) && b) return b;
    }
    return 0;
}

// What the NEGOTIATE settles for the connection: dialect, transfer sizes,
// capabilities, cipher and signing algorithm.
void settle(vl2_sess *s, const vl2_opts *fresh, uint16_t best, uint16_t secmode, uint32_t client_caps, vl2_rd guid,
            const nego_ctx &x)
{
    s->dialect = best;
    s->negotiated = 1;
    s->nego_final = 1;
    s->client_sign_required = (secmode & 0x0002) != 0;
    s->client_caps = client_caps;
    s->client_secmode = secmode;
    for (uint8_t &g : s->client_guid) g = rd_u8(&guid);
    // Large transfers come with 2.1 itself: a client sends Capabilities only
    // for the 3.x dialects, so a 2.1-only client (smbclient -m SMB2_10) never
    // offers the bit and would be held to 64 KiB reads.
    s->large_mtu = best >= D210;
    s->max_read = s->max_write = s->large_mtu ? 1048576u : 65536u;
    s->enc_policy = fresh->encryption;
    s->caps = s->large_mtu ? CAP_LARGE_MTU : 0;
    s->cipher = 0;
    s->sign_alg = best >= D300 ? SIGN_AES_CMAC : SIGN_HMAC_SHA256;
    if (best == D311) {
        if (s->enc_policy != 0) s->cipher = x.cipher;
        if (x.sign_alg >= 0) s->sign_alg = (vl2_sign_alg)x.sign_alg;
    } else if (best >= D300 && s->enc_policy != 0 && (client_caps & CAP_ENCRYPTION)) {
        s->caps |= CAP_ENCRYPTION;
        s->cipher = VL2_AES128_CCM;
    }
    s->sign_required = fresh->signing == 1;
}

}  // namespace

uint32_t cmd_negotiate(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    const size_t n = rd->size;
    uint16_t ssz = rd_u16(rd);
    uint16_t count = rd_u16(rd);
    uint16_t secmode = rd_u16(rd);
    rd_u16(rd);
    if (ssz > 36) rd_skip(rd, 4);
    uint32_t client_caps = rd_u32(rd);  // only 3.x clients fill them in
    vl2_rd guid = *rd;
    rd_skip(rd, 16);
    sess_trace(s, "[nego] ssz=%u scount=%u (off-base)\n", (unsigned)ssz, (unsigned)count);
    if (rd->bad || count < 1 || count > 32 || ssz != 36) {
        return fail(s, r, ST_INVALID_PARAMETER);
    }
    // The 3.1.1 fields after ClientGuid; a short body is judged by the list alone.
    vl2_rd tail = *rd;
    const uint32_t ctx_off = rd_u32(&tail);
    const uint16_t ctx_count = rd_u16(&tail);

    vl2_opts fresh;
    vl2_opts_get(&fresh);
    int is31 = 0;
    const uint16_t best = pick_dialect(s, &fresh, rd, count, &is31);
    sess_trace(s, "[nego] best=%llx is31=%d\n", (unsigned long long)best, is31);
    if (!best) {
        // A server that speaks 2.x only answers a 3.x list without
        // contexts as malformed; one that speaks 3.x knows such lists.
        int contexts = n >= 64 && (ctx_off & 0xFFFF) != 0;
        bool malformed = is31 && !contexts && fresh.max_protocol < D300;
        return fail(s, r, malformed ? ST_INVALID_PARAMETER : ST_NOT_SUPPORTED);
    }
    nego_ctx x{};
    if (best == D311) {
        uint32_t st = read_contexts(rd, ctx_off, ctx_count, &x);
        if (st != ST_SUCCESS) return fail(s, r, st);
    }
    settle(s, &fresh, best, secmode, client_caps, guid, x);
    vl2_stat_add(VL2_ST_NEGOTIATE, 1);

    int64_t t = clock_time(s);
    make_challenge(s, &fresh, t);
    vl2_buf ch{};
    if (vl2_ntlm_type2(s->opts.server_name, s->challenge, t, &ch) != 0 || ch.failed) {
        vl2_buf_free(&ch);
        return rep_fail(r, ST_NOT_SUPPORTED);
    }
    vl2_buf tok{};
    pick_token(&ch, &tok);
    rep_status(r, ST_SUCCESS);
    put_body(s, r, security_mode(s), s->large_mtu ? 1048576u : 65536u, t, &tok);
    vl2_buf_free(&tok);
    vl2_buf_free(&ch);
    if (best == D311) {
        put_contexts(s, r, x);
        // The connection's hash: zeros, then this request, then our answer.
        memset(s->preauth, 0, sizeof s->preauth);
        preauth_chain(s->preauth, r->rq.msg, r->rq.msg_len);
        if (!r->b.failed) preauth_chain(s->preauth, r->b.data + r->hdr, (size_t)(r->b.len - r->hdr));
    }
    return ST_SUCCESS;
}

namespace {

int has_at(const uint8_t *frame, size_t len, const char *what)
{
    const size_t m = 9;
    for (size_t i = 1; i + m <= len; i++)
        if (memcmp(frame + i, what, m) == 0) return 1;
    return 0;
}

}  // namespace

void smb1_negotiate(vl2_sess *s, const uint8_t *frame, size_t len, vl2_reply *r, int *send)
{
    if (s->negotiated) {
        // Only the opening of a connection may be an SMB1 NEGOTIATE.
        vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
        s->closing = 1;
        return;
    }
    int two = 0, any = 0;
    if (len >= 40 && frame[4] == 0x72) {
        two = has_at(frame, len, "SMB 2.002");
        any = has_at(frame, len, "SMB 2.???");
    }
    vl2_opts fresh;
    vl2_opts_get(&fresh);
    // The wildcard asks for an SMB2 NEGOTIATE to follow: 0x02FF says so
    // where 3.x may be chosen, the design's 0x0210 where 2.1 is the top.
    uint16_t answer = 0;
    if (any && fresh.max_protocol >= D300)
        answer = D2FF;
    else if (any && fresh.max_protocol >= D210)
        answer = D210;
    else if (two && fresh.min_protocol == D202)
        answer = D202;
    if (!answer) {
        vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
        err_reply(s, r, CMD_NEGOTIATE, ST_NOT_SUPPORTED, 0, 0);
        *send = 1;
        return;
    }
    s->dialect = answer;
    s->negotiated = 1;
    // Only the wildcard answer leaves an SMB2 NEGOTIATE to follow.
    s->nego_final = answer == D202;
    s->client_sign_required = 0;
    s->large_mtu = 0;
    s->caps = 0;
    s->enc_policy = fresh.encryption;  // "required" refuses this client at logon
    s->max_read = s->max_write = 65536;
    s->sign_required = fresh.signing == 1;
    int64_t t = clock_time(s);
    make_challenge(s, &fresh, t);
    vl2_stat_add(VL2_ST_NEGOTIATE, 1);

    vl2_buf ch{}, tok{};
    vl2_ntlm_type2(s->opts.server_name, s->challenge, t, &ch);
    vl2_spnego_resp(ch.data, ch.len, &tok);
    rep_begin(r, CMD_NEGOTIATE, ST_SUCCESS, 0, 0, 0, 0, 1);
    // A server that requires signing says so here too: a client that stops
    // at this answer would otherwise never sign and be refused later.
    put_body(s, r, security_mode(s), 65536u, t, &tok);
    vl2_buf_free(&tok);
    vl2_buf_free(&ch);
    *send = 1;
}
