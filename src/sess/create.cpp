// CREATE and CLOSE: read-only handles on share objects and the srvsvc pipe,
// and the connection's open-file table.
#include "sess/engine.h"

#include "cfg/cfg.h"
#include "vfs/vfs.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t GENERIC_READ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE = 0x40000000u;
constexpr uint32_t READ_RIGHTS = 0x001200A9u;
constexpr uint32_t WRITE_RIGHTS = 0x00120116u;
constexpr uint32_t FILE_OPEN = 1;
constexpr uint32_t OPT_DIRECTORY_FILE = 0x00000001u;
constexpr uint32_t OPT_WRITE_THROUGH = 0x00000002u;
constexpr uint32_t OPT_NON_DIRECTORY_FILE = 0x00000040u;
constexpr uint32_t OPT_DELETE_ON_CLOSE = 0x00001000u;
constexpr uint32_t OPT_UNSUPPORTED = 0x00020000u | 0x00100000u;
constexpr int MAX_OPENS = 1024;
constexpr uint64_t PIPE_SIZE = 7168;
constexpr size_t NAME_MAX_BYTES = 2054;

// Generic rights expanded into the specific ones they stand for.
uint32_t normalise_access(uint32_t a)
{
    if (a & GENERIC_READ) a = (a & ~GENERIC_READ) | READ_RIGHTS;
    if (a & GENERIC_WRITE) a = (a & ~GENERIC_WRITE) | WRITE_RIGHTS;
    return a;
}

// Times, sizes and attributes as CREATE and CLOSE both report them.
void put_meta(vl2_buf *b, const vl2_open *o)
{
    w64(b, vl2_filetime(o->st.crtime));
    w64(b, vl2_filetime(o->st.atime));
    w64(b, vl2_filetime(o->st.mtime));
    w64(b, vl2_filetime(o->st.crtime));  // nothing ever changes here
    w64(b, o->is_pipe ? PIPE_SIZE : alloc_size(o->st.size));
    w64(b, o->is_pipe ? PIPE_SIZE : o->st.size);
    w32(b, attributes(o));
}

// The status a CREATE is refused with before its name is looked at, or 0;
// *wr is set when the refusal is for asking to change something.
uint32_t refusal(const vl2_sess *s, const vl2_tree *t, uint32_t disp, uint32_t access, uint32_t opts, uint32_t imp,
                 int *wr)
{
    const bool ipc = t && t->is_ipc;
    // Anything that could change the host is refused before a name is looked at.
    if (disp != FILE_OPEN) {
        *wr = 1;
        return ST_ACCESS_DENIED;
    }
    // The pipe is written to by its RPC calls, so write rights are fine there.
    if (access & ~READ_RIGHTS) {
        if (!ipc) {
            *wr = 1;
            return ST_ACCESS_DENIED;
        }
    } else if (!ipc && (opts & (OPT_WRITE_THROUGH | OPT_DELETE_ON_CLOSE))) {
        *wr = 1;
        return ST_ACCESS_DENIED;
    }
    if (opts & OPT_UNSUPPORTED) return ST_NOT_SUPPORTED;
    if (imp > 4) return ST_INVALID_PARAMETER;
    if (!s->authenticated || !t) return ST_USER_SESSION_DELETED;
    int limit = s->opts.max_handles < MAX_OPENS ? s->opts.max_handles : MAX_OPENS;
    if (s->open_count >= limit) return ST_INSUFFICIENT_RESOURCES;
    return 0;
}

