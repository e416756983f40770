// The connection loop: frame prefixes, limits, time-outs, writing, trace.
#include "engine_fixture.h"

#include "sess/sess.h"
#include "util/util.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

using namespace eng;
using h::bytes;

namespace {

class Loop : public Engine {};

// A transport whose reads are answered by a function; the writes are kept.
struct fn_io {
    std::function<int(uint8_t *, int32_t, int)> read;
    bytes written;
    int writes = 0;
    int reads = 0;
    int stopping = 0;  // what the transport's stop test answers
};

int fn_read(void *ctx, uint8_t *buf, int32_t count, int timeout)
{
    fn_io *f = (fn_io *)ctx;
    if (++f->reads > 200) return -1;  // guard: the loop should have ended long before
    return f->read(buf, count, timeout);
}

int fn_write(void *ctx, const uint8_t *b, int32_t n)
{
    fn_io *f = (fn_io *)ctx;
    f->written.insert(f->written.end(), b, b + n);
    f->writes++;
    return 0;
}

void run(fn_io *f)
{
    vl2_io io = {};
    io.ctx = f;
    io.read = fn_read;
    io.write = fn_write;
    io.stopping = [](void *ctx) { return ((fn_io *)ctx)->stopping; };
    vl2_ip ip = {};
    vl2_ip_parse("127.0.0.1", &ip);
    vl2_sess_run(&io, &ip, 0);
}

// Reads that hand out bytes of `data` at most `step` at a time and then
// behave like a silent peer (time-outs after sleeping the poll time).
std::function<int(uint8_t *, int32_t, int)> then_silence(bytes data, size_t step = 1 << 30, int delay_ms = 0)
{
    auto pos = std::make_shared<size_t>(0);
    return [data, pos, step, delay_ms](uint8_t *buf, int32_t count, int timeout) {
        if (*pos >= data.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
            return -2;
        }
        if (delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        size_t n = std::min({(size_t)count, step, data.size() - *pos});
        memcpy(buf, data.data() + *pos, n);
        *pos += n;
        return (int)n;
    };
}

TEST_F(Loop, FramingFaultsEndTheConnection)
{
    struct {
        bytes prefix;
        int64_t protocol_errors;
    } cases[] = {
        {{0x85, 0, 0, 0}, 1}, {{0x01, 0, 0, 4}, 1}, {{0x00, 0x40, 0x00, 0x01}, 1},  // 4 MiB + 1: over the limit
    };
    for (auto &c : cases) {
        reset();
        h::SimResult r = h::simulate({c.prefix, h::frame(echo(1))});
        EXPECT_EQ(r.replies.size(), 0u) << h::hex(c.prefix);
        EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), c.protocol_errors);
        EXPECT_EQ(stat(VL2_ST_CONNECTIONS), 0);
    }
}

TEST_F(Loop, FrameLengthLimitFollowsMaxMessageUpToFourMiB)
{
    struct {
        const char *max_message;
        size_t len;
        bool served;
    } cases[] = {
        {"65536", 65536, true},       {"65536", 65537, false},   {"16777216", 4194304, true},
        {"16777216", 4194305, false}, {"4194304", 100000, true},
    };
    for (auto &c : cases) {
        reset();
        ASSERT_EQ(vlsmb2s_set_option("max_message", c.max_message), 0);
        bytes body = echo(9);
        body.resize(c.len, 0xAB);  // trailing bytes after an ECHO are ignored
        int calls = 0;
        std::vector<bytes> rep = h::converse([&](const std::vector<bytes> &) {
            return ++calls == 1 ? std::vector<bytes>{h::frame(negotiate_req()), h::frame(body), h::frame(echo(10))}
                                : std::vector<bytes>{};
        });
        EXPECT_EQ(rep.size(), c.served ? 3u : 1u) << c.max_message << " " << c.len;
        EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), c.served ? 0 : 1);
    }
}

TEST_F(Loop, PeerClosingEndsQuietly)
{
    fn_io f;
    f.read = [](uint8_t *, int32_t, int) { return 0; };
    run(&f);
    EXPECT_EQ(f.reads, 3);
    EXPECT_EQ(stat(VL2_ST_TIMEOUTS), 0);
    EXPECT_EQ(stat(VL2_ST_CONNECTIONS), 0);
    EXPECT_TRUE(f.written.empty());
}

