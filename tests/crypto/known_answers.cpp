// Published test vectors and the behaviour the rest of the server relies on.
#include "sha_paths.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "hex_text.h"

namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

// Runs a test body once on each SHA-256 compression the CPU offers.
class Sha256Paths : public ShaPathTest {};

INSTANTIATE_TEST_SUITE_P(Crypto, Sha256Paths, ::testing::Values(false, true), sha_path_name);

TEST_P(Sha256Paths, SelftestPassesTwice)
{
    EXPECT_EQ(vl2_selftest(), 0);
    EXPECT_EQ(vl2_selftest(), 0);
}

TEST_P(Sha256Paths, Sha256Vectors)
{
    struct {
        std::string msg;
        const char *want;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &c : cases) {
        uint8_t out[32];
        vl2_sha256(c.msg.data(), c.msg.size(), out);
        EXPECT_EQ(hex(out, 32), c.want) << "length " << c.msg.size();
    }
}

TEST_P(Sha256Paths, HmacSha256Rfc4231)
{
    std::string big_key_msg = "Test Using Larger Than Block-Size Key - Hash Key First";
    std::string big_both_msg = "This is a test using a larger than block-size key and a larger than block-size "
                               "data. The key needs to be hashed before being used by the HMAC algorithm.";
    struct {
        std::vector<uint8_t> key;
        std::string msg;
        const char *want;
    } cases[] = {
        {bytes(20, 0x0b), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {{'J', 'e', 'f', 'e'},
         "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {bytes(20, 0xaa), std::string(50, '\xdd'), "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {bytes(131, 0xaa), big_key_msg, "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {bytes(131, 0xaa), big_both_msg, "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto &c : cases) {
        uint8_t out[32];
        vl2_hmac256(c.key.data(), c.key.size(), c.msg.data(), c.msg.size(), out);
        EXPECT_EQ(hex(out, 32), c.want) << c.msg;
    }
}

TEST_P(Sha256Paths, HmacContextFedThroughSha256Update)
{
    // Callers feed the HMAC record to the plain SHA-256 update step.
    static const char msg[] = "the inner context is the first member of the record";
    uint8_t a[32], b[32];
    vl2_hmac256_ctx c1, c2;
    vl2_hmac256_init(&c1, "key", 3);
    vl2_hmac256_init(&c2, "key", 3);
    vl2_sha256_update(&c1, msg, 10);
    vl2_sha256_update(&c1, msg + 10, sizeof msg - 10);
    vl2_hmac256_update(&c2, msg, sizeof msg);
    vl2_hmac256_final(&c1, a);
    vl2_hmac256_final(&c2, b);
    EXPECT_EQ(hex(a, 32), hex(b, 32));
}

TEST(Crypto, Md4Rfc1320)
{
    struct {
        const char *msg, *want;
    } cases[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const auto &c : cases) {
        uint8_t out[16];
        vl2_md4(c.msg, strlen(c.msg), out);
        EXPECT_EQ(hex(out, 16), c.want) << c.msg;
    }
}

TEST(Crypto, Md5Rfc1321)
{
    struct {
        const char *msg, *want;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases) {
        uint8_t out[16];
        vl2_md5(c.msg, strlen(c.msg), out);
        EXPECT_EQ(hex(out, 16), c.want) << c.msg;
    }
}

TEST(Crypto, HmacMd5Rfc2202)
{
    struct {
        std::vector<uint8_t> key;
        std::string msg;
        const char *want;
    } cases[] = {
        {bytes(16, 0x0b), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {{'J', 'e', 'f', 'e'}, "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {bytes(16, 0xaa), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {bytes(80, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {bytes(80, 0xaa), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (const auto &c : cases) {
        uint8_t out[16];
        vl2_hmacmd5(c.key.data(), c.key.size(), c.msg.data(), c.msg.size(), out);
        EXPECT_EQ(hex(out, 16), c.want) << c.msg;
    }
}

TEST(Crypto, KdfLayout)
{
    static const uint8_t key[16] = {0};
    uint8_t out[40];
    // [i] || "SMB2AESCMAC" NUL || separator 00 || "SmbSign" NUL || [L].
    vl2_kdf_ctr_hmacsha256(key, 16, "SMB2AESCMAC", "SmbSign", 8, out, 16);
    EXPECT_EQ(hex(out, 16), "9951088b83220f39d99420419d16d393");

    // Null label: [i] || context || [L], no separator byte; [L] = 256 bits.
    static const uint8_t ctx[5] = {9, 8, 7, 6, 5};
    uint8_t want[32];
    static const uint8_t in1[13] = {0, 0, 0, 1, 9, 8, 7, 6, 5, 0, 0, 1, 0x00};
    vl2_hmac256(key, 16, in1, sizeof in1, want);
    vl2_kdf_ctr_hmacsha256(key, 16, nullptr, ctx, sizeof ctx, out, 32);
    EXPECT_EQ(hex(out, 32), hex(want, 32));

    // 40 bytes: blocks for i = 1 and 2, [L] = 320 bits in both.
    uint8_t b1[32], b2[32];
    uint8_t in[4 + 3 + 1 + 5 + 4] = {0, 0, 0, 1, 'a', 'b', 0, 0, 9, 8, 7, 6, 5, 0, 0, 0x01, 0x40};
    vl2_hmac256(key, 16, in, sizeof in, b1);
    in[3] = 2;
    vl2_hmac256(key, 16, in, sizeof in, b2);
    memset(out, 0xee, sizeof out);
    vl2_kdf_ctr_hmacsha256(key, 16, "ab", ctx, sizeof ctx, out, 40);
    EXPECT_EQ(hex(out, 32), hex(b1, 32));
    EXPECT_EQ(hex(out + 32, 8), hex(b2, 8));

    // Length 0 writes nothing.
    memset(out, 0xee, sizeof out);
    vl2_kdf_ctr_hmacsha256(key, 16, "ab", ctx, sizeof ctx, out, 0);
    EXPECT_EQ(out[0], 0xee);
}

TEST(Crypto, Rc4)
{
    static const uint8_t key[5] = {1, 2, 3, 4, 5};
    vl2_rc4_ctx c;
    uint8_t z[16] = {0};
    vl2_rc4_init(&c, key, 5);
    vl2_rc4(&c, z, 16);
    EXPECT_EQ(hex(z, 16), "b2396305f03dc027ccc3524a0a1118a8");

    // Symmetric, and one schedule serves a stream split over several calls.
    uint8_t data[100], orig[100], once[100];
    for (int k = 0; k < 100; k++) orig[k] = data[k] = once[k] = (uint8_t)(k * 7 + 1);
    vl2_rc4_init(&c, key, 5);
    vl2_rc4(&c, once, 100);
    vl2_rc4_init(&c, key, 5);
    vl2_rc4(&c, data, 1);
    vl2_rc4(&c, data + 1, 0);
    vl2_rc4(&c, data + 1, 60);
    vl2_rc4(&c, data + 61, 39);
    EXPECT_EQ(hex(data, 100), hex(once, 100));
    EXPECT_NE(hex(data, 100), hex(orig, 100));
    vl2_rc4_init(&c, key, 5);
    vl2_rc4(&c, data, 100);
    EXPECT_EQ(hex(data, 100), hex(orig, 100));
}

TEST(Crypto, CtEqual)
{
    uint8_t a[32], b[32];
    for (int k = 0; k < 32; k++) a[k] = b[k] = (uint8_t)(0x40 + k);
    EXPECT_EQ(vl2_ct_equal(a, b, 0), 1);
    EXPECT_EQ(vl2_ct_equal(nullptr, nullptr, 0), 1);
    EXPECT_EQ(vl2_ct_equal(a, b, 32), 1);
    // Every single-bit difference at every position is seen.
    for (int pos = 0; pos < 32; pos++)
        for (int bit = 0; bit < 8; bit++) {
            b[pos] ^= (uint8_t)(1u << bit);
            EXPECT_EQ(vl2_ct_equal(a, b, 32), 0) << pos << ":" << bit;
            EXPECT_EQ(vl2_ct_equal(a, b, (size_t)pos), 1);
            b[pos] ^= (uint8_t)(1u << bit);
        }
}

TEST(Crypto, Wipe)
{
    uint8_t buf[70];
    memset(buf, 0xa5, sizeof buf);
    vl2_wipe(buf + 3, 64);
    EXPECT_EQ(buf[2], 0xa5);
    for (int k = 3; k < 67; k++) EXPECT_EQ(buf[k], 0) << k;
    EXPECT_EQ(buf[67], 0xa5);
    vl2_wipe(buf, 0);
    EXPECT_EQ(buf[0], 0xa5);
}

}  // namespace
