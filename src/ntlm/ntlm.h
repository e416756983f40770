// Authentication: SPNEGO tokens around NTLM, the NTLM CHALLENGE and the
// AUTHENTICATE check. Pure functions over caller memory; no shared state
// except the guest policy read through cfg.
#pragma once

#include "vl2.h"

// Read cursor over a byte range: [data, data + size), next byte at pos.
// Entering a constructed element lowers size to that element's end.
struct tok_cursor {
    const uint8_t *data;
    size_t size;
    size_t pos;
};

// ---- SPNEGO -------------------------------------------------------------
// Classifies a client blob. Outputs are set to null/0/0 first. 0 accepted
// (*tok points into blob, may be null = no mechToken; *raw 1 for a bare
// NTLM message or a GSS token whose mechanism is NTLMSSP), -1 malformed,
// -2 a NegTokenInit whose mechTypes lack NTLMSSP.
int vl2_spnego_init(const uint8_t *blob, size_t len, const uint8_t **tok, size_t *toklen, int *raw);
// Builders append to b (failure is recorded in b itself); return 0.
int vl2_spnego_resp(const uint8_t *msg, size_t len, vl2_buf *b);     // accept-incomplete + token
int vl2_spnego_done(vl2_buf *b);                                      // accept-completed (9 bytes)
int vl2_spnego_init_tok(const uint8_t *mech, size_t len, vl2_buf *b); // NegTokenInit2 with mechToken
int vl2_spnego_init_tok_nomect(vl2_buf *b);                           // NegTokenInit2, 74 bytes

// ---- NTLM ---------------------------------------------------------------
// Appends the CHALLENGE message; 0, or -1 with nothing appended.
// server_name null/empty means the default name; now is unix seconds.
int vl2_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t now, vl2_buf *b);
// Verifies one AUTHENTICATE against one account. -1 reject, 0 accept
// (*anonymous 1: nothing was verified; the key is all zero, or the client's
// key when an anonymous message carries one for key exchange), 1 not this
// account.
// The wire user name matches user when both upper-case alike (as the key
// derivation sees them); an empty user matches any name. Trace lines go to
// stderr only while VLSMB2S_TRACE is set.
int vl2_ntlm_type3(const uint8_t *msg, size_t len, const uint8_t challenge[8], const char *server_name,
                   int64_t now, int timecheck, const char *user, const char *password, int *anonymous,
                   uint8_t key[16]);
// NT hash = MD4(UTF-16LE password); NTOWFv2 = HMAC-MD5(NT hash, upper-cased
// UTF-16LE user ++ UTF-16LE domain). User and domain are cut to 128 bytes;
// the user is upper-cased with vl2_ntlm_upcase, the domain keeps its case.
// A password that is not UTF-8 gives all-zero outputs.
void vl2_ntlm_hashes_dom(const char *user, const char *domain, const char *password, uint8_t nthash[16],
                         uint8_t ntowfv2[16]);
void vl2_ntlm_hashes(const char *user, const char *password, uint8_t nthash[16], uint8_t ntowfv2[16]);
int vl2_ntlm_type1(const uint8_t *msg, size_t len); // 0 or -1
// The user name an AUTHENTICATE message carries, as UTF-8: 0, or -1 when
// the message or its name cannot be read.
int vl2_ntlm_user(const uint8_t *msg, size_t len, char *out, int cap);

// Simple Unicode upper case of one UTF-16 code unit (one unit to one unit,
// as clients apply it to the user name in the NTLMv2 key); surrogates and
// units without a mapping come back unchanged.
uint16_t vl2_ntlm_upcase(uint16_t unit);
// Applies vl2_ntlm_upcase to every unit of a UTF-16LE text of len bytes.
void vl2_ntlm_upcase16le(uint8_t *text, size_t len);
