// SMB 3.x: the NEGOTIATE's dialect range and 3.1.1 contexts byte for byte
// through the simulator, and the session keys and signatures against values
// computed independently (SP 800-108 over HMAC-SHA256 written out from its
// definition, AES from another library).
#include "logon_util.h"

#include "crypto/crypto.h"
#include "sess/engine.h"

#include <unistd.h>

using namespace lg;
using h::bytes;

namespace {

constexpr uint32_t NO_HASH_OVERLAP = 0xC05D0000;

class Smb3 : public LogonTest {
protected:
    void SetUp() override
    {
        LogonTest::SetUp();
        ASSERT_EQ(0, vlsmb2s_set_option("max_protocol", "3.1.1"));
        ASSERT_EQ(0, vlsmb2s_set_option("encryption", "desired"));
    }
};

struct ctx {
    uint16_t type;
    bytes data;
    int len = -1;  // DataLength when it lies
};

bytes id_list(std::vector<uint16_t> ids)
{
    bytes b;
    put16(b, (uint16_t)ids.size());
    for (uint16_t v : ids) put16(b, v);
    return b;
}

bytes preauth(std::vector<uint16_t> hashes = {1}, uint16_t salt = 32, size_t salt_have = 32)
{
    bytes b;
    put16(b, (uint16_t)hashes.size());
    put16(b, salt);
    for (uint16_t v : hashes) put16(b, v);
    for (size_t i = 0; i < salt_have; i++) b.push_back((uint8_t)(0x50 + i));
    return b;
}

// Appends one negotiate context at an 8-byte boundary from the header.
void put_ctx(bytes &msg, const ctx &c)
{
    while (msg.size() % 8) msg.push_back(0);
    put16(msg, c.type);
    put16(msg, (uint16_t)(c.len < 0 ? c.data.size() : (size_t)c.len));
    put32(msg, 0);
    msg.insert(msg.end(), c.data.begin(), c.data.end());
}

const std::vector<uint16_t> ALL = {0x0202, 0x0210, 0x0300, 0x0302, 0x0311};

// A NEGOTIATE offering every dialect with these contexts; ctx_off and
// ctx_count override the honest values when not -1.
bytes nego311(const std::vector<ctx> &cs, long ctx_off = -1, int ctx_count = -1, uint32_t caps = 0x44)
{
    bytes msg = h::cat(h::smb2_hdr(0, 1, 0, 0, 0), negotiate_body(ALL, 1, caps));
    while (msg.size() % 8) msg.push_back(0);
    const size_t off = msg.size();
    for (const ctx &c : cs) put_ctx(msg, c);
    auto set32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) msg[at + i] = (uint8_t)(v >> (8 * i));
    };
    set32(64 + 28, ctx_off < 0 ? (uint32_t)off : (uint32_t)ctx_off);
    msg[64 + 32] = (uint8_t)(ctx_count < 0 ? cs.size() : (size_t)ctx_count);
    return h::frame(msg);
}

// The answer's contexts as (type, data).
std::vector<std::pair<uint16_t, bytes>> answered(const bytes &r)
{
    std::vector<std::pair<uint16_t, bytes>> out;
    size_t at = h::le32(r, 64 + 60);
    for (unsigned i = 0; i < h::le16(r, 64 + 6) && at + 8 <= r.size(); i++) {
        at = (at + 7) & ~(size_t)7;
        uint16_t len = h::le16(r, at + 2);
        out.push_back({h::le16(r, at), bytes(r.begin() + at + 8, r.begin() + at + 8 + len)});
        at += 8 + len;
    }
    return out;
}

