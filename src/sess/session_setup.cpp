// SESSION_SETUP (NTLM in SPNEGO or raw, guest or configured accounts) and
// LOGOFF.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "crypto/crypto.h"
#include "net/net.h"
#include "ntlm/ntlm.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int MAX_ACCOUNTS = 256;
const uint8_t NTLM_SIG[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

int64_t clock_time(const vl2_sess *s) { return s->opts.clock ? s->opts.clock : vl2_unix_now(); }

// SessionId from the peer and the clock: reproducible under a fixed clock,
// always odd so it is never 0.
uint64_t make_session_id(const vl2_sess *s, int64_t t)
{
    uint64_t seed = vl2_fnv1a64(s->peer_text, strlen(s->peer_text), VL2_FNV_BASIS);
    seed ^= (uint64_t)(int64_t)s->trace_id;
    uint8_t tb[8];
    vl2_put64(tb, (uint64_t)t);
    return vl2_fnv1a64(tb, 8, seed) | 1u;
}

// Failures count against the client's address. A simulated conversation,
// or one without an address, has none to hold them against.
bool throttled_peer(const vl2_sess *s) { return !s->offline && s->peer.family != 0; }

void trace_head(vl2_sess *s, unsigned ssz, unsigned boff, unsigned blen, const uint8_t *blob)
{
    if (!s->trace)
        return;
    int raw = blen > 8 && memcmp(blob, NTLM_SIG, 8) == 0;
    char hex[24 * 2 + 1];
    size_t k = blen < 24 ? blen : 24;
    for (size_t i = 0; i < k; i++)
        snprintf(hex + 2 * i, 3, "%02x", blob[i]);
    hex[2 * k] = 0;
    sess_trace(s, "[sess] ssz=%u boff=%u blen=%u in_blob=%s head=%s\n", ssz, boff, blen,
               raw ? "RAW-NTLM" : "spnego/other", hex);
}

// The final SUCCESS is signed whenever either side requires signing, so the
// client can trust the session it has just set up. A client that requires
// signing here holds the session to it from now on, as if it had said so
// in its NEGOTIATE.
void sign_if_required(vl2_sess *s, uint8_t req_secmode)
{
    if (req_secmode & 0x02)
        s->client_sign_required = 1;
    if (s->sign_required || s->client_sign_required)
        s->sign_this = 1;
}

// 1 with the key when the AUTHENTICATE's proof holds for this account.
bool proof_key(vl2_sess *s, const uint8_t *tok, size_t toklen, const char *user, const char *pass, uint8_t key[16])
{
    uint8_t k[16];
    int anon = 0;
    bool ok = vl2_ntlm_type3(tok, toklen, s->challenge, s->opts.server_name, clock_time(s), s->opts.ntlm_timecheck,
                             user, pass, &anon, k) == 0 && !anon;
    if (ok) memcpy(key, k, 16);
    vl2_wipe(k, sizeof k);
    return ok;
}

// A guest's client signs with the key of the proof it made, and a client
// that requires signing checks ours with it. When that proof can be
// verified, take its key: a named guest with an empty password (smbclient
// -U guest%), or a configured account's own password while guests are on
// (every logon is then a guest logon). Otherwise the key stays as it is.
void guest_key(vl2_sess *s, const uint8_t *tok, size_t toklen, uint8_t key[16])
{
    char who[129];
    if (vl2_ntlm_user(tok, toklen, who, sizeof who) != 0 || !who[0]) return;
    if (proof_key(s, tok, toklen, who, "", key)) return;
    char name[129];
    char pass[257];
    for (int i = 0; i < MAX_ACCOUNTS; i++) {
        if (vl2_user_at(i, name, sizeof name, pass, sizeof pass) != 0 || name[0] == 0) break;
        bool ok = proof_key(s, tok, toklen, name, pass, key);
        vl2_wipe(pass, sizeof pass);
        if (ok) return;
    }
}

void log_logon(const vl2_sess *s)
{
    char detail[64];
    snprintf(detail, sizeof detail, "ok%s, dialect %s, %s", s->is_guest ? " as guest" : "",
             s->dialect == 0x0202 ? "2.0.2" : "2.1", s->sign_this ? "signed" : "unsigned");
    vl2_log_event(VL2_LOG_CONNECTIONS, 6, "logon", s->peer_text, s->user, nullptr, nullptr, -1, detail);
}

} // namespace

