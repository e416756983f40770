#include "helpers.h"
#include "vectors.h"

#include "cfg/cfg.h"
#include "crypto/crypto.h"
#include "ntlm/ntlm.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <clocale>
#include <cwctype>
#include <tuple>

namespace {

bytes u16(const uint8_t *p) { return bytes(p, p + 16); }

// ---- key derivation -----------------------------------------------------

// The published NTLMv2 example: user "User", domain "Domain", password
// "Password", server challenge 0123456789abcdef, client challenge aa..aa,
// zero time, AV pairs NbDomainName "Domain" and NbComputerName "Server".
TEST(NtlmHashes, PublishedExample)
{
    uint8_t nt[16], v2[16];
    vl2_ntlm_hashes_dom("User", "Domain", "Password", nt, v2);
    EXPECT_EQ(tohex(nt, 16), "a4f49c406510bdcab6824ee7c30fd852");
    EXPECT_EQ(tohex(v2, 16), "0c868a403bfd7a93a3001ef22ef02e3f");

    bytes input = cat({unhex("0123456789abcdef"), unhex("0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000"
                                                        "02000c0044006f006d00610069006e00"
                                                        "01000c00530065007200760065007200 00000000 00000000")});
    uint8_t proof[16], base[16];
    vl2_hmacmd5(v2, 16, input.data(), input.size(), proof);
    EXPECT_EQ(tohex(proof, 16), "68cd0ab851e51c96aabc927bebef6a1c");
    vl2_hmacmd5(v2, 16, proof, 16, base);
    EXPECT_EQ(tohex(base, 16), "8de40ccadbc14a82f15cb0ad0de95ca3");
    uint8_t rsk[16];
    memset(rsk, 0x55, 16);
    vl2_rc4_ctx rc;
    vl2_rc4_init(&rc, base, 16);
    vl2_rc4(&rc, rsk, 16);
    EXPECT_EQ(tohex(rsk, 16), "c5dad2544fc9799094ce1ce90bc9d03e");
}

TEST(NtlmHashes, EmptyDomainAndLimits)
{
    uint8_t a[16], b[16], c[16], d[16];
    vl2_ntlm_hashes("alice", "pw", a, b);
    vl2_ntlm_hashes_dom("alice", "", "pw", c, d);
    EXPECT_EQ(u16(a), u16(c));
    EXPECT_EQ(u16(b), u16(d));

    // Names are cut to 128 bytes.
    std::string long_user(200, 'q');
    vl2_ntlm_hashes(long_user.c_str(), "pw", a, b);
    vl2_ntlm_hashes(long_user.substr(0, 128).c_str(), "pw", c, d);
    EXPECT_EQ(u16(b), u16(d));

    // A password that is not UTF-8 gives zero keys.
    vl2_ntlm_hashes("alice", "\xff", a, b);
    EXPECT_EQ(u16(a), bytes(16, 0));
    EXPECT_EQ(u16(b), bytes(16, 0));
}

// Clients upper-case the whole name with Unicode case mapping before
// hashing; folding only a-z made every non-ASCII name unable to log on.
TEST(NtlmHashes, NonAsciiUserNameUpperCasedLikeClients)
{
    uint8_t nt[16], lower[16], upper[16], ascii_only[16];
    vl2_ntlm_hashes_dom("müller", "WG", "pw", nt, lower);
    vl2_ntlm_hashes_dom("MÜLLER", "WG", "pw", nt, upper);
    EXPECT_EQ(u16(lower), u16(upper));
    // What folding only a-z would hash: "MüLLER" with the ü unchanged.
    bytes folded = unhex("4d00fc004c004c00450052005700 4700");
    vl2_hmacmd5(nt, 16, folded.data(), folded.size(), ascii_only);
    EXPECT_NE(u16(lower), u16(ascii_only));
    bytes right = unhex("4d00dc004c004c00450052005700 4700");
    vl2_hmacmd5(nt, 16, right.data(), right.size(), ascii_only);
    EXPECT_EQ(u16(lower), u16(ascii_only));
    // The domain keeps its case.
    vl2_ntlm_hashes_dom("x", "wg", "pw", nt, upper);
    vl2_ntlm_hashes_dom("x", "WG", "pw", nt, lower);
    EXPECT_NE(u16(lower), u16(upper));
}

TEST(NtlmUpcase, SimpleMapping)
{
    const struct {
        uint16_t in, out;
    } rows[] = {
        {'a', 'A'},       {'z', 'Z'},       {'A', 'A'},       {'{', '{'},       {0x00fc, 0x00dc},  // ü
        {0x00ff, 0x0178}, {0x00b5, 0x039c}, {0x00df, 0x00df}, {0x00d7, 0x00d7}, {0x00f7, 0x00f7}, {0x0101, 0x0100},
        {0x0100, 0x0100}, {0x0131, 0x0049}, {0x017f, 0x0053}, {0x01c6, 0x01c4}, {0x01c5, 0x01c4}, {0x03c3, 0x03a3},
        {0x03c2, 0x03a3}, {0x03af, 0x038a}, {0x03c9, 0x03a9}, {0x044f, 0x042f}, {0x0451, 0x0401}, {0x0561, 0x0531},
        {0x1e01, 0x1e00}, {0x1fb3, 0x1fbc}, {0x24d0, 0x24b6}, {0xff41, 0xff21}, {0x10d0, 0x10d0}, {0xd800, 0xd800},
        {0xdc00, 0xdc00}, {0xffff, 0xffff}, {0x0000, 0x0000},
    };
    for (const auto &r : rows) EXPECT_EQ(vl2_ntlm_upcase(r.in), r.out) << std::hex << r.in;
}

// The compact table against the C library's simple mapping it was made
// from, over every code unit (Georgian Mkhedruli is deliberately left out).
TEST(NtlmUpcase, TableMatchesSource)
{
    if (!setlocale(LC_CTYPE, "C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
    int diffs = 0;
    for (uint32_t c = 0; c < 0x10000; c++) {
        uint32_t want = (uint32_t)towupper((wint_t)c);
        if ((c >= 0xd800 && c <= 0xdfff) || (c >= 0x10d0 && c <= 0x10ff) || want > 0xffff) want = c;
        if (vl2_ntlm_upcase((uint16_t)c) != want && ++diffs < 10)
            ADD_FAILURE() << std::hex << c << " -> " << vl2_ntlm_upcase((uint16_t)c) << " want " << want;
    }
    setlocale(LC_CTYPE, "C");
    EXPECT_EQ(diffs, 0);
}

// ---- CHALLENGE ----------------------------------------------------------

bytes type2(const char *name, int64_t now)
{
    vl2_buf b{};
    EXPECT_EQ(vl2_ntlm_type2(name, vec::challenge, now, &b), 0);
    bytes out(b.data, b.data + b.len);
    vl2_buf_free(&b);
    return out;
}

// The vectors below were answered by the client against exactly this.
TEST(NtlmChallenge, DefaultName)
{
    bytes m = type2(nullptr, vec::now);
    EXPECT_EQ(tohex(m.data(), m.size()), tohex(unhex(vec::type2_default).data(), 124));
    EXPECT_EQ(m, type2("", vec::now));
}

TEST(NtlmChallenge, EpochAndLongName)
{
    bytes m = type2(nullptr, 0);
    ASSERT_EQ(m.size(), 124u);
    EXPECT_EQ(vl2_le64(m.data() + 112), 116444736000000000ULL);

    std::string name63 = "FILESERVER-" + std::string(48, 'X') + "ABCD";
    bytes l = type2(name63.c_str(), vec::now);
    EXPECT_EQ(l.size(), 72u + 2 * 120);
    EXPECT_EQ(l, type2(name63.substr(0, 60).c_str(), vec::now));
}

TEST(NtlmChallenge, UnconvertibleNameAppendsNothing)
{
    vl2_buf b{};
    vl2_buf_str(&b, "keep");
    EXPECT_EQ(vl2_ntlm_type2("bad\xff", vec::challenge, 0, &b), -1);
    EXPECT_EQ(b.len, 4u);
    vl2_buf_free(&b);
}

TEST(NtlmType1, SignatureAndType)
{
    bytes neg = unhex("4e544c4d5353500001000000358288e000000000000000000000000000000000");
    EXPECT_EQ(vl2_ntlm_type1(exact(neg).get(), neg.size()), 0);
    EXPECT_EQ(vl2_ntlm_type1(exact(neg, 16).get(), 16), 0);
    EXPECT_EQ(vl2_ntlm_type1(exact(neg, 15).get(), 15), -1);
    bytes t3 = unhex(vec::kx_alice.msg);
    EXPECT_EQ(vl2_ntlm_type1(t3.data(), t3.size()), -1);
    neg[0] = 'n';
    EXPECT_EQ(vl2_ntlm_type1(neg.data(), neg.size()), -1);
    EXPECT_EQ(vl2_ntlm_type1(nullptr, 32), -1);
}

// ---- AUTHENTICATE -------------------------------------------------------

struct t3res {
    int rc;
    int anon;
    std::string key;
    std::string trace;
};

vl2_ntlm_auth auth(const uint8_t *m, size_t n, const char *user, const char *pw, int64_t now = vec::now,
                   int timecheck = 1)
{
    vl2_ntlm_auth a{};
    a.msg = m;
    a.len = n;
    a.challenge = vec::challenge;
    a.now = now;
    a.timecheck = timecheck;
    a.user = user;
    a.password = pw;
    a.guest_ok = vl2_guest_allowed();
    return a;
}
int type3(const uint8_t *m, size_t n, const char *user, const char *pw)
{
    vl2_ntlm_auth a = auth(m, n, user, pw);
    return vl2_ntlm_type3(&a);
}

class Type3 : public testing::Test {
protected:
    void SetUp() override
    {
        vl2_cfg_reset_for_tests();
        guest(false);
    }
    void TearDown() override { vl2_cfg_reset_for_tests(); }
    static void guest(bool on) { ASSERT_EQ(vlsmb2s_set_option("guest", on ? "on" : "off"), 0); }

    // Verifies the first len bytes of m from an exactly sized heap block.
    static t3res check(const bytes &m, const char *user, const char *pw, int64_t now = vec::now, int timecheck = 1,
                       const char *server = nullptr, size_t len = SIZE_MAX)
    {
        (void)server;  // the client's AV pairs are no longer compared with our name
        exact e(m, std::min(len, m.size()));
        t3res r{};
        vl2_ntlm_auth a = auth(e.get(), e.n, user, pw, now, timecheck);
        memset(a.key, 0xee, 16);
        a.anonymous = 7;
        r.trace = traced([&] { r.rc = vl2_ntlm_type3(&a); });
        r.anon = a.anonymous;
        r.key = tohex(a.key, 16);
        return r;
    }
    static t3res check(const vec::auth &v, const char *user, int64_t now = vec::now, int timecheck = 1)
    {
        return check(unhex(v.msg), user, v.password, now, timecheck, v.server);
    }
};

// Offset in the message of the first AV pair with this id in the NT blob.
size_t av_at(const bytes &m, uint16_t id)
{
    size_t ntlen = vl2_le16(m.data() + 20), off = vl2_le32(m.data() + 24);
    for (size_t p = off + 16 + 28; p + 4 <= off + ntlen;) {
        uint16_t i = vl2_le16(m.data() + p);
        if (i == id) return p;
        if (i == 0) break;
        p += 4 + vl2_le16(m.data() + p + 2);
    }
    ADD_FAILURE() << "no AV pair " << id;
    return 0;
}

TEST_F(Type3, ClientMessagesAccepted)
{
    const struct {
        const vec::auth *v;
        const char *configured;
    } rows[] = {
        {&vec::kx_alice, "alice"},
        {&vec::nokx_alice, "alice"},
        {&vec::kx_alice, "ALICE"},
        {&vec::upper_alice, "alice"},
        {&vec::nodomain_bob, "bob"},
        {&vec::lowername, "alice"},
        {&vec::longname, "alice"},
        {&vec::nt1040, "alice"},
        // Non-ASCII names, typed by the client in either case.
        {&vec::mueller, "müller"},
        {&vec::mueller, "MÜLLER"},
        {&vec::mueller_upper, "müller"},
        {&vec::nandu, "Ñandú"},
        {&vec::nandu, "ñANDÚ"},
        {&vec::sofia, "Σοφία"},
        {&vec::sofia, "ΣΟΦΊΑ"},
    };
    for (const auto &r : rows) {
        t3res got = check(*r.v, r.configured);
        EXPECT_EQ(got.rc, 0) << r.v->name << " as " << r.configured << "\n" << got.trace;
        EXPECT_EQ(got.anon, 0) << r.v->name;
        EXPECT_EQ(got.key, r.v->key) << r.v->name << " as " << r.configured;
    }
}

TEST_F(Type3, NotThisAccount)
{
    const struct {
        const vec::auth *v;
        const char *user;
        const char *password;
        const char *trace;
    } rows[] = {
        {&vec::kx_alice, "bob", "S3cret!", "[t3] user mismatch wire='alice' want='bob'\n"},
        {&vec::kx_alice, "alice", "s3cret!", "[t3] proof MISMATCH user='alice'\n"},
        {&vec::kx_alice, "alice", "", "[t3] proof MISMATCH user='alice'\n"},
        {&vec::mueller, "muller", "Paßwort-1", "[t3] user mismatch wire='müller' want='muller'\n"},
        {&vec::sofia, "Σοφια", "sophia-2024", "user mismatch"},
        // The guest path names nobody; a sound message still fails only the proof.
        {&vec::kx_alice, "", "", "[t3] proof MISMATCH user='alice'\n"},
    };
    for (const auto &r : rows) {
        t3res got = check(unhex(r.v->msg), r.user, r.password);
        EXPECT_EQ(got.rc, 1) << r.v->name << " " << r.user;
        EXPECT_NE(got.trace.find(r.trace), std::string::npos) << got.trace;
        EXPECT_EQ(got.anon, 0);
        EXPECT_EQ(got.key, std::string(32, '0'));
    }
}

TEST_F(Type3, ClockSkew)
{
    for (int64_t d : {-7201, -7200, -1, 0, 1, 7200, 7201}) {
        bool ok = d >= -7200 && d <= 7200;
        EXPECT_EQ(check(vec::kx_alice, "alice", vec::now + d).rc, ok ? 0 : -1) << d;
        EXPECT_EQ(check(vec::kx_alice, "alice", vec::now + d, 0).rc, 0) << d;
    }
    EXPECT_EQ(check(vec::kx_alice, "alice", 0, 0).rc, 0);

    // A zero timestamp passes the time check at any clock (the proof, which
    // covers the timestamp, fails afterwards).
    bytes m = unhex(vec::kx_alice.msg);
    memset(m.data() + av_at(m, 7) + 4, 0, 8);
    t3res r = check(m, "alice", vec::kx_alice.password, 0);
    EXPECT_EQ(r.rc, 1) << r.trace;
}

TEST_F(Type3, WalkTrace)
{
    t3res r = check(vec::kx_alice, "alice");
    EXPECT_NE(r.trace.find("[t3] walk blen=148: id=2 len=26@28 id=1 len=26@58 id=7 len=8@88 id=9 len=36@100 "
                           "id=0 len=0@140\n"),
              std::string::npos)
        << r.trace;
}

// The AV pairs are covered by the proof, so the pair checks that remain
// must come first for their own reasons to be seen. Pairs that only differ
// from ours are the client's business: the proof decides.
TEST_F(Type3, AvPairChecks)
{
    bytes base = unhex(vec::kx_alice.msg);
    const size_t dom = av_at(base, 2), comp = av_at(base, 1), ts = av_at(base, 7);
    const struct {
        const char *what;
        size_t at;
        bytes put;
        int timecheck;
        int rc;
        const char *trace;
    } rows[] = {
        {"timestamp missing", ts, {0x0a, 0x00}, 1, 1, "[t3] proof MISMATCH"},
        {"timestamp missing, check off", ts, {0x0a, 0x00}, 0, 1, "[t3] proof MISMATCH"},
        {"timestamp length 4", ts + 2, {0x04, 0x00}, 1, -1, "[t3] ts av len=4\n"},
        {"computer name differs", comp + 4 + 24, {'X'}, 1, 1, "[t3] proof MISMATCH"},
        {"computer name pair missing", comp, {0x03}, 1, 1, "[t3] proof MISMATCH"},
        {"domain name differs", dom + 4 + 2, {'A'}, 1, 1, "[t3] proof MISMATCH"},
        {"first pair overruns", dom + 2, {0xff, 0xff}, 1, -1, "id=2 len=65535@28 OVER\n[t3] av list overruns"},
        {"first pair overruns, check off", dom + 2, {0xff, 0xff}, 0, -1, "[t3] av list overruns"},
        {"list ends early", dom, {0x00, 0x00}, 0, 1, "[t3] proof MISMATCH"},
        {"blob version", dom - 28, {0x02}, 1, -1, "[t3] blobver 0201\n"},
        {"blob high version", dom - 27, {0x00}, 1, -1, "[t3] blobver 0100\n"},
    };
    for (const auto &r : rows) {
        bytes m = base;
        std::copy(r.put.begin(), r.put.end(), m.begin() + (long)r.at);
        for (const char *user : {"alice", "bob"}) {
            t3res got = check(m, user, vec::kx_alice.password, vec::now, r.timecheck);
            // A refused message is refused before the name is looked at.
            EXPECT_EQ(got.rc, r.rc == -1 || user[0] == 'a' ? r.rc : 1) << r.what << " " << user << "\n" << got.trace;
            if (user[0] == 'a') {
                EXPECT_NE(got.trace.find(r.trace), std::string::npos) << r.what << "\n" << got.trace;
            }
        }
    }
}

// A client that builds its response on its own AV pairs (its own domain
// name, no timestamp) is verified over the blob it sent.
TEST_F(Type3, ClientsOwnAvPairsAccepted)
{
    for (int timecheck : {1, 0}) {
        t3res r = check(vec::own_avs, "alice", vec::now + 86400, timecheck);
        EXPECT_EQ(r.rc, 0) << r.trace;
        EXPECT_EQ(r.key, vec::own_avs.key);
    }
    EXPECT_EQ(check(vec::own_avs, "alice", vec::now, 1).rc, 0);
    EXPECT_EQ(check(unhex(vec::own_avs.msg), "alice", "wrong").rc, 1);
}

// Our name in the client's pairs is no longer required: a response made
// for a CHALLENGE that carried another (or a cut) name still verifies.
TEST_F(Type3, ServerNameComparedOverItsFirst60Bytes)
{
    std::string other = std::string(vec::longname.server).substr(0, 60) + "ZZZ";
    EXPECT_EQ(check(unhex(vec::longname.msg), "alice", "S3cret!", vec::now, 1, other.c_str()).rc, 0);
    t3res r = check(unhex(vec::kx_alice.msg), "alice", "S3cret!", vec::now, 1, "OTHER");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.trace.find("nbdom"), std::string::npos);
}

// NegotiateFlags are not covered by the proof: they decide on their own.
TEST_F(Type3, Flags)
{
    auto with_flags = [](const vec::auth &v, uint32_t set, uint32_t clear) {
        bytes m = unhex(v.msg);
        vl2_put32(m.data() + 60, (vl2_le32(m.data() + 60) | set) & ~clear);
        return m;
    };
    t3res r = check(with_flags(vec::kx_alice, 0x200, 0x80000), "alice", "S3cret!");
    EXPECT_EQ(r.rc, -1);
    EXPECT_NE(r.trace.find("[t3] ntonly flags=e0800205\n"), std::string::npos) << r.trace;

    r = check(with_flags(vec::kx_alice, 0, 0x80200), "alice", "S3cret!");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.key, vec::kx_alice.key);

    // Without KEY_EXCH the session base key is used, not the client's key.
    r = check(with_flags(vec::kx_alice, 0, 0x40000000), "alice", "S3cret!");
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.key, vec::kx_alice.key);
    EXPECT_NE(r.key, std::string(32, '0'));

