// Request builders, expected-reply builders and the independent NTLM client
// used by the NEGOTIATE and SESSION_SETUP tests.
#pragma once

#include "harness.h"
#include "support/smb2.h"

#include "cfg/cfg.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace lg {
using h::bytes;
using namespace smb2;

constexpr int64_t CLOCK = 1700000000;
constexpr uint64_t CLOCK_FILETIME = 133444736000000000ull;

inline const char *const ENV_VARS[] = {"VLSMB2S_RAW_NTLM_NEGO", "VLSMB2S_SHORT_MECHTOK", "VLSMB2S_EMPTY_MECHTOK",
                                       "VLSMB2S_NO_MECHTOK", "VLSMB2S_SAMBA_TOKEN"};

// Fresh configuration, no token switches, frozen clock.
class LogonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vl2_cfg_reset_for_tests();
        for (const char *v : ENV_VARS) unsetenv(v);
        ASSERT_EQ(0, vlsmb2s_set_option("clock", std::to_string(CLOCK).c_str()));
    }
    void TearDown() override
    {
        for (const char *v : ENV_VARS) unsetenv(v);
        vl2_cfg_reset_for_tests();
    }
};

// FNV-1a 64, written here from its definition to check the server's values.
inline uint64_t fnv(const void *p, size_t n, uint64_t h = 0xcbf29ce484222325ull)
{
    const uint8_t *b = (const uint8_t *)p;
    for (size_t i = 0; i < n; i++) {
        h ^= b[i];
        h *= 0x100000001b3ull;
    }
    return h;
}
inline uint64_t guid_seed(const char *name = "VELANTORIMBUS") { return fnv(name, strlen(name)); }
inline bytes derived_challenge(int64_t t = CLOCK, const char *name = "VELANTORIMBUS")
{
    uint64_t g = guid_seed(name);
    bytes tb;
    put64(tb, (uint64_t)t);
    bytes out;
    put64(out, g ^ fnv(tb.data(), 8, g));
    return out;
}
inline uint64_t expected_session_id(const char *peer = "127.0.0.1", int64_t t = CLOCK)
{
    bytes tb;
    put64(tb, (uint64_t)t);
    return fnv(tb.data(), 8, fnv(peer, strlen(peer))) | 1;
}

// ---- requests -------------------------------------------------------------
inline bytes negotiate_body(const std::vector<uint16_t> &dialects, uint16_t secmode = 1, uint32_t caps = 0,
                            uint32_t ctx_off = 0, uint16_t ssz = 36, int count = -1)
{
    bytes b;
    put16(b, ssz);
    put16(b, (uint16_t)(count < 0 ? dialects.size() : (size_t)count));
    put16(b, secmode);
    put16(b, 0);
    put32(b, caps);
    for (int i = 0; i < 16; i++) b.push_back((uint8_t)(0xA0 + i));  // ClientGuid
    put32(b, ctx_off);
    put32(b, 0);
    for (uint16_t d : dialects) put16(b, d);
    return b;
}
inline bytes negotiate(const std::vector<uint16_t> &dialects, uint16_t secmode = 1, uint32_t caps = 0)
{
    return request(0, 0, negotiate_body(dialects, secmode, caps));
}
// SESSION_SETUP body: fixed part of 24 bytes, blob at header offset 88.
inline bytes setup_body(const bytes &blob, uint8_t secmode = 1, uint16_t off = 88, int len = -1, uint16_t ssz = 25)
{
    bytes b;
    put16(b, ssz);
    b.push_back(0);
    b.push_back(secmode);
    put32(b, 0);
    put32(b, 0);
    put16(b, off);
    put16(b, (uint16_t)(len < 0 ? blob.size() : (size_t)len));
    put64(b, 0);
    return h::cat(b, blob);
}
inline bytes setup(uint64_t mid, uint64_t sid, const bytes &blob, uint8_t secmode = 1)
{
    return request(1, mid, setup_body(blob, secmode), sid);
}
inline bytes echo(uint64_t mid, uint64_t sid, uint32_t flags = 0)
{
    bytes b;
    put16(b, 4);
    put16(b, 0);
    return request(13, mid, b, sid, 0, flags);
}
inline bytes logoff(uint64_t mid, uint64_t sid)
{
    bytes b;
    put16(b, 4);
    put16(b, 0);
    return request(2, mid, b, sid);
}

// ---- expected replies ---------------------------------------------------
inline bytes rsp_hdr(uint16_t cmd, uint32_t status, uint64_t mid, uint64_t sid = 0, uint32_t tid = 0,
                     uint16_t credits = 1, uint32_t flags = 1)
{
    bytes b = {0xFE, 'S', 'M', 'B'};
    put16(b, 64);
    put16(b, 0);
    put32(b, status);
    put16(b, cmd);
    put16(b, credits);
    put32(b, flags);
    put32(b, 0);
    put64(b, mid);
    put32(b, 0);
    put32(b, tid);
    put64(b, sid);
    b.resize(64, 0);
    return b;
}
inline const bytes HINTS = [] {
    const char *s = "not_defined_in_RFC4178@please_ignore";
    return bytes(s, s + strlen(s));
}();
inline const bytes NTLM_OID = h::unhex("06 0a 2b 06 01 04 01 82 37 02 02 0a");
// NegTokenInit2 without mechToken (also the token of VLSMB2S_SAMBA_TOKEN).
inline const bytes TOK_NOMECT =
    h::cat(h::unhex("60 48 06 06 2b 06 01 05 05 02 a0 3e 30 3c a0 0e 30 0c 06 0a 2b 06 01 04 01 82 37 02 02 0a"
                    "a3 2a 30 28 a0 26 1b 24"),
           HINTS);