TEST_F(Smb3, ContextsAnsweredByteForByte)
{
    const std::vector<ctx> asked = {
        {1, preauth()},
        {2, id_list({1, 2, 4})},         // CCM first: the server still prefers GCM
        {0x0100, bytes{1, 2, 3, 4, 5}},  // unknown: ignored
        {8, id_list({1, 2})},
    };
    auto res = h::simulate({nego311(asked)});
    ASSERT_EQ(1u, res.replies.size()) << res.text;

    bytes want = h::cat(rsp_hdr(0, SUCCESS, 1), negotiate_rsp_body(0x0311, 1, 4, 1048576, 1048576, TOK_NOMECT));
    want[64 + 6] = 3;     // NegotiateContextCount
    want[64 + 60] = 208;  // NegotiateContextOffset: after the token, 8-aligned
    bytes salt;
    uint64_t hsh = 0xcbf29ce484222325ull;
    const bytes chal = derived_challenge();
    for (int i = 0; i < 4; i++) put64(salt, hsh = fnv(chal.data(), 8, hsh));
    bytes pre = {1, 0, 32, 0, 1, 0};
    put_ctx(want, {1, h::cat(pre, salt)});
    put_ctx(want, {2, id_list({2})});  // AES-128-GCM
    put_ctx(want, {8, id_list({2})});  // AES-GMAC
    EXPECT_EQ(h::hex(want), h::hex(res.replies[0]));
}

