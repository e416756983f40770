// NEGOTIATE in SMB2 and SMB1 form, byte for byte through the simulator.
#include "logon_util.h"

using namespace lg;
using h::bytes;

namespace {

class Negotiate : public LogonTest {};

bytes smb1_negotiate(const std::vector<std::string> &dialects)
{
    bytes b = {0xFF, 'S', 'M', 'B', 0x72};
    b.resize(32, 0);
    b.push_back(0);  // WordCount
    bytes names;
    for (const std::string &d : dialects) {
        names.push_back(0x02);
        names.insert(names.end(), d.begin(), d.end());
        names.push_back(0);
    }
    put16(b, (uint16_t)names.size());
    return h::frame(h::cat(b, names));
}

TEST_F(Negotiate, DialectSizesAndCapabilities)
{
    struct {
        const char *what;
        std::vector<uint16_t> dialects;
        uint32_t caps;
        uint32_t ctx_off;
        uint16_t dialect, secmode, rsp_caps;
        uint32_t transact, rw;
    } cases[] = {
        {"2.1 with large MTU and contexts",
         {0x0202, 0x0210, 0x0300, 0x0302, 0x0311},
         4,
         0x70,
         0x0210,
         1,
         4,
         1048576,
         1048576},
        // A 2.1-only client never fills in Capabilities: 2.1 alone brings 1 MiB transfers.
        {"2.1 from a client offering no capabilities", {0x0202, 0x0210}, 0, 0, 0x0210, 1, 4, 1048576, 1048576},
        {"2.0.2 only, large MTU ignored", {0x0202}, 4, 0, 0x0202, 1, 0, 65536, 65536},
        {"unknown 2.x values are skipped", {0x0200, 0x0202, 0x02FF}, 0, 0, 0x0202, 1, 0, 65536, 65536},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bytes body = negotiate_body(c.dialects, 1, c.caps, c.ctx_off);
        if (c.ctx_off) body.resize(c.ctx_off - 64 + 8, 0);  // a context header after the list
        auto res = h::simulate({request(0, 7, body)});
        ASSERT_EQ(1u, res.replies.size()) << res.text;
        bytes want = h::cat(rsp_hdr(0, SUCCESS, 7),
                            negotiate_rsp_body(c.dialect, c.secmode, c.rsp_caps, c.transact, c.rw, TOK_NOMECT));
        EXPECT_EQ(h::hex(want), h::hex(res.replies[0]));
    }
}

TEST_F(Negotiate, ThreeOnlyAndBadBodiesCloseTheConnection)
{
    struct {
        const char *what;
        bytes body;
        uint32_t status;
    } cases[] = {
        {"3.1.1 with contexts",
         [] {
             bytes b = negotiate_body({0x0311}, 1, 0, 0x78);
             b.resize(0x78 - 64 + 8, 0);
             return b;
         }(),
         NOT_SUPPORTED},
        {"3.1.1 without contexts", negotiate_body({0x0311}), INVALID},
        {"3.0 without contexts, long body",
         [] {
             bytes b = negotiate_body({0x0300});
             b.resize(80, 0);
             return b;
         }(),
         INVALID},
        {"only 1.x-looking values", negotiate_body({0x0100}), NOT_SUPPORTED},
        {"DialectCount 33", negotiate_body(std::vector<uint16_t>(33, 0x0202)), INVALID},
        {"DialectCount 0", negotiate_body({0x0202}, 1, 0, 0, 36, 0), INVALID},
        {"StructureSize 35", negotiate_body({0x0202}, 1, 0, 0, 35), INVALID},
        {"StructureSize 37", negotiate_body({0x0202, 0x0202, 0x0202}, 1, 0, 0, 37), INVALID},
        {"ClientGuid cut",
         [] {
             bytes b = negotiate_body({0x0202});
             b.resize(27);
             return b;
         }(),
         INVALID},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int64_t errs = vl2_stat_get(VL2_ST_PROTOCOL_ERRORS);
        auto res = h::simulate({request(0, 1, c.body), echo(2, 0)});
        ASSERT_EQ(1u, res.replies.size()) << res.text;  // the ECHO after it is never read
        EXPECT_EQ(c.status, h::status(res.replies[0]));
        EXPECT_EQ(errs + 1, vl2_stat_get(VL2_ST_PROTOCOL_ERRORS));
    }
}

TEST_F(Negotiate, DialectListFoundAtTheEndOfTheFrame)
{
    // Eight stray bytes between the fixed part and the list.
    bytes body = negotiate_body({});
    body[2] = 2;  // DialectCount
    body.resize(36 + 8, 0x11);
    put16(body, 0x0202);
    put16(body, 0x0210);
    auto res = h::simulate({request(0, 1, body)});
    ASSERT_EQ(1u, res.replies.size());
    EXPECT_EQ(SUCCESS, h::status(res.replies[0]));
    EXPECT_EQ(0x0210, h::le16(res.replies[0], 64 + 4));
}

TEST_F(Negotiate, SigningPolicyAndClientRequirement)
{
    auto res = h::simulate({negotiate({0x0210}, 2)});
    ASSERT_EQ(1u, res.replies.size());
    EXPECT_EQ(1, h::le16(res.replies[0], 64 + 2));
    ASSERT_EQ(0, vlsmb2s_set_option("signing", "required"));
    res = h::simulate({negotiate({0x0210})});
    ASSERT_EQ(1u, res.replies.size());
    EXPECT_EQ(3, h::le16(res.replies[0], 64 + 2)) << "enabled and required";
}

TEST_F(Negotiate, EveryTokenSwitch)
{
    const bytes chal = challenge_msg(derived_challenge());
    struct {
        std::vector<const char *> vars;
        bytes token;
    } cases[] = {
        {{}, TOK_NOMECT},
        {{"VLSMB2S_NO_MECHTOK"}, TOK_NOMECT},
        {{"VLSMB2S_SAMBA_TOKEN"}, TOK_NOMECT},  // the same 74 bytes
        {{"VLSMB2S_EMPTY_MECHTOK"}, TOK_EMPTY},
        {{"VLSMB2S_SHORT_MECHTOK"}, TOK_SHORT},
        {{"VLSMB2S_RAW_NTLM_NEGO"}, chal},
        {{"VLSMB2S_SAMBA_TOKEN", "VLSMB2S_RAW_NTLM_NEGO"}, chal},
        {{"VLSMB2S_EMPTY_MECHTOK", "VLSMB2S_SHORT_MECHTOK"}, TOK_SHORT},
        {{"VLSMB2S_NO_MECHTOK", "VLSMB2S_EMPTY_MECHTOK"}, TOK_EMPTY},
    };
    for (const auto &c : cases) {
        std::string name;
        for (const char *v : c.vars) {
            setenv(v, "", 1);  // presence counts, not the value
            name += std::string(v) + " ";
        }
        SCOPED_TRACE(name);
        auto res = h::simulate({negotiate({0x0202, 0x0210})});
        ASSERT_EQ(1u, res.replies.size());
        bytes want = h::cat(rsp_hdr(0, SUCCESS, 0), negotiate_rsp_body(0x0210, 1, 4, 1048576, 1048576, c.token));
        EXPECT_EQ(h::hex(want), h::hex(res.replies[0]));
        for (const char *v : c.vars) unsetenv(v);
    }
}

TEST_F(Negotiate, FrozenClockRepeatsChallengeAndGuid)
{
    setenv("VLSMB2S_RAW_NTLM_NEGO", "1", 1);
    auto a = h::simulate({negotiate({0x0210})});
    auto b = h::simulate({negotiate({0x0210})});
    ASSERT_EQ(1u, a.replies.size());
    ASSERT_EQ(1u, b.replies.size());
    EXPECT_EQ(a.replies[0], b.replies[0]);
    EXPECT_EQ(CLOCK_FILETIME, h::le64(a.replies[0], 64 + 40));
    EXPECT_EQ(h::hex(derived_challenge()),
              h::hex(bytes(a.replies[0].begin() + 128 + 24, a.replies[0].begin() + 128 + 32)));

    // A different server name moves both the GUID and the challenge.
    ASSERT_EQ(0, vlsmb2s_set_option("server_name", "OTHER"));
    auto c = h::simulate({negotiate({0x0210})});
    ASSERT_EQ(1u, c.replies.size());
    EXPECT_EQ(guid_seed("OTHER"), h::le64(c.replies[0], 64 + 8));
    EXPECT_EQ(h::hex(derived_challenge(CLOCK, "OTHER")),
              h::hex(bytes(c.replies[0].begin() + 128 + 24, c.replies[0].begin() + 128 + 32)));
}

TEST_F(Negotiate, SystemClockChallengeIsUnpredictable)
{
    ASSERT_EQ(0, vlsmb2s_set_option("clock", "0"));
    setenv("VLSMB2S_RAW_NTLM_NEGO", "1", 1);
    std::vector<bytes> seen;
    for (int i = 0; i < 4; i++) {
        auto r = h::simulate({negotiate({0x0210})});
        ASSERT_EQ(1u, r.replies.size());
        bytes ch(r.replies[0].begin() + 128 + 24, r.replies[0].begin() + 128 + 32);
        for (const bytes &s : seen) EXPECT_NE(h::hex(s), h::hex(ch));
        seen.push_back(ch);
        // The GUID stays derived from the name.
        EXPECT_EQ(guid_seed(), h::le64(r.replies[0], 64 + 8));
    }
}

TEST_F(Negotiate, Smb1MultiProtocol)
{
    const bytes tok = spnego_resp_124(challenge_msg(derived_challenge()));
    struct {
        std::vector<std::string> dialects;
        uint16_t dialect;
    } cases[] = {
        {{"NT LM 0.12", "SMB 2.002", "SMB 2.???"}, 0x0210},
        {{"NT LM 0.12", "SMB 2.002"}, 0x0202},
        {{"SMB 2.???"}, 0x0210},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dialect);
        int64_t neg = vl2_stat_get(VL2_ST_NEGOTIATE);
        auto res = h::simulate({smb1_negotiate(c.dialects)});
        ASSERT_EQ(1u, res.replies.size()) << res.text;
        bytes want = h::cat(rsp_hdr(0, SUCCESS, 0), negotiate_rsp_body(c.dialect, 1, 0, 65536, 65536, tok));
        EXPECT_EQ(h::hex(want), h::hex(res.replies[0]));
        EXPECT_EQ(neg + 1, vl2_stat_get(VL2_ST_NEGOTIATE));
    }
}

