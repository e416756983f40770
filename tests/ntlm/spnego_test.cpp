#include "helpers.h"
#include "vectors.h"

#include "ntlm/ntlm.h"
#include "util/util.h"

namespace {

const bytes spnego_oid = unhex("06062b0601050502");
const bytes ntlm_oid = unhex("060a2b06010401823702020a");
const bytes krb_oid = unhex("06092a864886f712010202");
const bytes ms_krb_oid = unhex("06092a864882f712010202");
const bytes ntlm_neg = unhex("4e544c4d5353500001000000358288e000000000000000000000000000000000");
const bytes hints_str = bytes((const uint8_t *)"not_defined_in_RFC4178@please_ignore",
                              (const uint8_t *)"not_defined_in_RFC4178@please_ignore" + 36);

struct result {
    int rc;
    bool has_tok;
    bytes tok;  // copied while the blob is alive
    int raw;
};

result classify(const exact &e)
{
    result r{};
    const uint8_t *tok;
    size_t toklen;
    r.rc = vl2_spnego_init(e.get(), e.n, &tok, &toklen, &r.raw);
    r.has_tok = tok != nullptr;
    if (tok) {
        EXPECT_TRUE(tok >= e.get() && toklen <= e.n && (size_t)(tok - e.get()) <= e.n - toklen);
        r.tok.assign(tok, tok + toklen);
    }
    return r;
}

result classify(const bytes &b) { return classify(exact(b)); }

bytes gss_init(const bytes &seq_content) { return tlv(0x60, cat({spnego_oid, tlv(0xa0, tlv(0x30, seq_content))})); }

bytes mech_types(std::initializer_list<bytes> oids) { return tlv(0xa0, tlv(0x30, cat(oids))); }

TEST(SpnegoInit, ClassifiesClientBlobs)
{
    const bytes tok = ntlm_neg;
    const bytes ntlm_tok = tlv(0xa2, tlv(0x04, tok));
    const bytes neg_state = tlv(0xa0, unhex("0a0101"));
    struct row {
        const char *what;
        bytes blob;
        int rc;
        int raw;
        bool has_tok;
    } rows[] = {
        {"empty", {}, -1, 0, false},
        {"one byte", {0x60}, -1, 0, false},
        {"7-byte signature", bytes{'N', 'T', 'L', 'M', 'S', 'S', 'P'}, -1, 0, false},
        {"neither DER nor NTLM", unhex("300100"), -1, 0, false},
        {"typical init", gss_init(cat({mech_types({ms_krb_oid, krb_oid, ntlm_oid}), ntlm_tok})), 0, 0, false},
        {"init without NTLMSSP", gss_init(cat({mech_types({ms_krb_oid, krb_oid}), ntlm_tok})), -2, 0, false},
        {"init without mechTypes", gss_init(ntlm_tok), 0, 0, false},
        {"mechTypes not constructed", gss_init(tlv(0xa0, tlv(0x06, unhex("2b06")))), -2, 0, false},
        {"mechTypes empty", gss_init(tlv(0xa0, {})), -2, 0, false},
        {"negTokenInit not constructed", tlv(0x60, cat({spnego_oid, tlv(0xa0, tlv(0x04, tok))})), -1, 0, false},
        {"reqFlags BIT STRING skipped", gss_init(cat({mech_types({ntlm_oid}), tlv(0xa1, unhex("03020080")), ntlm_tok})),
         0, 0, false},
        {"reqFlags constructed skipped", gss_init(cat({mech_types({ntlm_oid}), tlv(0xa1, tlv(0x30, tok)), ntlm_tok})),
         0, 0, false},
        // An overrunning element after mechTypes ends the walk, not the logon.
        {"damaged tail", gss_init(cat({mech_types({ntlm_oid}), unhex("a2 7f 04")})), 0, 0, false},
        {"damaged tail before mechTypes", gss_init(cat({unhex("a2 03 04 01")})), 0, 0, false},
        {"GSS token of NTLMSSP itself", tlv(0x60, cat({ntlm_oid, tok})), 0, 1, false},
        {"GSS token, SPNEGO OID only", tlv(0x60, spnego_oid), -1, 0, false},
        {"GSS token, outer overruns", unhex("6010"), -1, 0, false},
        {"high-tag-number form", tlv(0x60, cat({unhex("1f0100"), spnego_oid})), -1, 0, false},
        {"resp in SEQUENCE", tlv(0xa1, tlv(0x30, cat({neg_state, ntlm_tok}))), 0, 0, true},
        {"resp without SEQUENCE", tlv(0xa1, cat({neg_state, ntlm_tok})), 0, 0, true},
        {"resp token not OCTET STRING", tlv(0xa1, tlv(0x30, cat({neg_state, tlv(0xa2, tlv(0x30, tok))}))), -1, 0,
         false},
        {"resp without responseToken", tlv(0xa1, tlv(0x30, neg_state)), -1, 0, false},
        {"resp, broken element before token", tlv(0xa1, tlv(0x30, cat({unhex("a07f"), ntlm_tok}))), -1, 0, false},
        // Length forms: 0x80 reads as 0, 0x81 05 is a long form of 5, 0x85 is refused.
        {"length byte 0x80", tlv(0xa1, tlv(0x30, cat({unhex("a080"), ntlm_tok}))), 0, 0, true},
        {"long-form short length", cat({unhex("a1 81"), {(uint8_t)(ntlm_tok.size() + 5)}, neg_state, ntlm_tok}), 0, 0,
         true},
        {"five length bytes", cat({unhex("a1 85 00 00 00 00 05"), neg_state}), -1, 0, false},
        {"four length bytes", cat({unhex("a1 84 00 00 00"), {(uint8_t)(ntlm_tok.size() + 5)}, neg_state, ntlm_tok}), 0,
         0, true},
        {"raw NTLM", tok, 0, 1, true},
        {"signature and nothing else", bytes{'N', 'T', 'L', 'M', 'S', 'S', 'P', 0}, 0, 1, true},
    };
    for (const row &r : rows) {
        result got = classify(r.blob);
        EXPECT_EQ(got.rc, r.rc) << r.what;
        EXPECT_EQ(got.raw, r.raw) << r.what;
        EXPECT_EQ(got.has_tok, r.has_tok) << r.what;
        if (got.has_tok && r.rc == 0) {
            EXPECT_EQ(got.tok, r.raw ? r.blob : tok) << r.what;
        }
    }
}

TEST(SpnegoInit, OutputsClearedOnFailure)
{
    const uint8_t *tok = (const uint8_t *)"x";
    size_t len = 99;
    int raw = 7;
    EXPECT_EQ(vl2_spnego_init(nullptr, 10, &tok, &len, &raw), -1);
    EXPECT_EQ(tok, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(raw, 0);
}

TEST(SpnegoInit, RealClientBlobs)
{
    result r = classify(unhex(vec::spnego_init));
    EXPECT_EQ(r.rc, 0);
    EXPECT_FALSE(r.has_tok);
    EXPECT_EQ(r.raw, 0);

    r = classify(unhex(vec::spnego_init_multi));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.raw, 0);

    EXPECT_EQ(classify(unhex(vec::spnego_init_krb_only)).rc, -2);

    r = classify(unhex(vec::spnego_resp));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.raw, 0);
    EXPECT_EQ(r.tok, unhex(vec::kx_alice.msg));
}

