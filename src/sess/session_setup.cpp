// SESSION_SETUP (NTLM in SPNEGO or raw, guest or configured accounts) and
// LOGOFF.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "crypto/crypto.h"
#include "ntlm/ntlm.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int MAX_ACCOUNTS = 256;
const uint8_t NTLM_SIG[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

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
    if (!s->trace) return;
    int raw = blen > 8 && memcmp(blob, NTLM_SIG, 8) == 0;
    char hex[24 * 2 + 1];
    size_t k = blen < 24 ? blen : 24;
    for (size_t i = 0; i < k; i++) snprintf(hex + 2 * i, 3, "%02x", blob[i]);
    hex[2 * k] = 0;
    sess_trace(s, "[sess] ssz=%u boff=%u blen=%u in_blob=%s head=%s\n", ssz, boff, blen,
               raw ? "RAW-NTLM" : "spnego/other", hex);
}

// 3.1.1: a logon's hash starts from the connection's when the request
// names no session (a new logon), then takes in every request of it.
void preauth_request(vl2_sess *s, const vl2_reply *r)
{
    vl2_hdr h;
    if (s->dialect != 0x0311 || !r->rq.msg || hdr_parse(r->rq.msg, r->rq.msg_len, &h) != 0) return;
    if (h.sid == 0) memcpy(s->sess_preauth, s->preauth, sizeof s->preauth);
    preauth_chain(s->sess_preauth, r->rq.msg, r->rq.msg_len);
}

// The final SUCCESS is signed whenever either side requires signing, so the
// client can trust the session it has just set up. A client that requires
// signing here holds the session to it from now on, as if it had said so
// in its NEGOTIATE.
void sign_if_required(vl2_sess *s, vl2_reply *r, uint8_t req_secmode)
{
    if (req_secmode & 0x02) s->client_sign_required = 1;
    if (s->sign_required || s->client_sign_required) r->rq.sign = 1;
}

vl2_ntlm_auth auth_for(vl2_sess *s, const uint8_t *tok, size_t toklen, const char *user, const char *pass)
{
    vl2_ntlm_auth a{};
    a.msg = tok;
    a.len = toklen;
    a.challenge = s->challenge;
    a.now = clock_time(s);
    a.timecheck = s->opts.ntlm_timecheck;
    a.user = user;
    a.password = pass;
    a.guest_ok = vl2_guest_allowed();
    a.x = &s->ntlm;
    return a;
}

