// AES-GCM, AES-CCM, AES-GMAC and AES-CMAC through libcrypto's EVP interfaces.
#include <climits>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "crypto/crypto.h"
#include "util/util.h"

namespace {

constexpr int TAG = 16;
// GCM accepts any amount in several updates; int-sized pieces keep every
// call within EVP's int lengths.
constexpr size_t PIECE = (size_t)1 << 30;

bool is_gcm(int alg) { return alg == VL2_AES128_GCM || alg == VL2_AES256_GCM; }

// Fetched once; a fetch that failed stays null and every init refuses.
const EVP_CIPHER *cipher_for(int alg)
{
    static EVP_CIPHER *const c[4] = {
        EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-256-CCM", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr),
    };
    return alg >= 1 && alg <= 4 ? c[alg - 1] : nullptr;
}

EVP_MAC *cmac_alg()
{
    static EVP_MAC *const m = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    return m;
}

// A failure leaves reasons on libcrypto's per-thread queue; nobody reads
// them, so drop them rather than let them pile up.
int fail()
{
    ERR_clear_error();
    return VL2_CRYPTO_FAIL;
}

// GCM data or additional data (out null) in int-sized pieces.
bool gcm_update(EVP_CIPHER_CTX *x, uint8_t *out, const uint8_t *in, size_t len)
{
    while (len) {
        size_t n = len < PIECE ? len : PIECE;
        int got = 0;
        if (EVP_CipherUpdate(x, out, &got, in, (int)n) != 1) return false;
        if (out) out += n;
        in += n;
        len -= n;
    }
    return true;
}

// Starts one CCM message: nonce, direction, tag (open only), the message
// length CCM needs before anything else, then the additional data.
bool ccm_begin(EVP_CIPHER_CTX *x, const uint8_t *nonce, int enc, const uint8_t *tag, const void *aad, size_t aadlen,
               size_t len)
{
    if (len > INT_MAX || aadlen > INT_MAX) return false;
    int got = 0;
    if (EVP_CipherInit_ex2(x, nullptr, nullptr, nonce, enc, nullptr) != 1) return false;
    if (tag && EVP_CIPHER_CTX_ctrl(x, EVP_CTRL_AEAD_SET_TAG, TAG, (void *)tag) != 1) return false;
    if (EVP_CipherUpdate(x, nullptr, &got, nullptr, (int)len) != 1) return false;
    return !aadlen || EVP_CipherUpdate(x, nullptr, &got, (const uint8_t *)aad, (int)aadlen) == 1;
}

// CCM takes the whole message in one update, also an empty one, which
// must still pass a real pointer or libcrypto reads it as the length call.
bool ccm_body(EVP_CIPHER_CTX *x, void *data, size_t len)
{
    uint8_t none = 0;
    uint8_t *p = len ? (uint8_t *)data : &none;
    int got = 0;
    return EVP_CipherUpdate(x, p, &got, p, (int)len) == 1;
}

// A context for one direction with the key scheduled; null on failure.
EVP_CIPHER_CTX *keyed_ctx(const EVP_CIPHER *c, int alg, const uint8_t *key, int enc)
{
    EVP_CIPHER_CTX *x = EVP_CIPHER_CTX_new();
    if (!x) return nullptr;
    bool ok = EVP_CipherInit_ex2(x, c, nullptr, nullptr, enc, nullptr) == 1;
    // CCM's nonce and tag sizes are fixed before the key: 11 and 16 here.
    if (ok && !is_gcm(alg))
        ok = EVP_CIPHER_CTX_ctrl(x, EVP_CTRL_AEAD_SET_IVLEN, 11, nullptr) == 1 &&
             EVP_CIPHER_CTX_ctrl(x, EVP_CTRL_AEAD_SET_TAG, TAG, nullptr) == 1;
    ok = ok && EVP_CipherInit_ex2(x, nullptr, key, nullptr, enc, nullptr) == 1;
    if (ok) return x;
    EVP_CIPHER_CTX_free(x);
    return nullptr;
}

}  // namespace

size_t vl2_aead_nonce_len(int alg)
{
    if (is_gcm(alg)) return 12;
    return alg == VL2_AES128_CCM || alg == VL2_AES256_CCM ? 11 : 0;
}

int vl2_aead_init(vl2_aead_key *k, int alg, const void *key, size_t keylen)
{
    k->seal = k->open = nullptr;
    k->alg = 0;
    size_t want = alg == VL2_AES256_CCM || alg == VL2_AES256_GCM ? 32 : 16;
    if (!vl2_aead_nonce_len(alg) || keylen != want) return VL2_CRYPTO_FAIL;
    const EVP_CIPHER *c = cipher_for(alg);
    if (!c) {
        vl2_set_error("crypto: cipher %d unavailable from libcrypto", alg);
        return fail();
    }
    k->seal = keyed_ctx(c, alg, (const uint8_t *)key, 1);
    k->open = keyed_ctx(c, alg, (const uint8_t *)key, 0);
    if (!k->seal || !k->open) {
        vl2_aead_release(k);
        return fail();
    }
    k->alg = alg;
    return 0;
}

void vl2_aead_release(vl2_aead_key *k)
{
    EVP_CIPHER_CTX_free((EVP_CIPHER_CTX *)k->seal);
    EVP_CIPHER_CTX_free((EVP_CIPHER_CTX *)k->open);
    vl2_wipe(k, sizeof *k);
}

