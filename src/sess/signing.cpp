// Message signing and the session's keys: deriving them at logon, checking
// a request's signature and signing a response. Each algorithm is one case
// here.
#include "sess/engine.h"

#include "crypto/crypto.h"

#include <cstring>

namespace {

constexpr size_t SIG_AT = 48;  // Signature field of the SMB2 header
constexpr uint32_t FL_SERVER_TO_REDIR = 0x00000001;
constexpr uint32_t FL_SIGNED = 0x00000008;

// The signature of msg[0..n) with its Signature field taken as zeros (the
// message itself is not written). A libcrypto failure gives a signature no
// peer accepts.
void mac_of(const vl2_signer *k, const uint8_t *msg, size_t n, uint8_t out[16])
{
    static const uint8_t zeros[16] = {};
    const vl2_span parts[3] = {{msg, SIG_AT}, {zeros, 16}, {msg + SIG_AT + 16, n - SIG_AT - 16}};
    memset(out, 0, 16);
    switch (k->alg) {
    case SIGN_HMAC_SHA256: {
        uint8_t mac[32];
        vl2_hmac256_ctx c;
        vl2_hmac256_init(&c, k->key, sizeof k->key);
        for (const vl2_span &p : parts) vl2_hmac256_update(&c, p.data, p.len);
        vl2_hmac256_final(&c, mac);
        memcpy(out, mac, 16);
        vl2_wipe(mac, sizeof mac);
        vl2_wipe(&c, sizeof c);
        return;
    }
    case SIGN_AES_CMAC: {
        vl2_cmac_key c = k->cmac;
        if (vl2_cmac_v(&c, parts, 3, out) != 0) memset(out, 0xFF, 16);
        return;
    }
    case SIGN_AES_GMAC: {
        // The nonce: MessageId, then which side sent it and whether it is a
        // CANCEL, so no two messages of a session share one.
        uint8_t nonce[12];
        memcpy(nonce, msg + 24, 8);
        uint32_t bits = (vl2_le32(msg + 16) & FL_SERVER_TO_REDIR) ? 1u : 0u;
        if (vl2_le16(msg + 12) == CMD_CANCEL) bits |= 2u;
        vl2_put32(nonce + 8, bits);
        vl2_aead_key g = k->gmac;
        if (vl2_gmac_v(&g, nonce, parts, 3, out) != 0) memset(out, 0xFF, 16);
        return;
    }
    }
}

}  // namespace

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

void sign_release(vl2_signer *k)
{
    vl2_cmac_release(&k->cmac);
    vl2_aead_release(&k->gmac);
    vl2_wipe(k, sizeof *k);
}

namespace {

// SP 800-108 with the label and context a dialect gives a key.
void kdf(const uint8_t sk[16], const char *label, const void *ctx, size_t ctxlen, uint8_t *out, size_t outlen)
{
    vl2_kdf_ctr_hmacsha256(sk, 16, label, ctx, ctxlen, out, outlen);
}

int cipher_keys(vl2_sess *s, const uint8_t sk[16])
{
    const size_t len = s->cipher == VL2_AES256_GCM || s->cipher == VL2_AES256_CCM ? 32 : 16;
    uint8_t in[32], out[32];
    if (s->dialect == 0x0311) {
        kdf(sk, "SMBC2SCipherKey", s->sess_preauth, 64, in, len);
        kdf(sk, "SMBS2CCipherKey", s->sess_preauth, 64, out, len);
    } else {
        kdf(sk, "SMB2AESCCM", "ServerIn ", 10, in, len);
        kdf(sk, "SMB2AESCCM", "ServerOut", 10, out, len);
    }
    int rc = vl2_aead_init(&s->seal.in, s->cipher, in, len);
    if (rc == 0) rc = vl2_aead_init(&s->seal.out, s->cipher, out, len);
    vl2_wipe(in, sizeof in);
    vl2_wipe(out, sizeof out);
    return rc;
}

}  // namespace

int session_keys(vl2_sess *s, const uint8_t sk[16])
{
    sign_release(&s->signer);
    seal_release(&s->seal);
    vl2_signer *k = &s->signer;
    if (s->dialect < 0x0300) {
        // SMB 2.0.2 and 2.1 sign with the session key itself.
        k->alg = SIGN_HMAC_SHA256;
        memcpy(k->key, sk, sizeof k->key);
        return 0;
    }
    k->alg = s->sign_alg;
    if (s->dialect == 0x0311)
        kdf(sk, "SMBSigningKey", s->sess_preauth, 64, k->key, sizeof k->key);
    else
        kdf(sk, "SMB2AESCMAC", "SmbSign", 8, k->key, sizeof k->key);
    int rc = 0;
    if (k->alg == SIGN_AES_CMAC) rc = vl2_cmac_init(&k->cmac, k->key);
    if (k->alg == SIGN_AES_GMAC) rc = vl2_aead_init(&k->gmac, VL2_AES128_GCM, k->key, sizeof k->key);
    if (rc == 0 && s->cipher != 0) rc = cipher_keys(s, sk);
    if (rc != 0) {
        sign_release(k);
        seal_release(&s->seal);
        return -1;
    }
    return 0;
}
