// The transform header of encrypted messages: the input is read as a
// sealed frame and opened under each cipher's fixed key, then sealed as a
// message and opened again.
#include "fuzz_common.h"

#include "crypto/crypto.h"
#include "sess/engine.h"

#include <cstdio>

namespace {
// Opening must either succeed or leave every message byte zero; a frame the
// header check refuses is not touched.
void open_as_frame(vl2_aead_key *k, const uint8_t *data, size_t size)
{
    std::vector<uint8_t> f(data, data + size);
    vl2_transform t;
    const int parsed = transform_parse(f.data(), f.size(), &t);
    if (parsed == 0) {
        CHECK(size > TRANSFORM_HDR && t.size == size - TRANSFORM_HDR && t.flags == 1);
        CHECK(t.sig == f.data() + 4 && t.nonce == f.data() + 20);
    }
    if (transform_open(k, f.data(), f.size()) == 0) {
        CHECK(parsed == 0);
        return;
    }
    if (parsed != 0) {
        CHECK(size == 0 || memcmp(f.data(), data, size) == 0);
        return;
    }
    for (size_t i = TRANSFORM_HDR; i < size; i++) CHECK(f[i] == 0);
}

// Sealing any message and opening the result gives the message back.
void round_trip(vl2_seal *e, vl2_aead_key *opener, const uint8_t *data, size_t size)
{
    if (size == 0) return;
    std::vector<uint8_t> f(TRANSFORM_HDR + size);
    memcpy(f.data() + TRANSFORM_HDR, data, size);
    const uint64_t before = e->sealed;
    CHECK(transform_seal(e, 0x1122334455667788ULL, f.data() + TRANSFORM_HDR, size, f.data()) == 0);
    CHECK(e->sealed == before + 1 && vl2_le64(f.data() + 20) == before);
    CHECK(transform_open(opener, f.data(), f.size()) == 0);
    CHECK(memcmp(f.data() + TRANSFORM_HDR, data, size) == 0);
}

struct keys {
    vl2_seal seal[4];
    vl2_aead_key open[4];
    keys()
    {
        static const int algs[4] = {VL2_AES128_CCM, VL2_AES128_GCM, VL2_AES256_CCM, VL2_AES256_GCM};
        uint8_t key[32];
        for (int i = 0; i < 4; i++) {
            seal[i] = {};
            for (int j = 0; j < 32; j++) key[j] = (uint8_t)(0x40 + i + j);
            const size_t n = algs[i] == VL2_AES256_CCM || algs[i] == VL2_AES256_GCM ? 32 : 16;
            if (vl2_aead_init(&seal[i].out, algs[i], key, n) != 0 || vl2_aead_init(&open[i], algs[i], key, n) != 0)
                abort();
        }
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The keys live for the whole run; libcrypto's contexts are not leaks.
    static keys *k = new keys;
    // The low byte of the SessionId picks the cipher, so a sealed seed keeps
    // its cipher.
    const size_t pick = size > 44 ? data[44] % 4 : 0;
    open_as_frame(&k->open[pick], data, size);
    if (size <= 65536) round_trip(&k->seal[pick], &k->open[pick], data, size);
    return 0;
}