// 1 with the key when the AUTHENTICATE's proof holds for this account.
bool proof_key(vl2_sess *s, const uint8_t *tok, size_t toklen, const char *user, const char *pass, uint8_t key[16])
{
    vl2_ntlm_auth a = auth_for(s, tok, toklen, user, pass);
    bool ok = vl2_ntlm_type3(&a) == 0 && !a.anonymous;
    if (ok) memcpy(key, a.key, 16);
    vl2_wipe(a.key, sizeof a.key);
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

// 0 with the key when a configured account's proof holds, else -1. A
// refused logon looks the same whatever name it gave: the message checks
// come before the name test, and when no account bore the name one proof
// is computed anyway, so neither the answer nor the time taken tells which
// names exist.
int account_key(vl2_sess *s, const uint8_t *tok, size_t toklen, uint8_t key[16], uint32_t *flags)
{
    char name[129];
    char pass[257];
    bool tried = false;
    int rc = 1;
    for (int i = 0; i < MAX_ACCOUNTS && rc == 1; i++) {
        if (vl2_user_at(i, name, sizeof name, pass, sizeof pass) != 0 || name[0] == 0) break;
        vl2_ntlm_auth a = auth_for(s, tok, toklen, name, pass);
        rc = vl2_ntlm_type3(&a);
        vl2_wipe(pass, sizeof pass);
        tried = tried || a.proof_tried;
        // An anonymous result proves nothing: no account logs on that way.
        bool ok = rc == 0 && !a.anonymous;
        *flags = a.flags;
        if (ok) memcpy(key, a.key, 16);
        vl2_wipe(a.key, sizeof a.key);
        if (ok) return 0;
    }
    if (rc == 1 && !tried) {
        vl2_ntlm_auth a = auth_for(s, tok, toklen, "", "");
        vl2_ntlm_type3(&a);
        vl2_wipe(a.key, sizeof a.key);
    }
    vl2_wipe(pass, sizeof pass);
    return -1;
}

// The key a guest session signs with, or all zero: 0 with the key, -1 when
// the message is refused.
int guest_logon_key(vl2_sess *s, const uint8_t *tok, size_t toklen, uint8_t key[16], uint32_t *flags)
{
    vl2_ntlm_auth a = auth_for(s, tok, toklen, "", "");
    int rc = vl2_ntlm_type3(&a);
    *flags = a.flags;
    memcpy(key, a.key, 16);
    vl2_wipe(a.key, sizeof a.key);
    if (rc == 1) guest_key(s, tok, toklen, key);
    return rc == -1 ? -1 : 0;
}

// The client's SPNEGO mechListMIC, when it sent one over an NTLM exchange
// that negotiated signing, must hold under its client-to-server keys
// (sequence 0, over the DER of the mechTypes it offered); ours, made the
// same way with the server-to-client keys, then goes into the
// accept-completed token. A client that sent none gets none. 0, or -1
// when the client's does not hold. A guest key nobody proved (all zero)
// cannot check anything: the MIC is then neither checked nor sent.
int mech_list_mic(vl2_sess *s, const vl2_spnego_in &in, uint32_t flags, const uint8_t key[16])
{
    static const uint8_t zero[16] = {0};
    s->reply_mic_set = 0;
    if (in.raw || !in.mic || !(flags & VL2_NTLM_SIGN) || !(flags & VL2_NTLM_ESS) || vl2_ct_equal(key, zero, 16))
        return 0;
    const vl2_ntlm_kept &m = s->ntlm.mech_types;
    if (m.lost || m.len == 0 || in.miclen != 16) return -1;
    vl2_ntlm_dir d;
    uint8_t sig[16];
    vl2_ntlm_dir_init(&d, key, flags, 0);
    vl2_ntlm_mac(&d, flags, m.data, m.len, sig);
    const bool ok = vl2_ct_equal(sig, in.mic, 16) != 0;
    vl2_ntlm_dir_init(&d, key, flags, 1);
    vl2_ntlm_mac(&d, flags, m.data, m.len, s->reply_mic);
    vl2_wipe(&d, sizeof d);
    if (!ok && s->trace) sess_trace(s, "[sess] mechListMIC does not hold (flags=%08x)\n", flags);
    s->reply_mic_set = ok;
    return ok ? 0 : -1;
}

void log_logon(const vl2_sess *s, bool signed_)
{
    char detail[80];
    snprintf(detail, sizeof detail, "ok%s, dialect %s, %s%s", s->is_guest ? " as guest" : "",
             vl2_dialect_name(s->dialect), signed_ ? "signed" : "unsigned", s->seal.on ? ", encrypted" : "");
    vl2_log_event(VL2_LOG_CONNECTIONS, 6, "logon", s->peer_text, s->user, nullptr, nullptr, -1, detail);
}

// Whether the session may go ahead under the encryption option: with
// "required", only a client that can encrypt, logged on with a key.
bool encryption_allows(const vl2_sess *s, bool guest) { return s->enc_policy != 2 || (s->cipher != 0 && !guest); }

// The second leg: a guest session where guests are admitted (and not both
// sides require signing), otherwise a configured account.
uint32_t authenticate(vl2_sess *s, vl2_reply *r, const vl2_spnego_in &in, uint8_t secmode)
{
    uint8_t key[16];
    const bool guest = vl2_guest_allowed() && !(s->opts.signing == 1 && s->client_sign_required);
    uint32_t flags = 0;  // the AUTHENTICATE's NegotiateFlags
    const int rc =
        guest ? guest_logon_key(s, in.tok, in.toklen, key, &flags) : account_key(s, in.tok, in.toklen, key, &flags);
    if (rc != 0 || mech_list_mic(s, in, flags, key) != 0) {
        vl2_wipe(key, sizeof key);
        vl2_wipe(s->reply_mic, sizeof s->reply_mic);
        return setup_fail(r, ST_LOGON_FAILURE);
    }
    const bool allowed = encryption_allows(s, guest);
    const int keys = allowed ? session_keys(s, key) : 0;
    vl2_wipe(key, sizeof key);
    if (!allowed || keys != 0) {
        vl2_wipe(s->reply_mic, sizeof s->reply_mic);
        s->reply_mic_set = 0;
        vl2_log_event(VL2_LOG_CONNECTIONS, 4, "logon", s->peer_text, s->user, nullptr, nullptr, -1,
                      allowed ? "failed: no keys" : "refused: encryption required");
        return rep_fail(r, allowed ? ST_INSUFFICIENT_RESOURCES : ST_ACCESS_DENIED);
    }
    // Guests have no key the client would trust, so they never encrypt.
    s->seal.on = s->enc_policy != 0 && s->cipher != 0 && !guest;
    session_setup_ok_body(s, r, guest, 0, in.raw);
    sign_if_required(s, r, secmode);
    // 3.1.1 signs the final answer whatever the policy: it proves the
    // pre-authentication hash both sides computed.
    if (s->dialect == 0x0311 && !guest) r->rq.sign = 1;
    log_logon(s, r->rq.sign);
    s->reply_mic_set = 0;
    vl2_wipe(s->reply_mic, sizeof s->reply_mic);
    return ST_SUCCESS;
}

// The first leg: what the integrity checks of this logon will cover, and
// the flags its CHALLENGE answers.
void begin_exchange(vl2_sess *s, const vl2_spnego_in &in, const uint8_t *nego, size_t len)
{
    vl2_ntlm_exchange *x = &s->ntlm;
    x->flags = 0;
    x->chal.len = 0;
    if (nego && vl2_ntlm_type1(nego, len, &x->flags) == 0)
        vl2_ntlm_keep(&x->nego, nego, len);
    else
        vl2_ntlm_keep(&x->nego, nullptr, 0);
    vl2_ntlm_keep(&x->mech_types, in.mech_types, in.mech_types_len);
}

}  // namespace

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
    if (s->sign_required) vl2_stat_add(VL2_ST_SIGN_REQUIRED_SESSIONS, 1);

    vl2_buf tok{};
    if (more) {
        vl2_buf ch{};
        vl2_ntlm_type2(s->opts.server_name, s->challenge, t, &ch, s->ntlm.flags);
        vl2_ntlm_keep(&s->ntlm.chal, ch.data, ch.len);
        if (s->trace && ch.len >= 24)
            sess_trace(s, "[sess] ntlm flags asked=%08x answered=%08x\n", s->ntlm.flags, vl2_le32(ch.data + 20));
        if (raw)
            vl2_buf_put(&tok, ch.data, ch.len);
        else
            vl2_spnego_resp(ch.data, ch.len, &tok);
        vl2_buf_free(&ch);
    } else if (!raw && s->reply_mic_set) {
        vl2_spnego_done_mic(s->reply_mic, &tok);
    } else if (!raw) {
        vl2_spnego_done(&tok);
    }
    vl2_buf *b = &r->b;
    w16(b, 9);
    w16(b, (guest ? 0x0001 : 0) | (!more && s->seal.on ? 0x0004 : 0));  // IS_GUEST, ENCRYPT_DATA
    w16(b, 72);
    w16(b, (uint16_t)tok.len);
    if (tok.len) vl2_buf_put(b, tok.data, tok.len);
    vl2_buf_free(&tok);
    // Every answer but the last belongs to the logon's pre-authentication hash.
    if (more && s->dialect == 0x0311 && !b->failed)
        preauth_chain(s->sess_preauth, b->data + r->hdr, (size_t)(b->len - r->hdr));
}