// Checks the name (UTF-8, share-relative) in the tree's share and resolves
// it into res, with its share-relative form in vp; 0, or the status the
// CREATE fails with.
uint32_t resolve_name(const vl2_tree *t, const char *name, uint32_t opts, char *vp, size_t vpcap, vl2_vres *res)
{
    if (t->is_ipc) {
        if (vl2_casecmp(name, "srvsvc") != 0) return ST_OBJECT_NAME_NOT_FOUND;
    } else {
        if (vl2_vpath(name, vp, (int)vpcap) != 0) {
            vl2_stat_add(VL2_ST_PATH_REFUSED, 1);
            return ST_OBJECT_NAME_INVALID;
        }
        // The share is looked up again by name, so a share removed since the
        // tree was connected no longer serves anything.
        if (vl2_vfs_resolve(t->share.name, vp, res) != 0 || (res->kind != VL2_R_DIR && res->kind != VL2_R_FILE)) {
            return vp[0] ? ST_OBJECT_PATH_NOT_FOUND : ST_OBJECT_NAME_NOT_FOUND;
        }
        const bool dir = res->kind == VL2_R_DIR;
        if ((opts & OPT_DIRECTORY_FILE) && !dir) return ST_NOT_A_DIRECTORY;
        if ((opts & OPT_NON_DIRECTORY_FILE) && dir) return ST_FILE_IS_A_DIRECTORY;
    }
    return 0;
}

// The open of a CREATE that passed every check, linked in and counted;
// null when out of memory.
vl2_open *add_open(vl2_sess *s, const vl2_tree *t, const char *vp, const vl2_vres &res)
{
    vl2_open *o = (vl2_open *)calloc(1, sizeof *o);
    if (!o) return nullptr;
    s->open_count++;
    s->next_id++;
    o->id = (s->next_id << 4) | 1;
    o->next = s->opens;
    s->opens = o;
    sess_trace(s, "[create-new] fid=%llx\n", (unsigned long long)o->id);

    static_assert(sizeof o->share_name == sizeof t->name, "tree and open share names differ in size");
    memcpy(o->share_name, t->name, sizeof o->share_name);
    o->share = t->share;
    o->is_pipe = t->is_ipc ? 1 : 0;
    if (t->is_ipc) {
        strcpy(o->name, "srvsvc");
    } else {
        memcpy(o->name, vp, strlen(vp) + 1);
        // READ and listings check against the share the name was resolved
        // in, not the tree's copy: a share redefined since the connect must
        // not keep its old, wider root for this open.
        o->share = res.share;
        static_assert(sizeof o->path == sizeof res.path, "open and resolution paths differ in size");
        memcpy(o->path, res.path, sizeof o->path);
        o->st = res.st;
        o->disk_id = res.st.ino;
        o->is_dir = res.kind == VL2_R_DIR;
    }
    vl2_stat_add(VL2_ST_OPENS, 1);
    vl2_log_event(VL2_LOG_ACCESS, 6, "open", s->peer_text, s->is_guest ? "(guest)" : s->user, o->share_name,
                  open_share_name(o), -1, nullptr);
    return o;
}

// The success body: the new open's metadata and FileId, then the answers
// to the contexts that asked for one.
void put_created(vl2_reply *r, const vl2_open *o, const vl2_create_ctx *ctx)
{
    rep_status(r, ST_SUCCESS);
    vl2_buf *b = &r->b;
    w16(b, 89);
    vl2_buf_byte(b, 0);  // OplockLevel
    vl2_buf_byte(b, 0);  // Flags
    w32(b, 1);           // FILE_OPENED
    put_meta(b, o);
    w32(b, 0);  // Reserved2
    w64(b, o->id);
    w64(b, 0);  // volatile half
    w32(b, 0);  // CreateContextsOffset, set by the answers
    w32(b, 0);  // CreateContextsLength
    vl2_buf_byte(b, 0);
    // What this server grants: reading; on the pipe also the writes its
    // RPC calls are made of.
    const uint32_t granted = o->is_pipe ? READ_RIGHTS | WRITE_RIGHTS : READ_RIGHTS;
    create_answer(r, ctx, granted, o->disk_id ? o->disk_id : o->id);
}

}  // namespace

