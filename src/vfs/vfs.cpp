#include "vfs/vfs.h"

#include "cfg/cfg.h"
#include "fs/fs.h"
#include "util/util.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_ENTRIES = 100000;
constexpr size_t PATH_CAP = sizeof(((vl2_vres *)nullptr)->path);

int notfound() { return vl2_fail(-1, "The file cannot be found."); }

int inside(const char *canonical, const vl2_share *share)
{
    const char *root = share->path;
    size_t len = strlen(root);
    if (len == 0) return 1;
    if (!canonical || strncmp(canonical, root, len) != 0) return 0;
    if (canonical[len] == 0) return 1;
    if (share->single_file) return 0;
    char sep = vl2_fs_sep();
    if (root[len - 1] == sep) return 1;
    // A sibling whose name merely starts with the root's last component.
    return canonical[len] == sep;
}

// A member the listing cannot show (or must hide) gives false.
bool make_entry(const vl2_share *share, vl2_dir *d, const char *dirpath, const char *name, vl2_vent *e)
{
    size_t n = strlen(name);
    if (n > 255 || strpbrk(name, "\r\n")) return false;
    if (strlen(dirpath) + n + 2 > PATH_CAP) return false;
    vl2_fstat st;
    if (vl2_fs_lstat_at(d, name, &st) != 0 || st.kind == VL2_K_OTHER) return false;
    *e = {};
    e->kind = st.kind;
    e->target_kind = st.kind;
    e->ino = st.ino;
    if (st.kind == VL2_K_LINK) {
        char target[1025];
        vl2_fstat ts;
        // Dangling links and links leading out of the share stay invisible.
        if (vl2_fs_realstat_at(d, name, target, sizeof target, &ts) != 0) return false;
        if (!inside(target, share)) return false;
        if (ts.kind != VL2_K_FILE && ts.kind != VL2_K_DIR) return false;
        e->target_kind = ts.kind;
        st = ts;
    }
    e->size = st.size;
    e->mtime = st.mtime;
    e->atime = st.atime;
    e->crtime = st.crtime;
    e->name = strdup(name);
    return e->name != nullptr;
}

}  // namespace

int vl2_vfs_inside(const char *canonical, const vl2_share *share)
{
    if (!share) return 0;
    return inside(canonical, share);
}

int vl2_vfs_resolve(const char *share_name, const char *path, vl2_vres *out)
{
    if (!out) return notfound();
    memset(out, 0, sizeof *out);
    if (!share_name || vl2_share_find(share_name, &out->share) != 0) return notfound();
    if (!path) path = "";
    const vl2_share *sh = &out->share;
    if (!sh->path[0]) {
        out->kind = VL2_R_IPC;
        return 0;
    }
    if (sh->single_file && *path) {
        memset(out, 0, sizeof *out);
        return notfound();
    }
    char joined[PATH_CAP];
    size_t rlen = strlen(sh->path);
    if (*path) {
        size_t plen = strlen(path);
        bool addsep = sh->path[rlen - 1] != vl2_fs_sep();
        if (rlen + (addsep ? 1 : 0) + plen + 1 > sizeof joined) {
            memset(out, 0, sizeof *out);
            return notfound();
        }
        memcpy(joined, sh->path, rlen);
        size_t at = rlen;
        if (addsep) joined[at++] = vl2_fs_sep();
        memcpy(joined + at, path, plen + 1);
    } else {
        memcpy(joined, sh->path, rlen + 1);
    }
    // Path and metadata come from one descriptor, so the object checked for
    // containment is the object described.
    if (vl2_fs_realstat(joined, out->path, (int)sizeof out->path, &out->st) != 0) {
        memset(out, 0, sizeof *out);
        return notfound();
    }
    if (!inside(out->path, sh)) {
        vl2_stat_add(VL2_ST_PATH_REFUSED, 1);
        memset(out, 0, sizeof *out);
        return notfound();
    }
    if (out->st.kind == VL2_K_FILE) {
        out->kind = VL2_R_FILE;
    } else if (out->st.kind == VL2_K_DIR && !sh->single_file) {
        out->kind = VL2_R_DIR;
    } else {
        memset(out, 0, sizeof *out);
        return notfound();
    }
    return 0;
}

int vl2_vfs_list(const vl2_vres *dir, vl2_vent **out, int *count)
{
    if (!out || !count) return vl2_fail(-1, "Not a directory.");
    *out = nullptr;
    *count = 0;
    if (!dir || dir->kind != VL2_R_DIR) return vl2_fail(-1, "Not a directory.");
    if (!dir->share.path[0]) return notfound();
    char real[PATH_CAP];
    vl2_dir *d = vl2_fs_opendir_real(dir->path, real, (int)sizeof real);
    if (!d) return notfound();
    // The stored path may have been swapped for a link since it was resolved.
    if (!inside(real, &dir->share)) {
        vl2_fs_closedir(d);
        vl2_stat_add(VL2_ST_PATH_REFUSED, 1);
        return notfound();
    }
    vl2_vent *ents = nullptr;
    int n = 0, cap = 0;
    const char *name;
    while (n < MAX_ENTRIES && (name = vl2_fs_readdir(d)) != nullptr) {
        if (n == cap) {
            int ncap = cap ? cap * 2 : 64;
            vl2_vent *grown = (vl2_vent *)realloc(ents, (size_t)ncap * sizeof *ents);
            if (!grown) break;
            ents = grown;
            cap = ncap;
        }
        if (make_entry(&dir->share, d, real, name, &ents[n])) n++;
    }
    vl2_fs_closedir(d);
    std::sort(ents, ents + n, [](const vl2_vent &a, const vl2_vent &b) { return strcmp(a.name, b.name) < 0; });
    *out = ents;
    *count = n;
    return 0;
}

void vl2_vfs_free(vl2_vent *ents, int count)
{
    if (!ents) return;
    for (int i = 0; i < count; i++) free(ents[i].name);
    free(ents);
}

int vl2_vfs_same_file(const char *path, uint64_t dev, uint64_t ino)
{
    vl2_fstat now;
    return path && vl2_fs_stat(path, &now) == 0 && now.kind == VL2_K_FILE && now.dev == dev && now.ino == ino;
}

int vl2_vfs_pread(vl2_file *f, uint64_t offset, void *dst, int count) { return vl2_fs_pread(f, offset, dst, count); }

void vl2_vfs_close(vl2_file *f) { vl2_fs_close(f); }

vl2_file *vl2_vfs_open_read(const vl2_share *share, const char *path, vl2_fstat *st)
{
    if (!share || !share->path[0] || !path) return nullptr;
    vl2_file *f = vl2_fs_open_ro(path, st);
    if (!f) return nullptr;
    char real[4097];
    if (vl2_fs_fd_path(f, real, (int)sizeof real) != 0) {
        vl2_fs_close(f);
        return nullptr;
    }
    if (!inside(real, share)) {
        vl2_fs_close(f);
        vl2_stat_add(VL2_ST_PATH_REFUSED, 1);
        return nullptr;
    }
    return f;
}
