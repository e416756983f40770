// Authentication: SPNEGO tokens around NTLM, the NTLM CHALLENGE and the
// AUTHENTICATE check. Pure functions over caller memory; no shared state
// except the trace switch.
#pragma once

#include "vl2.h"
#include "crypto/crypto.h"

// ---- SPNEGO -------------------------------------------------------------
// Classifies a client blob. Outputs are set to null/0/0 first. 0 accepted
// (*tok points into blob, may be null = no mechToken; *raw 1 for a bare
// NTLM message or a GSS token whose mechanism is NTLMSSP), -1 malformed,
// -2 a NegTokenInit whose mechTypes lack NTLMSSP.
// The NegTokenInit2 hint name every server token carries.
extern const char vl2_spnego_hint[];
int vl2_spnego_init(const uint8_t *blob, size_t len, const uint8_t **tok, size_t *toklen, int *raw);
// The same classification, with what else the blob carries: a
// NegTokenInit's mechToken and the DER of its mechTypes list (30 ...), a
// negTokenResp's mechListMIC. All point into blob; absent ones are null/0.
struct vl2_spnego_in {
    const uint8_t *tok;
    size_t toklen;
    int raw;
    const uint8_t *init_tok;
    size_t init_toklen;
    const uint8_t *mech_types;
    size_t mech_types_len;
    const uint8_t *mic;
    size_t miclen;
};
int vl2_spnego_parse(const uint8_t *blob, size_t len, vl2_spnego_in *in);
// Builders append to b (failure is recorded in b itself); return 0.
int vl2_spnego_resp(const uint8_t *msg, size_t len, vl2_buf *b);       // accept-incomplete + token
int vl2_spnego_done(vl2_buf *b);                                       // accept-completed (9 bytes)
int vl2_spnego_init_tok(const uint8_t *mech, size_t len, vl2_buf *b);  // NegTokenInit2 with mechToken
int vl2_spnego_init_tok_nomect(vl2_buf *b);                            // NegTokenInit2, 74 bytes
// accept-completed with the server's mechListMIC (16 bytes).
int vl2_spnego_done_mic(const uint8_t mic[16], vl2_buf *b);

// ---- NTLM ---------------------------------------------------------------
// NEGOTIATE flags the CHALLENGE answers when the client asked for them.
constexpr uint32_t VL2_NTLM_REQUEST_TARGET = 0x00000004;
constexpr uint32_t VL2_NTLM_SIGN = 0x00000010;
constexpr uint32_t VL2_NTLM_SEAL = 0x00000020;
constexpr uint32_t VL2_NTLM_ALWAYS_SIGN = 0x00008000;
constexpr uint32_t VL2_NTLM_VERSION = 0x02000000;
constexpr uint32_t VL2_NTLM_ESS = 0x00080000;  // extended session security

// The NEGOTIATE message's flags: 0 with *flags set, or -1 when the message
// is shorter than 16 bytes or not a NEGOTIATE (flags may be null).
int vl2_ntlm_type1(const uint8_t *msg, size_t len, uint32_t *flags = nullptr);
// Appends the CHALLENGE message; 0, or -1 with nothing appended.
// server_name null/empty means the default name; now is unix seconds;
// client_flags are the NEGOTIATE's: each of SIGN, SEAL, ALWAYS_SIGN and
// VERSION (with a Version field) it asked for is answered, REQUEST_TARGET
// with a TargetName, and key exchange is offered only when asked for. With
// client_flags 0 (no NEGOTIATE seen) the CHALLENGE is the fixed one.
int vl2_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t now, vl2_buf *b,
                   uint32_t client_flags = 0);

// The messages of one logon that its integrity checks cover: NEGOTIATE and
// CHALLENGE (the AUTHENTICATE's MIC) and the client's SPNEGO mechTypes (its
// mechListMIC). Each is kept up to VL2_NTLM_KEEP bytes; a longer one is
// marked lost and the check that needs it fails.
constexpr size_t VL2_NTLM_KEEP = 1024;
struct vl2_ntlm_kept {
    uint8_t data[VL2_NTLM_KEEP];
    size_t len;
    int lost;
};
struct vl2_ntlm_exchange {
    vl2_ntlm_kept nego, chal, mech_types;
    uint32_t flags;  // the NEGOTIATE's
};
// Keeps a copy of len bytes (or marks k lost when they do not fit).
void vl2_ntlm_keep(vl2_ntlm_kept *k, const uint8_t *p, size_t len);

