// SHA-256 and HMAC-SHA256 throughput over 1 MiB on both compressions, and
// the AES signing and encryption primitives over 1 MiB and 64 KiB messages.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/crypto.h"

namespace {

constexpr size_t kLen = 1 << 20;

const std::vector<uint8_t> &input()
{
    static const std::vector<uint8_t> d = [] {
        std::vector<uint8_t> v(kLen);
        for (size_t k = 0; k < kLen; k++) v[k] = (uint8_t)(k * 131 + 7);
        return v;
    }();
    return d;
}

// range(0): 1 = portable compression, 0 = the automatic choice.
bool pick_path(benchmark::State &st)
{
    vl2_sha256_force_portable((int)st.range(0));
    if (st.range(0) == 0 && !vl2_sha256_accelerated()) {
        st.SkipWithError("CPU lacks SHA extensions");
        return false;
    }
    st.SetLabel(vl2_sha256_accelerated() ? "accelerated" : "portable");
    return true;
}

void BM_Sha256(benchmark::State &st)
{
    if (!pick_path(st)) return;
    const auto &d = input();
    uint8_t out[32];
    for (auto _ : st) {
        vl2_sha256(d.data(), d.size(), out);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)d.size());
    vl2_sha256_force_portable(0);
}

void BM_HmacSha256(benchmark::State &st)
{
    if (!pick_path(st)) return;
    const auto &d = input();
    static const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t out[32];
    for (auto _ : st) {
        vl2_hmac256(key, sizeof key, d.data(), d.size(), out);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)d.size());
    vl2_sha256_force_portable(0);
}

// HMAC-SHA256 over range(0) bytes on the automatic compression, beside the
// AES rows of the same size.
void BM_HmacSha256Len(benchmark::State &st)
{
    std::vector<uint8_t> d(input().begin(), input().begin() + st.range(0));
    static const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t out[32];
    for (auto _ : st) {
        vl2_hmac256(key, sizeof key, d.data(), d.size(), out);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}

const uint8_t kKey[32] = {7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0,
                          7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0};
const uint8_t kNonce[12] = {1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144};

void need(int rc, const char *what)
{
    if (rc) {
        fprintf(stderr, "bench: %s failed (%d)\n", what, rc);
        exit(1);
    }
}

void BM_Gmac128(benchmark::State &st)
{
    std::vector<uint8_t> d(input().begin(), input().begin() + st.range(0));
    vl2_aead_key k;
    need(vl2_aead_init(&k, VL2_AES128_GCM, kKey, 16), "gcm key");
    uint8_t mac[16];
    for (auto _ : st) {
        need(vl2_gmac(&k, kNonce, d.data(), d.size(), mac), "gmac");
        benchmark::DoNotOptimize(mac);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
    vl2_aead_release(&k);
}

void BM_Cmac128(benchmark::State &st)
{
    std::vector<uint8_t> d(input().begin(), input().begin() + st.range(0));
    vl2_cmac_key k;
    need(vl2_cmac_init(&k, kKey), "cmac key");
    uint8_t mac[16];
    for (auto _ : st) {
        need(vl2_cmac(&k, d.data(), d.size(), mac), "cmac");
        benchmark::DoNotOptimize(mac);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
    vl2_cmac_release(&k);
}

// Seals range(0) bytes in place (with 32 bytes of additional data, as a
// transform header gives); range(1) is the cipher. range(2) = 1 builds a
// fresh key record for every message, to show what keeping one saves.
void BM_Seal(benchmark::State &st)
{
    std::vector<uint8_t> d(input().begin(), input().begin() + st.range(0));
    int alg = (int)st.range(1);
    size_t keylen = alg == VL2_AES256_GCM || alg == VL2_AES256_CCM ? 32 : 16;
    uint8_t aad[32] = {0}, tag[16];
    vl2_aead_key k;
    need(vl2_aead_init(&k, alg, kKey, keylen), "aead key");
    for (auto _ : st) {
        if (st.range(2)) {
            vl2_aead_release(&k);
            need(vl2_aead_init(&k, alg, kKey, keylen), "aead key");
        }
        need(vl2_aead_seal(&k, kNonce, aad, sizeof aad, d.data(), d.size(), tag), "seal");
        benchmark::DoNotOptimize(tag);
    }
    static const char *names[] = {"", "AES-128-CCM", "AES-128-GCM", "AES-256-CCM", "AES-256-GCM"};
    st.SetLabel(std::string(names[alg]) + (st.range(2) ? " fresh key record" : ""));
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
    vl2_aead_release(&k);
}

}  // namespace

BENCHMARK(BM_Sha256)->Arg(0)->Arg(1);
BENCHMARK(BM_HmacSha256)->Arg(0)->Arg(1);
BENCHMARK(BM_HmacSha256Len)->Arg(256)->Arg(1 << 16)->Arg(1 << 20);
BENCHMARK(BM_Gmac128)->Arg(256)->Arg(1 << 16)->Arg(1 << 20);
BENCHMARK(BM_Cmac128)->Arg(256)->Arg(1 << 16)->Arg(1 << 20);
BENCHMARK(BM_Seal)
    ->Args({1 << 16, VL2_AES128_GCM, 0})
    ->Args({1 << 20, VL2_AES128_GCM, 0})
    ->Args({1 << 16, VL2_AES256_GCM, 0})
    ->Args({1 << 20, VL2_AES256_GCM, 0})
    ->Args({1 << 16, VL2_AES128_CCM, 0})
    ->Args({1 << 20, VL2_AES128_CCM, 0})
    ->Args({1 << 10, VL2_AES128_GCM, 0})
    ->Args({1 << 10, VL2_AES128_GCM, 1})
    ->Args({1 << 16, VL2_AES128_GCM, 1});

BENCHMARK_MAIN();
