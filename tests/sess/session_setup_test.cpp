// SESSION_SETUP and LOGOFF against an independent NTLMv2 client (impacket).
#include "cfg/cfg_lock.h"
#include "logon_util.h"

using namespace lg;
using h::bytes;

namespace {

class SessionSetup : public LogonTest {
protected:
    void SetUp() override
    {
        LogonTest::SetUp();
        ASSERT_EQ(0, vlsmb2s_add_user("alice", "Secret-1"));
    }
};

TEST_F(SessionSetup, SpnegoLogonByteExact)
{
    int64_t sessions = vl2_stat_get(VL2_ST_SESSIONS);
    logon_state st;
    auto replies = converse(logon_steps(&st, false, "alice", "Secret-1"));
    ASSERT_EQ(3u, replies.size());
    const uint64_t sid = expected_session_id();
    ASSERT_EQ(1u, sid & 1);

    // First leg: MORE_PROCESSING_REQUIRED, a new odd SessionId, the CHALLENGE in SPNEGO.
    // The client asked for a target name: the CHALLENGE carries ours.
    bytes tok =
        spnego_resp_long(challenge_msg(derived_challenge(), CLOCK_FILETIME, "VELANTORIMBUS", PY_NEGOTIATE_FLAGS));
    bytes body = {9, 0, 0, 0, 72, 0};
    put16(body, (uint16_t)tok.size());
    EXPECT_EQ(h::hex(h::cat(h::cat(rsp_hdr(1, MORE, 1, sid), body), tok)), h::hex(replies[1]));

    // Second leg: SUCCESS with the accept-completed token, unsigned (nobody requires it).
    bytes done = {9, 0, 0, 0, 72, 0, 9, 0};
    EXPECT_EQ(h::hex(h::cat(h::cat(rsp_hdr(1, SUCCESS, 2, sid), done), TOK_DONE)), h::hex(replies[2]));
    EXPECT_EQ(sessions + 2, vl2_stat_get(VL2_ST_SESSIONS));
}

TEST_F(SessionSetup, RawLogon)
{
    logon_state st;
    auto replies = converse(logon_steps(&st, true, "ALICE", "Secret-1"));  // name case does not matter
    ASSERT_EQ(3u, replies.size());
    EXPECT_EQ(MORE, h::status(replies[1]));
    EXPECT_EQ(h::hex(challenge_msg(derived_challenge(), CLOCK_FILETIME, "VELANTORIMBUS", PY_NEGOTIATE_FLAGS)),
              h::hex(setup_token(replies[1])));
    EXPECT_EQ(SUCCESS, h::status(replies[2]));
    EXPECT_EQ(0, h::le16(replies[2], 64 + 2));  // not a guest
    EXPECT_EQ(0, h::le16(replies[2], 64 + 6));  // raw: no token on success
    EXPECT_EQ(72u, replies[2].size());
}

TEST_F(SessionSetup, GuestLogons)
{
    struct {
        const char *what;
        const char *guest;
        bool drop_account;
        const char *user, *pass;
    } cases[] = {
        {"auto, no accounts, any name", "auto", true, "nobody", "whatever"},
        {"auto, no accounts, anonymous", "auto", true, "", ""},
        {"on, account with the right password", "on", false, "alice", "Secret-1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, vlsmb2s_set_option("guest", c.guest));
        if (c.drop_account) vlsmb2s_remove_user("alice");
        int64_t guests = vl2_stat_get(VL2_ST_GUEST_SESSIONS);
        logon_state st;
        auto replies = converse(logon_steps(&st, false, c.user, c.pass) + std::vector<step>{[&](auto &) {
                                    return std::vector<bytes>{setup(3, st.sid, py_negotiate(false))};
                                }});
        ASSERT_EQ(4u, replies.size());
        EXPECT_EQ(SUCCESS, h::status(replies[2]));
        EXPECT_EQ(1, h::le16(replies[2], 64 + 2));  // SessionFlags guest
        EXPECT_EQ(0, replies[2][16] & 0x08);        // nobody asked for signing
        EXPECT_EQ(guests + 1, vl2_stat_get(VL2_ST_GUEST_SESSIONS));
        EXPECT_EQ(NOT_ACCEPTED, h::status(replies[3]));
        if (c.drop_account) {
            ASSERT_EQ(0, vlsmb2s_add_user("alice", "Secret-1"));
        }
    }
}

TEST_F(SessionSetup, GuestRefusedWhenBothSidesRequireSigning)
{
    vlsmb2s_remove_user("alice");
    ASSERT_EQ(0, vlsmb2s_set_option("signing", "required"));
    logon_state st;
    auto replies = converse(logon_steps(&st, false, "bob", "pw", 1, /*nego_secmode=*/2));
    ASSERT_EQ(3u, replies.size());
    EXPECT_EQ(LOGON_FAILURE, h::status(replies[2]));
    EXPECT_EQ(h::hex(bytes{9, 0, 0, 0, 0, 0, 0, 0}), h::hex(bytes(replies[2].begin() + 64, replies[2].end())));
}

TEST_F(SessionSetup, FailuresAreCountedAndCloseTheConnection)
{
    int64_t failed = vl2_stat_get(VL2_ST_LOGON_FAILED);
    logon_state st;
    bytes chal_tok;
    auto wrong = [&](uint64_t mid) {
        return [&, mid](const std::vector<bytes> &) {
            return std::vector<bytes>{setup(mid, st.sid, py_auth(false, chal_tok, "alice", "wrong").first)};
        };
    };
    auto replies = converse({
        send({negotiate({0x0210})}), send({setup(1, 0, py_negotiate(false))}),
        [&](const std::vector<bytes> &r) {
            st.sid = h::le64(r.back(), 40);
            chal_tok = setup_token(r.back());
            return std::vector<bytes>{setup(2, st.sid, py_auth(false, chal_tok, "mallory", "Secret-1").first)};
        },
        wrong(3), wrong(4), send({echo(5, 0)}),  // never read: the connection is closed
    });
    ASSERT_EQ(5u, replies.size());
    for (size_t i = 2; i < 5; i++) {
        EXPECT_EQ(LOGON_FAILURE, h::status(replies[i])) << i;
        EXPECT_EQ(72u, replies[i].size());
    }
    EXPECT_EQ(failed + 3, vl2_stat_get(VL2_ST_LOGON_FAILED));
}

TEST_F(SessionSetup, RetryAfterFailureKeepsSessionIdAndSucceeds)
{
    logon_state st;
    bytes chal_tok;
    auto replies = converse({
        send({negotiate({0x0210})}),
        send({setup(1, 0, py_negotiate(false))}),
        [&](const std::vector<bytes> &r) {
            st.sid = h::le64(r.back(), 40);
            chal_tok = setup_token(r.back());
            return std::vector<bytes>{setup(2, st.sid, py_auth(false, chal_tok, "alice", "nope").first)};
        },
        [&](const std::vector<bytes> &) {
            return std::vector<bytes>{setup(3, st.sid, py_auth(false, chal_tok, "alice", "Secret-1").first)};
        },
    });
    ASSERT_EQ(4u, replies.size());
    EXPECT_EQ(LOGON_FAILURE, h::status(replies[2]));
    EXPECT_EQ(SUCCESS, h::status(replies[3]));
    EXPECT_EQ(st.sid, h::le64(replies[3], 40));
}

TEST_F(SessionSetup, SecondSetupRefusedThenLogoffAndAgain)
{
    logon_state st;
    int64_t failed = vl2_stat_get(VL2_ST_LOGON_FAILED);
    int64_t errs = vl2_stat_get(VL2_ST_PROTOCOL_ERRORS);
    auto replies = converse(logon_steps(&st, false, "alice", "Secret-1") +
                            std::vector<step>{
                                [&](auto &) { return std::vector<bytes>{setup(3, st.sid, py_negotiate(false))}; },
                                [&](auto &) { return std::vector<bytes>{logoff(6, st.sid)}; },
                                send({setup(7, 0, py_negotiate(false))}),
                            });
    ASSERT_EQ(6u, replies.size());
    EXPECT_EQ(SUCCESS, h::status(replies[2]));
    EXPECT_EQ(NOT_ACCEPTED, h::status(replies[3]));
    EXPECT_EQ(failed, vl2_stat_get(VL2_ST_LOGON_FAILED));
    EXPECT_EQ(errs, vl2_stat_get(VL2_ST_PROTOCOL_ERRORS));
    EXPECT_EQ(h::hex(h::cat(rsp_hdr(2, SUCCESS, 6, st.sid), bytes{4, 0, 0, 0})), h::hex(replies[4]));
    // After LOGOFF a new logon starts, with a SessionId made afresh.
    EXPECT_EQ(MORE, h::status(replies[5]));
    EXPECT_EQ(expected_session_id(), h::le64(replies[5], 40));
}

TEST_F(SessionSetup, SignedEchoVerifiesWithIndependentHmac)
{
    logon_state st;
    auto replies = converse(logon_steps(&st, false, "alice", "Secret-1") + std::vector<step>{[&](auto &) {
                                bytes f = echo(3, st.sid);
                                sign_request(f, st.key);
                                return std::vector<bytes>{f};
                            }});
    ASSERT_EQ(4u, replies.size());
    ASSERT_EQ(16u, st.key.size());
    EXPECT_EQ(SUCCESS, h::status(replies[3]));
    EXPECT_TRUE(signature_ok(replies[3], st.key)) << h::hex(replies[3]);
}

TEST_F(SessionSetup, FinalSuccessSignedWhenSigningRequired)
{
    struct {
        const char *what;
        bool server_requires;
        uint16_t nego_secmode;
        uint8_t setup_secmode;
        bool guest;
    } cases[] = {
        {"server requires", true, 1, 1, false},
        {"client NEGOTIATE requires", false, 2, 1, false},
        {"client SESSION_SETUP requires", false, 1, 2, false},
        {"guest, server requires: zero key", true, 1, 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vl2_cfg_reset_for_tests();
        ASSERT_EQ(0, vlsmb2s_set_option("clock", std::to_string(CLOCK).c_str()));
        if (c.server_requires) {
            ASSERT_EQ(0, vlsmb2s_set_option("signing", "required"));
        }
        if (!c.guest) {
            ASSERT_EQ(0, vlsmb2s_add_user("alice", "Secret-1"));
        }
        logon_state st;
        auto replies = converse(logon_steps(&st, false, "alice", "Secret-1", c.setup_secmode, c.nego_secmode));
        ASSERT_EQ(3u, replies.size());
        EXPECT_EQ(SUCCESS, h::status(replies[2]));
        EXPECT_EQ(c.guest ? 1 : 0, h::le16(replies[2], 64 + 2));
        EXPECT_EQ(0, replies[1][16] & 0x08);  // the first leg is never signed
        EXPECT_TRUE(signature_ok(replies[2], c.guest ? bytes(16, 0) : st.key)) << h::hex(replies[2]);
    }
}

TEST_F(SessionSetup, RequiredSigningRefusesUnsignedTreeConnect)
{
    ASSERT_EQ(0, vlsmb2s_set_option("signing", "required"));
    int64_t sign_sessions = vl2_stat_get(VL2_ST_SIGN_REQUIRED_SESSIONS);
    logon_state st;
    auto replies = converse(logon_steps(&st, false, "alice", "Secret-1") + std::vector<step>{[&](auto &) {
                                bytes signed_tc = tree_connect(4, "\\\\srv\\IPC$", st.sid);
                                sign_request(signed_tc, st.key);
                                return std::vector<bytes>{tree_connect(3, "\\\\srv\\IPC$", st.sid), signed_tc};
                            }});
    ASSERT_EQ(5u, replies.size());
    EXPECT_EQ(3, h::le16(replies[0], 64 + 2));
    EXPECT_EQ(DENIED, h::status(replies[3]));
    // The signed one is not refused for signing, and its reply is signed.
    EXPECT_NE(DENIED, h::status(replies[4]));
    EXPECT_TRUE(signature_ok(replies[4], st.key));
    EXPECT_EQ(sign_sessions + 2, vl2_stat_get(VL2_ST_SIGN_REQUIRED_SESSIONS));
}

// An AUTHENTICATE taken apart for the damage the next test does to it: the
// NT response's offset and the first AV pair of its blob.
size_t nt_at(const bytes &a) { return h::le32(a, 24); }
size_t first_av(const bytes &a) { return nt_at(a) + 16 + 28; }
bytes damaged(bytes a, const char *how)
{
    if (!strcmp(how, "av list overruns")) {
        a[first_av(a) + 2] = 0xff;
        a[first_av(a) + 3] = 0xff;
    } else if (!strcmp(how, "ntlmv1")) {  // 24-byte response, NTLM without extended security
        a[20] = 24;
        a[21] = 0;
        uint32_t f = (h::le32(a, 60) | 0x200) & ~0x80000u;
        for (int i = 0; i < 4; i++) a[60 + i] = (uint8_t)(f >> (8 * i));
    }
    return a;
}

// Whatever the name and whatever is wrong with a well-formed AUTHENTICATE,
// the answer is the same LOGON_FAILURE: nothing tells which accounts exist.
// Where guests are admitted, an NTLMv1 response is a guest.
TEST_F(SessionSetup, FailedLogonsLookAlikeAndNtlmv1IsAGuest)
{
    ASSERT_EQ(0, vlsmb2s_set_option("max_login_failures", "100"));
    const struct {
        const char *user, *pass, *how;
    } cases[] = {
        {"mallory", "Secret-1", ""},
        {"alice", "wrong", ""},
        {"alice", "Secret-1", "av list overruns"},
        {"mallory", "Secret-1", "av list overruns"},
        {"alice", "Secret-1", "ntlmv1"},
        {"mallory", "x", "ntlmv1"},
    };
    auto run = [&](size_t first, size_t n, uint64_t *sid) {
        return converse({
            send({negotiate({0x0210})}),
            send({setup(1, 0, py_negotiate(true))}),
            [&, first, n, sid](const std::vector<bytes> &r) {
                *sid = h::le64(r.back(), 40);
                std::vector<bytes> out;
                for (size_t i = first; i < first + n; i++) {
                    bytes a = py_auth(true, setup_token(r.back()), cases[i].user, cases[i].pass).first;
                    out.push_back(setup(2 + i - first, *sid, damaged(a, cases[i].how)));
                }
                return out;
            },
        });
    };
    uint64_t sid = 0;
    auto replies = run(0, std::size(cases), &sid);
    ASSERT_EQ(2 + std::size(cases), replies.size());
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(std::string(cases[i].user) + " " + cases[i].how);
        EXPECT_EQ(h::hex(h::cat(rsp_hdr(1, LOGON_FAILURE, 2 + i, sid), bytes{9, 0, 0, 0, 0, 0, 0, 0})),
                  h::hex(replies[2 + i]));
    }
    ASSERT_EQ(0, vlsmb2s_set_option("guest", "on"));
    {
        // Those failures blocked this address for a while; that is the
        // throttle's own test.
        vl2_cfg_hold hold;
        vl2_cfg_reset_throttle_locked();
    }
    replies = run(std::size(cases) - 1, 1, &sid);
    ASSERT_EQ(3u, replies.size());
    EXPECT_EQ(SUCCESS, h::status(replies[2]));
    EXPECT_EQ(1, h::le16(replies[2], 64 + 2));  // a guest
}

}  // namespace