void session_setup_ok_body(vl2_sess *s, vl2_reply *r, int guest, int more, int raw)
{
    int64_t t = clock_time(s);
    if (!more) {
        s->authenticated = 1;
        s->is_guest = guest ? 1 : 0;
    }
    if (s->session_id == 0) {
        s->session_id = make_session_id(s, t);
        vl2_put64(rep_hdr(r) + 40, s->session_id);
    }
    rep_status(r, more ? ST_MORE_PROCESSING_REQUIRED : ST_SUCCESS);
    vl2_stat_add(guest ? VL2_ST_GUEST_SESSIONS : VL2_ST_SESSIONS, 1);
    if (s->sign_required)
        vl2_stat_add(VL2_ST_SIGN_REQUIRED_SESSIONS, 1);

    vl2_buf tok{};
    if (more) {
        vl2_buf ch{};
        vl2_ntlm_type2(s->opts.server_name, s->challenge, t, &ch);
        if (raw)
            vl2_buf_put(&tok, ch.data, ch.len);
        else
            vl2_spnego_resp(ch.data, ch.len, &tok);
        vl2_buf_free(&ch);
    } else if (!raw) {
        vl2_spnego_done(&tok);
    }
    vl2_buf *b = &r->b;
    w16(b, 9);
    w16(b, guest ? 0x0001 : 0);
    w16(b, 72);
    w16(b, (uint16_t)tok.len);
    if (tok.len)
        vl2_buf_put(b, tok.data, tok.len);
    vl2_buf_free(&tok);
}

void session_setup_fail_body(vl2_sess *s, vl2_reply *r, uint32_t status)
{
    if (throttled_peer(s))
        vl2_logon_failed(&s->peer, vl2_now_ms());
    vl2_stat_add(VL2_ST_LOGON_FAILED, 1);
    vl2_log_event(VL2_LOG_CONNECTIONS, 4, "logon", s->peer_text, s->user, nullptr, nullptr, -1, "failed");
    rep_status(r, 0xC0000000u | (status & 0xFFu));
    const uint8_t body[8] = {9, 0, 0, 0, 0, 0, 0, 0};
    vl2_buf_put(&r->b, body, sizeof body);
    s->login_failures++;
    if (s->login_failures >= s->opts.max_login_failures)
        s->closing = 1;
}