// Every prefix of a valid blob is refused, and none is read past its end.
TEST(SpnegoInit, EveryTruncationRefused)
{
    vl2_buf b{};
    bytes m(300, 0x4e);
    vl2_spnego_resp(m.data(), m.size(), &b);
    bytes ours(b.data, b.data + b.len);
    vl2_buf_free(&b);
    const bytes blobs[] = {unhex(vec::spnego_init), unhex(vec::spnego_init_multi), unhex(vec::spnego_resp), ours,
                           gss_init(cat({mech_types({ntlm_oid}), tlv(0xa1, unhex("03020080"))}))};
    for (const bytes &blob : blobs) {
        ASSERT_EQ(classify(blob).rc, 0);
        for (size_t n = 0; n < blob.size(); n++)
            EXPECT_EQ(classify(exact(blob, n)).rc, -1) << "prefix " << n << " of " << tohex(blob.data(), 4);
    }
}

// Strict reader: minimal lengths, and the element must fill [p, end).
bool strict_tlv(const uint8_t *&p, const uint8_t *end, uint8_t tag, const uint8_t *&content, size_t &len)
{
    if (end - p < 2 || p[0] != tag) return false;
    size_t n = p[1];
    const uint8_t *q = p + 2;
    if (n == 0x81) {
        if (end - q < 1 || q[0] < 0x80) return false;
        n = q[0];
        q += 1;
    } else if (n == 0x82) {
        if (end - q < 2 || q[0] == 0) return false;
        n = (size_t)q[0] << 8 | q[1];
        q += 2;
    } else if (n >= 0x80) {
        return false;
    }
    if ((size_t)(end - q) < n) return false;
    content = q;
    len = n;
    p = q + n;
    return true;
}