int vl2_aead_seal(vl2_aead_key *k, const uint8_t *nonce, const void *aad, size_t aadlen, void *data, size_t len,
                  uint8_t tag[16])
{
    EVP_CIPHER_CTX *x = (EVP_CIPHER_CTX *)k->seal;
    if (!x) return VL2_CRYPTO_FAIL;
    bool ok;
    if (is_gcm(k->alg)) {
        uint8_t tail[16];
        int got = 0;
        ok = EVP_CipherInit_ex2(x, nullptr, nullptr, nonce, 1, nullptr) == 1 &&
             gcm_update(x, nullptr, (const uint8_t *)aad, aadlen) &&
             gcm_update(x, (uint8_t *)data, (const uint8_t *)data, len) && EVP_CipherFinal_ex(x, tail, &got) == 1;
    } else {
        ok = ccm_begin(x, nonce, 1, nullptr, aad, aadlen, len) && ccm_body(x, data, len);
    }
    ok = ok && EVP_CIPHER_CTX_ctrl(x, EVP_CTRL_AEAD_GET_TAG, TAG, tag) == 1;
    return ok ? 0 : fail();
}

int vl2_aead_open(vl2_aead_key *k, const uint8_t *nonce, const void *aad, size_t aadlen, void *data, size_t len,
                  const uint8_t tag[16])
{
    EVP_CIPHER_CTX *x = (EVP_CIPHER_CTX *)k->open;
    if (!x) return VL2_CRYPTO_FAIL;
    int rc;
    if (is_gcm(k->alg)) {
        uint8_t tail[16];
        int got = 0;
        if (EVP_CipherInit_ex2(x, nullptr, nullptr, nonce, 0, nullptr) != 1 ||
            !gcm_update(x, nullptr, (const uint8_t *)aad, aadlen) ||
            !gcm_update(x, (uint8_t *)data, (const uint8_t *)data, len) ||
            EVP_CIPHER_CTX_ctrl(x, EVP_CTRL_AEAD_SET_TAG, TAG, (void *)tag) != 1)
            rc = VL2_CRYPTO_FAIL;
        else
            rc = EVP_CipherFinal_ex(x, tail, &got) == 1 ? 0 : VL2_CRYPTO_BADTAG;
    } else if (!ccm_begin(x, nonce, 0, tag, aad, aadlen, len)) {
        rc = VL2_CRYPTO_FAIL;
    } else {
        // CCM checks the tag inside the one update.
        rc = ccm_body(x, data, len) ? 0 : VL2_CRYPTO_BADTAG;
    }
    if (rc) {
        // GCM has already written the plaintext by the time the tag is
        // checked; none of it may be used.
        if (len) vl2_wipe(data, len);
        ERR_clear_error();
    }
    return rc;
}

int vl2_gmac(vl2_aead_key *k, const uint8_t nonce[12], const void *data, size_t len, uint8_t mac[16])
{
    const vl2_span one = {data, len};
    return vl2_gmac_v(k, nonce, &one, 1, mac);
}

int vl2_gmac_v(vl2_aead_key *k, const uint8_t nonce[12], const vl2_span *parts, int count, uint8_t mac[16])
{
    EVP_CIPHER_CTX *x = (EVP_CIPHER_CTX *)k->seal;
    if (!x || !is_gcm(k->alg)) return VL2_CRYPTO_FAIL;
    bool ok = EVP_CipherInit_ex2(x, nullptr, nullptr, nonce, 1, nullptr) == 1;
    for (int i = 0; ok && i < count; i++) ok = gcm_update(x, nullptr, (const uint8_t *)parts[i].data, parts[i].len);
    uint8_t tail[16];
    int got = 0;
    ok = ok && EVP_CipherFinal_ex(x, tail, &got) == 1 && EVP_CIPHER_CTX_ctrl(x, EVP_CTRL_AEAD_GET_TAG, TAG, mac) == 1;
    return ok ? 0 : fail();
}

int vl2_cmac_init(vl2_cmac_key *k, const uint8_t key[16])
{
    k->ctx = nullptr;
    EVP_MAC *m = cmac_alg();
    if (!m) {
        vl2_set_error("crypto: CMAC unavailable from libcrypto");
        return fail();
    }
    EVP_MAC_CTX *x = EVP_MAC_CTX_new(m);
    if (!x) return fail();
    char cbc[] = "AES-128-CBC";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cbc, 0),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_MAC_init(x, key, 16, params) != 1) {
        EVP_MAC_CTX_free(x);
        return fail();
    }
    k->ctx = x;
    return 0;
}

void vl2_cmac_release(vl2_cmac_key *k)
{
    EVP_MAC_CTX_free((EVP_MAC_CTX *)k->ctx);
    vl2_wipe(k, sizeof *k);
}

int vl2_cmac(vl2_cmac_key *k, const void *data, size_t len, uint8_t mac[16])
{
    const vl2_span one = {data, len};
    return vl2_cmac_v(k, &one, 1, mac);
}

int vl2_cmac_v(vl2_cmac_key *k, const vl2_span *parts, int count, uint8_t mac[16])
{
    EVP_MAC_CTX *x = (EVP_MAC_CTX *)k->ctx;
    if (!x) return VL2_CRYPTO_FAIL;
    // A null key restarts the MAC with the key already scheduled.
    bool ok = EVP_MAC_init(x, nullptr, 0, nullptr) == 1;
    for (int i = 0; ok && i < count; i++) ok = EVP_MAC_update(x, (const uint8_t *)parts[i].data, parts[i].len) == 1;
    size_t got = 0;
    ok = ok && EVP_MAC_final(x, mac, &got, 16) == 1 && got == 16;
    return ok ? 0 : fail();
}
