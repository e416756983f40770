// READ: file bytes straight from the host into the reply buffer.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "vfs/vfs.h"

#include <cstring>
#include <sys/resource.h>

namespace {

constexpr uint32_t BLOCK = 65536;
constexpr uint8_t DATA_OFFSET = 80;  // header plus the 16-byte body

// Most host files one connection keeps open for READ. A client reads a
// handful of files at a time, so 16 keeps the fast path for all of them,
// while the connections together keep at most a quarter of the process's
// descriptor limit (sockets, listings and the host program need the rest):
// with the defaults, 16 clients of 16 within 1024.
int keep_cap(const vl2_sess *s)
{
    constexpr int MOST = 16;
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return MOST;
    uint64_t clients = s->opts.max_clients > 0 ? (uint64_t)s->opts.max_clients : 1;
    uint64_t share = (uint64_t)rl.rlim_cur / 4 / clients;
    return share < 1 ? 1 : share > (uint64_t)MOST ? MOST : (int)share;
}

// Closes the kept file whose last READ lies furthest back.
void drop_oldest(vl2_sess *s)
{
    vl2_open *old = nullptr;
    for (vl2_open *o = s->opens; o; o = o->next)
        if (o->file && (!old || o->file_used < old->file_used)) old = o;
    if (old)
        read_file_drop(s, old);
    else
        s->kept_files = 0;  // nothing is kept whatever the count says
}

// The host file for a READ of o. Opening afresh and checking the result
// against the share is most of a READ's cost, so the file the open's
// previous READ used serves again while the name still leads to that very
// file (same device and inode, still a regular file): the bytes are then
// the file's current content, exactly as a fresh open would give them.
// Anything else (gone, replaced, swapped for a link) takes the fresh open,
// checked against the share again. Null when that fails.
vl2_file *read_file(vl2_sess *s, vl2_open *o)
{
    if (o->file) {
        if (vl2_vfs_same_file(o->path, o->file_dev, o->file_ino)) {
            o->file_used = ++s->read_tick;
            return o->file;
        }
        read_file_drop(s, o);
    }
    for (int cap = keep_cap(s); s->kept_files >= cap;) drop_oldest(s);
    vl2_fstat st;
    vl2_file *f = vl2_vfs_open_read(&o->share, o->path, &st);
    if (!f) return nullptr;
    o->file = f;
    o->file_dev = st.dev;
    o->file_ino = st.ino;
    o->file_used = ++s->read_tick;
    s->kept_files++;
    return f;
}

}  // namespace

void read_file_drop(vl2_sess *s, vl2_open *o)
{
    if (!o->file) return;
    vl2_vfs_close(o->file);
    o->file = nullptr;
    s->kept_files--;
}

uint32_t cmd_read(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);  // StructureSize, checked by the dispatcher
    rd_u8(rd);   // Padding
    rd_u8(rd);   // Flags
    uint32_t length = rd_u32(rd);
    uint64_t offset = rd_u64(rd);
    uint64_t fid = rd_fid(rd, r);
    rd_u64(rd);  // volatile half
    uint32_t min_count = rd_u32(rd);
    uint32_t channel = rd_u32(rd);
    rd_u32(rd);  // RemainingBytes
    rd_u16(rd);  // ReadChannelInfoOffset
    rd_u16(rd);  // ReadChannelInfoLength
    if (rd->bad) return rep_fail(r, ST_INVALID_PARAMETER);
    vl2_open *o = sess_open(s, fid);
    if (!o) return rep_fail(r, ST_FILE_CLOSED);
    if (channel != 0) return rep_fail(r, ST_NOT_SUPPORTED);
    if (length > s->max_read) return rep_fail(r, ST_INVALID_PARAMETER);
    if (o->is_pipe) {
        return pipe_read(o, length, r);  // ioctl.cpp
    }
    if (o->is_dir) return rep_fail(r, ST_FILE_IS_A_DIRECTORY);
    // Whatever the name leads to now must still lie inside the share.
    vl2_file *f = read_file(s, o);
    if (!f) return rep_fail(r, ST_ACCESS_DENIED);

    vl2_buf *b = &r->b;
    const size_t body = (size_t)b->len;
    w16(b, 17);
    vl2_buf_byte(b, DATA_OFFSET);
    vl2_buf_byte(b, 0);
    w32(b, 0);  // DataLength, filled in below
    // DataRemaining stays 0: it counts bytes of an RDMA channel. Clients
    // read it as "more follows" (impacket reads on and recurses, so a large
    // file fails).
    w32(b, 0);
    w32(b, 0);
    if (vl2_buf_reserve(b, length) != 0) {
        // The buffer is marked failed; the loop drops the reply and ends.
        return ST_SUCCESS;
    }
    uint32_t total = 0;
    while (total < length) {
        uint32_t want = length - total < BLOCK ? length - total : BLOCK;
        int n = vl2_vfs_pread(f, offset + total, b->data + b->len + total, (int)want);
        if (n < 0) {
            read_file_drop(s, o);
            return rep_fail(r, ST_ACCESS_DENIED);
        }
        if (n == 0) break;
        total += (uint32_t)n;
    }
    // A read that reaches no byte, or fewer than the client's minimum, is
    // the end of the file: clients that read until told so stop only here.
    if (length != 0 && (total == 0 || total < min_count)) return rep_fail(r, ST_END_OF_FILE);
    vl2_buf_commit(b, total);
    if (b->failed) return ST_SUCCESS;
    vl2_put32(b->data + body + 4, total);
    vl2_stat_add(VL2_ST_READS, 1);
    o->bytes_read += total;
    rep_status(r, ST_SUCCESS);
    return ST_SUCCESS;
}
