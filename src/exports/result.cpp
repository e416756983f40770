// The per-thread result slot of the text-returning control functions.
#include "exports/exports.h"

#include "util/util.h"

#include <cstdlib>

namespace {

// One slot per thread: concurrent callers never free each other's text,
// and whatever a thread still holds goes away with the thread.
struct out_slot {
    char *text = nullptr;
    ~out_slot() { free(text); }
};

thread_local out_slot g_out;

}  // namespace

const char *vl2_out_set(vl2_buf *b)
{
    if (b->failed) {
        vl2_buf_free(b);
        return nullptr;
    }
    char *text = (char *)b->data;
    *b = vl2_buf{};
    free(g_out.text);
    g_out.text = text;
    return text ? text : "";
}
