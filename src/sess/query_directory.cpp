// QUERY_DIRECTORY: entries of a cached, sorted snapshot of the directory,
// encoded straight into the reply buffer.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "vfs/vfs.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// Bytes held in directory snapshots by every connection of the process,
// checked against the max_listing_bytes option.
std::atomic<int64_t> g_listing_bytes{0};

// What a snapshot costs in memory: its entry records, and each name with
// the allocator's overhead.
int64_t listing_cost(const vl2_vent *ents, int count)
{
    int64_t n = (int64_t)sizeof *ents * count;
    for (int i = 0; i < count; i++) n += (int64_t)strlen(ents[i].name) + 1 + 16;
    return n;
}

constexpr uint8_t FL_RESTART = 0x01, FL_SINGLE = 0x02, FL_INDEX = 0x04, FL_REOPEN = 0x10;
// Entries beyond this many bytes wait for the next request, whatever the
// client's own limit.
constexpr size_t MAX_OUT = 1048576;
constexpr int NAME_CAP = 1024;       // UTF-16LE bytes of one name
constexpr uint16_t OUT_OFFSET = 72;  // header plus the 8-byte body

// Bytes of an entry before its name; 0 for a class not served.
size_t fixed_size(unsigned cls)
{
    switch (cls) {
    case 1:
        return 64;  // FileDirectoryInformation
    case 2:
        return 68;  // FileFullDirectoryInformation
    case 3:
        return 94;  // FileBothDirectoryInformation
    case 12:
        return 12;  // FileNamesInformation
    case 37:
        return 104;  // FileIdBothDirectoryInformation
    case 38:
        return 80;  // FileIdFullDirectoryInformation
    default:
        return 0;
    }
}

// The 8.3 name of a long name that already has that shape, upper-cased;
// its UTF-16LE byte count, or 0 when there is none.
int short_name(const char *name, uint8_t out[24])
{
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    const char *dot = strrchr(name, '.');
    size_t base = dot ? (size_t)(dot - name) : strlen(name);
    size_t ext = dot ? strlen(dot + 1) : 0;
    if (base < 1 || base > 8 || ext > 3) return 0;
    char sn[13];
    size_t k = 0;
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; };
    for (size_t i = 0; i < base; i++) sn[k++] = up(name[i]);
    if (ext) {
        sn[k++] = '.';
        for (size_t i = 0; i < ext; i++) sn[k++] = up(dot[1 + i]);
    }
    sn[k] = 0;
    int len = 0;
    if (vl2_utf8_to_utf16le(sn, out, 24, &len) != 0) return 0;
    return len;
}

// Writes one entry of size bytes (name and padding included) at e.
void put_entry(uint8_t *e, unsigned cls, size_t fixed, const vl2_vent *v, uint32_t index, const uint8_t *u16, int ulen,
               uint32_t size)
{
    memset(e, 0, size);
    vl2_put32(e, size);
    vl2_put32(e + 4, index + 1);
    if (cls == 12) {
        vl2_put32(e + 8, (uint32_t)ulen);
    } else {
        vl2_put64(e + 8, vl2_filetime(v->crtime));
        vl2_put64(e + 16, vl2_filetime(v->atime));
        vl2_put64(e + 24, vl2_filetime(v->mtime));
        vl2_put64(e + 32, vl2_filetime(v->crtime));
        vl2_put64(e + 40, v->size);
        vl2_put64(e + 48, alloc_size(v->size));
        vl2_put32(e + 56, file_attributes(v->target_kind == VL2_K_DIR));
        vl2_put32(e + 60, (uint32_t)ulen);
        if (cls == 3 || cls == 37) e[68] = (uint8_t)short_name(v->name, e + 70);
        if (cls == 37) vl2_put64(e + 96, v->ino);
        if (cls == 38) vl2_put64(e + 72, v->ino);
    }
    memcpy(e + fixed, u16, (size_t)ulen);
}