inline const bytes TOK_EMPTY =
    h::cat(h::unhex("60 4c 06 06 2b 06 01 05 05 02 a0 42 30 40 a0 0e 30 0c 06 0a 2b 06 01 04 01 82 37 02 02 0a"
                    "a2 02 04 00 a3 2a 30 28 a0 26 1b 24"),
           HINTS);
inline const bytes TOK_SHORT =
    h::cat(h::unhex("60 4c 06 06 2b 06 01 05 05 02 a0 3e 30 3c a0 0e 30 0c 06 0a 2b 06 01 04 01 82 37 02 02 0a"
                    "a2 06 04 04 01 02 03 04 a3 2a 30 28 a0 26 1b 24"),
           HINTS);
inline const bytes TOK_DONE = h::unhex("a1 07 30 05 a0 03 0a 01 00");

// The flags of ntlm_client.py's NEGOTIATE (impacket asking for signing):
// REQUEST_TARGET, SIGN, SEAL and ALWAYS_SIGN among them, VERSION not.
constexpr uint32_t PY_NEGOTIATE_FLAGS = 0xe0888235;

// The CHALLENGE message the server must send for the default name, to a
// client whose NEGOTIATE carried client_flags: SIGN, SEAL, ALWAYS_SIGN and
// VERSION (with a Version field) answered when asked, REQUEST_TARGET with a
// TargetName after the target information.
inline bytes challenge_msg(const bytes &chal, uint64_t filetime = CLOCK_FILETIME, const char *name = "VELANTORIMBUS",
                           uint32_t client_flags = 0)
{
    bytes u;
    for (const char *p = name; *p; p++) put16(u, (uint16_t)(uint8_t)*p);
    const bool target = client_flags & 0x4, version = client_flags & 0x02000000;
    const uint32_t info_at = version ? 56 : 48;
    const uint32_t info_len = (uint32_t)(2 * u.size() + 24);
    bytes m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    put32(m, 2);
    put16(m, target ? (uint16_t)u.size() : 0);
    put16(m, target ? (uint16_t)u.size() : 0);
    put32(m, target ? info_at + info_len : 0);
    put32(m, 0xE0880601u | (target ? 0x20004u : 0) | (client_flags & 0x02008030u));
    m.insert(m.end(), chal.begin(), chal.end());
    put64(m, 0);
    put16(m, (uint16_t)info_len);
    put16(m, (uint16_t)info_len);
    put32(m, info_at);
    if (version) {
        bytes v = {6, 1, 0xb0, 0x1d, 0, 0, 0, 15};
        m.insert(m.end(), v.begin(), v.end());
    }
    for (uint16_t id : {2, 1}) {
        put16(m, id);
        put16(m, (uint16_t)u.size());
        m.insert(m.end(), u.begin(), u.end());
    }
    put16(m, 7);
    put16(m, 8);
    put64(m, filetime);
    put32(m, 0);
    if (target) m.insert(m.end(), u.begin(), u.end());
    return m;
}
// negTokenResp accept-incomplete around a message of 124 bytes.
inline bytes spnego_resp_124(const bytes &msg)
{
    return h::cat(h::cat(h::cat(h::unhex("a1 81 96 30 81 93 a0 03 0a 01 01 a1 0c"), NTLM_OID), h::unhex("a2 7e 04 7c")),
                  msg);
}
// The same around a message of 128 to 227 bytes.
inline bytes spnego_resp_long(const bytes &msg)
{
    const uint8_t n = (uint8_t)msg.size();
    bytes head = {0xa1, 0x81, (uint8_t)(n + 28), 0x30, 0x81, (uint8_t)(n + 25), 0xa0, 0x03, 0x0a, 0x01, 0x01,
                  0xa1, 0x0c};
    bytes tail = {0xa2, 0x81, (uint8_t)(n + 3), 0x04, 0x81, n};
    return h::cat(h::cat(h::cat(head, NTLM_OID), tail), msg);
}
inline bytes negotiate_rsp_body(uint16_t dialect, uint16_t secmode, uint32_t caps, uint32_t transact, uint32_t rw,
                                const bytes &token, uint64_t filetime = CLOCK_FILETIME)
{
    bytes b;
    put16(b, 65);
    put16(b, secmode);
    put16(b, dialect);
    put16(b, 0);
    put64(b, guid_seed());
    put64(b, guid_seed() ^ 0x564C4D4232ull);
    put32(b, caps);
    put32(b, transact);
    put32(b, rw);
    put32(b, rw);
    put64(b, filetime);
    put64(b, 0);
    put16(b, 128);
    put16(b, (uint16_t)token.size());
    put32(b, 0);
    return h::cat(b, token);
}