TEST_F(Loop, KeepAliveAndSessionRequest)
{
    bytes in = {0, 0, 0, 0, 0x81, 0, 0, 0x44};
    in.resize(in.size() + 0x44, 0x20);
    in = h::cat(in, h::cat(h::frame(negotiate_req()), h::frame(echo(5))));
    fn_io f;
    auto pos = std::make_shared<size_t>(0);
    f.read = [in, pos](uint8_t *buf, int32_t count, int) {
        if (*pos >= in.size()) return 0;
        size_t n = std::min((size_t)count, in.size() - *pos);
        memcpy(buf, in.data() + *pos, n);
        *pos += n;
        return (int)n;
    };
    run(&f);
    ASSERT_GE(f.written.size(), 8u);
    EXPECT_EQ(h::hex(bytes(f.written.begin(), f.written.begin() + 4)), "82000000");
    // Then the NEGOTIATE reply and the 68-byte ECHO reply, each with its prefix.
    ASSERT_GE(f.written.size(), 4u + 4 + 64 + 4 + 68);
    EXPECT_EQ(h::hex(bytes(f.written.end() - 72, f.written.end() - 68)), "00000044");
}

// Peers that never finish a frame are cut off by the idle limit, whatever
// shape their silence takes.
TEST_F(Loop, IdleLimitCutsOffStalledPeers)
{
    ASSERT_EQ(vlsmb2s_set_option("idle_timeout_ms", "300"), 0);
    bytes half = h::frame(echo(1));
    half.resize(30);
    bytes big = {0, 0, 0x10, 0};  // announces 4,096 bytes
    big.resize(4 + 4096, 0);
    bytes sreq = {0x81, 0, 0, 0x44};
    struct {
        const char *what;
        std::function<int(uint8_t *, int32_t, int)> read;
    } cases[] = {
        {"silent", then_silence({})},
        {"half frame", then_silence(half)},
        {"drip of one byte every 90 ms", then_silence(big, 1, 90)},
        {"session request body never comes", then_silence(sreq)},
        {"session request body drips", then_silence(h::cat(sreq, bytes(0x44, 0)), 1, 90)},
    };
    for (auto &c : cases) {
        int64_t before = stat(VL2_ST_TIMEOUTS);
        fn_io f;
        f.read = c.read;
        run(&f);
        EXPECT_LT(f.reads, 200) << c.what;
        EXPECT_EQ(stat(VL2_ST_TIMEOUTS), before + 1) << c.what;
        EXPECT_TRUE(f.written.empty()) << c.what;
    }
}

TEST_F(Loop, StopFlagEndsEvenADrippingPeer)
{
    bytes big = {0, 0, 0x10, 0};
    big.resize(4 + 4096, 0);
    for (auto read : {then_silence({}), then_silence(big, 1, 0)}) {
        fn_io f;
        f.read = read;
        f.stopping = 1;
        run(&f);
        EXPECT_LE(f.reads, 2);
    }
    EXPECT_EQ(stat(VL2_ST_TIMEOUTS), 0);
}

TEST_F(Loop, SixtyFourByteSuccessReplyIsNotWritten)
{
    g_test_handlers[CMD_TREE_CONNECT] = [](vl2_sess *, vl2_rd *, vl2_reply *) { return (uint32_t)ST_SUCCESS; };
    h::SimResult r = h::simulate({h::frame(req(CMD_TREE_CONNECT, 1))});
    EXPECT_EQ(r.text, ">> TREE_CONNECT\nRESULT ok (0 frames)\n");
}

TEST_F(Loop, LongReplyGoesOutWithItsPrefixAndIsCounted)
{
    g_test_handlers[CMD_TREE_CONNECT] = [](vl2_sess *, vl2_rd *, vl2_reply *r) {
        wzero(&r->b, 5000 - 64);
        return (uint32_t)ST_SUCCESS;
    };
    fn_io f;
    bytes nego = h::frame(negotiate_req());
    f.read = then_silence(h::cat(nego, h::frame(req(CMD_TREE_CONNECT, 1))));
    ASSERT_EQ(vlsmb2s_set_option("idle_timeout_ms", "100"), 0);
    run(&f);
    ASSERT_GT(f.written.size(), 5004u);
    const size_t at = f.written.size() - 5004;  // after the NEGOTIATE reply
    EXPECT_EQ(h::hex(bytes(f.written.begin() + at, f.written.begin() + at + 4)), "00001388");
    EXPECT_EQ(stat(VL2_ST_BYTES_SENT), (int64_t)(at - 4) + 5000) << "both bodies, without prefixes";
}

