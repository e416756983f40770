// The connection's tree and open-file records.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "vfs/vfs.h"

#include <cstdlib>

vl2_tree *sess_tree(vl2_sess *s, uint32_t tid)
{
    for (vl2_tree *t = s->trees; t; t = t->next)
        if (t->id == tid && !t->gone) return t;
    return nullptr;
}

vl2_open *sess_open(vl2_sess *s, uint64_t fid)
{
    for (vl2_open *o = s->opens; o; o = o->next)
        if (o->id == fid) return o;
    return nullptr;
}

static void release(vl2_sess *s, vl2_open *o)
{
    vl2_log_event(VL2_LOG_ACCESS, 6, "close", s->peer_text, s->is_guest ? "(guest)" : s->user, o->share_name,
                  open_share_name(o), o->bytes_read, nullptr);
    read_file_drop(s, o);
    listing_release(s, &o->listing);
    vl2_buf_free(&o->pipe_out);
    free(o);
}

void sess_close_open(vl2_sess *s, vl2_open *o)
{
    for (vl2_open **p = &s->opens; *p; p = &(*p)->next) {
        if (*p == o) {
            *p = o->next;
            release(s, o);
            if (s->open_count > 0) s->open_count--;
            return;
        }
    }
}

void sess_release_trees(vl2_sess *s)
{
    while (vl2_tree *t = s->trees) {
        s->trees = t->next;
        free(t);
    }
}

void sess_release_opens(vl2_sess *s)
{
    while (vl2_open *o = s->opens) {
        s->opens = o->next;
        release(s, o);
    }
    s->open_count = 0;
}
