// The request walk: compounds, credits, related operations, refusals,
// inline commands, cascades, signing and the reply cap.
#include "engine_fixture.h"

#include "crypto/crypto.h"

using namespace eng;
using h::bytes;

namespace {

class Walk : public Engine {};

const char kErrBody[] = "090000000000000000";

bytes body_of(const bytes &resp) { return bytes(resp.begin() + 64, resp.end()); }

TEST_F(Walk, EchoResponseEchoesTheHeader)
{
    bytes rq = h::smb2_hdr(13, 0x1122334455667788ULL, 0xAABBCCDD00112233ULL, 0x77, 0, 5, 0, 3);
    rq = h::cat(rq, {4, 0, 0, 0});
    auto rep = one(rq);
    ASSERT_EQ(rep.size(), 1u);
    bytes expect = h::smb2_hdr(13, 0x1122334455667788ULL, 0xAABBCCDD00112233ULL, 0x77, 1, 5, 0, 3);
    EXPECT_EQ(h::hex(rep[0]), h::hex(expect) + "04000000");
}

TEST_F(Walk, CreditGrant)
{
    struct {
        uint16_t ask, granted;
    } cases[] = {{0, 1}, {1, 1}, {5, 5}, {128, 128}, {500, 128}};
    for (auto c : cases) {
        auto rep = one(echo(1, 0, 0, c.ask));
        ASSERT_EQ(rep.size(), 1u);
        EXPECT_EQ(h::le16(rep[0], 14), c.granted) << c.ask;
    }
}

TEST_F(Walk, CompoundOfEchoesIsChainedAndAligned)
{
    auto rep = one(compound({echo(1), echo(2), echo(3)}));
    ASSERT_EQ(rep.size(), 1u);
    ASSERT_EQ(rep[0].size(), 72u + 72 + 68);
    auto parts = split(rep[0]);
    ASSERT_EQ(parts.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(h::le32(parts[i], 16), i == 0 ? 1u : 5u);
        EXPECT_EQ(h::le32(parts[i], 20), i < 2 ? 72u : 0u);
        EXPECT_EQ(h::le64(parts[i], 24), i + 1);
        EXPECT_EQ(h::status(parts[i]), 0u);
    }
}

TEST_F(Walk, SixtyFifthRequestIsRefused)
{
    std::vector<bytes> parts;
    for (int i = 0; i < 65; i++) parts.push_back(echo(i + 1));
    auto rep = one(compound(parts));
    ASSERT_EQ(rep.size(), 1u);
    auto resp = split(rep[0]);
    ASSERT_EQ(resp.size(), 65u);
    for (int i = 0; i < 64; i++) EXPECT_EQ(h::status(resp[i]), 0u) << i;
    EXPECT_EQ(h::status(resp[64]), ST_INVALID_PARAMETER);
    EXPECT_EQ(h::le16(resp[64], 12), 0u);
    EXPECT_EQ(h::hex(body_of(resp[64])), kErrBody);
    EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), 1);
}

TEST_F(Walk, DamagedOrMisplacedMembers)
{
    // NextCommand pointing 8 bytes before the end: INVALID_PARAMETER for command 0.
    bytes a = echo(1);
    a.resize(72);
    vl2_put32(&a[20], 72);
    bytes f = h::cat(a, bytes(8, 0));
    auto resp = split(one(f).at(0));
    ASSERT_EQ(resp.size(), 2u);
    EXPECT_EQ(h::status(resp[1]), ST_INVALID_PARAMETER);
    EXPECT_EQ(h::le16(resp[1], 12), 0u);
    EXPECT_EQ(h::hex(body_of(resp[1])), kErrBody);
    EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), 0);

    // A damaged second header names its command.
    bytes b = echo(2);
    b[1] = 'X';
    resp = split(one(compound({echo(1), b})).at(0));
    ASSERT_EQ(resp.size(), 2u);
    EXPECT_EQ(h::le16(resp[1], 12), 13u);

    // NextCommand beyond the frame: what was answered is sent, counted once.
    bytes c = echo(1);
    vl2_put32(&c[20], 4096);
    resp = split(one(c).at(0));
    EXPECT_EQ(resp.size(), 1u);
    EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), 1);
}

