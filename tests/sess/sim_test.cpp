// The simulator: script syntax, limits, messages, transcript and its cap.
#include "engine_fixture.h"

#include <string>

using namespace eng;
using h::bytes;

namespace {

class Sim : public Engine {};

std::string echo_line(uint64_t mid) { return h::hex(h::frame(echo(mid))); }
// The NEGOTIATE line a conversation opens with.
std::string nego_line() { return h::hex(h::frame(negotiate_req())) + "\n"; }
const char kResult0[] = "RESULT ok (0 frames)\n";

TEST_F(Sim, EmptyAndCommentOnlyScriptsGiveTheResultLineAlone)
{
    for (const char *script : {"", "\n\n", "# a comment\n   \n\t\r\n#another", "00000000\n00000000"}) {
        const char *t = vlsmb2s_simulate(script, nullptr);
        ASSERT_NE(t, nullptr) << script;
        EXPECT_STREQ(t, kResult0) << script;
    }
}

TEST_F(Sim, EchoFrameGivesRequestReplyAndCount)
{
    h::SimResult r = h::simulate_script(nego_line() + echo_line(7) + "\r\n");
    ASSERT_EQ(r.lines.size(), 5u) << r.text;
    EXPECT_EQ(r.lines[0], ">> NEGOTIATE");
    EXPECT_EQ(r.lines[2], ">> ECHO");
    ASSERT_EQ(r.replies.size(), 2u);
    EXPECT_EQ(r.lines[3], "<< " + h::hex(r.replies[1]));
    EXPECT_EQ(r.lines[4], "RESULT ok (2 frames)");
    EXPECT_EQ(h::status(r.replies[1]), 0u);
}

TEST_F(Sim, BadScriptsFailWithTheirMessage)
{
    struct {
        std::string script;
        const char *message;
    } cases[] = {
        {"000000\n", "simulate: bad frame hex on a script line"},
        {"0000000g\n", "simulate: bad frame hex on a script line"},
        {"000\n", "simulate: bad frame hex on a script line"},
        {"00000000" + std::string(65528, ' ') + "\n", "simulate: script line too long"},
        {"!" + std::string(2 * 16385, '0'), "simulate: bad !raw hex"},
    };
    for (auto &c : cases) {
        int64_t before = stat(VL2_ST_CONNECTIONS) + stat(VL2_ST_PROTOCOL_ERRORS);
        EXPECT_EQ(vlsmb2s_simulate(c.script.c_str(), nullptr), nullptr) << c.script.substr(0, 20);
        EXPECT_STREQ(vlsmb2s_last_error(), c.message);
        EXPECT_EQ(stat(VL2_ST_CONNECTIONS) + stat(VL2_ST_PROTOCOL_ERRORS), before);
    }
    EXPECT_EQ(vlsmb2s_simulate(nullptr, nullptr), nullptr);
    EXPECT_STREQ(vlsmb2s_last_error(), "simulate: NULL script");
    EXPECT_EQ(vlsmb2s_simulate("", "not-an-ip"), nullptr);
    EXPECT_STREQ(vlsmb2s_last_error(), "simulate: not-an-ip is not an IP address");
}

TEST_F(Sim, LimitsAreInclusive)
{
    // 65,535 bytes per line and 16,384 raw bytes are still accepted.
    std::string line = "00000000" + std::string(65535 - 8, ' ');
    EXPECT_STREQ(vlsmb2s_simulate(line.c_str(), nullptr), kResult0);
    std::string raw = "!" + std::string(2 * 16384, '0');  // 4,096 keep-alives
    EXPECT_STREQ(vlsmb2s_simulate(raw.c_str(), nullptr), kResult0);
}

TEST_F(Sim, RawLinesAreAppendedAsTheyAre)
{
    std::string f = h::hex(h::frame(echo(3)));
    // Invalid raw lines are ignored; a frame may be split over raw lines.
    std::string script =
        nego_line() + "!zz\n!" + f.substr(0, 6) + "\n! " + f.substr(6, 20) + " \n!" + f.substr(26) + "\n";
    h::SimResult r = h::simulate_script(script);
    ASSERT_EQ(r.replies.size(), 2u) << r.text;
    EXPECT_EQ(r.lines[2], ">> ECHO");
    // "!0000" twice makes one keep-alive.
    EXPECT_STREQ(vlsmb2s_simulate("!0000\n!0000\n", nullptr), kResult0);
}

TEST_F(Sim, SessionRequestIsAnsweredOutsideTheTranscript)
{
    std::string script = "81000044" + std::string(136, '0') + "\n" + nego_line() + echo_line(1) + "\n";
    h::SimResult r = h::simulate_script(script);
    ASSERT_EQ(r.lines.size(), 5u) << r.text;
    EXPECT_EQ(r.lines[0], ">> NEGOTIATE");
    EXPECT_EQ(r.lines[2], ">> ECHO");
    EXPECT_EQ(r.lines[4], "RESULT ok (2 frames)");
}

TEST_F(Sim, ClientAddressPolicy)
{
    const char *t = vlsmb2s_simulate(echo_line(1).c_str(), "10.1.2.3");
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "refused: client address not allowed\n");
    EXPECT_EQ(stat(VL2_ST_REFUSED_ALLOW), 1);
    EXPECT_EQ(stat(VL2_ST_CONNECTIONS), 0);
    h::SimResult r = h::simulate_script(nego_line() + echo_line(1), "::1");
    EXPECT_EQ(r.replies.size(), 2u);
    ASSERT_EQ(vlsmb2s_allow_cidr("10.0.0.0/8"), 0);
    r = h::simulate_script(nego_line() + echo_line(1), "10.1.2.3");
    EXPECT_EQ(r.replies.size(), 2u);
    EXPECT_EQ(stat(VL2_ST_REFUSED_ALLOW), 1);
}

TEST_F(Sim, TranscriptIsCappedButCountsEveryReply)
{
    // 240 frames of 64 ECHOs: about 2.2 MB of reply hex.
    std::vector<bytes> parts;
    for (int i = 0; i < 64; i++) parts.push_back(echo(i + 1));
    std::string line = h::hex(h::frame(compound(parts))) + "\n";
    std::string script = nego_line();
    for (int i = 0; i < 240; i++) script += line;
    const char *t = vlsmb2s_simulate(script.c_str(), nullptr);
    ASSERT_NE(t, nullptr);
    std::string text = t;
    const std::string tail = "[truncated]\nRESULT ok (241 frames)\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find("[truncated]"), text.rfind("[truncated]"));
    EXPECT_LE(text.size(), 2097152u + tail.size());
}

}  // namespace