// a1 { 30 { a0 { 0a 01 01 }, a1 { ntlm_oid }, a2 { 04 M } } } and nothing else.
bool strict_resp(const bytes &t, bytes &msg)
{
    const uint8_t *p = t.data(), *end = p + t.size(), *c, *c2, *c3;
    size_t l, l2, l3;
    if (!strict_tlv(p, end, 0xa1, c, l) || p != end) return false;
    if (!strict_tlv(c, c + l, 0x30, c2, l2) || c != t.data() + t.size()) return false;
    const uint8_t *send = c2 + l2;
    if (!strict_tlv(c2, send, 0xa0, c3, l3) || bytes(c3, c3 + l3) != unhex("0a0101")) return false;
    if (!strict_tlv(c2, send, 0xa1, c3, l3) || bytes(c3, c3 + l3) != ntlm_oid) return false;
    const uint8_t *tc;
    size_t tl;
    if (!strict_tlv(c2, send, 0xa2, c3, l3) || c2 != send) return false;
    const uint8_t *a2end = c3 + l3;
    if (!strict_tlv(c3, a2end, 0x04, tc, tl) || c3 != a2end) return false;
    msg.assign(tc, tc + tl);
    return true;
}

TEST(SpnegoBuild, ResponseNestsExactly)
{
    for (size_t n : {0, 1, 100, 124, 126, 127, 128, 200, 255, 256, 300, 1200}) {
        bytes m(n);
        for (size_t i = 0; i < n; i++) m[i] = (uint8_t)(i * 7 + 1);
        vl2_buf b{};
        ASSERT_EQ(vl2_spnego_resp(m.data(), n, &b), 0);
        ASSERT_EQ(b.failed, 0);
        bytes t(b.data, b.data + b.len);
        vl2_buf_free(&b);
        bytes back;
        EXPECT_TRUE(strict_resp(t, back)) << n;
        EXPECT_EQ(back, m) << n;
        result r = classify(t);
        ASSERT_EQ(r.rc, 0) << n;
        EXPECT_EQ(r.tok, m) << n;
    }
}

TEST(SpnegoBuild, ResponseAroundDefaultChallengeIs153Bytes)
{
    bytes ch = unhex(vec::type2_default);
    ASSERT_EQ(ch.size(), 124u);
    vl2_buf b{};
    vl2_spnego_resp(ch.data(), ch.size(), &b);
    ASSERT_EQ(b.len, 153u);
    EXPECT_EQ(bytes(b.data, b.data + 29), cat({unhex("a18196308193a0030a0101a10c"), ntlm_oid, unhex("a27e047c")}));
    vl2_buf_free(&b);
}

TEST(SpnegoBuild, FixedTokens)
{
    const bytes hints = cat({unhex("a32a3028a0261b24"), hints_str});
    vl2_buf b{};
    vl2_spnego_init_tok_nomect(&b);
    EXPECT_EQ(bytes(b.data, b.data + b.len),
              cat({unhex("6048"), spnego_oid, unhex("a03e303c a00e300c"), ntlm_oid, hints}));
    EXPECT_EQ(b.len, 74u);
    vl2_buf_free(&b);

    vl2_spnego_init_tok(nullptr, 0, &b);
    EXPECT_EQ(bytes(b.data, b.data + b.len),
              cat({unhex("604c"), spnego_oid, unhex("a0423040 a00e300c"), ntlm_oid, unhex("a2020400"), hints}));
    EXPECT_EQ(b.len, 78u);
    vl2_buf_free(&b);

    vl2_spnego_done(&b);
    EXPECT_EQ(bytes(b.data, b.data + b.len), unhex("a1073005a0030a0100"));
    vl2_buf_free(&b);
}

