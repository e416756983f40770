// NEGOTIATE in its SMB2 form and the SMB1 multi-protocol form: dialect
// choice, transfer sizes, signing policy, server GUID, NTLM challenge and
// the first security token.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "ntlm/ntlm.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

constexpr uint16_t D202 = 0x0202, D210 = 0x0210;

// Token of the VLSMB2S_SAMBA_TOKEN switch (without its hint name): a
// NegTokenInit2 without mechToken, for comparing client behaviour.
const uint8_t samba_tok[] = {0x60, 0x48, 0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02, 0xa0, 0x3e, 0x30,
                              0x3c, 0xa0, 0x0e, 0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82,
                              0x37, 0x02, 0x02, 0x0a, 0xa3, 0x2a, 0x30, 0x28, 0xa0, 0x26, 0x1b, 0x24};

// A token with a 4-byte dummy mechToken whose outer length octets are
// deliberately not recomputed for it (tests how clients cope).
const uint8_t SHORT_HEAD[] = {0x60, 0x4c, 0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02, 0xa0, 0x3e,
                              0x30, 0x3c, 0xa0, 0x0e, 0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04,
                              0x01, 0x82, 0x37, 0x02, 0x02, 0x0a, 0xa2, 0x06, 0x04, 0x04, 0x01, 0x02,
                              0x03, 0x04, 0xa3, 0x2a, 0x30, 0x28, 0xa0, 0x26, 0x1b, 0x24};


