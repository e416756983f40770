// Our primitives against OpenSSL libcrypto over random inputs of every
// length from 0 to 300 bytes, one-shot and split into pieces.
#include "sha_paths.h"
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/crypto.h"

namespace {

constexpr size_t kMaxLen = 300;

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = (uint8_t)rng();
    return v;
}

// Split points worth trying for a message of n bytes: the ends, block
// edges and a few odd offsets.
std::vector<size_t> splits(size_t n)
{
    std::vector<size_t> s;
    for (size_t p : {(size_t)0, (size_t)1, (size_t)55, (size_t)56, (size_t)63, (size_t)64, (size_t)65, (size_t)127,
                     (size_t)128, n / 3, n / 2, n - 1, n})
        if (p <= n) s.push_back(p);
    return s;
}

// MD4 and RC4 live in OpenSSL 3's legacy provider.
const EVP_MD *legacy_md4()
{
    static EVP_MD *md = [] {
        EVP_MD *m = EVP_MD_fetch(nullptr, "MD4", nullptr);
        if (!m && OSSL_PROVIDER_load(nullptr, "legacy") && OSSL_PROVIDER_load(nullptr, "default"))
            m = EVP_MD_fetch(nullptr, "MD4", nullptr);
        return m;
    }();
    return md;
}

EVP_CIPHER *legacy_rc4()
{
    static EVP_CIPHER *c = [] {
        EVP_CIPHER *x = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
        if (!x && OSSL_PROVIDER_load(nullptr, "legacy") && OSSL_PROVIDER_load(nullptr, "default"))
            x = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
        return x;
    }();
    return c;
}

std::vector<uint8_t> ossl_digest(const EVP_MD *md, const std::vector<uint8_t> &d)
{
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(d.data(), d.size(), out, &n, md, nullptr), 1);
    return std::vector<uint8_t>(out, out + n);
}

std::vector<uint8_t> ossl_hmac(const EVP_MD *md, const std::vector<uint8_t> &k, const std::vector<uint8_t> &d)
{
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    static const uint8_t none = 0;
    // OpenSSL wants a non-null key pointer even for an empty key.
    EXPECT_NE(HMAC(md, k.empty() ? &none : k.data(), (int)k.size(), d.data(), d.size(), out, &n), nullptr);
    return std::vector<uint8_t>(out, out + n);
}

std::vector<uint8_t> v(const uint8_t *p, size_t n) { return std::vector<uint8_t>(p, p + n); }

size_t key_len_for(size_t len)
{
    static const size_t fixed[] = {0, 1, 16, 32, 63, 64, 65, 131};
    return len < 8 ? fixed[len] : len % 140;
}

class CrossPaths : public ShaPathTest {};

INSTANTIATE_TEST_SUITE_P(CryptoVsOpenssl, CrossPaths, ::testing::Values(false, true), sha_path_name);

TEST_P(CrossPaths, Sha256)
{
    std::mt19937 rng(1);
    for (size_t len = 0; len <= kMaxLen; len++) {
        auto d = random_bytes(rng, len);
        auto want = ossl_digest(EVP_sha256(), d);
        uint8_t out[32];
        vl2_sha256(d.data(), len, out);
        ASSERT_EQ(v(out, 32), want) << "one-shot, length " << len;
        for (size_t a : splits(len)) {
            size_t b = a + (len - a) / 2;  // three pieces, the middle may be empty
            vl2_sha256_ctx c;
            vl2_sha256_init(&c);
            vl2_sha256_update(&c, d.data(), a);
            vl2_sha256_update(&c, d.data() + a, b - a);
            vl2_sha256_update(&c, d.data() + b, len - b);
            vl2_sha256_final(&c, out);
            ASSERT_EQ(v(out, 32), want) << "length " << len << " split " << a << "/" << b;
        }
    }
}

TEST_P(CrossPaths, Sha256LongMultiBlock)
{
    // Long runs of whole blocks go to the compression in one call.
    std::mt19937 rng(2);
    auto d = random_bytes(rng, 100000 + 17);
    auto want = ossl_digest(EVP_sha256(), d);
    for (size_t first : {(size_t)0, (size_t)1, (size_t)63, (size_t)64, (size_t)4097}) {
        vl2_sha256_ctx c;
        uint8_t out[32];
        vl2_sha256_init(&c);
        vl2_sha256_update(&c, d.data(), first);
        vl2_sha256_update(&c, d.data() + first, d.size() - first);
        vl2_sha256_final(&c, out);
        EXPECT_EQ(v(out, 32), want) << first;
    }
}

