// Growable byte buffers with a sticky failure flag.
#include "util/util.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t FIRST_BLOCK = 256;
constexpr uint64_t MAX_BLOCK = 1ULL << 32;

std::atomic<vl2_realloc_fn> g_realloc{nullptr};

int grow_fail(vl2_buf *b)
{
    b->failed = 1;
    return -1;
}

// Room for extra bytes plus the terminator; the old block stays valid and
// owned on failure.
int buf_reserve(vl2_buf *b, uint64_t extra)
{
    if (b->failed) return -1;
    if (extra >= MAX_BLOCK)  // can never fit; also keeps the sum below from wrapping
        return grow_fail(b);
    uint64_t need = b->len + extra + 1;
    if (b->cap >= need) return 0;
    uint64_t size = b->cap ? b->cap : FIRST_BLOCK;
    if (b->cap) {
        do {
            if (size > MAX_BLOCK / 2) return grow_fail(b);
            size *= 2;
        } while (size < need);
    } else {
        while (size < need) {
            if (size > MAX_BLOCK / 2) return grow_fail(b);
            size *= 2;
        }
    }
    vl2_realloc_fn fn = g_realloc.load(std::memory_order_relaxed);
    void *p = fn ? fn(b->data, (size_t)size) : realloc(b->data, (size_t)size);
    if (!p) return grow_fail(b);
    b->data = (uint8_t *)p;
    b->cap = size;
    return 0;
}

}  // namespace

int vl2_buf_reserve(vl2_buf *b, uint64_t extra)
{
    if (!b) return -1;
    return buf_reserve(b, extra);
}

void vl2_buf_commit(vl2_buf *b, uint64_t count)
{
    if (!b || b->failed) return;
    // Committing more than was reserved would write past the block; treat it
    // as a failed build instead of corrupting memory.
    if (!b->data || count > b->cap - 1 - b->len) {
        b->failed = 1;
        return;
    }
    b->len += count;
    b->data[b->len] = 0;
}

int vl2_buf_put(vl2_buf *b, const void *bytes, uint64_t count)
{
    if (!b || (count && !bytes)) return -1;
    // Appending part of the buffer to itself: the block may move when it grows.
    const uint8_t *src = (const uint8_t *)bytes;
    uintptr_t at = (uintptr_t)src, base = (uintptr_t)b->data;
    bool inside = b->data && at >= base && at - base < b->cap;
    uint64_t off = inside ? (uint64_t)(at - base) : 0;
    if (buf_reserve(b, count) < 0) return -1;
    if (inside) src = b->data + off;
    if (count) memmove(b->data + b->len, src, (size_t)count);
    b->len += count;
    b->data[b->len] = 0;
    return 0;
}

int vl2_buf_str(vl2_buf *b, const char *text)
{
    if (!text) return -1;
    return vl2_buf_put(b, text, strlen(text));
}

int vl2_buf_byte(vl2_buf *b, int value)
{
    if (!b || buf_reserve(b, 1) < 0) return -1;
    b->data[b->len++] = (uint8_t)value;
    b->data[b->len] = 0;
    return 0;
}

int vl2_buf_printf(vl2_buf *b, const char *fmt, ...)
{
    if (!b || !fmt) return -1;
    char scratch[512];
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int n = vsnprintf(scratch, sizeof scratch, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return n;
    }
    if ((size_t)n < sizeof scratch) {
        va_end(again);
        return vl2_buf_put(b, scratch, (uint64_t)n) < 0 ? -1 : n;
    }
    if (buf_reserve(b, (uint64_t)n) < 0) {
        va_end(again);
        return -1;
    }
    vsnprintf((char *)b->data + b->len, (size_t)n + 1, fmt, again);
    va_end(again);
    b->len += (uint64_t)n;
    b->data[b->len] = 0;
    return n;
}

void vl2_buf_free(vl2_buf *b)
{
    if (!b) return;
    free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
    b->failed = 0;
}

void vl2_buf_set_realloc(vl2_realloc_fn fn) { g_realloc.store(fn, std::memory_order_relaxed); }