void cmd_session_setup(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    const uint64_t sid = vl2_le64(rep_hdr(r) + 40);
    const uint32_t tid = vl2_le32(rep_hdr(r) + 36);
    uint16_t ssz = rd_u16(rd);
    if (rd->bad || (ssz != 25 && ssz != 26)) {
        err_reply(s, r, CMD_SESSION_SETUP, ST_INVALID_PARAMETER, sid, tid);
        return;
    }
    rd_u8(rd);                     // Flags
    uint8_t secmode = rd_u8(rd);
    rd_u32(rd);                    // Capabilities
    rd_u32(rd);                    // Channel
    uint16_t boff = rd_u16(rd);
    uint16_t blen = rd_u16(rd);
    rd_u64(rd);                    // PreviousSessionId
    if (rd->bad) {
        err_reply(s, r, CMD_SESSION_SETUP, ST_INVALID_PARAMETER, sid, tid);
        return;
    }
    if (s->authenticated) {
        err_reply(s, r, CMD_SESSION_SETUP, ST_REQUEST_NOT_ACCEPTED, sid, tid);
        return;
    }
    const uint8_t *blob = rd_region(rd, boff, blen);
    if (!blob) {
        err_reply(s, r, CMD_SESSION_SETUP, ST_INVALID_PARAMETER, sid, tid);
        return;
    }
    trace_head(s, ssz, boff, blen, blob);

    const uint8_t *tok = nullptr;
    size_t toklen = 0;
    int raw = 0;
    if (vl2_spnego_init(blob, blen, &tok, &toklen, &raw) != 0) {
        session_setup_fail_body(s, r, ST_LOGON_FAILURE);
        return;
    }
    if (!tok || toklen == 0) {
        session_setup_ok_body(s, r, 0, 1, raw);
        return;
    }
    if (toklen < 8 || memcmp(tok, NTLM_SIG, 8) != 0) {
        session_setup_fail_body(s, r, ST_LOGON_FAILURE);
        return;
    }
    uint32_t type = toklen >= 12 ? vl2_le32(tok + 8) : 0;
    if (type == 1) {
        session_setup_ok_body(s, r, 0, 1, raw);
        return;
    }
    if (type != 3) {
        session_setup_fail_body(s, r, ST_INVALID_PARAMETER);
        return;
    }
    if (vl2_ntlm_user(tok, toklen, s->user, sizeof s->user) != 0) s->user[0] = 0;

    // Guessing from an address with many recent failures is refused before
    // any proof is checked.
    if (throttled_peer(s) && vl2_logon_blocked(&s->peer, vl2_now_ms())) {
        session_setup_fail_body(s, r, ST_LOGON_FAILURE);
        return;
    }

    uint8_t key[16];
    int anon = 0;
    if (vl2_guest_allowed() && !(s->opts.signing == 1 && s->client_sign_required)) {
        int rc = vl2_ntlm_type3(tok, toklen, s->challenge, s->opts.server_name, clock_time(s),
                                s->opts.ntlm_timecheck, "", "", &anon, key);
        if (rc == -1) {
            vl2_wipe(key, sizeof key);
            session_setup_fail_body(s, r, ST_INVALID_PARAMETER);
            return;
        }
        if (rc == 1)
            guest_key(s, tok, toklen, key);
        memcpy(s->signing_key, key, 16);
        vl2_wipe(key, sizeof key);
        session_setup_ok_body(s, r, 1, 0, raw);
        sign_if_required(s, secmode);
        log_logon(s);
        return;
    }

    char name[129];
    char pass[257];
    for (int i = 0; i < MAX_ACCOUNTS; i++) {
        if (vl2_user_at(i, name, sizeof name, pass, sizeof pass) != 0 || name[0] == 0)
            break;
        int rc = vl2_ntlm_type3(tok, toklen, s->challenge, s->opts.server_name, clock_time(s),
                                s->opts.ntlm_timecheck, name, pass, &anon, key);
        vl2_wipe(pass, sizeof pass);
        if (rc == -1) {
            vl2_wipe(key, sizeof key);
            session_setup_fail_body(s, r, ST_INVALID_PARAMETER);
            return;
        }
        if (rc == 0 && !anon) {
            memcpy(s->signing_key, key, 16);
            vl2_wipe(key, sizeof key);
            // The key itself never goes to the trace: it would let a reader
            // sign requests on this session.
            sess_trace(s, "[sess] account logon\n");
            session_setup_ok_body(s, r, 0, 0, raw);
            sign_if_required(s, secmode);
            log_logon(s);
            return;
        }
        if (rc == 0)
            break; // nothing was proven: no account logs on that way
    }
    vl2_wipe(pass, sizeof pass);
    vl2_wipe(key, sizeof key);
    session_setup_fail_body(s, r, ST_LOGON_FAILURE);
}

void cmd_logoff(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);
    sess_release_trees(s);
    sess_release_opens(s);
    s->authenticated = 0;
    s->is_guest = 0;
    s->session_id = 0;
    rep_status(r, ST_SUCCESS);
    w32(&r->b, 4);
}
