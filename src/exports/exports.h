// Internal to the control interface: the result slot through which
// vlsmb2s_simulate, vlsmb2s_stats_json and vlsmb2s_selftest hand out text.
#pragma once

#include "vl2.h"

// Takes over b's block as the calling thread's result text, frees that
// thread's previous text and returns the new one; b is left all-zero.
// A text stays valid until the same thread's next vl2_out_set and is freed
// when the thread exits. A buffer that never allocated gives "" (the slot
// is then empty). A failed buffer is freed, the slot is left alone and null
// is returned, so callers test b->failed first and fall back to their own
// fixed text.
const char *vl2_out_set(vl2_buf *b);
