// Foundation: last-error slot, clocks, growable buffers, names and patterns, text
// encodings, addresses and hex. Pure functions unless stated; nothing here
// takes the configuration lock.
#pragma once

#include "vl2.h"

#include <cstdarg>

// ---- last-error slot ----------------------------------------------------
// One process-wide text of VL2_ERROR_SIZE bytes; the last writer wins. Writes are
// serialised so concurrent failures never interleave into garbled text.
constexpr size_t VL2_ERROR_SIZE = 512;
void vl2_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Records the message like vl2_set_error and returns code unchanged.
int vl2_fail(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The slot belongs to the operator: a failure caused by a client (a
// missing file, a bad name) must not replace the message of the operator's
// last failed call. While on != 0, this thread's vl2_set_error and vl2_fail
// leave the slot alone (the codes are still returned). Returns the previous
// setting, for restoring.
int vl2_error_quiet(int on);
// The slot's text; empty before the first failure. Never null. The slot
// itself is returned: a failure on another thread may replace the text at
// any time, also while the caller reads it; use vl2_error_copy for a copy
// that is guaranteed to be one whole message.
const char *vl2_error(void);
// Copies the slot's current text (cut to size - 1) under the writers' lock;
// returns the copied length. Nothing is written when size is 0.
size_t vl2_error_copy(char *out, size_t size);

// ---- clocks -------------------------------------------------------------
// Monotonic milliseconds; never decreases.
uint64_t vl2_now_ms(void);
// Whole seconds since 1970-01-01 UTC from the system clock.
int64_t vl2_unix_now(void);

// ---- byte buffers -------------------------------------------------------
// Appends return 0 (printf: the number of characters, >= 0) or negative on
// failure; a failure sets buf->failed for good.
int vl2_buf_put(vl2_buf *b, const void *bytes, uint64_t count);
int vl2_buf_str(vl2_buf *b, const char *text);
// Arguments must not point into b itself: a long text is formatted a second
// time straight into b after it has grown (and perhaps moved).
int vl2_buf_printf(vl2_buf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int vl2_buf_byte(vl2_buf *b, int value);
// Makes room for extra more bytes (plus the terminator) without changing len;
// 0 or negative. Lets a caller write straight into data + len (for example a
// file read) and then commit with vl2_buf_commit.
int vl2_buf_reserve(vl2_buf *b, uint64_t extra);
// Adds count bytes already written at data + len; keeps the terminator.
// The caller must have reserved them.
void vl2_buf_commit(vl2_buf *b, uint64_t count);
// Releases data and zeroes all four fields (failed included).
void vl2_buf_free(vl2_buf *b);

// Test hook: replaces realloc for buffer growth (null restores realloc).
// Blocks it returns are released with free().
typedef void *(*vl2_realloc_fn)(void *ptr, size_t size);
void vl2_buf_set_realloc(vl2_realloc_fn fn);

// ---- names, patterns, encodings ----------------------------------------
// Share-relative name rule. 0, -7 rule broken, -8 output too small; the
// message goes to the last-error slot.
int vl2_vpath(const char *in, char *out, int cap);
// Search-pattern rule: 0 or -1 with a message.
int vl2_pat_check(const char *pattern);
// 1 when name matches pattern ('*', '?', ASCII case folded), else 0.
int vl2_glob_match(const char *pattern, const char *name);
// Strict UTF-16LE -> UTF-8 of exactly srclen bytes; writes a NUL.
// Returns bytes written without the NUL, or -1.
int vl2_utf16_to_utf8(const uint8_t *src, uint64_t srclen, char *dst, int cap);
// Decodes the UTF-8 code point at *s and steps past it: 0, or -1 (*s
// then unchanged). Never a surrogate or past U+10FFFF; an overlong form
// only when overlong_ok. Never reads past a NUL.
int vl2_utf8_next(const uint8_t **s, uint32_t *cp, bool overlong_ok);
// 1 when the NUL-terminated text is strict UTF-8, else 0.
int vl2_utf8_valid(const char *text);
// UTF-8 (up to its NUL) -> UTF-16LE without terminator; 0 and *outlen,
// or -1. Overlong forms decode to their value.
int vl2_utf8_to_utf16le(const char *src, uint8_t *dst, int cap, int *outlen);
// ASCII-only case-insensitive comparison (A-Z folded).
int vl2_casecmp(const char *a, const char *b);
// 64-bit FNV-1a from a caller-supplied start value.
uint64_t vl2_fnv1a64(const void *data, uint64_t len, uint64_t start);
constexpr uint64_t VL2_FNV_BASIS = 0xcbf29ce484222325ULL;
// An SMB2 dialect as people write it ("2.1", "3.1.1"); "?" when unknown.
const char *vl2_dialect_name(int dialect);

// ---- addresses and hex --------------------------------------------------
int vl2_ip_parse(const char *text, vl2_ip *out);  // 0 or -1
void vl2_ip_format(const vl2_ip *ip, char *out, size_t outsize);
int vl2_ip_equal(const vl2_ip *a, const vl2_ip *b);       // 1 or 0
int vl2_ip_is_loopback(const vl2_ip *ip);                 // 1 or 0
int vl2_cidr_parse(const char *text, vl2_cidr *out);      // 0 or -1
int vl2_cidr_match(const vl2_cidr *c, const vl2_ip *ip);  // 1 or 0
// Hex pairs with blanks/tabs/CR/LF anywhere. out may be null (validate and
// count only). 0 or -1; *outcount (may be null) is 0 on failure.
int vl2_hex_decode(const char *text, size_t textlen, uint8_t *out, size_t cap, size_t *outcount);
void vl2_hex_encode(const uint8_t *bytes, size_t count, vl2_buf *b);
// Copies text for a log or trace line: control characters (below 0x20 and
// 0x7f) and the backslash become \xNN, so client-supplied text can neither
// end the line nor forge another. Cut at a whole escape to fit cap - 1;
// always terminated when cap > 0. Returns the length written.
size_t vl2_escape(const char *text, char *out, size_t cap);
// Value of one hex digit (either case), or -1.
inline int vl2_hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ---- checked read cursor ---------------------------------------------------
// The only way client bytes are read. A cursor covers data[0..size) with the
// next byte at pos. Readers that find too few bytes consume what is there,
// set the sticky bad flag and return the partial value, so a parser reads
// all its fields and tests bad once.
struct vl2_rd {
    const uint8_t *data;
    size_t size;
    size_t pos;
    int bad;
};
uint8_t rd_u8(vl2_rd *r);
uint16_t rd_u16(vl2_rd *r);
uint32_t rd_u32(vl2_rd *r);
uint64_t rd_u64(vl2_rd *r);
// n (at most 8) bytes as a big-endian number.
uint64_t rd_be(vl2_rd *r, size_t n);
void rd_skip(vl2_rd *r, size_t n);  // sets bad when fewer remain
// Bytes left after pos.
inline size_t rd_left(const vl2_rd *r) { return r->pos <= r->size ? r->size - r->pos : 0; }
// The next n bytes, stepped past; null (bad set, pos at the end) when fewer
// remain. n 0 gives a non-null pointer while pos is inside the range.
const uint8_t *rd_bytes(vl2_rd *r, size_t n);
// len bytes at off from the start of data, pos unchanged; null (bad set)
// when the range leaves the cursor's. 64-bit on purpose: clients send both.
const uint8_t *rd_at(vl2_rd *r, uint64_t off, uint64_t len);
// The one checked helper for a client's (offset, length) pair, with the
// offset counted from the 64-byte SMB2 header the cursor's data follows.
// Returns a pointer to len bytes inside the body, or null (and sets bad)
// when off < 64 or the range leaves the body. len 0 with a valid offset
// returns a non-null pointer.
const uint8_t *rd_region(vl2_rd *r, uint64_t hdr_off, uint64_t len);
// A cursor over the next n bytes: same data and positions, size lowered to
// pos + n (cut to the end, and bad, when fewer remain). r does not move.
vl2_rd rd_sub(const vl2_rd *r, size_t n);
// One BER/DER identifier (single byte) and definite length (at most four
// length bytes): 0 with the cursor at the first content byte and the
// contents known to lie inside the cursor, or -1 (bad set).
int rd_der(vl2_rd *r, uint8_t *tag, size_t *len);

// ---- little-endian helpers ---------------------------------------------
inline uint16_t vl2_le16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t vl2_le32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t vl2_le64(const uint8_t *p) { return (uint64_t)vl2_le32(p) | ((uint64_t)vl2_le32(p + 4) << 32); }
inline void vl2_put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void vl2_put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
inline void vl2_put64(uint8_t *p, uint64_t v)
{
    vl2_put32(p, (uint32_t)v);
    vl2_put32(p + 4, (uint32_t)(v >> 32));
}
