// What an attacker gains from sending requests out of order, from leaving
// out signatures, or from feeding text into the trace: nothing.
#include "logon_util.h"

using namespace lg;
using h::bytes;

namespace {

class HostileOrder : public LogonTest {
protected:
    void SetUp() override
    {
        LogonTest::SetUp();
        ASSERT_EQ(0, vlsmb2s_add_user("alice", "Secret-1"));
    }
};

// An AUTHENTICATE once made for a zero challenge and a zero timestamp (a
// rogue server can collect one) must not log on anywhere: a connection
// that skipped NEGOTIATE is dropped, and one that negotiated has a challenge
// of its own.
TEST_F(HostileOrder, CapturedAuthenticateIsNotReplayable)
{
    const bytes captured = py_auth(true, challenge_msg(bytes(8, 0), 0), "alice", "Secret-1").first;
    ASSERT_FALSE(captured.empty());
    struct {
        const char *what;
        std::vector<bytes> frames;
        size_t replies;
        uint32_t last_status;
    } cases[] = {
        {"without NEGOTIATE", {setup(1, 0, captured)}, 0, 0},
        {"TREE_CONNECT first, then the logon", {tree_connect(1, "\\\\srv\\IPC$", 0), setup(2, 0, captured)}, 0, 0},
        {"after NEGOTIATE", {negotiate({0x0210}), setup(1, 0, captured)}, 2, LOGON_FAILURE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int64_t sessions = vl2_stat_get(VL2_ST_SESSIONS), failed = vl2_stat_get(VL2_ST_LOGON_FAILED);
        std::vector<step> steps;
        for (const bytes &f : c.frames) steps.push_back(send({f}));
        auto replies = converse(steps);
        ASSERT_EQ(c.replies, replies.size());
        EXPECT_EQ(sessions, vl2_stat_get(VL2_ST_SESSIONS));
        if (c.replies) {
            EXPECT_EQ(c.last_status, h::status(replies.back()));
        } else {
            EXPECT_EQ(failed, vl2_stat_get(VL2_ST_LOGON_FAILED)) << "nothing counted as a logon";
        }
    }
}

// Unsigned requests on an account session are refused when either side
// requires signing, said in NEGOTIATE or in SESSION_SETUP; guests keep
// their unsigned sessions.
TEST_F(HostileOrder, UnsignedRequestsRefusedWhenEitherSideRequiresSigning)
{
    struct {
        const char *what;
        const char *signing, *guest;
        uint16_t nego_secmode;
        uint8_t setup_secmode;
        uint32_t status;
    } cases[] = {
        {"nobody requires it", "enabled", "auto", 1, 1, SUCCESS},
        {"the server requires it", "required", "auto", 1, 1, DENIED},
        {"the client requires it in NEGOTIATE", "enabled", "auto", 2, 1, DENIED},
        {"the client requires it in SESSION_SETUP", "enabled", "auto", 1, 3, DENIED},
        {"a guest whose client requires it", "enabled", "on", 2, 3, SUCCESS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, vlsmb2s_set_option("signing", c.signing));
        ASSERT_EQ(0, vlsmb2s_set_option("guest", c.guest));
        logon_state st;
        auto replies = converse(
            logon_steps(&st, false, "alice", "Secret-1", c.setup_secmode, c.nego_secmode) +
            std::vector<step>{[&](auto &) { return std::vector<bytes>{tree_connect(3, "\\\\srv\\IPC$", st.sid)}; }});
        ASSERT_EQ(4u, replies.size());
        EXPECT_EQ(SUCCESS, h::status(replies[2]));
        EXPECT_EQ(c.status, h::status(replies[3]));
    }
}

// A second NEGOTIATE would reset the client's signing requirement under a
// live session; the connection is dropped instead, and so is an SMB2
// NEGOTIATE after an SMB1 one that settled the dialect.
TEST_F(HostileOrder, RenegotiationEndsTheConnection)
{
    logon_state st;
    int64_t errs = vl2_stat_get(VL2_ST_PROTOCOL_ERRORS);
    auto replies = converse(logon_steps(&st, false, "alice", "Secret-1", 1, 2) +
                            std::vector<step>{send({negotiate({0x0210}, 1)}), [&](auto &) {
                                                  return std::vector<bytes>{tree_connect(4, "\\\\srv\\IPC$", st.sid)};
                                              }});
    ASSERT_EQ(3u, replies.size()) << "neither the NEGOTIATE nor what follows is answered";
    EXPECT_EQ(SUCCESS, h::status(replies[2]));
    EXPECT_EQ(errs + 1, vl2_stat_get(VL2_ST_PROTOCOL_ERRORS));

    bytes smb1 = {0xFF, 'S', 'M', 'B', 0x72};
    smb1.resize(40, 0);
    const char d202[] = "\x02SMB 2.002";
    smb1.insert(smb1.end(), d202, d202 + sizeof d202);
    replies = converse({send({h::frame(smb1)}), send({negotiate({0x0202})}), send({echo(2, 0)})});
    EXPECT_EQ(1u, replies.size());
}

// The trace shows neither the session key nor client text that could end
// a line and forge another.
TEST_F(HostileOrder, TraceKeepsKeysOutAndEscapesClientText)
{
    setenv("VLSMB2S_TRACE", "1", 1);
    testing::internal::CaptureStderr();
    logon_state st, st2;
    converse(logon_steps(&st, false, "alice", "Secret-1") + std::vector<step>{[&](auto &) {
                 return std::vector<bytes>{tree_connect(3, "\\\\srv\\x\n[vlsmb2s 0] forged", st.sid)};
             }});
    converse(logon_steps(&st2, false, "bob\n[t3] forged", "pw"));
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("VLSMB2S_TRACE");
    ASSERT_EQ(16u, st.key.size());
    EXPECT_EQ(std::string::npos, err.find(h::hex(st.key))) << "session key in the trace";
    EXPECT_NE(std::string::npos, err.find("x\\x0a[vlsmb2s 0] forged")) << err;
    EXPECT_EQ(std::string::npos, err.find("\n[vlsmb2s 0] forged"));
    EXPECT_EQ(std::string::npos, err.find("\n[t3] forged"));
}

}  // namespace