TEST_F(Walk, NoValidHeaderClosesSilently)
{
    h::SimResult r = h::simulate({h::frame(bytes(63, 0)), h::frame(echo(1))});
    EXPECT_EQ(r.replies.size(), 0u);
    EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), 1);
}

TEST_F(Walk, MutatingCommandsAreRefusedAndTheCompoundGoesOn)
{
    for (uint16_t cmd : {CMD_FLUSH, CMD_WRITE, CMD_LOCK, CMD_SET_INFO}) {
        reset();
        bytes w = h::smb2_hdr(cmd, 1, 9, 8, 0, 3, 0, 2);
        w.resize(64 + 48, 0);
        auto resp = split(one(compound({w, echo(2)})).at(0));
        ASSERT_EQ(resp.size(), 2u) << cmd;
        EXPECT_EQ(h::status(resp[0]), ST_ACCESS_DENIED);
        EXPECT_EQ(h::le16(resp[0], 6), 2u) << "CreditCharge echoed";
        EXPECT_EQ(h::le16(resp[0], 14), 3u);
        EXPECT_EQ(h::le16(resp[0], 12), cmd);
        EXPECT_EQ(h::hex(body_of(resp[0])), std::string(kErrBody) + "00000000000000");  // padded to 8
        EXPECT_EQ(h::status(resp[1]), 0u);
        EXPECT_EQ(stat(VL2_ST_MUTATING_REFUSED), 1);
    }
}

TEST_F(Walk, InlineAnswers)
{
    struct {
        uint16_t cmd;
        uint32_t status;
        int64_t protocol_errors;
    } cases[] = {
        {CMD_CHANGE_NOTIFY, ST_NOT_SUPPORTED, 0},
        {CMD_OPLOCK_BREAK, ST_NOT_SUPPORTED, 0},
        {0x22, ST_NOT_SUPPORTED, 1},
        {19, ST_NOT_SUPPORTED, 1},
    };
    for (auto &c : cases) {
        reset();
        auto rep = one(req(c.cmd, 1, 4));
        ASSERT_EQ(rep.size(), 1u);
        EXPECT_EQ(h::status(rep[0]), c.status);
        EXPECT_EQ(h::hex(body_of(rep[0])), "04000000");
        EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), c.protocol_errors) << c.cmd;
    }
    // Only the low byte of Command counts: 0x0105 is CREATE.
    auto rep = one(req(0x0105, 1, 57));
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(h::le16(rep[0], 12), (uint16_t)CMD_CREATE);
}

TEST_F(Walk, CancelIsNeverAnswered)
{
    h::SimResult r = h::simulate({h::frame(req(CMD_CANCEL, 1, 4))});
    EXPECT_EQ(r.text, ">> CANCEL\nRESULT ok (0 frames)\n");
    auto resp = split(one(compound({req(CMD_CANCEL, 1, 4), echo(2)})).at(0));
    ASSERT_EQ(resp.size(), 1u);
    EXPECT_EQ(h::le64(resp[0], 24), 2u);
    EXPECT_EQ(h::le32(resp[0], 16), 1u);
}

TEST_F(Walk, Smb1ErrorIsAStandaloneErrorResponse)
{
    bytes smb1 = {0xFF, 'S', 'M', 'B', 0x73};
    smb1.resize(40, 0);
    h::SimResult r = h::simulate({h::frame(smb1), h::frame(smb1), h::frame(negotiate_req()), h::frame(echo(9))});
    ASSERT_EQ(r.replies.size(), 4u) << "the connection stays open";
    EXPECT_EQ(h::status(r.replies[0]), ST_NOT_SUPPORTED);
    EXPECT_EQ(h::hex(body_of(r.replies[0])), kErrBody);
    EXPECT_EQ(h::le64(r.replies[0], 24), 1u);
    EXPECT_EQ(h::le64(r.replies[1], 24), 2u) << "MessageIds of standalone errors advance";
    EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), 2);
}

