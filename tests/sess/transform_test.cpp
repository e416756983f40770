// Encrypted messages: the transform header against the published examples,
// and the connection loop opening requests and sealing replies.
#include "engine_fixture.h"

#include "crypto/crypto.h"
#include "util/util.h"

using namespace eng;
using h::bytes;

namespace {

class Transform : public Engine {};

struct key_rec {
    vl2_aead_key k = {};
    key_rec(int alg, const bytes &key) { EXPECT_EQ(vl2_aead_init(&k, alg, key.data(), key.size()), 0); }
    ~key_rec() { vl2_aead_release(&k); }
};

// The encryption examples published with the protocol: two requests a
// client sealed (3.0 with AES-128-CCM, 3.1.1 with AES-128-GCM) and two
// responses a server sealed, each with its key, message and transform.
struct vector_case {
    const char *name;
    int alg;
    const char *key;
    const char *plain;
    const char *sealed;
};
const vector_case kVectors[] = {
    {"3.0 request", VL2_AES128_CCM, "261B72350558F2E9DCF613070383EDBF",
     "FE534D4240000100000000000900400008000000000000000400000000000000"
     "FFFE0000010000001100001400E4080000000000000000000000000000000000"
     "3100700017000000000000000000000015010000390000020100000039020000"
     "00000000000000007000000000000000536D623320656E6372797074696F6E20"
     "74657374696E67",
     "FD534D4281A286535415445DAE393921E44FA42E66E69A111892584FB5ED524A"
     "744DA3EE87000000000001001100001400E4080025C8FEE16605A437832D1CD5"
     "2DA9F4645333482A175FE5384563F45FCDAFAEF38BC62BA4D5C62897996625A4"
     "4C29BE5658DE2E6117585779E7B59FFD971278D08580D7FA899E410E910EABF5"
     "AA1DB43050B33B49182637759AC15D84BFCDF5B6B238993C0F4CF4D6012023F6"
     "C627297075D84B7803912D0A9639634453595EF3E33FFE4E7AC2AB"},
    {"3.0 response", VL2_AES128_CCM, "8FE2B57EC34D2DB5B1A9727F526BBDB5",
     "FE534D4240000100000000000900210009000000000000000400000000000000"
     "FFFE0000010000001100001400E4080000000000000000000000000000000000"
     "11000000170000000000000000000000",
     "FD534D42A6015530A18F6D9AFFE22AFAE8E66484860000000000000011000014"
     "00E4080050000000000001001100001400E40800DBF46435C5F14169293CE079"
     "E344479BF670227E49873F458672C3098DAC467DD5809F369D67409166515787"
     "1483E01F7BECD02064EAC3E235F913668BBC2F097980D4B378F1993EFF6E60D1"
     "77309E5B"},
    {"3.1.1 request", VL2_AES128_GCM, "A2F5E80E5D59103034F32E52F698E5EC",
     "FE534D4240000100000000000900010008000000000000000500000000000000FFFE000001000000"
     "25000000001000000000000000000000000000000000000031007000170000000000000000000000"
     "0600000004000000010000000400000000000000000000007000000000000000536D623320656E63"
     "72797074696F6E2074657374696E67",
     "FD534D42BD73D97D2BC9001BCAFAC0FDFF5FEEBCC7D6822D269CAF48904C664C0000000087000000"
     "0000010025000000001000006ECDD2A7AFC7B47763057A041B8FD4DAFFE990B70C9E09D36C084E02"
     "D14EF247F8BDE38ACF6256F8B1D3B56F77FBDEB312FEA5E92CBCC1ED8FB2EBBFAA75E49A4A394BB4"
     "4576545567C24D4C014D47C9FBDFDAFD2C4F9B72F8D256452620A299F48E29E53D6B61D1C13A19E9"
     "1AF013F00D17E3ABC2FC3D36C8C1B6B93973253852DBD442E46EE8"},
    {"3.1.1 response", VL2_AES128_GCM, "748C50868C90F302962A5C35F5F9A8BF",
     "FE534D4240000100000000000900010001000000000000000500000000000000FFFE000001000000"
     "25000000001000000000000000000000000000000000000011000000170000000000000000000000",
     "FD534D42ACBE1CB7ED343ADF1725EF144D90D4B0E06831DD2E8EB7B4000000000000000050000000"
     "00000100250000000010000026BBBF949983A6C1C796559D0F2C510CB651D1F7B6AC8DED32A2A0B8"
     "F2D793A815C6F6B848D69767A215841A42D400AE6DDB5F0B44173A014973321FDD7950DA6179159B"
     "82E03C9E18A050FF0EA1C967"},
};

TEST_F(Transform, PublishedExamplesOpenAndSealByteForByte)
{
    for (const vector_case &c : kVectors) {
        SCOPED_TRACE(c.name);
        key_rec k(c.alg, h::unhex(c.key));
        const bytes plain = h::unhex(c.plain), sealed = h::unhex(c.sealed);

        bytes f = sealed;
        ASSERT_EQ(transform_open(&k.k, f.data(), f.size()), 0);
        EXPECT_EQ(h::hex(bytes(f.begin() + TRANSFORM_HDR, f.end())), h::hex(plain));

        bytes msg = plain;
        uint8_t hdr[TRANSFORM_HDR];
        ASSERT_EQ(transform_seal_nonce(&k.k, &sealed[20], h::le64(sealed, 44), msg.data(), msg.size(), hdr), 0);
        EXPECT_EQ(h::hex(h::cat(bytes(hdr, hdr + TRANSFORM_HDR), msg)), h::hex(sealed));
    }
}

// Every cipher: what the counter seals opens again with the same key, under
// a fresh nonce each time; a changed byte anywhere after the tag is refused
// and leaves nothing readable behind.
TEST_F(Transform, EachCipherRoundTripsUnderFreshNoncesAndRefusesTampering)
{
    for (int alg : {VL2_AES128_CCM, VL2_AES128_GCM, VL2_AES256_CCM, VL2_AES256_GCM}) {
        SCOPED_TRACE(alg);
        const bytes key(alg == VL2_AES256_CCM || alg == VL2_AES256_GCM ? 32 : 16, 0x5A);
        vl2_seal e = {};
        ASSERT_EQ(vl2_aead_init(&e.out, alg, key.data(), key.size()), 0);
        key_rec opener(alg, key);
        const bytes plain = h::cat(echo(7), bytes(100, 0x33));
        bytes frames[2];
        for (bytes &f : frames) {
            bytes msg = plain;
            uint8_t hdr[TRANSFORM_HDR];
            ASSERT_EQ(transform_seal(&e, 0x1234, msg.data(), msg.size(), hdr), 0);
            f = h::cat(bytes(hdr, hdr + TRANSFORM_HDR), msg);
        }
        EXPECT_EQ(e.sealed, 2u);
        EXPECT_NE(h::hex(bytes(&frames[0][20], &frames[0][36])), h::hex(bytes(&frames[1][20], &frames[1][36])));
        const size_t nlen = vl2_aead_nonce_len(alg);
        EXPECT_EQ(h::hex(bytes(&frames[1][20 + nlen], &frames[1][36])), std::string(2 * (16 - nlen), '0'));
        EXPECT_EQ(h::le64(frames[1], 44), 0x1234u);
        for (size_t at : {(size_t)4, (size_t)20, (size_t)36, (size_t)44, TRANSFORM_HDR, frames[0].size() - 1}) {
            bytes bad = frames[0];
            bad[at] ^= 1;
            const int rc = transform_open(&opener.k, bad.data(), bad.size());
            EXPECT_NE(rc, 0) << "byte " << at;
            if (rc != 0 && at != 36) {
                EXPECT_EQ(bytes(bad.begin() + TRANSFORM_HDR, bad.end()), bytes(plain.size(), 0)) << "byte " << at;
            }
        }
        bytes good = frames[1];
        ASSERT_EQ(transform_open(&opener.k, good.data(), good.size()), 0);
        EXPECT_EQ(bytes(good.begin() + TRANSFORM_HDR, good.end()), plain);
        seal_release(&e);
    }
}

TEST_F(Transform, HeaderRefusals)
{
    bytes ok = h::unhex(kVectors[2].sealed);
    vl2_transform t;
    ASSERT_EQ(transform_parse(ok.data(), ok.size(), &t), 0);
    EXPECT_EQ(t.size, ok.size() - TRANSFORM_HDR);
    EXPECT_EQ(t.sid, 0x0000100000000025u);
    struct {
        const char *what;
        size_t at;  // byte changed (or the length cut to, for "short")
        uint8_t to;
    } cases[] = {
        {"protocol id", 0, 0xFE},
        {"flags", 42, 0x00},
        {"flags high byte", 43, 0x01},
        {"size one more", 36, (uint8_t)(ok[36] + 1)},
        {"size one less", 36, (uint8_t)(ok[36] - 1)},
        {"size zero", 36, 0},
    };
    for (const auto &c : cases) {
        bytes f = ok;
        f[c.at] = c.to;
        if (c.at == 36 && c.to == 0) f[37] = f[38] = f[39] = 0;
        EXPECT_NE(transform_parse(f.data(), f.size(), &t), 0) << c.what;
    }
    for (size_t n : {(size_t)0, (size_t)4, TRANSFORM_HDR - 1, TRANSFORM_HDR})
        EXPECT_NE(transform_parse(ok.data(), n, &t), 0) << "length " << n;
    // A key-less record opens nothing.
    vl2_aead_key none = {};
    EXPECT_NE(transform_open(&none, ok.data(), ok.size()), 0);
}

TEST_F(Transform, NonceCounterIsNeverReusedOrWrapped)
{
    vl2_seal e = {};
    const bytes key(16, 1);
    ASSERT_EQ(vl2_aead_init(&e.out, VL2_AES128_GCM, key.data(), key.size()), 0);
    e.sealed = UINT64_MAX - 1;
    uint8_t msg[64] = {}, hdr[TRANSFORM_HDR];
    EXPECT_EQ(transform_seal(&e, 1, msg, sizeof msg, hdr), 0);
    EXPECT_EQ(vl2_le64(hdr + 20), UINT64_MAX - 1);
    EXPECT_NE(transform_seal(&e, 1, msg, sizeof msg, hdr), 0);
    EXPECT_NE(transform_seal(&e, 1, msg, sizeof msg, hdr), 0);
    seal_release(&e);
}

// ---- through the connection loop ------------------------------------------

constexpr uint64_t SID = 0x0000400000000011ULL;
const bytes C2S(16, 0xC2), S2C(16, 0x2C);

// What the stand-in logon gives the session.
struct {
    int dialect;
    int keys;
    int on;
} g_logon;

// A SESSION_SETUP that completes at once with fixed keys.
uint32_t fake_logon(vl2_sess *s, vl2_rd *, vl2_reply *r)
{
    s->authenticated = 1;
    s->session_id = SID;
    s->dialect = g_logon.dialect;
    s->cipher = VL2_AES128_GCM;
    if (g_logon.keys) {
        EXPECT_EQ(vl2_aead_init(&s->seal.in, VL2_AES128_GCM, C2S.data(), C2S.size()), 0);
        EXPECT_EQ(vl2_aead_init(&s->seal.out, VL2_AES128_GCM, S2C.data(), S2C.size()), 0);
    }
    s->seal.on = g_logon.on;
    vl2_put64(rep_hdr(r) + 40, SID);
    static const uint8_t body[8] = {9};
    vl2_buf_put(&r->b, body, sizeof body);
    return ST_SUCCESS;
}

// The client's side: seals requests under its own counter, opens replies.
struct client {
    key_rec c2s{VL2_AES128_GCM, C2S};
    key_rec s2c{VL2_AES128_GCM, S2C};
    uint64_t n = 100;
    bytes seal(bytes msg, uint64_t sid = SID)
    {
        uint8_t nonce[16] = {}, hdr[TRANSFORM_HDR];
        vl2_put64(nonce, n++);
        EXPECT_EQ(transform_seal_nonce(&c2s.k, nonce, sid, msg.data(), msg.size(), hdr), 0);
        return h::frame(h::cat(bytes(hdr, hdr + TRANSFORM_HDR), msg));
    }
    // The message inside a sealed reply, or empty when it is not one.
    bytes open(bytes reply)
    {
        if (!is_transform(reply.data(), reply.size()) || transform_open(&s2c.k, reply.data(), reply.size()) != 0)
            return {};
        return bytes(reply.begin() + TRANSFORM_HDR, reply.end());
    }
};

// NEGOTIATE, the stand-in logon, then the given frames, one exchange each.
std::vector<bytes> session(const std::vector<bytes> &frames)
{
    g_test_handlers[CMD_SESSION_SETUP] = fake_logon;
    std::vector<bytes> steps = {h::frame(negotiate_req()), h::frame(req(CMD_SESSION_SETUP, 1))};
    steps.insert(steps.end(), frames.begin(), frames.end());
    size_t at = 0;
    return h::converse([&](const std::vector<bytes> &) {
        return at < steps.size() ? std::vector<bytes>{steps[at++]} : std::vector<bytes>{};
    });
}

TEST_F(Transform, EncryptedSessionAnswersSealedAndRefusesTheClear)
{
    g_logon = {0x0311, 1, 1};
    client c;
    const bytes signed_echo = h::cat(h::smb2_hdr(CMD_ECHO, 2, SID, 0, 0x8), bytes{4, 0, 0, 0});
    auto replies = session({
        c.seal(signed_echo),                                                 // zero signature: not looked at
        c.seal(compound({echo(3), echo(4)})),                                // one transform for both
        h::frame(h::cat(h::smb2_hdr(CMD_ECHO, 5, SID), bytes{4, 0, 0, 0})),  // in the clear
        h::frame(echo(6)),                                                   // no session named
    });
    ASSERT_EQ(replies.size(), 6u);
    EXPECT_FALSE(is_transform(replies[1].data(), replies[1].size())) << "the logon's reply travels in the clear";

    bytes m = c.open(replies[2]);
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(h::status(m), ST_SUCCESS);
    EXPECT_EQ(h::le32(m, 16) & 0x8, 0u) << "a sealed reply is not signed";
    EXPECT_EQ(h::le64(replies[2], 44), SID);

    m = c.open(replies[3]);
    auto parts = split(m);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(h::le64(parts[1], 24), 4u);
    EXPECT_NE(h::hex(bytes(&replies[2][20], &replies[2][36])), h::hex(bytes(&replies[3][20], &replies[3][36])));

    m = c.open(replies[4]);
    EXPECT_EQ(h::status(m), ST_ACCESS_DENIED);
    m = c.open(replies[5]);
    EXPECT_EQ(h::status(m), ST_SUCCESS);
}

TEST_F(Transform, SealedRequestsGetSealedRepliesOnASessionThatDoesNotEncrypt)
{
    g_logon = {0x0300, 1, 0};
    client c;
    auto replies = session({c.seal(h::cat(h::smb2_hdr(CMD_ECHO, 2, SID), bytes{4, 0, 0, 0})),
                            h::frame(h::cat(h::smb2_hdr(CMD_ECHO, 3, SID), bytes{4, 0, 0, 0}))});
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(h::status(c.open(replies[2])), ST_SUCCESS);
    EXPECT_EQ(h::status(replies[3]), ST_SUCCESS);
}

// Whatever cannot be opened ends the connection: no reply to it or after it.
TEST_F(Transform, FramesThatCannotBeOpenedEndTheConnection)
{
    const bytes echo_s = h::cat(h::smb2_hdr(CMD_ECHO, 2, SID), bytes{4, 0, 0, 0});
    struct {
        const char *what;
        int dialect, keys;
        std::function<bytes(client &)> make;
    } cases[] = {
        {"bad tag", 0x0311, 1,
         [&](client &c) {
             bytes f = c.seal(echo_s);
             f.back() ^= 1;
             return f;
         }},
        {"unknown session", 0x0311, 1, [&](client &c) { return c.seal(echo_s, SID + 1); }},
        {"session without keys", 0x0311, 0, [&](client &c) { return c.seal(echo_s); }},
        {"dialect 2.x", 0x0210, 1, [&](client &c) { return c.seal(echo_s); }},
        {"size mismatch", 0x0311, 1,
         [&](client &c) {
             bytes f = c.seal(echo_s);
             f[4 + 36]++;
             return f;
         }},
        {"not flagged encrypted", 0x0311, 1,
         [&](client &c) {
             bytes f = c.seal(echo_s);
             f[4 + 42] = 2;
             return f;
         }},
        {"header only", 0x0311, 1,
         [&](client &c) {
             bytes f = c.seal(echo_s);
             f.resize(4 + TRANSFORM_HDR);
             f[3] = TRANSFORM_HDR;
             return f;
         }},
    };
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.what);
        g_logon = {cs.dialect, cs.keys, cs.keys};
        client c;
        const int64_t errors = stat(VL2_ST_PROTOCOL_ERRORS);
        auto replies = session({cs.make(c), h::frame(echo(9))});
        EXPECT_EQ(replies.size(), 2u);
        EXPECT_EQ(stat(VL2_ST_PROTOCOL_ERRORS), errors + 1);
    }
}

}  // namespace
