// Pieces shared between the crypto module's own files; not for other modules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/crypto.h"

// FIPS 180-4 round constants.
extern const uint32_t K256[64];

// Compress n whole 64-byte blocks read straight from p into the state.
void vl2_sha256_blocks_portable(uint32_t h[8], const uint8_t *p, size_t n);
// The same with the CPU's SHA extensions; only call when the CPU has them.
void vl2_sha256_blocks_ni(uint32_t h[8], const uint8_t *p, size_t n);

// One MD5 compression over a 64-byte block.
void md5_block(uint32_t s[4], const uint8_t *blk);

// Streaming MD5 for the HMAC. final appends the length of prefix_bytes
// extra bytes that were compressed outside the context (the HMAC pad).
void vl2_md5_init(vl2_md5_ctx *c);
void vl2_md5_update(vl2_md5_ctx *c, const void *data, size_t len);
void vl2_md5_final(vl2_md5_ctx *c, uint64_t prefix_bytes, uint8_t out[16]);
