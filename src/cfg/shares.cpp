// The share table: published host folders and single files, plus the
// built-in IPC$ share, which is never stored.
#include "vlsmb2s.h"

#include "cfg/cfg.h"
#include "cfg/cfg_lock.h"
#include "fs/fs.h"
#include "util/util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_SHARES = 256;

vl2_share g_shares[MAX_SHARES];
int g_nshares;

int valid_name(const char *name)
{
    size_t n = strlen(name);
    if (n < 1 || n > 80) return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x20 || c == 0x7F || c == '/' || c == ':' || c == '\\') return 0;
    }
    return 1;
}

// Caller holds g_lock; -1 when absent.
int find_locked(const char *name)
{
    for (int i = 0; i < g_nshares; i++)
        if (vl2_casecmp(g_shares[i].name, name) == 0) return i;
    return -1;
}

void set_ipc(vl2_share *s)
{
    memset(s, 0, sizeof *s);
    memcpy(s->name, "IPC$", 5);
}

// IPC$ (the only share with an empty path) first, then names ignoring case.
int share_cmp(const void *pa, const void *pb)
{
    const vl2_share *a = (const vl2_share *)pa;
    const vl2_share *b = (const vl2_share *)pb;
    if (!a->path[0]) return b->path[0] ? -1 : 0;
    if (!b->path[0]) return 1;
    return vl2_casecmp(a->name, b->name);
}

}  // namespace

void vl2_cfg_reset_shares_locked(void)
{
    memset(g_shares, 0, sizeof g_shares);
    g_nshares = 0;
}

int vlsmb2s_add_share(const char *name, const char *path)
{
    int trace = vl2_cfg_tracing();
    if (trace) fprintf(stderr, "[cfg] add_share('%s', '%s')\n", name ? name : "(null)", path ? path : "(null)");
    if (!name || !path || !*path) return vl2_fail(-1, "add_share: NULL or empty argument");
    if (!valid_name(name)) return vl2_fail(-1, "add_share: invalid share name");
    if (strlen(path) > 1024) return vl2_fail(-1, "add_share: path too long");
    if (strcmp(name, "IPC$") == 0) return vl2_fail(-3, "add_share: IPC$ is built in");

    // The file system is consulted before the lock is taken.
    vl2_share rec;
    memset(&rec, 0, sizeof rec);
    vl2_fstat st;
    if (vl2_fs_realpath(path, rec.path, (int)sizeof rec.path) != 0 || vl2_fs_stat(rec.path, &st) != 0)
        return vl2_fail(-2, "add_share: %.200s does not exist", path);
    if (st.kind != VL2_K_FILE && st.kind != VL2_K_DIR)
        return vl2_fail(-1, "add_share: %.200s is neither a folder nor a regular file", path);
    memcpy(rec.name, name, strlen(name) + 1);
    rec.single_file = st.kind == VL2_K_FILE;

    int count = 0;
    int rc = 0;
    {
        vl2_cfg_hold hold;
        if (find_locked(name) >= 0)
            rc = -3;
        else if (g_nshares >= MAX_SHARES)
            rc = -6;
        else
            g_shares[g_nshares++] = rec;
        count = g_nshares;
    }
    // Messages are recorded after the lock is released (never two locks).
    if (rc == -3) return vl2_fail(-3, "add_share: %s exists", name);
    if (rc == -6) return vl2_fail(-6, "add_share: %d shares", MAX_SHARES);
    if (trace) fprintf(stderr, "[cfg] share '%s' -> %s added (nshares=%d)\n", rec.name, rec.path, count);
    return 0;
}

int vlsmb2s_remove_share(const char *name)
{
    if (!name) return vl2_fail(-1, "remove_share: NULL name");
    if (strcmp(name, "IPC$") == 0) return vl2_fail(-1, "remove_share: IPC$ is built in");
    {
        vl2_cfg_hold hold;
        int i = find_locked(name);
        if (i >= 0) {
            memmove(&g_shares[i], &g_shares[i + 1], (size_t)(g_nshares - i - 1) * sizeof g_shares[0]);
            g_nshares--;
            memset(&g_shares[g_nshares], 0, sizeof g_shares[0]);
            return 0;
        }
    }
    return vl2_fail(-2, "remove_share: no share %.64s", name);
}

int vl2_share_find(const char *name, vl2_share *out)
{
    if (out) memset(out, 0, sizeof *out);
    if (!name) return -1;
    if (vl2_casecmp(name, "IPC$") == 0) {
        if (out) set_ipc(out);
        return 0;
    }
    vl2_cfg_hold hold;
    int i = find_locked(name);
    if (i < 0) return -1;
    if (out) *out = g_shares[i];
    return 0;
}

int vl2_share_list(vl2_share **out, int *count)
{
    if (!out || !count) return -1;
    vl2_share *arr;
    int n;
    {
        vl2_cfg_hold hold;
        n = g_nshares + 1;
        arr = (vl2_share *)calloc((size_t)n, sizeof *arr);
        if (!arr) return -1;
        set_ipc(&arr[0]);
        memcpy(&arr[1], g_shares, (size_t)g_nshares * sizeof *arr);
    }
    qsort(arr, (size_t)n, sizeof *arr, share_cmp);
    *out = arr;
    *count = n;
    return 0;
}