    // KEY_EXCH needs exactly 16 encrypted bytes.
    EXPECT_EQ(check(with_flags(vec::nokx_alice, 0x40000000, 0), "alice", "S3cret!").rc, -1);
    for (uint16_t len : {0, 15}) {
        bytes m = unhex(vec::kx_alice.msg);
        vl2_put16(m.data() + 52, len);
        EXPECT_EQ(check(m, "alice", "S3cret!").rc, -1) << len;
    }
}

TEST_F(Type3, MalformedMessages)
{
    bytes good = unhex(vec::kx_alice.msg);
    EXPECT_EQ(type3(nullptr, 0, "a", "b"), -1);

    t3res r = check(good, "alice", "S3cret!", vec::now, 1, nullptr, 31);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.trace, "[t3] short 31\n");

    bytes m = good;
    m[7] = 1;
    EXPECT_EQ(check(m, "alice", "S3cret!").trace, "[t3] sig\n");

    m = good;
    m[8] = 2;
    r = check(m, "alice", "S3cret!");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.trace, "");

    m = good;
    vl2_put32(m.data() + 24, 0);
    r = check(m, "alice", "S3cret!");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.trace, "[t3] ntfield\n");

    m = good;
    vl2_put32(m.data() + 24, 4096);
    r = check(m, "alice", "S3cret!");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.trace, "[t3field] off=4096 ln=164 msglen=312 hi=164\n[t3] ntfield\n");

    // Empty NT response with an offset: an anonymous logon.
    m = good;
    vl2_put16(m.data() + 20, 0);
    r = check(m, "alice", "S3cret!");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.anon, 1);
    EXPECT_EQ(r.trace, "[t3] anonymous (empty NT response)\n");
    // It asked for key exchange: the key is the one it sent, encrypted under
    // the all-zero base key (what an anonymous client signs with).
    {
        uint8_t want[16], zero[16] = {0};
        memcpy(want, m.data() + vl2_le32(m.data() + 56), 16);
        vl2_rc4_ctx rc;
        vl2_rc4_init(&rc, zero, 16);
        vl2_rc4(&rc, want, 16);
        EXPECT_EQ(r.key, tohex(want, 16));
    }
    bytes m2 = m;
    vl2_put32(m2.data() + 60, vl2_le32(m2.data() + 60) & ~0x40000000u);
    EXPECT_EQ(check(m2, "alice", "S3cret!").key, std::string(32, '0')) << "no key exchange, no key";

    // An anonymous logon as smbclient -N sends it: NTLM set, extended
    // security clear. Still anonymous, not refused.
    vl2_put32(m.data() + 60, (vl2_le32(m.data() + 60) | 0x200) & ~0x80000u);
    r = check(m, "alice", "S3cret!");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.anon, 1);

    // A message ending inside NegotiateFlags.
    bytes shortm =
        cat({bytes(good.begin(), good.begin() + 12), unhex("0000000000000000 0000000028000000"), bytes(34, 0)});
    ASSERT_EQ(shortm.size(), 62u);
    r = check(shortm, "", "");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.trace, "[t3] flags\n");

    // User name with a length but no offset, or not UTF-16.
    m = good;
    vl2_put32(m.data() + 40, 0);
    EXPECT_EQ(check(m, "alice", "S3cret!").rc, -1);
    m = good;
    vl2_put16(m.data() + 36, 9);
    EXPECT_EQ(check(m, "alice", "S3cret!").rc, -1);
}