TEST_F(Smb3, ContextChoicesAndRefusals)
{
    const ctx pa = {1, preauth()};
    struct {
        const char *what;
        bytes frame;
        uint32_t status;
        int cipher;  // answered CipherId, -1 for no encryption context
        int sign;    // answered SigningAlgorithmId, -1 for no signing context
    } cases[] = {
        {"preauth alone", nego311({pa}), SUCCESS, -1, -1},
        {"AES-256-GCM only", nego311({pa, {2, id_list({4})}}), SUCCESS, 4, -1},
        {"CCM both sizes", nego311({pa, {2, id_list({3, 1})}}), SUCCESS, 1, -1},
        {"unknown ciphers: cipher 0", nego311({pa, {2, id_list({9, 0})}}), SUCCESS, 0, -1},
        {"HMAC-SHA256 only", nego311({pa, {8, id_list({0})}}), SUCCESS, -1, 0},
        {"CMAC then HMAC", nego311({pa, {8, id_list({0, 1})}}), SUCCESS, -1, 1},
        {"unknown signing: no answer", nego311({pa, {8, id_list({7})}}), SUCCESS, -1, -1},
        {"contexts in any order", nego311({{8, id_list({2})}, {3, bytes(8)}, pa}), SUCCESS, -1, 2},
        {"no contexts", nego311({}), INVALID, 0, 0},
        {"count 0 with a context", nego311({pa}, -1, 0), INVALID, 0, 0},
        {"no preauth", nego311({{2, id_list({2})}}), INVALID, 0, 0},
        {"preauth twice", nego311({pa, pa}), INVALID, 0, 0},
        {"encryption twice", nego311({pa, {2, id_list({2})}, {2, id_list({2})}}), INVALID, 0, 0},
        {"signing twice", nego311({pa, {8, id_list({2})}, {8, id_list({2})}}), INVALID, 0, 0},
        {"no SHA-512", nego311({{1, preauth({2})}}), NO_HASH_OVERLAP, 0, 0},
        {"no hash at all", nego311({{1, preauth({})}}), INVALID, 0, 0},
        {"salt past its context", nego311({{1, preauth({1}, 40)}}), INVALID, 0, 0},
        {"cipher count 0", nego311({pa, {2, id_list({})}}), INVALID, 0, 0},
        {"cipher list cut", nego311({pa, {2, bytes{3, 0, 2, 0}}}), INVALID, 0, 0},
        {"signing count 0", nego311({pa, {8, id_list({})}}), INVALID, 0, 0},
        {"DataLength past the frame", nego311({pa, {2, id_list({2}), 400}}), INVALID, 0, 0},
        {"count past the list", nego311({pa}, -1, 2), INVALID, 0, 0},
        {"offset inside the header", nego311({pa}, 16), INVALID, 0, 0},
        {"offset past the frame", nego311({pa}, 4096), INVALID, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto res = h::simulate({c.frame, echo(2, 0)});
        ASSERT_LE(1u, res.replies.size()) << res.text;
        ASSERT_EQ(c.status, h::status(res.replies[0]));
        if (c.status != SUCCESS) {
            EXPECT_EQ(1u, res.replies.size()) << "a refused NEGOTIATE ends the connection";
            continue;
        }
        int cipher = -1, sign = -1;
        for (auto &[type, data] : answered(res.replies[0])) {
            if (type == 2) cipher = h::le16(data, 2);
            if (type == 8) sign = h::le16(data, 2);
        }
        EXPECT_EQ(c.cipher, cipher);
        EXPECT_EQ(c.sign, sign);
    }
}

TEST_F(Smb3, DialectRangeCapabilitiesAndTheSmb1Answer)
{
    const ctx pa = {1, preauth()};
    struct {
        const char *what;
        std::vector<std::pair<const char *, const char *>> opts;
        bytes frame;
        uint32_t status;
        uint16_t dialect;
        uint32_t caps;
    } cases[] = {
        {"3.0 client that can encrypt", {}, negotiate({0x0202, 0x0300}, 1, 0x44), SUCCESS, 0x0300, 0x44},
        {"3.0.2 client that cannot", {}, negotiate({0x0300, 0x0302}, 1, 0x04), SUCCESS, 0x0302, 0x04},
        {"encryption off", {{"encryption", "off"}}, negotiate({0x0300}, 1, 0x44), SUCCESS, 0x0300, 0x04},
        // Contexts are read only when 3.1.1 is chosen: broken ones do no harm below it.
        {"max 3.0.2", {{"max_protocol", "3.0.2"}}, nego311({pa, pa}), SUCCESS, 0x0302, 0x44},
        {"min 3.0, 2.x client", {{"min_protocol", "3.0"}}, negotiate({0x0202, 0x0210}), NOT_SUPPORTED, 0, 0},
        {"min 3.1.1, 3.0 client", {{"min_protocol", "3.1.1"}}, negotiate({0x0300, 0x0302}), NOT_SUPPORTED, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (auto &[k, v] : c.opts) ASSERT_EQ(0, vlsmb2s_set_option(k, v));
        auto res = h::simulate({c.frame});
        ASSERT_EQ(1u, res.replies.size()) << res.text;
        ASSERT_EQ(c.status, h::status(res.replies[0]));
        if (c.status != SUCCESS) continue;
        EXPECT_EQ(c.dialect, h::le16(res.replies[0], 64 + 4));
        EXPECT_EQ(c.caps, h::le32(res.replies[0], 64 + 24));
    }

    // The SMB1 form asks for an SMB2 NEGOTIATE to follow once 3.x is possible.
    SetUp();
    bytes smb1 = {0xFF, 'S', 'M', 'B', 0x72};
    smb1.resize(33, 0);
    bytes names;
    for (std::string d : {"NT LM 0.12", "SMB 2.002", "SMB 2.???"}) {
        names.push_back(0x02);
        names.insert(names.end(), d.begin(), d.end());
        names.push_back(0);
    }
    put16(smb1, (uint16_t)names.size());
    smb1.insert(smb1.end(), names.begin(), names.end());
    auto res = h::simulate({h::frame(smb1), nego311({pa})});
    ASSERT_EQ(2u, res.replies.size()) << res.text;
    EXPECT_EQ(0x02FF, h::le16(res.replies[0], 64 + 4));
    EXPECT_EQ(0x0311, h::le16(res.replies[1], 64 + 4));
}

// ---- keys and signatures ---------------------------------------------------

bytes key_of(int base, size_t n)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(base + i);
    return b;
}

// A signed READ response with MessageId 5.
bytes signable()
{
    bytes m = h::smb2_hdr(8, 5, 0x1122334455667788ull, 0, 1);
    for (int i = 64; i < 80; i++) m.push_back((uint8_t)i);
    return m;
}

struct keyed {
    vl2_sess s{};
    explicit keyed(int dialect, int cipher, vl2_sign_alg alg, const bytes &sk = key_of(0, 16))
    {
        s.dialect = dialect;
        s.cipher = cipher;
        s.sign_alg = alg;
        for (int i = 0; i < 64; i++) s.sess_preauth[i] = (uint8_t)(i * 7 + 3);
        EXPECT_EQ(0, session_keys(&s, sk.data()));
    }
    ~keyed()
    {
        sign_release(&s.signer);
        seal_release(&s.seal);
    }
    std::string sign()
    {
        bytes m = signable();
        sign_message(&s.signer, m.data(), m.size());
        EXPECT_TRUE(sign_verify(&s.signer, m.data(), m.size()));
        m[70] ^= 1;
        EXPECT_FALSE(sign_verify(&s.signer, m.data(), m.size()));
        return h::hex(bytes(m.begin() + 48, m.begin() + 64));
    }
    static std::string seal(vl2_aead_key *k)
    {
        const bytes nonce = key_of(k->alg == VL2_AES128_CCM ? 0x20 : 0x30, 12);
        std::string aad(32, 'A');
        std::string text = "plaintext of 24 bytes...";
        uint8_t tag[16];
        EXPECT_EQ(0, vl2_aead_seal(k, nonce.data(), aad.data(), aad.size(), text.data(), text.size(), tag));
        return h::hex(h::cat(bytes(text.begin(), text.end()), bytes(tag, tag + 16)));
    }
};

// The published 3.0 example: session key B454...F0 gives the client-to-server
// key 261B...BF and the server-to-client key 8FE2...B5.
TEST(Smb3Keys, PublishedSmb30CipherKeys)
{
    keyed k(0x0300, VL2_AES128_CCM, SIGN_AES_CMAC, h::unhex("B4546771B515F766A86735532DD6C4F0"));
    for (auto [mine, published] : {std::pair{&k.s.seal.in, "261B72350558F2E9DCF613070383EDBF"},
                                   std::pair{&k.s.seal.out, "8FE2B57EC34D2DB5B1A9727F526BBDB5"}}) {
        vl2_aead_key want{};
        ASSERT_EQ(0, vl2_aead_init(&want, VL2_AES128_CCM, h::unhex(published).data(), 16));
        EXPECT_EQ(keyed::seal(&want), keyed::seal(mine)) << published;
        vl2_aead_release(&want);
    }
}

TEST(Smb3Keys, EachDialectsLabelsKeysAndSignatures)
{
    {
        keyed k(0x0300, VL2_AES128_CCM, SIGN_AES_CMAC);
        EXPECT_EQ("6234814cbb8ea9227440ebfeb5eacbe1", h::hex(bytes(k.s.signer.key, k.s.signer.key + 16)));
        EXPECT_EQ("d09bc31e5c09fce57a498571339a2347", k.sign());
        EXPECT_EQ("f43a701fdf559ac1618f2403e431f45f0dc286411e6f6be4d5c30147a0227bae5390bf21352a0d66",
                  keyed::seal(&k.s.seal.in));  // "ServerIn "
        EXPECT_EQ("c841a5525354c8c24f25225cf955217a5fdffd95550fed35ca42b4afbc56fcc0758b7208b1a1cecd",
                  keyed::seal(&k.s.seal.out));  // "ServerOut"
        EXPECT_EQ(0, k.s.seal.on) << "the logon decides";
    }
    {
        keyed k(0x0311, VL2_AES256_GCM, SIGN_AES_CMAC);
        EXPECT_EQ("0d7397f04f5b71669de08840381d59b1", h::hex(bytes(k.s.signer.key, k.s.signer.key + 16)));
        EXPECT_EQ("be45e88a8d01ecc7fc6157f5c70cff47", k.sign());
        EXPECT_EQ("6176491689bfa4dcc2133ffca69cc11dcd2447f98e21b7fb37a3ba03a051016c7577e3a0d2d27c5c",
                  keyed::seal(&k.s.seal.in));  // SMBC2SCipherKey, 256 bits
        EXPECT_EQ("efac14b0636287427e5bd60fa11ad1685255ea07a098491c3b57eec2a0edd087b86234364fd36489",
                  keyed::seal(&k.s.seal.out));  // SMBS2CCipherKey
    }
    {
        // GMAC's nonce: MessageId 5, sent by the server.
        keyed k(0x0311, 0, SIGN_AES_GMAC);
        EXPECT_EQ("f5cc96acc663bdf08b7560928d055318", k.sign());
        EXPECT_EQ(nullptr, k.s.seal.out.seal) << "no cipher, no cipher keys";
    }
}

}  // namespace

