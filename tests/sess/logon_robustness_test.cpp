// Truncated and randomly damaged NEGOTIATE and SESSION_SETUP requests: the
// statuses they must get, and (under AddressSanitizer) no read outside the
// frame: each frame is handed over in a heap block of exactly its length.
#include "logon_util.h"

#include "sess/engine.h"

#include <algorithm>
#include <memory>
#include <random>

using namespace lg;
using h::bytes;

namespace {

class LogonRobust : public LogonTest {};

bytes g_sent;  // what send_frame wrote for the frame in hand (prefix included)
int capture(void *, const uint8_t *b, int32_t n)
{
    g_sent.insert(g_sent.end(), b, b + n);
    return 0;
}

// Feeds frames (with their prefix, as the builders make them) straight to
// frame_in, each copied into a heap block of exactly its length so that
// AddressSanitizer reports any byte read beyond it. Returns every reply
// built; stops when the connection would close.
std::vector<bytes> direct(const std::vector<bytes> &frames)
{
    static const vl2_io io = {nullptr, capture, nullptr, nullptr, nullptr, nullptr};
    auto s = std::make_unique<vl2_sess>();
    s->io = &io;
    snprintf(s->peer_text, sizeof s->peer_text, "127.0.0.1");
    vl2_opts_get(&s->opts);
    std::vector<bytes> out;
    for (const bytes &f : frames) {
        size_t n = f.size() - 4;
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
        memcpy(exact.get(), f.data() + 4, n);
        vl2_reply r{};
        int send = 0;
        g_sent.clear();
        frame_in(s.get(), exact.get(), n, &r, &send);
        if (r.b.len == 0 && g_sent.size() > 4)
            out.emplace_back(g_sent.begin() + 4, g_sent.end());  // a standalone error
        else
            out.emplace_back(r.b.data, r.b.data + r.b.len);
        vl2_buf_free(&r.b);
        if (s->closing) break;
    }
    sess_release_opens(s.get());
    sess_release_trees(s.get());
    return out;
}

bytes first_reply_or_empty(const std::vector<bytes> &frames)
{
    auto r = direct(frames);
    return r.empty() ? bytes() : r[0];
}

TEST_F(LogonRobust, EveryTruncationOfNegotiate)
{
    const bytes body = negotiate_body({0x0202, 0x0210});
    for (size_t n = 0; n <= body.size(); n++) {
        SCOPED_TRACE(n);
        bytes r = first_reply_or_empty({request(0, 1, bytes(body.begin(), body.begin() + n))});
        // Up to the ClientGuid the body is malformed; after it the list is
        // incomplete and no candidate place holds a usable dialect.
        uint32_t want = n < 28 ? INVALID : n < body.size() ? NOT_SUPPORTED : SUCCESS;
        EXPECT_EQ(want, h::status(r));
    }
}

TEST_F(LogonRobust, RandomNegotiateFields)
{
    std::mt19937 rng(4711);
    for (int iter = 0; iter < 400; iter++) {
        bytes body = negotiate_body({0x0202, 0x0210});
        uint16_t count = (uint16_t)(rng() % 40);
        body[2] = (uint8_t)count;
        body[3] = (uint8_t)(rng() % 8 == 0 ? rng() : 0);
        size_t extra = rng() % 80;
        for (size_t i = 0; i < extra; i++) body.push_back((uint8_t)(rng() % 3 == 0 ? rng() : (i & 1 ? 0x02 : 0x10)));
        if (rng() % 4 == 0) body.resize(rng() % body.size());
        SCOPED_TRACE(h::hex(body));
        bytes r = first_reply_or_empty({request(0, 1, body)});
        uint32_t st = h::status(r);
        uint16_t real_count = body.size() >= 4 ? h::le16(body, 2) : 0;
        if (body.size() < 28 || real_count < 1 || real_count > 32)
            EXPECT_EQ(INVALID, st);
        else
            EXPECT_TRUE(st == SUCCESS || st == NOT_SUPPORTED || st == INVALID) << std::hex << st;
        if (st == SUCCESS) {
            uint16_t d = h::le16(r, 64 + 4);
            EXPECT_TRUE(d == 0x0202 || d == 0x0210);
        }
    }
}

TEST_F(LogonRobust, EveryTruncationOfSmb1Negotiate)
{
    bytes b = {0xFF, 'S', 'M', 'B', 0x72};
    b.resize(32, 0);
    const char names[] = "\x02NT LM 0.12\0\x02SMB 2.002\0\x02SMB 2.???";
    b.push_back(0);
    put16(b, sizeof names);
    b.insert(b.end(), names, names + sizeof names);
    auto end_of = [&](const char *what) {
        return (size_t)(std::search(b.begin(), b.end(), what, what + 9) - b.begin()) + 9;
    };
    const size_t end202 = end_of("SMB 2.002"), endany = end_of("SMB 2.???");
    for (size_t n = 0; n <= b.size(); n++) {
        SCOPED_TRACE(n);
        auto res = direct({h::frame(bytes(b.begin(), b.begin() + n))});
        ASSERT_EQ(1u, res.size());
        if (n < 4) {
            EXPECT_TRUE(res[0].empty());  // not SMB1, no SMB2 header: dropped
        } else if (n < end202) {
            EXPECT_EQ(NOT_SUPPORTED, h::status(res[0]));
        } else {
            EXPECT_EQ(SUCCESS, h::status(res[0]));
            EXPECT_EQ(n >= endany ? 0x0210 : 0x0202, h::le16(res[0], 64 + 4));
        }
    }
}

TEST_F(LogonRobust, EveryTruncationOfSessionSetup)
{
    // Raw NTLM NEGOTIATE; the buffer sits right after the fixed part.
    const bytes blob = h::unhex("4e544c4d5353500001000000358288e000000000000000000000000000000000");
    const bytes body = setup_body(blob);
    for (size_t n = 0; n <= body.size(); n++) {
        SCOPED_TRACE(n);
        int64_t failed = vl2_stat_get(VL2_ST_LOGON_FAILED);
        auto res = direct({negotiate({0x0210}), request(1, 1, bytes(body.begin(), body.begin() + n))});
        ASSERT_EQ(2u, res.size());
        EXPECT_EQ(n < body.size() ? INVALID : MORE, h::status(res[1]));
        EXPECT_EQ(failed, vl2_stat_get(VL2_ST_LOGON_FAILED));  // structural faults are not logon failures
    }
}

TEST_F(LogonRobust, RandomSecurityBufferOffsetsAndLengths)
{
    std::mt19937 rng(99);
    const bytes blob = h::unhex("4e544c4d5353500001000000358288e000000000000000000000000000000000");
    const std::vector<uint16_t> near = {0, 1, 63, 64, 87, 88, 89, 119, 120, 121, 0x7fff, 0xffff};
    for (int iter = 0; iter < 600; iter++) {
        uint16_t off = iter % 2 ? (uint16_t)rng() : near[rng() % near.size()];
        uint16_t len = iter % 3 ? (uint16_t)(rng() % 64) : (uint16_t)rng();
        bytes body = setup_body(blob, 1, off, len);
        SCOPED_TRACE(std::to_string(off) + "/" + std::to_string(len));
        auto res = direct({negotiate({0x0210}), request(1, 1, body)});
        ASSERT_EQ(2u, res.size());
        uint32_t st = h::status(res[1]);
        bool inside = off >= 64 && (size_t)off - 64 + len <= body.size();
        if (!inside)
            EXPECT_EQ(INVALID, st);
        else
            EXPECT_TRUE(st == MORE || st == LOGON_FAILURE || st == INVALID) << std::hex << st;
    }
}

TEST_F(LogonRobust, BlobClassification)
{
    ASSERT_EQ(0, vlsmb2s_add_user("alice", "Secret-1"));
    const bytes ntlm = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    struct {
        const char *what;
        bytes blob;
        uint32_t status;
        bool counted;
    } cases[] = {
        {"empty", {}, LOGON_FAILURE, true},
        {"one byte", {0x60}, LOGON_FAILURE, true},
        {"not DER, not NTLM", h::unhex("0102030405060708090a"), LOGON_FAILURE, true},
        {"signature only", ntlm, INVALID, true},
        {"type 2 from a client", h::cat(ntlm, {2, 0, 0, 0}), INVALID, true},
        {"signature and 3 bytes of type", h::cat(ntlm, {1, 0, 0}), INVALID, true},
        {"raw type 1", h::cat(ntlm, {1, 0, 0, 0}), MORE, false},
        {"raw type 3, too short", h::cat(ntlm, {3, 0, 0, 0}), LOGON_FAILURE, true},
        {"SPNEGO without NTLM in mechTypes", h::unhex("601a06062b0601050502a010300ea00c300a06082a864886f7120102"),
         LOGON_FAILURE, true},
        {"negTokenResp with a non-NTLM token", h::unhex("a10c300aa2080406414243444546"), LOGON_FAILURE, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int64_t failed = vl2_stat_get(VL2_ST_LOGON_FAILED);
        auto res = direct({negotiate({0x0210}), setup(1, 0, c.blob)});
        ASSERT_EQ(2u, res.size());
        EXPECT_EQ(c.status, h::status(res[1]));
        EXPECT_EQ(failed + (c.counted ? 1 : 0), vl2_stat_get(VL2_ST_LOGON_FAILED));
        if (c.counted) {  // the 8-byte failure body
            EXPECT_EQ(72u, res[1].size());
        }
    }
}

TEST_F(LogonRobust, DamagedAuthenticateNeverCrashes)
{
    ASSERT_EQ(0, vlsmb2s_add_user("alice", "Secret-1"));
    ASSERT_EQ(0, vlsmb2s_set_option("max_login_failures", "100"));
    // One real AUTHENTICATE for the frozen challenge, then many damaged copies.
    bytes chal = spnego_resp_124(challenge_msg(derived_challenge()));
    bytes auth = py_auth(false, chal, "alice", "Secret-1").first;
    ASSERT_GT(auth.size(), 100u);
    std::mt19937 rng(7);
    for (int round = 0; round < 4; round++) {
        std::vector<bytes> frames = {negotiate({0x0210})};
        for (int i = 0; i < 90; i++) {  // stays below the failure limit
            bytes a = auth;
            int edits = 1 + (int)(rng() % 4);
            for (int e = 0; e < edits; e++) {
                size_t at = rng() % a.size();
                a[at] = (uint8_t)(rng() % 2 ? rng() : a[at] ^ 0xFF);
            }
            if (rng() % 5 == 0) a.resize(rng() % a.size());
            frames.push_back(setup(1 + i, 0, a));
        }
        auto res = direct(frames);
        ASSERT_EQ(frames.size(), res.size());
        for (size_t i = 1; i < res.size(); i++) {
            uint32_t st = h::status(res[i]);
            EXPECT_TRUE(st == LOGON_FAILURE || st == INVALID || st == MORE || st == SUCCESS || st == NOT_ACCEPTED)
                << i << " " << std::hex << st;
        }
    }
}

}  // namespace