TEST_F(Type3, NtResponseLengthBounds)
{
    bytes m = unhex(vec::kx_alice.msg);
    vl2_put16(m.data() + 20, 24);
    t3res r = check(m, "alice", "S3cret!");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.trace, "[t3] ntlen 24\n");
    r = check(unhex(vec::nt1041.msg), "alice", "S3cret!");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.trace, "[t3] ntlen 1041\n");

    guest(true);
    for (const bytes &g : {m, unhex(vec::nt1041.msg)}) {
        r = check(g, "alice", "S3cret!");
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.anon, 1);
        EXPECT_EQ(r.trace, "[t3] short blob -> guest\n");
    }
    EXPECT_EQ(check(vec::nt1040, "alice").anon, 0);
}

// Every prefix of a valid message is refused without reading past it.
TEST_F(Type3, EveryTruncationRefused)
{
    for (const vec::auth *v : {&vec::kx_alice, &vec::nokx_alice, &vec::nandu}) {
        bytes m = unhex(v->msg);
        for (bool g : {false, true}) {
            guest(g);
            for (size_t n = 0; n < m.size(); n++) {
                t3res r = check(m, v->user, v->password, vec::now, 1, nullptr, n);
                EXPECT_EQ(r.rc, -1) << v->name << " prefix " << n;
                EXPECT_EQ(r.anon, 0);
            }
        }
    }
}