void session_setup_fail_body(vl2_sess *s, vl2_reply *r, uint32_t status)
{
    if (throttled_peer(s)) vl2_logon_failed(&s->peer, vl2_now_ms());
    vl2_stat_add(VL2_ST_LOGON_FAILED, 1);
    vl2_log_event(VL2_LOG_CONNECTIONS, 4, "logon", s->peer_text, s->user, nullptr, nullptr, -1, "failed");
    rep_status(r, status);
    const uint8_t body[8] = {9, 0, 0, 0, 0, 0, 0, 0};
    vl2_buf_put(&r->b, body, sizeof body);
    s->login_failures++;
    if (s->login_failures >= s->opts.max_login_failures) s->closing = 1;
}

uint32_t cmd_session_setup(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    uint16_t ssz = rd_u16(rd);  // checked by the dispatcher
    rd_u8(rd);                  // Flags
    uint8_t secmode = rd_u8(rd);
    rd_u32(rd);  // Capabilities
    rd_u32(rd);  // Channel
    uint16_t boff = rd_u16(rd);
    uint16_t blen = rd_u16(rd);
    rd_u64(rd);  // PreviousSessionId
    if (rd->bad) return rep_fail(r, ST_INVALID_PARAMETER);
    if (s->authenticated) return rep_fail(r, ST_REQUEST_NOT_ACCEPTED);
    const uint8_t *blob = rd_region(rd, boff, blen);
    if (!blob) return rep_fail(r, ST_INVALID_PARAMETER);
    // A LOGOFF leaves the cipher keys for sealing its own answer; a new
    // logon travels in the clear and goes without them.
    seal_release(&s->seal);
    preauth_request(s, r);
    trace_head(s, ssz, boff, blen, blob);

    vl2_spnego_in in;
    if (vl2_spnego_parse(blob, blen, &in) != 0) return setup_fail(r, ST_LOGON_FAILURE);
    const uint8_t *tok = in.tok;
    const size_t toklen = in.toklen;
    if (!tok || toklen == 0) {
        // The CHALLENGE answers the flags of a NEGOTIATE the SPNEGO token
        // carried; without one the client asked for nothing.
        begin_exchange(s, in, in.init_tok, in.init_toklen);
        session_setup_ok_body(s, r, 0, 1, in.raw);
        return ST_SUCCESS;
    }
    if (toklen < 8 || memcmp(tok, NTLM_SIG, 8) != 0) return setup_fail(r, ST_LOGON_FAILURE);
    uint32_t type = toklen >= 12 ? vl2_le32(tok + 8) : 0;
    if (type == 1) {
        begin_exchange(s, in, tok, toklen);
        session_setup_ok_body(s, r, 0, 1, in.raw);
        return ST_SUCCESS;
    }
    if (type != 3) return setup_fail(r, ST_INVALID_PARAMETER);
    if (vl2_ntlm_user(tok, toklen, s->user, sizeof s->user) != 0) s->user[0] = 0;

    // Guessing from an address with many recent failures is refused before
    // any proof is checked.
    if (throttled_peer(s) && vl2_logon_blocked(&s->peer, vl2_now_ms())) return setup_fail(r, ST_LOGON_FAILURE);
    return authenticate(s, r, in, secmode);
}

uint32_t cmd_logoff(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);
    sess_release_trees(s);
    sess_release_opens(s);
    s->authenticated = 0;
    s->is_guest = 0;
    s->session_id = 0;
    rep_status(r, ST_SUCCESS);
    w32(&r->b, 4);
    return ST_SUCCESS;
}