uint32_t cmd_create(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    uint16_t ssz = rd_u16(rd);
    if (rd->bad || ssz != 57) return create_fail(r, ST_INVALID_PARAMETER, 0);
    rd_u8(rd);  // SecurityFlags
    rd_u8(rd);  // RequestedOplockLevel: no oplock is ever granted
    uint32_t imp = rd_u32(rd);
    rd_u64(rd);  // SmbCreateFlags
    rd_u64(rd);  // Reserved
    uint32_t access_in = rd_u32(rd);
    rd_u32(rd);  // FileAttributes
    rd_u32(rd);  // ShareAccess
    uint32_t disp = rd_u32(rd);
    uint32_t opts = rd_u32(rd);
    uint16_t name_off = rd_u16(rd);
    uint16_t name_len = rd_u16(rd);
    uint32_t ctx_off = rd_u32(rd);
    uint32_t ctx_len = rd_u32(rd);
    if (rd->bad) return create_fail(r, ST_INVALID_PARAMETER, 0);
    sess_trace(s, "[create] access=%08llx opts=%08x disp=%u name_off=%u name_len=%u\n", (unsigned long long)access_in,
               opts, disp, name_off, name_len);

    // Names are relative to the share: one that starts at a root is
    // malformed, whatever it asks for.
    if (name_len >= 2) {
        vl2_rd peek = *rd;
        const uint8_t *p = rd_region(&peek, name_off, 2);
        if (p && vl2_le16(p) == '\\') return create_fail(r, ST_INVALID_PARAMETER, 0);
    }

    vl2_tree *t = sess_tree(s, r->rq.tid);
    uint32_t access = normalise_access(access_in);

    int wr = 0;
    if (uint32_t st = refusal(s, t, disp, access, opts, imp, &wr)) return create_fail(r, st, wr);

    vl2_create_ctx ctx;
    if (uint32_t st = create_contexts(rd, ctx_off, ctx_len, &ctx)) return create_fail(r, st, 0);
    sess_trace(s, "[create-ctx] n=%d mxac=%d qfid=%d reconnect=%d\n", ctx.count, ctx.mxac, ctx.qfid, ctx.reconnect);
    // No handle is ever durable, so a reconnect finds nothing to take back.
    if (ctx.reconnect) return create_fail(r, ST_OBJECT_NAME_NOT_FOUND, 0);

    char name[NAME_MAX_BYTES + 2];
    name[0] = 0;
    if (name_len != 0) {
        const uint8_t *p = rd_region(rd, name_off, name_len);
        if (!p || name_len > NAME_MAX_BYTES) {
            rd->bad = 1;
            return create_fail(r, ST_INVALID_PARAMETER, 0);
        }
        if (vl2_utf16_to_utf8(p, name_len, name, (int)sizeof name) < 0) {
            return create_fail(r, ST_OBJECT_NAME_INVALID, 0);
        }
    } else {
        rd->bad = 0;
    }

    vl2_vres res;
    memset(&res, 0, sizeof res);
    char vp[sizeof(vl2_open::name)] = "";
    if (uint32_t st = resolve_name(t, name, opts, vp, sizeof vp, &res)) return create_fail(r, st, 0);

    vl2_open *o = add_open(s, t, vp, res);
    if (!o) return create_fail(r, ST_INSUFFICIENT_RESOURCES, 0);

    r->rq.opened = o->id;
    put_created(r, o, &ctx);
    return ST_SUCCESS;
}

uint32_t cmd_close(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);  // StructureSize, checked by the dispatcher
    rd_u16(rd);  // Flags: the attributes are returned whatever they ask
    rd_u32(rd);  // Reserved
    uint64_t fid = rd_fid(rd, r);
    if (rd->bad) return rep_fail(r, ST_INVALID_PARAMETER);
    vl2_open *o = sess_open(s, fid);
    if (!o) return rep_fail(r, ST_FILE_CLOSED);
    rep_status(r, ST_SUCCESS);
    vl2_buf *b = &r->b;
    w16(b, 60);
    w16(b, 0);
    w32(b, 0);
    put_meta(b, o);
    sess_close_open(s, o);
    return ST_SUCCESS;
}
