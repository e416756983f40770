// SHA-256 and HMAC-SHA256 throughput over 1 MiB on both compressions.
#include <benchmark/benchmark.h>

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

} // namespace

BENCHMARK(BM_Sha256)->Arg(0)->Arg(1);
BENCHMARK(BM_HmacSha256)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