TEST_F(Walk, ForeignSessionIdIsEchoed)
{
    auto rep = one(h::cat(h::smb2_hdr(13, 1, 0x1234, 0), {4, 0, 0, 0}));
    EXPECT_EQ(h::le64(rep.at(0), 40), 0x1234u);
}

// ---- related operations and cascades, through handler seams ---------------

uint64_t g_seen_fid[3];
int g_closes;

uint32_t fake_create(vl2_sess *, vl2_rd *, vl2_reply *r)
{
    r->rq.opened = 0x51;
    wzero(&r->b, 89);
    return ST_SUCCESS;
}
uint32_t fake_create_fails(vl2_sess *, vl2_rd *, vl2_reply *r) { return create_fail(r, ST_OBJECT_NAME_NOT_FOUND, 0); }
uint32_t fake_qi(vl2_sess *, vl2_rd *rd, vl2_reply *r)
{
    rd_skip(rd, 24);
    g_seen_fid[0] = rd_fid(rd, r);
    wzero(&r->b, 8);
    return ST_SUCCESS;
}
uint32_t fake_qi_fails(vl2_sess *, vl2_rd *rd, vl2_reply *r)
{
    rd_skip(rd, 24);
    g_seen_fid[0] = rd_fid(rd, r);
    wzero(&r->b, 20);  // a partial body the error replaces
    return rep_fail(r, ST_INVALID_PARAMETER);
}
uint32_t fake_close(vl2_sess *, vl2_rd *rd, vl2_reply *r)
{
    rd_skip(rd, 8);
    g_seen_fid[1] = rd_fid(rd, r);
    g_closes++;
    wzero(&r->b, 60);
    return ST_SUCCESS;
}

bytes related(uint16_t cmd, uint64_t mid, size_t body, size_t fid_at)
{
    bytes b = h::cat(h::smb2_hdr(cmd, mid, ~0ULL, 0xFFFFFFFF, 4), bytes(body, 0));
    if (fid_at) memset(&b[64 + fid_at], 0xFF, 16);
    return b;
}

class Related : public Walk {
protected:
    void SetUp() override
    {
        Walk::SetUp();
        memset(g_seen_fid, 0, sizeof g_seen_fid);
        g_closes = 0;
        g_test_handlers[CMD_CREATE] = fake_create;
        g_test_handlers[CMD_QUERY_INFO] = fake_qi;
        g_test_handlers[CMD_CLOSE] = fake_close;
    }
    bytes create_qi_close()
    {
        return compound({h::cat(h::smb2_hdr(CMD_CREATE, 1, 0x99, 0x42), bytes(57, 0)),
                         related(CMD_QUERY_INFO, 2, 40, 24), related(CMD_CLOSE, 3, 24, 8)});
    }
};

TEST_F(Related, IdsAndFileIdAreInherited)
{
    auto resp = split(one(create_qi_close()).at(0));
    ASSERT_EQ(resp.size(), 3u);
    for (auto &p : resp) {
        EXPECT_EQ(h::le64(p, 40), 0x99u);
        EXPECT_EQ(h::le32(p, 36), 0x42u);
        EXPECT_EQ(h::status(p), 0u);
    }
    EXPECT_EQ(h::le32(resp[1], 16), 5u);
    EXPECT_EQ(h::le32(resp[2], 16), 5u);
    EXPECT_EQ(h::le32(resp[0], 20), 64u + 96);  // 89-byte body padded
    EXPECT_EQ(g_seen_fid[0], 0x51u);
    EXPECT_EQ(g_seen_fid[1], 0x51u);
    EXPECT_EQ(g_closes, 1);
}

