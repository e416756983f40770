// Published vectors for the primitives taken from libcrypto: SHA-512, AES-GCM,
// AES-CCM, AES-GMAC, AES-CMAC, and the SMB 3.0 / 3.1.1 examples published
// with the protocol documents (key derivation, pre-authentication hash,
// signing, encryption).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "hex_text.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes unhex(const char *s)
{
    Bytes v;
    for (size_t k = 0; s[k] && s[k + 1]; k += 2) {
        unsigned b = 0;
        sscanf(s + k, "%2x", &b);
        v.push_back((uint8_t)b);
    }
    return v;
}

using ::hex;
std::string hex(const Bytes &v) { return hex(v.data(), v.size()); }
std::string lower(std::string s)
{
    for (auto &c : s) c = (char)tolower((unsigned char)c);
    return s;
}

TEST(Libcrypto, Sha512Fips180)
{
    struct {
        std::string msg;
        const char *want;
    } cases[] = {
        {"",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {std::string(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto &c : cases) {
        uint8_t out[64];
        ASSERT_EQ(vl2_sha512(c.msg.data(), c.msg.size(), out), 0);
        EXPECT_EQ(hex(out, 64), c.want) << "one-shot, length " << c.msg.size();
        // Incremental, in three uneven pieces.
        size_t a = c.msg.size() / 3, b = a + 1 < c.msg.size() ? a + 1 : a;
        vl2_sha512_ctx x;
        ASSERT_EQ(vl2_sha512_init(&x), 0);
        ASSERT_EQ(vl2_sha512_update(&x, c.msg.data(), a), 0);
        ASSERT_EQ(vl2_sha512_update(&x, c.msg.data() + a, b - a), 0);
        ASSERT_EQ(vl2_sha512_update(&x, c.msg.data() + b, c.msg.size() - b), 0);
        ASSERT_EQ(vl2_sha512_final(&x, out), 0);
        EXPECT_EQ(x.md, nullptr);
        EXPECT_EQ(hex(out, 64), c.want) << "incremental, length " << c.msg.size();
        EXPECT_EQ(vl2_sha512_update(&x, "a", 1), VL2_CRYPTO_FAIL) << "update after final";
        vl2_sha512_release(&x);
    }
}

// Steps of the SMB 3.1.1 pre-authentication hash from the published AES-GCM
// example: the NEGOTIATE request from a zero hash, and the first
// SESSION_SETUP request on the hash after the NEGOTIATE response.
TEST(Libcrypto, Sha512ChainSmb311Preauth)
{
    struct {
        const char *before, *msg, *after;
    } steps[] = {
        {"00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000",
         "FE534D4240000100000000000000010000000000000000000000000000000000FFFE000000000000"
         "0000000000000000000000000000000000000000000000002400050001000000660000004F0D7FA0"
         "09F5B246B2EF62551D7D7C0970000000020000000202100200030203110300000100260000000000"
         "010020000100D1709D7196E1BD0B6EBF95213D76553435763514392649FD6F216ED8BF269CD80000"
         "0200060000000000020002000100",
         "550442DAF311412870AD9E58E602B0312D61328D6B1AC28F22AF46D6EA581F23A9BFABE0CC0411976BF3F9DA23D3433352CB48CF00B8659BC1A3695E1B1A52A8"},
        {"ABE4DA6E875F6FB05033AF04DCC38C92888B4E13D1EAB7AA05CADE142064974CB3EAB0782600549BA27207AA213B0D190B9950FA36D45BE32A888BFEE8389B74",
         "FE534D4240000100000000000100800000000000000000000100000000000000FFFE000000000000"
         "00000000000000000000000000000000000000000000000019000001010000000000000058004A00"
         "0000000000000000604806062B0601050502A03E303CA00E300C060A2B06010401823702020AA22A"
         "04284E544C4D5353500001000000978208E200000000000000000000000000000000060380250000"
         "000F",
         "A5E8AB87E2ADB8FA5F4545D20F1FD2019D66CCD0F4DFD1F762F1DFC8DCB15B98D0BD1F1450F6A0AFC70F80B353C2D959217681949CF22DF35F31257A281C6A80"},
    };
    for (const auto &s : steps) {
        Bytes h = unhex(s.before), msg = unhex(s.msg);
        ASSERT_EQ(h.size(), 64u);
        ASSERT_EQ(vl2_sha512_chain(h.data(), msg.data(), msg.size()), 0);
        EXPECT_EQ(hex(h), lower(s.after));
    }
}

// SP 800-108 with the SMB labels: the published 3.0 example (context-free
// labels) and the 3.1.1 AES-GCM example (pre-authentication hash as context).
TEST(Libcrypto, KdfSmbExamples)
{
    static const char *ctx311 = "B23F3CBFD69487D9832B79B1594A367CDD950909B774C3A4C412B4FCEA9EDDDBA7DB256BA2EA30E9"
                                "77F11F9B113247578E0E915C6D2A513B8F2FCA5707DC8770";
    struct {
        const char *key, *label;
        Bytes context;
        const char *want;
    } cases[] = {
        {"7CD451825D0450D235424E44BA6E78CC",
         "SMB2AESCMAC",
         {'S', 'm', 'b', 'S', 'i', 'g', 'n', 0},
         "0B7E9C5CAC36C0F6EA9AB275298CEDCE"},
        {"7CD451825D0450D235424E44BA6E78CC",
         "SMB2AESCCM",
         {'S', 'e', 'r', 'v', 'e', 'r', 'I', 'n', ' ', 0},
         "FAD27796665B313EBB578F388632B4F7"},
        {"7CD451825D0450D235424E44BA6E78CC",
         "SMB2AESCCM",
         {'S', 'e', 'r', 'v', 'e', 'r', 'O', 'u', 't', 0},
         "B0F0427F7CEB416D1D9DCC0CD4F99447"},
        {"7CD451825D0450D235424E44BA6E78CC",
         "SMB2APP",
         {'S', 'm', 'b', 'R', 'p', 'c', 0},
         "BB23A4575AA26C721AF525AF15A87B4F"},
        {"419FDDF34C1E001909D362AE7FB6AF79", "SMBSigningKey", unhex(ctx311), "8765949DFEAEE105CE9118B45BE988F0"},
        {"419FDDF34C1E001909D362AE7FB6AF79", "SMBC2SCipherKey", unhex(ctx311), "A2F5E80E5D59103034F32E52F698E5EC"},
        {"419FDDF34C1E001909D362AE7FB6AF79", "SMBS2CCipherKey", unhex(ctx311), "748C50868C90F302962A5C35F5F9A8BF"},
        {"419FDDF34C1E001909D362AE7FB6AF79", "SMBAppKey", unhex(ctx311), "099D610789FBE82055B313601C3E8CC4"},
    };
    for (const auto &c : cases) {
        Bytes key = unhex(c.key);
        uint8_t out[16];
        vl2_kdf_ctr_hmacsha256(key.data(), key.size(), c.label, c.context.data(), c.context.size(), out, 16);
        EXPECT_EQ(hex(out, 16), lower(c.want)) << c.label;
    }
}

TEST(Libcrypto, CmacRfc4493AndSmbSigning)
{
    static const char *m64 = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                             "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
    struct {
        const char *key;
        Bytes msg;
        const char *want;
    } cases[] = {
        {"2b7e151628aed2a6abf7158809cf4f3c", {}, "bb1d6929e95937287fa37d129b756746"},
        {"2b7e151628aed2a6abf7158809cf4f3c", unhex(std::string(m64).substr(0, 32).c_str()),
         "070a16b46b4d4144f79bdd9dd04a287c"},
        {"2b7e151628aed2a6abf7158809cf4f3c", unhex(std::string(m64).substr(0, 80).c_str()),
         "dfa66747de9ae63030ca32611497c827"},
        {"2b7e151628aed2a6abf7158809cf4f3c", unhex(m64), "51f0bebf7e3b9d92fc49741779363cfe"},
        // The final SESSION_SETUP responses of the published SMB 3.1.1
        // examples, signature field zeroed, under their signing keys.
        {"8765949DFEAEE105CE9118B45BE988F0",
         unhex("FE534D4240000100000000000100800009000000000000000200000000000000FFFE000000000000"
               "2500000000100000000000000000000000000000000000000900000048001D00A11B3019A0030A01"
               "00A3120410010000003932A87523AB660100000000"),
         "6b85a4519a0f3eea35ba946dd3afe6b8"},
        {"3DCC82C5795AE27F383242761078C59B",
         unhex("FE534D4240000100000000000100800009000000000000000200000000000000FFFE000000000000"
               "2100000000100000000000000000000000000000000000000900000048001D00A11B3019A0030A01"
               "00A3120410010000000F57444342A2717E00000000"),
         "3676196aee8ca17e5d50a53642ef2be4"},
    };
    for (const auto &c : cases) {
        Bytes key = unhex(c.key);
        vl2_cmac_key k;
        ASSERT_EQ(vl2_cmac_init(&k, key.data()), 0);
        uint8_t mac[16];
        // Twice on one record: the key schedule is reused, the state is not.
        for (int round = 0; round < 2; round++) {
            ASSERT_EQ(vl2_cmac(&k, c.msg.data(), c.msg.size(), mac), 0);
            EXPECT_EQ(hex(mac, 16), c.want) << "length " << c.msg.size() << " round " << round;
        }
        vl2_cmac_release(&k);
        EXPECT_EQ(k.ctx, nullptr);
    }
}

TEST(Libcrypto, GmacIeee8021ae)
{
    // 54-byte packet authentication, GCM-AES-128 and GCM-AES-256.
    Bytes aad = unhex("D609B1F056637A0D46DF998D88E5222AB2C2846512153524C0895E8108000F10"
                      "1112131415161718191A1B1C1D1E1F202122232425262728292A2B2C2D2E2F30313233340001");
    Bytes nonce = unhex("12153524C0895E81B2C28465");
    struct {
        int alg;
        const char *key, *want;
    } cases[] = {
        {VL2_AES128_GCM, "AD7A2BD03EAC835A6F620FDCB506B345", "f09478a9b09007d06f46e9b6a1da25dd"},
        {VL2_AES256_GCM, "E3C08A8F06C6E3AD95A70557B23F75483CE33021A9C72B7025666204C69C0B72",
         "2f0bc5af409e06d609ea8b7d0fa5ea50"},
    };
    for (const auto &c : cases) {
        Bytes key = unhex(c.key);
        vl2_aead_key k;
        ASSERT_EQ(vl2_aead_init(&k, c.alg, key.data(), key.size()), 0);
        uint8_t mac[16];
        for (int round = 0; round < 2; round++) {
            ASSERT_EQ(vl2_gmac(&k, nonce.data(), aad.data(), aad.size(), mac), 0);
            EXPECT_EQ(hex(mac, 16), c.want) << c.alg << " round " << round;
        }
        vl2_aead_release(&k);
    }
}

struct AeadCase {
    int alg;
    const char *key, *nonce, *aad, *plain, *cipher, *tag;
};

// Seals, opens, and refuses any flipped bit, all on one record, so that
// the per-message restart in each direction is exercised too.
void check_aead(const AeadCase &c)
{
    Bytes key = unhex(c.key), nonce = unhex(c.nonce), aad = unhex(c.aad), plain = unhex(c.plain);
    ASSERT_EQ(nonce.size(), vl2_aead_nonce_len(c.alg));
    vl2_aead_key k;
    ASSERT_EQ(vl2_aead_init(&k, c.alg, key.data(), key.size()), 0);
    for (int round = 0; round < 2; round++) {
        Bytes data = plain;
        uint8_t tag[16];
        ASSERT_EQ(vl2_aead_seal(&k, nonce.data(), aad.data(), aad.size(), data.data(), data.size(), tag), 0);
        EXPECT_EQ(hex(data), lower(c.cipher));
        EXPECT_EQ(hex(tag, 16), lower(c.tag));
        ASSERT_EQ(vl2_aead_open(&k, nonce.data(), aad.data(), aad.size(), data.data(), data.size(), tag), 0);
        EXPECT_EQ(hex(data), hex(plain));

        // One flipped bit in the tag, the additional data or the message.
        for (int where = 0; where < 3; where++) {
            Bytes a = aad;
            data = plain;
            ASSERT_EQ(vl2_aead_seal(&k, nonce.data(), a.data(), a.size(), data.data(), data.size(), tag), 0);
            if (where == 0) tag[15] ^= 1;
            if (where == 1 && !a.empty()) a[a.size() / 2] ^= 0x80;
            if (where == 2 && !data.empty()) data[0] ^= 1;
            if ((where == 1 && a.empty()) || (where == 2 && data.empty())) continue;
            EXPECT_EQ(vl2_aead_open(&k, nonce.data(), a.data(), a.size(), data.data(), data.size(), tag),
                      VL2_CRYPTO_BADTAG)
                << "flip " << where;
            EXPECT_EQ(hex(data), hex(Bytes(plain.size(), 0))) << "unauthenticated bytes left behind";
        }
    }
    vl2_aead_release(&k);
}

TEST(Libcrypto, AeadVectors)
{
    static const char *gcm_p = "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
                               "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39";
    static const char *gcm_a = "feedfacedeadbeeffeedfacedeadbeefabaddad2";
    const AeadCase cases[] = {
        // The published GCM test cases 1, 4 and 16.
        {VL2_AES128_GCM, "00000000000000000000000000000000", "000000000000000000000000", "", "", "",
         "58e2fccefa7e3061367f1d57a4e7455a"},
        {VL2_AES128_GCM, "feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888", gcm_a, gcm_p,
         "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091",
         "5bc94fbc3221a5db94fae95ae7121a47"},
        {VL2_AES256_GCM, "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         gcm_a, gcm_p,
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
         "76fc6ece0f4e1768cddf8853bb2d551b"},
        // CCM with the SMB sizes (11-byte nonce, 16-byte tag), for which no
        // published vector exists at 256 bits: computed once with
        // PyCryptodome's own AES-CCM (Debian python3-pycryptodome).
        {VL2_AES256_CCM, "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f", "101112131415161718191a",
         "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f404142434445464748494a4b4c",
         "05be4fa985289932bcf824709a4950dd790fa62950bfbf50a8e8e4f98b598e51dc5ffee1d264fd4978cc439009",
         "c55bced9b725c541b7b8f72e061a40c1"},
        {VL2_AES128_CCM, "404142434445464748494a4b4c4d4e4f", "101112131415161718191a",
         "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "", "",
         "5bcc91794bd08fd8466cdaaab0a5b5da"},
        {VL2_AES256_CCM, "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f", "101112131415161718191a",
         "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "", "",
         "a985f1241c4b807213f380f21dd3a568"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("alg ") + std::to_string(c.alg) + " key " + c.key);
        check_aead(c);
    }
}

// The published SMB 3.1.1 encryption examples: TRANSFORM_HEADER (52 bytes:
// signature at 4, nonce at 20, authenticated data from 20) then the
// encrypted message.
TEST(Libcrypto, AeadSmb311Transform)
{
    struct {
        int alg;
        const char *key, *transformed, *plain;
    } cases[] = {
        {VL2_AES128_GCM, "A2F5E80E5D59103034F32E52F698E5EC",
         "FD534D42BD73D97D2BC9001BCAFAC0FDFF5FEEBCC7D6822D269CAF48904C664C0000000087000000"
         "0000010025000000001000006ECDD2A7AFC7B47763057A041B8FD4DAFFE990B70C9E09D36C084E02"
         "D14EF247F8BDE38ACF6256F8B1D3B56F77FBDEB312FEA5E92CBCC1ED8FB2EBBFAA75E49A4A394BB4"
         "4576545567C24D4C014D47C9FBDFDAFD2C4F9B72F8D256452620A299F48E29E53D6B61D1C13A19E9"
         "1AF013F00D17E3ABC2FC3D36C8C1B6B93973253852DBD442E46EE8",
         "FE534D4240000100000000000900010008000000000000000500000000000000FFFE000001000000"
         "25000000001000000000000000000000000000000000000031007000170000000000000000000000"
         "0600000004000000010000000400000000000000000000007000000000000000536D623320656E63"
         "72797074696F6E2074657374696E67"},
        {VL2_AES128_GCM, "748C50868C90F302962A5C35F5F9A8BF",
         "FD534D427F714B3B9D8FA1198584E71C2BAA1CB6E16831DD2E8EB7B4000000000000000067000000"
         "000001002500000000100000FECEDF4D03BB11A6CC5D8A53BE33D6D8701986342B4197D306E16F9C"
         "BB218E92F7F8281F51CE68BB85A20D87DE90EBBF80538066D1C37513C0A58D70936D537B624F5500"
         "202A612B6CD30D448A82791A0B2E049ED512AFAEFB06E98AB3D6F931D7D50DB2DBD36A",
         "FE534D4240000100000000000800010001000000000000000600000000000000FFFE000001000000"
         "25000000001000000000000000000000000000000000000011005000170000000000000000000000"
         "536D623320656E6372797074696F6E2074657374696E67"},
        {VL2_AES128_CCM, "DFAAA31AAE40A2485D47AC4DF09FDA1D",
         "FD534D42E89551D666DAB8993488F5A97103116C9F6F1EAAD7E9F24AACD38F000000000087000000"
         "00000100210000000010000056A74778199A9D2B6E9C3A376FD88D27680694FED253A313BEB07381"
         "AE8689F973ACDB8D716E4477803BCE53A92E1B81FA3E965AD9AF2C89C08CE66A344664453B8FC881"
         "18EDC9814CF58E92AA465E6EFB09958A9FDAD96FBD55B36A710C30D5E7C64AD7B9449F9F17EDD024"
         "FE8BA79154F340A82740D1D5180C69B0A2DE6A4BA893BD55D3210E",
         "FE534D4240000100000000000900010008000000000000000500000000000000FFFE000001000000"
         "21000000001000000000000000000000000000000000000031007000170000000000000000000000"
         "0500000004000000010000000400000000000000000000007000000000000000536D623320656E63"
         "72797074696F6E2074657374696E67"},
        {VL2_AES128_CCM, "95C544AEF6072680DA1CE49A68A97FA6",
         "FD534D42E241A13C7E1EE42ECF1FD69F3B8668C6DA6831DD2E8EB7B4000000000000000067000000"
         "00000100210000000010000015D67234FC8358D7BA1BF037ABC8EFD41A0A8F9BB04B16DEB1E85606"
         "BD8C2770823FE6239A286CB3E3D5762ABBD53FD8DE11ED491FE905E146A8FFCE09414AB741103D63"
         "7E28B19C6BA759B399DCC21FAE24CF2A455A13B215FC2857ABB513927F9F271D1C208B",
         "FE534D4240000100000000000800010001000000000000000600000000000000FFFE000001000000"
         "21000000001000000000000000000000000000000000000011005000170000000000000000000000"
         "536D623320656E6372797074696F6E2074657374696E67"},
    };
    for (const auto &c : cases) {
        Bytes t = unhex(c.transformed);
        ASSERT_GT(t.size(), 52u);
        size_t nlen = vl2_aead_nonce_len(c.alg);
        std::string tag = hex(t.data() + 4, 16), nonce = hex(t.data() + 20, nlen), aad = hex(t.data() + 20, 32);
        std::string cipher = hex(t.data() + 52, t.size() - 52);
        SCOPED_TRACE(c.key);
        check_aead({c.alg, c.key, nonce.c_str(), aad.c_str(), c.plain, cipher.c_str(), tag.c_str()});
    }
}

TEST(Libcrypto, KeyRecordsRefuseMisuse)
{
    uint8_t key[32] = {1, 2, 3}, nonce[12] = {0}, data[8] = {0}, tag[16];
    vl2_aead_key k;
    // Wrong key sizes and unknown ciphers leave the record released.
    struct {
        int alg;
        size_t keylen;
    } bad[] = {{VL2_AES128_GCM, 32}, {VL2_AES256_GCM, 16}, {VL2_AES128_CCM, 24}, {0, 16}, {5, 16}};
    for (const auto &b : bad) {
        EXPECT_EQ(vl2_aead_init(&k, b.alg, key, b.keylen), VL2_CRYPTO_FAIL) << b.alg << "/" << b.keylen;
        EXPECT_EQ(k.seal, nullptr);
        EXPECT_EQ(k.open, nullptr);
        EXPECT_EQ(vl2_aead_seal(&k, nonce, nullptr, 0, data, sizeof data, tag), VL2_CRYPTO_FAIL);
        vl2_aead_release(&k);
    }
    EXPECT_EQ(vl2_aead_nonce_len(7), 0u);

    // GMAC is GCM's; a CCM record refuses it.
    ASSERT_EQ(vl2_aead_init(&k, VL2_AES128_CCM, key, 16), 0);
    EXPECT_EQ(vl2_gmac(&k, nonce, data, sizeof data, tag), VL2_CRYPTO_FAIL);
    vl2_aead_release(&k);
    EXPECT_EQ(k.seal, nullptr);
    EXPECT_EQ(k.open, nullptr);
    EXPECT_EQ(k.alg, 0);
    vl2_aead_release(&k);  // twice is harmless
    EXPECT_EQ(vl2_aead_open(&k, nonce, nullptr, 0, data, sizeof data, tag), VL2_CRYPTO_FAIL);

    vl2_cmac_key m;
    ASSERT_EQ(vl2_cmac_init(&m, key), 0);
    vl2_cmac_release(&m);
    EXPECT_EQ(m.ctx, nullptr);
    vl2_cmac_release(&m);
    EXPECT_EQ(vl2_cmac(&m, data, sizeof data, tag), VL2_CRYPTO_FAIL);
}

}  // namespace
