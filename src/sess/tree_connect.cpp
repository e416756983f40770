// TREE_CONNECT and TREE_DISCONNECT: binding a share (or IPC$) to a TreeId.
#include "sess/engine.h"

#include "cfg/cfg.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t PATH_MAX_BYTES = 1032;
// Tree records one connection may hold, disconnected ones included; a peer
// connecting without end must not grow the list (and every lookup) without end.
constexpr int MAX_TREES = 1024;

bool id_taken(const vl2_sess *s, uint32_t id)
{
    for (const vl2_tree *t = s->trees; t; t = t->next)
        if (t->id == id) return true;
    return false;
}

// A fresh 24-bit TreeId from the connection's id counter. 0 is skipped: it
// is what requests carry when they name no tree.
uint32_t new_tree_id(vl2_sess *s)
{
    for (;;) {
        uint32_t id = (uint32_t)(++s->next_id & 0xFFFFFF);
        if (id != 0 && !id_taken(s, id)) return id;
    }
}

// Room for one more tree record: when the list is full, the disconnected
// records are freed first (their ids are not handed out again before the
// 24-bit counter wraps). False when every record is live.
bool tree_room(vl2_sess *s)
{
    int n = 0;
    for (const vl2_tree *t = s->trees; t; t = t->next) n++;
    if (n < MAX_TREES) return true;
    for (vl2_tree **p = &s->trees; *p;) {
        vl2_tree *t = *p;
        if (t->gone) {
            *p = t->next;
            free(t);
            n--;
        } else {
            p = &t->next;
        }
    }
    return n < MAX_TREES;
}

}  // namespace

uint32_t cmd_tree_connect(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);  // StructureSize, checked by the dispatcher
    rd_u16(rd);  // Reserved / Flags
    uint16_t poff = rd_u16(rd);
    uint16_t plen = rd_u16(rd);
    if (rd->bad) return rep_fail(r, ST_INVALID_PARAMETER);
    if (!s->authenticated) {
        vl2_stat_add(VL2_ST_TREE_REFUSED, 1);
        return rep_fail(r, ST_USER_SESSION_DELETED);
    }
    const uint8_t *p = rd_region(rd, poff, plen);
    if (!p || plen < 2 || plen > PATH_MAX_BYTES) return rep_fail(r, ST_INVALID_PARAMETER);
    char path[PATH_MAX_BYTES];
    if (vl2_utf16_to_utf8(p, plen, path, (int)sizeof path) < 0) return rep_fail(r, ST_INVALID_PARAMETER);
    // The server part is ignored: the share is whatever follows the last
    // separator of either kind.
    const char *name = path;
    for (const char *c = path; *c; c++)
        if (*c == '\\' || *c == '/') name = c + 1;
    if (!*name) return rep_fail(r, ST_OBJECT_NAME_INVALID);
    char esc_name[4 * 81] = "", esc_path[4 * 81] = "";
    if (s->trace) {
        vl2_escape(name, esc_name, sizeof esc_name);
        vl2_escape(path, esc_path, sizeof esc_path);
    }
    sess_trace(s, "[tcon] share='%s' path='%s'\n", esc_name, esc_path);

    vl2_share share = {};
    const bool ipc = vl2_casecmp(name, "IPC$") == 0;
    if (!ipc && vl2_share_find(name, &share) != 0) {
        sess_trace(s, "[tcon] find FAILED for '%s'\n", esc_name);
        vl2_log_event(VL2_LOG_CONNECTIONS, 4, "tree connect", s->peer_text, s->user, name, nullptr, -1,
                      "no such share");
        vl2_stat_add(VL2_ST_TREE_REFUSED, 1);
        return rep_fail(r, ST_OBJECT_NAME_NOT_FOUND);
    }
    vl2_tree *t = tree_room(s) ? (vl2_tree *)calloc(1, sizeof *t) : nullptr;
    if (!t) return rep_fail(r, ST_INSUFFICIENT_RESOURCES);
    t->id = new_tree_id(s);
    t->is_ipc = ipc ? 1 : 0;
    if (ipc) {
        memcpy(t->name, "IPC$", 5);
    } else {
        size_t n = strlen(name);
        if (n >= sizeof t->name) n = sizeof t->name - 1;
        memcpy(t->name, name, n);
        t->share = share;
    }
    t->next = s->trees;
    s->trees = t;
    vl2_stat_add(VL2_ST_TREES, 1);
    vl2_log_event(VL2_LOG_CONNECTIONS, 6, "tree connect", s->peer_text, s->is_guest ? "(guest)" : s->user, t->name,
                  nullptr, -1, "ok");

    vl2_put32(rep_hdr(r) + 36, t->id);
    rep_status(r, ST_SUCCESS);
    vl2_buf *b = &r->b;
    w16(b, 16);
    vl2_buf_byte(b, 0x01);  // disk, for IPC$ as well
    vl2_buf_byte(b, 0);
    w32(b, s->seal.on ? 0x8000 : 0);  // ShareFlags: ENCRYPT_DATA on a session that encrypts
    w32(b, 0);                        // Capabilities
    w32(b, 0x000000FF);               // MaximalAccess
    return ST_SUCCESS;
}

uint32_t cmd_tree_disconnect(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);
    rd_u16(rd);
    if (vl2_tree *t = sess_tree(s, r->rq.tid)) {
        t->gone = 1;
        vl2_stat_add(VL2_ST_TREES, -1);
    }
    rep_status(r, ST_SUCCESS);
    w32(&r->b, 4);
    return ST_SUCCESS;
}