// Our NegTokenInit2 with a mechToken of any size nests like DER demands
// and still reads back as an init offering NTLMSSP.
TEST(SpnegoBuild, InitTokenNestsExactly)
{
    for (size_t n : {0, 5, 60, 200, 400}) {
        bytes m(n, 0x33);
        vl2_buf b{};
        vl2_spnego_init_tok(m.data(), n, &b);
        bytes t(b.data, b.data + b.len);
        vl2_buf_free(&b);
        const uint8_t *p = t.data(), *c, *c2, *c3, *c4;
        size_t l, l2, l3, l4;
        ASSERT_TRUE(strict_tlv(p, t.data() + t.size(), 0x60, c, l)) << n;
        ASSERT_EQ(p, t.data() + t.size());
        ASSERT_EQ(bytes(c, c + 8), spnego_oid);
        c += 8;
        ASSERT_TRUE(strict_tlv(c, p, 0xa0, c2, l2)) << n;
        ASSERT_TRUE(strict_tlv(c2, p, 0x30, c3, l3)) << n;
        const uint8_t *send = c3 + l3;
        ASSERT_EQ(send, p);
        ASSERT_TRUE(strict_tlv(c3, send, 0xa0, c4, l4));
        ASSERT_TRUE(strict_tlv(c3, send, 0xa2, c4, l4));
        const uint8_t *oc;
        size_t ol;
        const uint8_t *a2end = c4 + l4;
        ASSERT_TRUE(strict_tlv(c4, a2end, 0x04, oc, ol));
        EXPECT_EQ(bytes(oc, oc + ol), m);
        ASSERT_TRUE(strict_tlv(c3, send, 0xa3, c4, l4));
        EXPECT_EQ(c3, send);
        result r = classify(t);
        EXPECT_EQ(r.rc, 0);
        EXPECT_FALSE(r.has_tok);
    }
}

// What the integrity checks need from a client's blobs: the NegTokenInit's
// NTLM NEGOTIATE and the exact DER of its mechTypes list, the negTokenResp's
// mechListMIC; a damaged MIC after a good token is only left out.
TEST(SpnegoParse, KeepsWhatTheIntegrityChecksCover)
{
    const bytes types = tlv(0x30, cat({krb_oid, ntlm_oid}));
    const bytes mic = unhex("01000000a1a2a3a4a5a6a7a800000000");
    const bytes tok = tlv(0xa2, tlv(0x04, ntlm_neg));
    struct row {
        const char *what;
        bytes blob;
        bytes init_tok, mech_types, mic;
    } rows[] = {
        {"NegTokenInit", gss_init(cat({tlv(0xa0, types), tok})), ntlm_neg, types, {}},
        {"NegTokenInit without a mechToken", gss_init(tlv(0xa0, types)), {}, types, {}},
        {"negTokenResp with a MIC", tlv(0xa1, tlv(0x30, cat({tok, tlv(0xa3, tlv(0x04, mic))}))), {}, {}, mic},
        {"negTokenResp, MIC not an OCTET STRING",
         tlv(0xa1, tlv(0x30, cat({tok, tlv(0xa3, tlv(0x05, mic))}))),
         {},
         {},
         {}},
        {"negTokenResp, MIC before the token", tlv(0xa1, tlv(0x30, cat({tlv(0xa3, tlv(0x04, mic)), tok}))), {}, {}, {}},
    };
    for (const auto &r : rows) {
        exact e(r.blob);
        vl2_spnego_in in;
        ASSERT_EQ(vl2_spnego_parse(e.get(), e.n, &in), 0) << r.what;
        EXPECT_EQ(tohex(r.init_tok.data(), r.init_tok.size()), in.init_tok ? tohex(in.init_tok, in.init_toklen) : "")
            << r.what;
        EXPECT_EQ(tohex(r.mech_types.data(), r.mech_types.size()),
                  in.mech_types ? tohex(in.mech_types, in.mech_types_len) : "")
            << r.what;
        EXPECT_EQ(tohex(r.mic.data(), r.mic.size()), in.mic ? tohex(in.mic, in.miclen) : "") << r.what;
    }
}

}  // namespace
