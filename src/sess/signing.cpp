// Message signing: the session's signing key, checking a request's
// signature and signing a response. Each algorithm is one case here.
#include "sess/engine.h"

#include "crypto/crypto.h"

#include <cstring>

namespace {

constexpr size_t SIG_AT = 48;  // Signature field of the SMB2 header
constexpr uint32_t FL_SIGNED = 0x00000008;

// The signature of msg[0..n) with its Signature field taken as zeros.
void mac_of(const vl2_signer *k, const uint8_t *msg, size_t n, uint8_t out[16])
{
    switch (k->alg) {
    case SIGN_HMAC_SHA256: {
        static const uint8_t zeros[16] = {};
        uint8_t mac[32];
        vl2_hmac256_ctx c;
        vl2_hmac256_init(&c, k->key, sizeof k->key);
        vl2_hmac256_update(&c, msg, SIG_AT);
        vl2_hmac256_update(&c, zeros, sizeof zeros);
        vl2_hmac256_update(&c, msg + SIG_AT + 16, n - SIG_AT - 16);
        vl2_hmac256_final(&c, mac);
        memcpy(out, mac, 16);
        vl2_wipe(mac, sizeof mac);
        vl2_wipe(&c, sizeof c);
        return;
    }
    }
    memset(out, 0, 16);
}

}  // namespace

void sign_derive(vl2_signer *out, int dialect, const uint8_t session_key[16])
{
    // SMB 2.0.2 and 2.1 sign with the session key itself.
    (void)dialect;
    out->alg = SIGN_HMAC_SHA256;
    memcpy(out->key, session_key, sizeof out->key);
}

bool sign_verify(const vl2_signer *k, const uint8_t *msg, size_t n)
{
    if (n < SMB2_HDR) return false;
    uint8_t mac[16];
    mac_of(k, msg, n, mac);
    return vl2_ct_equal(mac, msg + SIG_AT, 16) == 1;
}

void sign_message(const vl2_signer *k, uint8_t *msg, size_t n)
{
    if (n < SMB2_HDR) return;
    vl2_put32(msg + 16, vl2_le32(msg + 16) | FL_SIGNED);
    uint8_t mac[16];
    mac_of(k, msg, n, mac);
    memcpy(msg + SIG_AT, mac, 16);
}