TEST_F(Loop, FailedReplyIsDroppedAndTheConnectionCloses)
{
    // Growth beyond 64 KiB fails: the handler's reply is incomplete.
    vl2_buf_set_realloc([](void *p, size_t n) -> void * { return n > 65536 ? nullptr : realloc(p, n); });
    g_test_handlers[CMD_TREE_CONNECT] = [](vl2_sess *, vl2_rd *, vl2_reply *r) {
        wzero(&r->b, 100000);
        return (uint32_t)ST_SUCCESS;
    };
    h::SimResult r = h::simulate({h::frame(req(CMD_TREE_CONNECT, 1)), h::frame(echo(2))});
    vl2_buf_set_realloc(nullptr);
    EXPECT_EQ(r.text, ">> TREE_CONNECT\nRESULT ok (0 frames)\n");
}

TEST_F(Loop, FrameNames)
{
    bytes create = h::smb2_hdr(0x0105, 1);
    bytes odd = h::smb2_hdr(0x0013, 1);
    bytes smb1 = {0xFF, 'S', 'M', 'B', 0x72, 0};
    bytes smb1x = {0xFF, 'S', 'M', 'B', 0x73};
    struct {
        bytes b;
        const char *name;
    } cases[] = {
        {{}, "?"},
        {{0xFF, 'S', 'M'}, "?"},
        {{0xFF, 'S', 'M', 'B'}, "SMB1"},
        {smb1, "SMB1_NEGOTIATE"},
        {smb1x, "SMB1"},
        {bytes(63, 0), "?"},
        {create, "CREATE"},
        {odd, "?"},
        {h::smb2_hdr(18, 1), "OPLOCK_BREAK"},
    };
    for (auto &c : cases) EXPECT_STREQ(vl2_frame_name(c.b.data(), c.b.size()), c.name) << h::hex(c.b);
    EXPECT_STREQ(vl2_cmd_name(0x0100), "NEGOTIATE");
    EXPECT_STREQ(vl2_cmd_name(19), "?");
}

// Frames that arrive back to back are taken in together: every one is
// answered in order, also one that straddles the end of the receive buffer
// and a long one that makes the buffer grow while others wait behind it.
TEST_F(Loop, BackToBackFramesAreAllServedInOrder)
{
    bytes longer = echo(2000);
    longer.resize(100000, 0xAB);  // trailing bytes after an ECHO are ignored
    std::vector<bytes> in = {h::frame(negotiate_req())};
    for (uint64_t mid = 1; mid <= 1000; mid++) in.push_back(h::frame(echo(mid)));  // 72,000 bytes
    in.push_back(h::frame(longer));
    in.push_back(h::frame(echo(2001)));
    int calls = 0;
    std::vector<bytes> rep =
        h::converse([&](const std::vector<bytes> &) { return ++calls == 1 ? in : std::vector<bytes>{}; });
    ASSERT_EQ(rep.size(), 1003u);
    rep.erase(rep.begin());
    for (size_t i = 0; i < rep.size(); i++) {
        uint64_t want = i < 1000 ? i + 1 : 2000 + (i - 1000);
        ASSERT_EQ(vl2_le64(&rep[i][24]), want) << i;
    }
    EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), 0);
}

TEST_F(Loop, TraceShowsBoundedDumps)
{
    setenv("VLSMB2S_TRACE", "1", 1);
    bytes body = echo(4);
    body.resize(300, 0x11);
    g_test_handlers[CMD_TREE_CONNECT] = [](vl2_sess *, vl2_rd *, vl2_reply *r) {
        wzero(&r->b, 300 - 64);
        return (uint32_t)ST_SUCCESS;
    };
    testing::internal::CaptureStderr();
    h::simulate({h::frame(negotiate_req()), h::frame(body), h::frame(req(CMD_TREE_CONNECT, 5))});
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("VLSMB2S_TRACE");
    auto line_of = [&](const std::string &start) {
        size_t p = err.find(start);
        if (p == std::string::npos) return std::string();
        return err.substr(p, err.find('\n', p) - p);
    };
    std::string rq = line_of("[vlsmb2s 0] >> ECHO hex:");
    EXPECT_EQ(rq.size(), std::string("[vlsmb2s 0] >> ECHO hex:").size() + 176 * 3) << err;
    EXPECT_NE(err.find("[vlsmb2s 0] SEND 68 bytes status=00000000\n"), std::string::npos);
    EXPECT_NE(err.find("[vlsmb2s 0] << 68 bytes SUCCESS\n"), std::string::npos);
    EXPECT_NE(err.find("[vlsmb2s 0] << 300 bytes SUCCESS\n"), std::string::npos);
    // The dump of the 300-byte reply shows 200 bytes.
    size_t p = err.find("[vlsmb2s 0] SEND 300");
    ASSERT_NE(p, std::string::npos);
    size_t dump_end = err.rfind('\n', p - 1);
    size_t dump_start = err.rfind('\n', dump_end - 1) + 1;
    EXPECT_EQ(dump_end - dump_start, 200u * 3);
}

}  // namespace
