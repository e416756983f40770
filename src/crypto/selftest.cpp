// Known-answer self-test over every primitive. Every case runs, in a fixed
// order; the result says only whether all of them passed.
#include <cstdio>
#include <cstring>

#include "crypto/crypto.h"

namespace {

// Compares the lowercase hex text of got with want; 1 on mismatch.
int check(const uint8_t *got, size_t len, const char *want)
{
    char hex[2 * 64 + 1];
    for (size_t k = 0; k < len; k++) snprintf(hex + 2 * k, 3, "%02x", got[k]);
    hex[2 * len] = 0;
    return strcmp(hex, want) != 0;
}

int sha256_case(const char *msg, const char *want)
{
    uint8_t out[32];
    vl2_sha256_ctx c;
    vl2_sha256_init(&c);
    vl2_sha256_update(&c, msg, strlen(msg));
    vl2_sha256_final(&c, out);
    return check(out, 32, want);
}

int md4_case(const void *msg, size_t len, const char *want)
{
    uint8_t out[16];
    vl2_md4(msg, len, out);
    return check(out, 16, want);
}

int hmac256_case(const void *key, size_t keylen, const char *msg, const char *want)
{
    uint8_t out[32];
    vl2_hmac256_ctx c;
    vl2_hmac256_init(&c, key, keylen);
    vl2_hmac256_update(&c, msg, strlen(msg));
    vl2_hmac256_final(&c, out);
    return check(out, 32, want);
}

int hmacmd5_case(const void *key, size_t keylen, const char *msg, const char *want)
{
    uint8_t out[16];
    vl2_hmacmd5_ctx c;
    vl2_hmacmd5_init(&c, key, keylen);
    vl2_hmacmd5_update(&c, msg, strlen(msg));
    vl2_hmacmd5_final(&c, out);
    return check(out, 16, want);
}

// The primitives taken from libcrypto: one published case each.
int libcrypto_cases()
{
    int failed = 0;
    uint8_t out[64];
    failed += vl2_sha512("abc", 3, out) || check(out, 64,
                                                 "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                                                 "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");

    // RFC 4493, example 2.
    static const uint8_t cmac_key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                         0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
    static const uint8_t cmac_msg[16] = {0x6b, 0xc1, 0xbe, 0xe2, 0x2e, 0x40, 0x9f, 0x96,
                                         0xe9, 0x3d, 0x7e, 0x11, 0x73, 0x93, 0x17, 0x2a};
    vl2_cmac_key m;
    failed += vl2_cmac_init(&m, cmac_key) || vl2_cmac(&m, cmac_msg, 16, out) ||
              check(out, 16, "070a16b46b4d4144f79bdd9dd04a287c");
    vl2_cmac_release(&m);

    // The published GCM test case 2: sealed, then opened again.
    static const uint8_t zero[16] = {0};
    uint8_t data[16] = {0}, tag[16];
    vl2_aead_key k;
    failed += vl2_aead_init(&k, VL2_AES128_GCM, zero, 16) || vl2_aead_seal(&k, zero, nullptr, 0, data, 16, tag) ||
              check(data, 16, "0388dace60b6a392f328c2b971b2fe78") ||
              check(tag, 16, "ab6e47d42cec13bdf53a67b21257bddf") ||
              vl2_aead_open(&k, zero, nullptr, 0, data, 16, tag) || check(data, 16, "00000000000000000000000000000000");
    vl2_aead_release(&k);

    // AES-128-CCM with SMB's sizes: the tag of an empty message over 32
    // bytes of additional data (computed with an independent implementation).
    uint8_t ccm_key[16], nonce[11], aad[32];
    for (int i = 0; i < 16; i++) ccm_key[i] = (uint8_t)(0x40 + i);
    for (int i = 0; i < 11; i++) nonce[i] = (uint8_t)(0x10 + i);
    for (int i = 0; i < 32; i++) aad[i] = (uint8_t)i;
    failed += vl2_aead_init(&k, VL2_AES128_CCM, ccm_key, 16) || vl2_aead_seal(&k, nonce, aad, 32, data, 0, tag) ||
              check(tag, 16, "5bcc91794bd08fd8466cdaaab0a5b5da");
    vl2_aead_release(&k);
    return failed;
}

}  // namespace

int vl2_selftest(void)
{
    int failed = 0;
    uint8_t out[32];

    failed += sha256_case("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    failed += sha256_case("", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    vl2_md5("abc", 3, out);
    failed += check(out, 16, "900150983cd24fb0d6963f7d28e17f72");

    failed += md4_case("abc", 3, "a448017aaf21d8525fc10ae87aa6729d");
    failed += md4_case("", 0, "31d6cfe0d16ae931b73c59d7e0c089c0");

    uint8_t key0b[20];
    memset(key0b, 0x0b, sizeof key0b);
    failed += hmac256_case(key0b, 20, "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    failed += hmacmd5_case(key0b, 16, "Hi There", "9294727a3638bb1c13f48ef8158bfc9d");

    static const uint8_t rc4key[5] = {1, 2, 3, 4, 5};
    uint8_t stream[16] = {0};
    vl2_rc4_ctx rc;
    vl2_rc4_init(&rc, rc4key, sizeof rc4key);
    vl2_rc4(&rc, stream, sizeof stream);
    failed += check(stream, 16, "b2396305f03dc027ccc3524a0a1118a8");

    failed += md4_case("message digest", 14, "d9130a8164549fe818874806e1c7014b");

    // NT hash path: "lanterns" as UTF-16LE, no terminator. The expected value
    // was computed once with OpenSSL's legacy-provider MD4
    // (iconv -t UTF-16LE | openssl dgst -md4 -provider legacy) and agreed
    // with Python impacket's ntlm.compute_nthash("lanterns").
    static const uint8_t pw[16] = {'l', 0, 'a', 0, 'n', 0, 't', 0, 'e', 0, 'r', 0, 'n', 0, 's', 0};
    failed += md4_case(pw, sizeof pw, "6d2e5851e3cb1ef5f2810b5cb1efdd0b");

    // The published SMB 3.0 signing key example.
    static const uint8_t session_key[16] = {0x7c, 0xd4, 0x51, 0x82, 0x5d, 0x04, 0x50, 0xd2,
                                            0x35, 0x42, 0x4e, 0x44, 0xba, 0x6e, 0x78, 0xcc};
    vl2_kdf_ctr_hmacsha256(session_key, 16, "SMB2AESCMAC", "SmbSign", 8, out, 16);
    failed += check(out, 16, "0b7e9c5cac36c0f6ea9ab275298cedce");

    static const char jefe_msg[] = "what do ya want for nothing?";
    failed += hmac256_case("Jefe", 4, jefe_msg, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    failed += hmacmd5_case("Jefe", 4, jefe_msg, "750c783e6ab0b503eaa86e310a5db738");

    failed += libcrypto_cases();
    return failed ? -1 : 0;
}