TEST_F(Type3, SilentWithoutTrace)
{
    bytes m = unhex(vec::kx_alice.msg);
    unsetenv("VLSMB2S_TRACE");
    testing::internal::CaptureStderr();
    EXPECT_EQ(type3(m.data(), m.size(), "bob", "x"), 1);
    EXPECT_EQ(type3(m.data(), m.size(), "alice", "x"), 1);
    EXPECT_EQ(type3(m.data(), 20, "alice", "x"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The MIC binds the three messages: a man in the middle that strips a flag
// from any of them, or a client that gets the MIC wrong, fails like a wrong
// password.
TEST_F(Type3, MicChecked)
{
    const bytes nego = unhex(vec::mic_nego), chal = unhex(vec::mic_chal), good = unhex(vec::mic_alice.msg);
    auto run = [&](bytes m, bytes n, bytes c, bool with_exchange = true) {
        vl2_ntlm_exchange x{};
        vl2_ntlm_keep(&x.nego, n.data(), n.size());
        vl2_ntlm_keep(&x.chal, c.data(), c.size());
        exact e(m);
        vl2_ntlm_auth a = auth(e.get(), e.n, "alice", "S3cret!");
        a.x = with_exchange ? &x : nullptr;
        int rc = vl2_ntlm_type3(&a);
        return std::make_tuple(rc, a.mic, tohex(a.key, 16));
    };
    EXPECT_EQ(run(good, nego, chal), std::make_tuple(0, 1, std::string(vec::mic_alice.key)));
    auto flip = [](bytes b, size_t at, uint8_t bit) {
        b[at] ^= bit;
        return b;
    };
    const std::string zero(32, '0');
    const struct {
        const char *what;
        bytes m, n, c;
    } rows[] = {
        {"MIC off by one bit", flip(good, 72, 0x01), nego, chal},
        {"SEAL added to the AUTHENTICATE's flags", flip(good, 60, 0x20), nego, chal},
        {"SIGN stripped from the CHALLENGE", good, nego, flip(chal, 20, 0x10)},
        {"NEGOTIATE altered", good, flip(nego, 12, 0x10), chal},
    };
    for (const auto &r : rows) EXPECT_EQ(run(r.m, r.n, r.c), std::make_tuple(1, 0, zero)) << r.what;
    EXPECT_EQ(run(good, nego, chal, false), std::make_tuple(1, 0, zero)) << "nothing kept to check it with";
    vl2_ntlm_exchange lost{};
    vl2_ntlm_keep(&lost.nego, nullptr, VL2_NTLM_KEEP + 1);
    EXPECT_EQ(lost.nego.lost, 1);
}

// MS-NLMP 4.2.4.4: keys of the client-to-server direction from the random
// session key 0x55.., the example's flags, "Plaintext" sealed and then
// signed with sequence number 0 through the same sealing handle.
TEST(NtlmSigning, PublishedExample)
{
    const uint32_t flags = 0xe28a8233;
    uint8_t key[16];
    memset(key, 0x55, sizeof key);
    vl2_ntlm_dir d;
    vl2_ntlm_dir_init(&d, key, flags, 0);
    EXPECT_EQ(tohex(d.sign_key, 16), "4788dc861b4782f35d43fd98fe1a2d39");
    EXPECT_EQ(tohex(d.seal_key, 16), "59f600973cc4960a25480a7c196e4c58");
    bytes msg = unhex("50006c00610069006e007400650078007400");
    bytes sealed = msg;
    vl2_rc4(&d.seal, sealed.data(), sealed.size());
    EXPECT_EQ(tohex(sealed.data(), sealed.size()), "54e50165bf1936dc996020c1811b0f06fb5f");
    uint8_t sig[16];
    vl2_ntlm_mac(&d, flags, msg.data(), msg.size(), sig);
    EXPECT_EQ(tohex(sig, 16), "010000007fb38ec5c55d497600000000");
    EXPECT_EQ(d.seq, 1u);
    // The other direction has keys of its own.
    vl2_ntlm_dir back;
    vl2_ntlm_dir_init(&back, key, flags, 1);
    EXPECT_NE(tohex(back.sign_key, 16), tohex(d.sign_key, 16));
    EXPECT_NE(tohex(back.seal_key, 16), tohex(d.seal_key, 16));
}

}  // namespace
