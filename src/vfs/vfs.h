// Share namespace: maps (share, share-relative path) onto host objects that
// always lie inside the share, and lists shared directories.
#pragma once

#include "vl2.h"

struct vl2_file;

// path is vl2_vpath output ('/'-separated, may be null = share root).
// 0, or -1 with "The file cannot be found." (path_refused counts an escape).
int vl2_vfs_resolve(const char *share_name, const char *path, vl2_vres *out);
// Sorted (byte-wise) snapshot of a VL2_R_DIR, at most 100,000 entries.
// 0 with the array (free with vl2_vfs_free), or -1 with a message. The
// directory actually opened must lie inside dir->share (else path_refused).
int vl2_vfs_list(const vl2_vres *dir, vl2_vent **out, int *count);
void vl2_vfs_free(vl2_vent *ents, int count);
// 1 when the canonical host path lies inside the share, else 0.
int vl2_vfs_inside(const char *canonical, const vl2_share *share);
// Opens a resolved file of share for reading (vl2_fs_open_ro) and checks
// that what was opened still lies inside the share: a link swapped in since
// the name was resolved is refused and counted in path_refused. Null on any
// failure; st (may be null) receives the opened file's metadata.
vl2_file *vl2_vfs_open_read(const vl2_share *share, const char *path, vl2_fstat *st);
// 1 when path still leads to the regular host file (dev, ino) that an
// earlier vl2_vfs_open_read of it opened, so that open may serve again;
// else 0 (gone, replaced, or no longer a regular file).
int vl2_vfs_same_file(const char *path, uint64_t dev, uint64_t ino);
// Reading and closing a file vl2_vfs_open_read gave (vl2_fs_pread and
// vl2_fs_close), so the namespace's users need not reach the host layer.
int vl2_vfs_pread(vl2_file *f, uint64_t offset, void *dst, int count);
void vl2_vfs_close(vl2_file *f);