// Signing state of one direction of an NTLM session with extended session
// security (MS-NLMP 3.4.4.2): signing key, sealing handle, next sequence.
struct vl2_ntlm_dir {
    uint8_t sign_key[16];
    uint8_t seal_key[16];
    vl2_rc4_ctx seal;
    uint32_t seq;
};
// Derives the keys of one direction from the exported session key and the
// negotiated flags (128-, 56- or 40-bit sealing key); seq starts at 0.
void vl2_ntlm_dir_init(vl2_ntlm_dir *d, const uint8_t key[16], uint32_t flags, int server_to_client);
// The 16-byte signature of msg with d's next sequence number (then
// advanced); with key exchange the checksum goes through the sealing handle.
void vl2_ntlm_mac(vl2_ntlm_dir *d, uint32_t flags, const uint8_t *msg, size_t len, uint8_t sig[16]);

// One AUTHENTICATE checked against one account.
struct vl2_ntlm_auth {
    const uint8_t *msg;
    size_t len;
    const uint8_t *challenge;  // the 8 bytes the CHALLENGE carried
    int64_t now;               // unix seconds
    int timecheck;             // check the client's timestamp when it has one
    const char *user;          // "" matches any name (the guest path)
    const char *password;
    const vl2_ntlm_exchange *x;  // for the MIC; null: a MIC cannot be checked
    int guest_ok;                // guests are admitted: an unverifiable response is one
    // Results.
    int anonymous;    // 1: nothing was verified (see vl2_ntlm_type3)
    int proof_tried;  // the name matched and the proof was computed
    int mic;          // a MIC was announced and verified
    uint32_t flags;   // the AUTHENTICATE's NegotiateFlags
    uint8_t key[16];  // exported session key
};
// -1 reject (malformed, or refused whatever the account), 0 accept
// (anonymous 1: nothing was verified; the key is all zero, or the client's
// key when an anonymous message carries one for key exchange), 1 not this
// account (another name, a wrong proof, or a MIC that does not hold when
// the client's MsvAvFlags announce one). Every check that does not depend
// on the account comes before the name test, so a refused message is
// refused alike for every name.
// The wire user name matches user when both upper-case alike (as the key
// derivation sees them). Trace lines go to stderr only while VLSMB2S_TRACE
// is set. Results are reset on entry.
int vl2_ntlm_type3(vl2_ntlm_auth *a);
// NT hash = MD4(UTF-16LE password); NTOWFv2 = HMAC-MD5(NT hash, upper-cased
// UTF-16LE user ++ UTF-16LE domain). User and domain are cut to 128 bytes;
// the user is upper-cased with vl2_ntlm_upcase, the domain keeps its case.
// A password that is not UTF-8 gives all-zero outputs.
void vl2_ntlm_hashes_dom(const char *user, const char *domain, const char *password, uint8_t nthash[16],
                         uint8_t ntowfv2[16]);
void vl2_ntlm_hashes(const char *user, const char *password, uint8_t nthash[16], uint8_t ntowfv2[16]);
// The user name an AUTHENTICATE message carries, as UTF-8: 0, or -1 when
// the message or its name cannot be read.
int vl2_ntlm_user(const uint8_t *msg, size_t len, char *out, int cap);

// Simple Unicode upper case of one UTF-16 code unit (one unit to one unit,
// as clients apply it to the user name in the NTLMv2 key); surrogates and
// units without a mapping come back unchanged.
uint16_t vl2_ntlm_upcase(uint16_t unit);
// Applies vl2_ntlm_upcase to every unit of a UTF-16LE text of len bytes.
void vl2_ntlm_upcase16le(uint8_t *text, size_t len);