// 8 unpredictable bytes; 0, or -1 when the system has no source at all.
int random8(uint8_t out[8])
{
    size_t got = 0;
    while (got < 8) {
        ssize_t n = getrandom(out + got, 8 - got, 0);
        if (n > 0) {
            got += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    if (got == 8)
        return 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    got = 0;
    while (got < 8) {
        ssize_t n = read(fd, out + got, 8 - got);
        if (n > 0)
            got += (size_t)n;
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    close(fd);
    return got == 8 ? 0 : -1;
}

// Server GUID seed and NTLM challenge. With a fixed clock the challenge is
// derived from the server name and that second so runs are reproducible;
// on the system clock it must be unpredictable, or a recorded exchange
// could be replayed against the next connection in the same second.
void make_challenge(vl2_sess *s, const vl2_opts *fresh, int64_t t)
{
    uint64_t g = vl2_fnv1a64(fresh->server_name, strlen(fresh->server_name), VL2_FNV_BASIS);
    s->guid_seed = g;
    if (s->opts.clock == 0 && random8(s->challenge) == 0)
        return;
    uint8_t tb[8];
    vl2_put64(tb, (uint64_t)t);
    uint64_t h = vl2_fnv1a64(tb, 8, g);
    if (s->opts.clock == 0)
        h ^= vl2_now_ms() * 0x9E3779B97F4A7C15ULL; // last resort without a random source
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
    w32(b, s->large_mtu ? 4u : 0u);
    w32(b, max_transact);
    w32(b, (uint32_t)s->max_read);
    w32(b, (uint32_t)s->max_write);
    w64(b, vl2_filetime(t));
    w64(b, 0);
    w16(b, 128);
    w16(b, (uint16_t)tok->len);
    w32(b, 0);
    if (tok->len)
        vl2_buf_put(b, tok->data, tok->len);
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
        vl2_buf_put(tok, samba_tok, sizeof samba_tok);
        vl2_buf_put(tok, vl2_spnego_hint, strlen(vl2_spnego_hint));
    } else {
        vl2_spnego_init_tok_nomect(tok);
    }
}

// Scans one candidate position of the dialect list. Returns 1 when every
// value was plausible (best filled in), 0 otherwise; 3.x values mark is31.
int scan_at(vl2_sess *s, vl2_rd *rd, size_t c, unsigned count, uint16_t *best, int *is31)
{
    const uint8_t *p = rd_region(rd, SMB2_HDR + c, 2ull * count);
    *best = 0;
    if (!p)
        return 0;
    for (unsigned i = 0; i < count; i++) {
        uint16_t v = vl2_le16(p + 2 * i);
        if (v < 0x0200 || v > 0x03FF) {
            sess_trace(s, "[nego] cand@%zu plausible=%d got=%x\n", c, 0, (unsigned)*best);
            return 0;
        }
        if ((v == D202 || v == D210) && v > *best)
            *best = v;
        else if (v >= 0x0300)
            *is31 = 1;
    }
    sess_trace(s, "[nego] cand@%zu plausible=%d got=%x\n", c, 1, (unsigned)*best);
    return 1;
}

} // namespace

int64_t clock_time(const vl2_sess *s) { return s->opts.clock ? s->opts.clock : vl2_unix_now(); }

void negotiate_seed(vl2_sess *s)
{
    s->sign_required = s->opts.signing == 1;
    make_challenge(s, &s->opts, clock_time(s));
}

uint32_t cmd_negotiate(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    const size_t n = rd->size;
    uint16_t ssz = rd_u16(rd);
    uint16_t count = rd_u16(rd);
    uint16_t secmode = rd_u16(rd);
    rd_u16(rd);
    if (ssz > 36)
        rd_skip(rd, 4);
    rd_u32(rd);  // Capabilities: only 3.x clients fill them in
    rd_skip(rd, 16);
    sess_trace(s, "[nego] ssz=%u scount=%u (off-base)\n", (unsigned)ssz, (unsigned)count);
    if (rd->bad || count < 1 || count > 32 || ssz != 36) {
        return fail(s, r, ST_INVALID_PARAMETER);
    }

    // Some clients put the list elsewhere; try the end of the frame first.
    size_t cand[5];
    size_t ncand = 0;
    if (n >= 2u * count)
        cand[ncand++] = n - 2u * count;
    static const size_t fixed[] = {36, 34, 32, 28};
    for (size_t c : fixed)
        cand[ncand++] = c;
    sess_trace(s, "[nego] ncand=%zu rq.n=%zu\n", ncand, n);
    uint16_t best = 0;
    int is31 = 0;
    for (size_t k = 0; k < ncand; k++) {
        if (cand[k] + 2u * count > n)
            continue;
        uint16_t b = 0;
        if (scan_at(s, rd, cand[k], count, &b, &is31) && b) {
            best = b;
            break;
        }
    }
    sess_trace(s, "[nego] best=%llx is31=%d\n", (unsigned long long)best, is31);
    if (!best) {
        int contexts = n >= 64 && vl2_le16(rd->data + 28) != 0;
        return fail(s, r, is31 && !contexts ? ST_INVALID_PARAMETER : ST_NOT_SUPPORTED);
    }

    s->dialect = best;
    s->negotiated = 1;
    s->nego_final = 1;
    s->client_sign_required = (secmode & 0x0002) != 0;
    // Large transfers come with 2.1 itself: a client sends Capabilities only
    // for the 3.x dialects, so a 2.1-only client (smbclient -m SMB2_10) never
    // offers the bit and would be held to 64 KiB reads.
    s->large_mtu = best == D210;
    s->max_read = s->max_write = s->large_mtu ? 1048576u : 65536u;
    vl2_stat_add(VL2_ST_NEGOTIATE, 1);

    vl2_opts fresh;
    vl2_opts_get(&fresh);
    s->sign_required = fresh.signing == 1;
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
    put_body(s, r, security_mode(s), best == D210 ? 1048576u : 65536u, t, &tok);
    vl2_buf_free(&tok);
    vl2_buf_free(&ch);
    return ST_SUCCESS;
}

namespace {

int has_at(const uint8_t *frame, size_t len, const char *what)
{
    const size_t m = 9;
    for (size_t i = 1; i + m <= len; i++)
        if (memcmp(frame + i, what, m) == 0)
            return 1;
    return 0;
}

} // namespace

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
    if (!two && !any) {
        vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
        err_reply(s, r, CMD_NEGOTIATE, ST_NOT_SUPPORTED, 0, 0);
        *send = 1;
        return;
    }
    s->dialect = any ? D210 : D202;
    s->negotiated = 1;
    // Only the wildcard answer leaves an SMB2 NEGOTIATE to follow.
    s->nego_final = !any;
    s->client_sign_required = 0;
    s->large_mtu = 0;
    s->max_read = s->max_write = 65536;
    vl2_opts fresh;
    vl2_opts_get(&fresh);
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
