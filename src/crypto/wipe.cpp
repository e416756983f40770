// Secret wiping and constant-time comparison.
#include "crypto/crypto.h"

namespace {

// Never assigned. Being volatile, it must be read at every wipe, so the
// compiler cannot tell which branch runs and cannot drop the zeroing of a
// buffer that is about to die.
void (*volatile wipe_hook)(void *, size_t) = nullptr;

}  // namespace

void vl2_wipe(void *buf, size_t len)
{
    void (*hook)(void *, size_t) = wipe_hook;
    if (hook) {
        hook(buf, len);
        return;
    }
    volatile uint8_t *p = static_cast<volatile uint8_t *>(buf);
    for (size_t k = 0; k < len; k++) p[k] = 0;
}

int vl2_ct_equal(const void *a, const void *b, size_t len)
{
    const uint8_t *x = static_cast<const uint8_t *>(a);
    const uint8_t *y = static_cast<const uint8_t *>(b);
    unsigned acc = 0;
    for (size_t k = 0; k < len; k++) acc |= (unsigned)(x[k] ^ y[k]);
    // (acc - 1) has bit 8 set only when acc was 0; no data-dependent branch.
    return (int)(((acc - 1) >> 8) & 1);
}