TEST_P(CrossPaths, HmacSha256)
{
    std::mt19937 rng(3);
    for (size_t len = 0; len <= kMaxLen; len++) {
        auto k = random_bytes(rng, key_len_for(len));
        auto d = random_bytes(rng, len);
        auto want = ossl_hmac(EVP_sha256(), k, d);
        uint8_t out[32];
        vl2_hmac256(k.data(), k.size(), d.data(), len, out);
        ASSERT_EQ(v(out, 32), want) << "one-shot, length " << len << " key " << k.size();
        for (size_t a : splits(len)) {
            vl2_hmac256_ctx c;
            vl2_hmac256_init(&c, k.data(), k.size());
            vl2_hmac256_update(&c, d.data(), a);
            vl2_sha256_update(&c, d.data() + a, len - a);
            vl2_hmac256_final(&c, out);
            ASSERT_EQ(v(out, 32), want) << "length " << len << " split " << a;
        }
    }
}

TEST(CryptoVsOpenssl, Md5)
{
    std::mt19937 rng(4);
    for (size_t len = 0; len <= kMaxLen; len++) {
        auto d = random_bytes(rng, len);
        uint8_t out[16];
        vl2_md5(d.data(), len, out);
        ASSERT_EQ(v(out, 16), ossl_digest(EVP_md5(), d)) << len;
    }
}

TEST(CryptoVsOpenssl, HmacMd5)
{
    std::mt19937 rng(5);
    for (size_t len = 0; len <= kMaxLen; len++) {
        auto k = random_bytes(rng, key_len_for(len));
        auto d = random_bytes(rng, len);
        auto want = ossl_hmac(EVP_md5(), k, d);
        uint8_t out[16];
        vl2_hmacmd5(k.data(), k.size(), d.data(), len, out);
        ASSERT_EQ(v(out, 16), want) << "one-shot, length " << len << " key " << k.size();
        for (size_t a : splits(len)) {
            size_t b = a + (len - a) / 2;
            vl2_hmacmd5_ctx c;
            vl2_hmacmd5_init(&c, k.data(), k.size());
            vl2_hmacmd5_update(&c, d.data(), a);
            vl2_hmacmd5_update(&c, d.data() + a, b - a);
            vl2_hmacmd5_update(&c, d.data() + b, len - b);
            vl2_hmacmd5_final(&c, out);
            ASSERT_EQ(v(out, 16), want) << "length " << len << " split " << a << "/" << b;
        }
    }
}

TEST(CryptoVsOpenssl, Md4)
{
    const EVP_MD *md = legacy_md4();
    if (!md) GTEST_SKIP() << "OpenSSL offers no MD4";
    std::mt19937 rng(6);
    for (size_t len = 0; len <= kMaxLen; len++) {
        auto d = random_bytes(rng, len);
        uint8_t out[16];
        vl2_md4(d.data(), len, out);
        ASSERT_EQ(v(out, 16), ossl_digest(md, d)) << len;
    }
}

TEST(CryptoVsOpenssl, Rc4)
{
    EVP_CIPHER *rc4 = legacy_rc4();
    if (!rc4) GTEST_SKIP() << "OpenSSL offers no RC4";
    std::mt19937 rng(7);
    for (size_t len = 0; len <= kMaxLen; len++) {
        size_t klen = 1 + len % 40;
        auto k = random_bytes(rng, klen);
        auto d = random_bytes(rng, len);

        std::vector<uint8_t> want(len + 1);
        EVP_CIPHER_CTX *x = EVP_CIPHER_CTX_new();
        ASSERT_NE(x, nullptr);
        ASSERT_EQ(EVP_EncryptInit_ex2(x, rc4, nullptr, nullptr, nullptr), 1);
        ASSERT_EQ(EVP_CIPHER_CTX_set_key_length(x, (int)klen), 1);
        ASSERT_EQ(EVP_EncryptInit_ex2(x, nullptr, k.data(), nullptr, nullptr), 1);
        int n = 0;
        ASSERT_EQ(EVP_EncryptUpdate(x, want.data(), &n, d.data(), (int)len), 1);
        EVP_CIPHER_CTX_free(x);
        want.resize(len);

        vl2_rc4_ctx c;
        vl2_rc4_init(&c, k.data(), klen);
        size_t a = len / 3;
        vl2_rc4(&c, d.data(), a);
        vl2_rc4(&c, d.data() + a, len - a);
        ASSERT_EQ(d, want) << len;
    }
}

}  // namespace