TEST_F(Negotiate, Smb1WithoutSmb2DialectStaysOpen)
{
    bytes not_nego = smb1_negotiate({"SMB 2.002"});
    not_nego[4 + 4] = 0x73;
    bytes too_short = h::frame({0xFF, 'S', 'M', 'B', 0x72, 0, 0, 0});
    for (const bytes &f : {smb1_negotiate({"NT LM 0.12", "LANMAN2.1"}), not_nego, too_short}) {
        int64_t errs = vl2_stat_get(VL2_ST_PROTOCOL_ERRORS);
        auto res = h::simulate({f, negotiate({0x0202})});
        ASSERT_EQ(2u, res.replies.size()) << res.text;
        EXPECT_EQ(NOT_SUPPORTED, h::status(res.replies[0]));
        EXPECT_EQ(0u, h::le64(res.replies[0], 40));
        EXPECT_EQ(SUCCESS, h::status(res.replies[1]));
        EXPECT_EQ(errs + 1, vl2_stat_get(VL2_ST_PROTOCOL_ERRORS));
    }
}

TEST_F(Negotiate, Smb1AnnouncesRequiredSigning)
{
    ASSERT_EQ(0, vlsmb2s_set_option("signing", "required"));
    auto res = h::simulate({smb1_negotiate({"SMB 2.002"})});
    ASSERT_EQ(1u, res.replies.size());
    EXPECT_EQ(3, h::le16(res.replies[0], 64 + 2));
}

}  // namespace
