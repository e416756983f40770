// Hex text in both directions.
#include "util/util.h"

namespace {

const char HEX_DIGITS[] = "0123456789abcdef";

}  // namespace

int vl2_hex_decode(const char *text, size_t textlen, uint8_t *out, size_t cap, size_t *outcount)
{
    if (outcount) *outcount = 0;
    if (textlen && !text) return -1;
    size_t count = 0;
    int high = -1;  // pending first digit of a pair
    for (size_t i = 0; i < textlen; i++) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        int v = vl2_hex_digit(c);
        if (v < 0) return -1;
        if (high < 0) {
            high = v;
            continue;
        }
        if (out) {
            if (count >= cap) return -1;
            out[count] = (uint8_t)(high << 4 | v);
        }
        count++;
        high = -1;
    }
    if (high >= 0) return -1;
    if (outcount) *outcount = count;
    return 0;
}

void vl2_hex_encode(const uint8_t *bytes, size_t count, vl2_buf *b)
{
    if (!b) return;
    if (count > UINT64_MAX / 2) {
        b->failed = 1;
        return;
    }
    if (count && !bytes) return;
    if (vl2_buf_reserve(b, (uint64_t)count * 2) < 0) return;
    char *o = (char *)b->data + b->len;
    for (size_t i = 0; i < count; i++) {
        o[2 * i] = HEX_DIGITS[bytes[i] >> 4];
        o[2 * i + 1] = HEX_DIGITS[bytes[i] & 15];
    }
    vl2_buf_commit(b, (uint64_t)count * 2);
}

size_t vl2_escape(const char *text, char *out, size_t cap)
{
    if (!out || cap == 0) return 0;
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)(text ? text : ""); *p; p++) {
        bool plain = *p >= 0x20 && *p != 0x7f && *p != '\\';
        size_t need = plain ? 1 : 4;
        if (n + need > cap - 1) break;
        if (plain) {
            out[n++] = (char)*p;
        } else {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = HEX_DIGITS[*p >> 4];
            out[n++] = HEX_DIGITS[*p & 15];
        }
    }
    out[n] = 0;
    return n;
}