// Takes a fresh snapshot of the open's directory for pattern and class;
// false when the host cannot list it or the connection holds too many.
bool take_listing(vl2_sess *s, vl2_open *o, const char *pattern, unsigned cls)
{
    vl2_vres dir;
    memset(&dir, 0, sizeof dir);
    dir.kind = VL2_R_DIR;
    static_assert(sizeof dir.path == sizeof o->path, "open and resolution paths differ in size");
    memcpy(dir.path, o->path, sizeof dir.path);
    dir.share = o->share;
    dir.st = o->st;
    const int64_t budget = s->opts.max_listing_bytes;
    if (g_listing_bytes.load() >= budget) return false;
    vl2_vent *ents = nullptr;
    int count = 0;
    if (vl2_vfs_list(&dir, &ents, &count) != 0) return false;
    const int64_t cost = listing_cost(ents, count);
    bool room = s->listing_entries + count <= LISTING_ENTRIES_MAX;
    if (room && g_listing_bytes.fetch_add(cost) + cost > budget) {
        g_listing_bytes.fetch_sub(cost);
        room = false;
    }
    if (!room) {
        vl2_vfs_free(ents, count);
        return false;
    }
    vl2_listing *l = &o->listing;
    l->held = 1;
    l->ents = ents;
    l->count = count;
    l->pos = 0;
    l->dots = 0;
    snprintf(l->pattern, sizeof l->pattern, "%s", pattern);
    l->cls = (int)cls;
    l->bytes = cost;
    s->listing_entries += count;
    return true;
}

// The request's search pattern ("*" when it names none); false when it
// is not one.
bool read_pattern(vl2_rd *rd, uint16_t off, uint16_t len, char (&pat)[sizeof vl2_listing::pattern])
{
    if (len == 0) {
        strcpy(pat, "*");
    } else {
        const uint8_t *p = rd_region(rd, off, len);
        if (!p || vl2_utf16_to_utf8(p, len, pat, (int)sizeof pat) < 0) return false;
        if (!pat[0]) strcpy(pat, "*");
    }
    return vl2_pat_check(pat) == 0;
}

}  // namespace

void listing_release(vl2_sess *s, vl2_listing *l)
{
    if (!l->held && !l->ents) return;
    vl2_vfs_free(l->ents, l->count);
    s->listing_entries -= l->count;
    g_listing_bytes.fetch_sub(l->bytes);
    l->bytes = 0;
    l->held = 0;
    l->ents = nullptr;
    l->count = 0;
    l->pos = 0;
    l->dots = 0;
}

// Appends the listing's next entries that match its pattern, from where it
// stands, to b (the body's fixed part written): "." and ".." first, until
// out_cap or MAX_OUT is reached or one entry was asked for. written and
// last receive the bytes appended and the offset of the last entry; true
// when an entry that matched did not fit.
static bool fill_entries(vl2_buf *b, vl2_listing *l, const vl2_open *o, unsigned cls, unsigned flags, uint32_t out_cap,
                         size_t *written, size_t *last)
{
    const size_t fixed = fixed_size(cls);
    const bool all = strcmp(l->pattern, "*") == 0;
    // "." and ".." lead every listing (FileIndex 0, the folder's own
    // metadata): clients take a first answer without entries for a folder
    // that does not exist.
    vl2_vent dot = {};
    dot.kind = dot.target_kind = VL2_K_DIR;
    dot.size = o->st.size;
    dot.mtime = o->st.mtime;
    dot.atime = o->st.atime;
    dot.crtime = o->st.crtime;
    dot.ino = o->disk_id;
    char dot_name[3] = ".";
    uint8_t u16[NAME_CAP];
    bool full = false;
    for (uint32_t i = l->pos; !b->failed;) {
        const bool is_dot = l->dots < 2;
        const vl2_vent *v;
        if (is_dot) {
            dot_name[1] = l->dots ? '.' : 0;
            dot.name = dot_name;
            v = &dot;
        } else {
            if (i >= (uint32_t)l->count) break;
            v = &l->ents[i];
        }
        int ulen = 0;
        if ((!all && !vl2_glob_match(l->pattern, v->name)) || vl2_utf8_to_utf16le(v->name, u16, NAME_CAP, &ulen) != 0) {
            if (is_dot)
                l->dots++;
            else
                i++;
            continue;
        }
        const uint32_t size = (uint32_t)((fixed + (size_t)ulen + 7) & ~(size_t)7);
        if (out_cap && *written + size > out_cap) {
            full = true;
            break;
        }
        if (vl2_buf_reserve(b, size) != 0) break;
        put_entry(b->data + b->len, cls, fixed, v, is_dot ? UINT32_MAX : i, u16, ulen, size);
        vl2_buf_commit(b, size);
        *last = *written;
        *written += size;
        if (is_dot) {
            l->dots++;
        } else {
            l->pos = i + 1;
            i++;
        }
        if ((flags & FL_SINGLE) || *written > MAX_OUT) break;
    }
    return full;
}