// Security buffer of a SESSION_SETUP or NEGOTIATE response.
inline bytes setup_token(const bytes &r)
{
    size_t off = h::le16(r, 68), len = h::le16(r, 70);
    return off + len <= r.size() ? bytes(r.begin() + off, r.begin() + off + len) : bytes();
}
inline bytes negotiate_token(const bytes &r)
{
    size_t off = h::le16(r, 64 + 56), len = h::le16(r, 64 + 58);
    return off + len <= r.size() ? bytes(r.begin() + off, r.begin() + off + len) : bytes();
}

// ---- independent tools (Debian python3 with impacket) ----------------------
inline std::string tests_dir()
{
    std::string f = __FILE__;
    return f.substr(0, f.rfind('/'));
}
inline std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}
inline std::string q(const std::string &s) { return "'" + s + "'"; }  // test inputs carry no quotes
inline bytes py_negotiate(bool raw)
{
    return h::unhex(run("/usr/bin/python3 " + tests_dir() + "/ntlm_client.py negotiate " + (raw ? "raw" : "spnego")));
}
// AUTHENTICATE for the server's CHALLENGE token; .second is the session key.
inline std::pair<bytes, bytes> py_auth(bool raw, const bytes &challenge_token, const std::string &user,
                                       const std::string &password, const std::string &domain = "WORKGROUP")
{
    std::string out = run("/usr/bin/python3 " + tests_dir() + "/ntlm_client.py auth " + (raw ? "raw " : "spnego ") +
                          h::hex(challenge_token) + " " + q(user) + " " + q(password) + " " + q(domain));
    size_t nl = out.find('\n');
    if (nl == std::string::npos) return {};
    return {h::unhex(out.substr(0, nl)), h::unhex(out.substr(nl + 1))};
}
// First 16 bytes of HMAC-SHA256 by Python's hmac module.
inline bytes py_sign(const bytes &key, const bytes &msg)
{
    std::string cmd = "/usr/bin/python3 -c 'import hmac,hashlib,sys; "
                      "print(hmac.new(bytes.fromhex(sys.argv[1]), bytes.fromhex(sys.argv[2]), "
                      "hashlib.sha256).hexdigest()[:32])' " +
                      h::hex(key) + " " + h::hex(msg);
    return h::unhex(run(cmd));
}
// Signs an SMB2 request frame (prefix included) in place with key.
inline void sign_request(bytes &frame, const bytes &key)
{
    frame[4 + 16] |= 0x08;
    std::fill(frame.begin() + 4 + 48, frame.begin() + 4 + 64, 0);
    bytes sig = py_sign(key, bytes(frame.begin() + 4, frame.end()));
    std::copy(sig.begin(), sig.end(), frame.begin() + 4 + 48);
}
// True when a response carries the signed flag and a signature that
// Python's HMAC confirms.
inline bool signature_ok(const bytes &reply, const bytes &key)
{
    if (reply.size() < 64 || !(reply[16] & 0x08)) return false;
    bytes z = reply;
    std::fill(z.begin() + 48, z.begin() + 64, 0);
    return py_sign(key, z) == bytes(reply.begin() + 48, reply.begin() + 64);
}

// ---- scripted conversations ----------------------------------------------
using step = std::function<std::vector<bytes>(const std::vector<bytes> &)>;
// Runs the steps in order, one per time the loop asks for input.
inline std::vector<bytes> converse(std::vector<step> steps, const char *ip = nullptr)
{
    size_t i = 0;
    return h::converse(
        [&](const std::vector<bytes> &replies) -> std::vector<bytes> {
            if (i >= steps.size()) return {};
            return steps[i++](replies);
        },
        ip);
}
inline step send(std::vector<bytes> frames)
{
    return [frames](const std::vector<bytes> &) { return frames; };
}

// The steps of a complete logon (NEGOTIATE, two SESSION_SETUPs) with an
// impacket client; key receives the exported session key.
struct logon_state {
    bytes key;
    uint64_t sid = 0;
};
inline std::vector<step> logon_steps(logon_state *st, bool raw, std::string user, std::string pass, uint8_t secmode = 1,
                                     uint16_t nego_secmode = 1)
{
    return {
        send({negotiate({0x0202, 0x0210}, nego_secmode)}),
        [raw, secmode](const std::vector<bytes> &) {
            return std::vector<bytes>{setup(1, 0, py_negotiate(raw), secmode)};
        },
        [st, raw, user, pass, secmode](const std::vector<bytes> &r) {
            st->sid = h::le64(r.back(), 40);
            auto a = py_auth(raw, setup_token(r.back()), user, pass);
            st->key = a.second;
            return std::vector<bytes>{setup(2, st->sid, a.first, secmode)};
        },
    };
}
inline std::vector<step> operator+(std::vector<step> a, const std::vector<step> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
}  // namespace lg