TEST_F(Related, FailedCreateLeavesFileIdAlone)
{
    g_test_handlers[CMD_CREATE] = fake_create_fails;
    g_test_handlers[CMD_QUERY_INFO] = fake_qi_fails;
    auto resp = split(one(create_qi_close()).at(0));
    ASSERT_EQ(resp.size(), 3u);
    EXPECT_EQ(h::status(resp[0]), ST_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(resp[0].size(), 64u + 88);  // the CREATE failure body
    EXPECT_EQ(g_seen_fid[0], ~0ULL);
    EXPECT_EQ(h::status(resp[1]), ST_INVALID_PARAMETER);
    EXPECT_EQ(h::hex(body_of(resp[1])), std::string(kErrBody) + "00000000000000");
    EXPECT_EQ(stat(VL2_ST_OPEN_REFUSED), 1);
}

TEST_F(Related, CascadeAnswersLaterRequestsButStillCloses)
{
    g_test_handlers[CMD_QUERY_INFO] = fake_qi_fails;
    bytes f =
        compound({h::cat(h::smb2_hdr(CMD_CREATE, 1, 0x99, 0x42), bytes(57, 0)), related(CMD_QUERY_INFO, 2, 40, 24),
                  echo(3, 0, 0, 7, 2), related(CMD_CLOSE, 4, 24, 8), echo(5)});
    auto resp = split(one(f).at(0));
    ASSERT_EQ(resp.size(), 5u);
    EXPECT_EQ(h::status(resp[1]), ST_INVALID_PARAMETER);
    // The ECHO is answered with the cascaded status, credit 1, its own charge.
    EXPECT_EQ(h::status(resp[2]), ST_INVALID_PARAMETER);
    EXPECT_EQ(h::le16(resp[2], 14), 1u);
    EXPECT_EQ(h::le16(resp[2], 6), 2u);
    EXPECT_EQ(h::hex(body_of(resp[2])), std::string(kErrBody) + "00000000000000");
    // The CLOSE ran and released the handle the CREATE made.
    EXPECT_EQ(g_closes, 1);
    EXPECT_EQ(g_seen_fid[1], 0x51u);
    EXPECT_EQ(h::status(resp[3]), 0u);
    EXPECT_EQ(h::status(resp[4]), ST_INVALID_PARAMETER);
}

TEST_F(Related, ReplyCapAnswersTheRestWithInsufficientResources)
{
    g_reply_cap = 100;
    auto resp = split(one(compound({echo(1), echo(2), echo(3), related(CMD_CLOSE, 4, 24, 8), echo(5)})).at(0));
    ASSERT_EQ(resp.size(), 5u);
    EXPECT_EQ(h::status(resp[0]), 0u);
    EXPECT_EQ(h::status(resp[1]), 0u);
    EXPECT_EQ(h::status(resp[2]), ST_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(h::hex(body_of(resp[2])), std::string(kErrBody) + "00000000000000");
    EXPECT_EQ(g_closes, 1);  // a CLOSE still runs
    EXPECT_EQ(h::status(resp[4]), ST_INSUFFICIENT_RESOURCES);
}

// ---- signing ----------------------------------------------------------------

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
int g_require;

// Logs on at once with kKey (an account, not a guest) and asks for signing.
uint32_t fake_logon(vl2_sess *s, vl2_rd *, vl2_reply *r)
{
    s->authenticated = 1;
    s->is_guest = 0;
    s->session_id = 0x77;
    s->sign_required = g_require;
    memcpy(s->signer.key, kKey, 16);
    r->rq.sign = 1;
    wzero(&r->b, 8);
    return ST_SUCCESS;
}

void sign(bytes &b, size_t off, size_t end)
{
    vl2_put32(&b[off + 16], h::le32(b, off + 16) | 8);
    memset(&b[off + 48], 0, 16);
    uint8_t mac[32];
    vl2_hmac256(kKey, 16, &b[off], end - off, mac);
    memcpy(&b[off + 48], mac, 16);
}

bool signed_ok(bytes resp)
{
    if (!(h::le32(resp, 16) & 8)) return false;
    bytes sig(resp.begin() + 48, resp.begin() + 64);
    memset(&resp[48], 0, 16);
    uint8_t mac[32];
    vl2_hmac256(kKey, 16, resp.data(), resp.size(), mac);
    return memcmp(mac, sig.data(), 16) == 0;
}

class Signing : public Walk {
protected:
    void SetUp() override
    {
        Walk::SetUp();
        g_require = 0;
        g_test_handlers[CMD_SESSION_SETUP] = fake_logon;
    }
    std::vector<bytes> after_logon(const bytes &f)
    {
        std::vector<bytes> r =
            h::simulate({h::frame(negotiate_req()), h::frame(req(CMD_SESSION_SETUP, 1, 24)), h::frame(f)}).replies;
        if (!r.empty()) r.erase(r.begin());
        return r;
    }
};

TEST_F(Signing, SignedRequestBeforeLogonIsDenied)
{
    g_test_handlers[CMD_SESSION_SETUP] = nullptr;
    bytes a = echo(1, 8, 0, 3, 1);
    auto resp = split(one(compound({a, echo(2)})).at(0));
    ASSERT_EQ(resp.size(), 1u);  // the rest of the frame is dropped
    EXPECT_EQ(h::status(resp[0]), ST_ACCESS_DENIED);
    EXPECT_EQ(h::le16(resp[0], 14), 3u);
    EXPECT_EQ(h::le16(resp[0], 6), 1u);
    EXPECT_EQ(h::hex(body_of(resp[0])), kErrBody);
    EXPECT_EQ(stat(VL2_ST_BAD_SIGNATURE), 1);
}

TEST_F(Signing, LogonResponseIsSignedWithTheNewKey)
{
    auto rep = after_logon(echo(2));
    ASSERT_EQ(rep.size(), 2u);
    EXPECT_TRUE(signed_ok(rep[0]));
    EXPECT_FALSE(h::le32(rep[1], 16) & 8) << "an unsigned request gets an unsigned response";
}

TEST_F(Signing, VerifiedRequestsGetSignedResponses)
{
    bytes a = echo(2), b = echo(3);
    a.resize(72);
    vl2_put32(&a[20], 72);
    bytes f = h::cat(a, b);
    sign(f, 0, 72);
    sign(f, 72, f.size());
    auto rep = after_logon(f);
    ASSERT_EQ(rep.size(), 2u);
    auto resp = split(rep[1]);
    ASSERT_EQ(resp.size(), 2u);
    EXPECT_EQ(resp[0].size(), 72u);  // the signature covers the padding
    EXPECT_TRUE(signed_ok(resp[0]));
    EXPECT_TRUE(signed_ok(resp[1]));
    EXPECT_EQ(stat(VL2_ST_BAD_SIGNATURE), 0);
}

TEST_F(Signing, WrongSignatureIsDenied)
{
    bytes f = compound({echo(2, 0, 0, 9), echo(3)});
    sign(f, 0, 72);
    f[66] ^= 1;  // the body changes after signing
    auto rep = after_logon(f);
    ASSERT_EQ(rep.size(), 2u);
    auto resp = split(rep[1]);
    ASSERT_EQ(resp.size(), 1u);
    EXPECT_EQ(h::status(resp[0]), ST_ACCESS_DENIED);
    EXPECT_EQ(h::le16(resp[0], 14), 1u);
    EXPECT_EQ(stat(VL2_ST_BAD_SIGNATURE), 1);
}

TEST_F(Signing, RequiredSigningRefusesUnsignedRequests)
{
    g_require = 1;
    auto rep = after_logon(compound({req(CMD_TREE_CONNECT, 2, 8), echo(3)}));
    ASSERT_EQ(rep.size(), 2u);
    auto resp = split(rep[1]);
    ASSERT_EQ(resp.size(), 2u);
    EXPECT_EQ(h::status(resp[0]), ST_ACCESS_DENIED);
    EXPECT_EQ(h::hex(body_of(resp[0])), std::string(kErrBody) + "00000000000000");
    EXPECT_EQ(h::status(resp[1]), 0u) << "ECHO may come unsigned";
    EXPECT_EQ(stat(VL2_ST_BAD_SIGNATURE), 1);
}

}  // namespace