uint32_t cmd_query_directory(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);  // StructureSize, checked by the dispatcher
    unsigned cls = rd_u8(rd);
    unsigned flags = rd_u8(rd);
    uint32_t index = rd_u32(rd);
    uint64_t fid = rd_fid(rd, r);
    rd_u64(rd);  // volatile half
    uint16_t name_off = rd_u16(rd);
    uint16_t name_len = rd_u16(rd);
    uint32_t out_cap = rd_u32(rd);
    if (rd->bad) return rep_fail(r, ST_INVALID_PARAMETER);
    sess_trace(s, "[qd] cls=%u flags=%u fid=%llx out_cap=%u fo_off=%u fo_len=%u\n", cls, flags, (unsigned long long)fid,
               out_cap, name_off, name_len);

    vl2_open *o = sess_open(s, fid);
    if (!o) return rep_fail(r, ST_FILE_CLOSED);
    const size_t fixed = fixed_size(cls);
    if (!fixed) return rep_fail(r, ST_INVALID_INFO_CLASS);
    if (o->is_pipe) return rep_fail(r, ST_NOT_SUPPORTED);
    if (!o->is_dir) return rep_fail(r, ST_NOT_A_DIRECTORY);

    vl2_listing *l = &o->listing;
    char pat[sizeof l->pattern];
    if (!read_pattern(rd, name_off, name_len, pat)) return rep_fail(r, ST_INVALID_PARAMETER);

    bool remade = false;
    if (l->held && (flags & (FL_RESTART | FL_REOPEN))) {
        listing_release(s, l);
        remade = true;
    }
    if (l->held) {
        if (l->cls != (int)cls || strcmp(l->pattern, pat) != 0) {
            listing_release(s, l);
            return rep_fail(r, ST_INVALID_PARAMETER);
        }
        if (flags & FL_INDEX) {
            l->pos = index;
            l->dots = 2;
        }
    } else if (!take_listing(s, o, pat, cls)) {
        // After a restart the handle keeps an empty listing of the old
        // pattern and class, so it goes on answering until restarted again.
        if (remade) {
            l->held = 1;
            l->dots = 2;
        }
        return rep_fail(r, ST_ACCESS_DENIED);
    }

    vl2_buf *b = &r->b;
    const size_t body = (size_t)b->len;
    w16(b, 9);
    w16(b, OUT_OFFSET);
    w32(b, 0);  // OutputBufferLength, set below
    size_t written = 0, last = 0;
    const bool full = fill_entries(b, l, o, cls, flags, out_cap, &written, &last);
    if (b->failed) return ST_SUCCESS;  // the loop drops the reply and ends

    if (written == 0 && full) {
        // Not even the first match fits: say so rather than succeed empty.
        return rep_fail(r, ST_INFO_LENGTH_MISMATCH);
    }
    vl2_stat_add(VL2_ST_LISTINGS_SENT, 1);
    if (written == 0) {
        // The plain error body: an OutputBufferOffset here would be read as
        // an error-context count. Not a failure, so no cascade either.
        rep_status(r, ST_NO_MORE_FILES);
        rep_error_body(r);
        return ST_SUCCESS;
    }
    uint8_t *out = b->data + body;
    vl2_put32(out + 8 + last, 0);
    vl2_put32(out + 4, (uint32_t)written);
    rep_status(r, ST_SUCCESS);
    return ST_SUCCESS;
}