// A whole 3.1.1 logon: the final answer must carry ENCRYPT_DATA (a common
// cipher, encryption desired) and a CMAC signature that Python computes from
// its own pre-authentication hash over the five messages before it.
TEST_F(Smb3, LogonSignsItsFinalAnswerWithThePreauthKey)
{
    ASSERT_EQ(0, vlsmb2s_add_user("alice", "Secret-1"));
    const bytes nego = nego311({{1, preauth()}, {2, id_list({2})}, {8, id_list({1})}});
    bytes setup1, setup2, key;
    auto replies = converse({
        send({nego}),
        [&](const std::vector<bytes> &) { return std::vector<bytes>{setup1 = setup(1, 0, py_negotiate(false))}; },
        [&](const std::vector<bytes> &r) {
            auto a = py_auth(false, setup_token(r.back()), "alice", "Secret-1");
            key = a.second;
            return std::vector<bytes>{setup2 = setup(2, h::le64(r.back(), 40), a.first)};
        },
    });
    ASSERT_EQ(3u, replies.size());
    ASSERT_EQ(SUCCESS, h::status(replies[2]));
    EXPECT_EQ(0x0004, h::le16(replies[2], 64 + 2)) << "SessionFlags ENCRYPT_DATA";
    ASSERT_EQ(0x08u, replies[2][16] & 0x08u) << "signed";

    auto body = [](const bytes &f) { return h::hex(bytes(f.begin() + 4, f.end())); };
    const std::string py =
        "import hashlib,hmac,struct,sys\n"
        "from Cryptodome.Hash import CMAC\nfrom Cryptodome.Cipher import AES\n"
        "a=[bytes.fromhex(x) for x in sys.argv[1:]]\n"
        "h=bytes(64)\n"
        "for m in a[0:2]: h=hashlib.sha512(h+m).digest()\n"
        "for m in a[2:5]: h=hashlib.sha512(h+m).digest()\n"
        "k=hmac.new(a[5],struct.pack('>I',1)+b'SMBSigningKey\\0\\0'+h+struct.pack('>I',128),hashlib.sha256).digest()[:16]\n"
        "r=bytearray(a[6]); sig=bytes(r[48:64]); r[48:64]=bytes(16)\n"
        "c=CMAC.new(k,ciphermod=AES); c.update(bytes(r)); print('ok' if c.digest()==sig else 'bad')\n";
    const std::string script = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/vl2_preauth.py";
    FILE *f = fopen(script.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs(py.c_str(), f);
    fclose(f);
    std::string out =
        run("/usr/bin/python3 " + script + " " + body(nego) + " " + h::hex(replies[0]) + " " + body(setup1) + " " +
            h::hex(replies[1]) + " " + body(setup2) + " " + h::hex(key) + " " + h::hex(replies[2]));
    unlink(script.c_str());
    EXPECT_EQ("ok\n", out);
}
