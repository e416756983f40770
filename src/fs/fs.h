// Host file layer: the only code that touches the host file system, and it
// never writes. Stateless; failures are silent (-1 or null). UTF-8 paths;
// a path that is not valid UTF-8 fails every call.
#pragma once

#include "vl2.h"

struct vl2_dir;   // one directory enumeration
struct vl2_file;  // one read-only open host file

int vl2_fs_stat(const char *path, vl2_fstat *out);   // links followed
int vl2_fs_lstat(const char *path, vl2_fstat *out);  // links reported as VL2_K_LINK
// Canonical path with every link resolved; fails when it does not fit cap.
int vl2_fs_realpath(const char *path, char *out, int cap);
char vl2_fs_sep(void);  // '/'
// Follows path to the object it names and reports, from one open
// descriptor, that object's host path (as vl2_fs_fd_path) and its metadata
// (links followed). Never blocks, whatever the object is. 0 or -1.
int vl2_fs_realstat(const char *path, char *real, int cap, vl2_fstat *st);

vl2_dir *vl2_fs_opendir(const char *path);
// As vl2_fs_opendir, and puts the host path of the directory actually
// opened (links on the way followed) into real. Null when that does not fit.
vl2_dir *vl2_fs_opendir_real(const char *path, char *real, int cap);
// Next name (never "." or ".."), valid until the next call; null at the end.
const char *vl2_fs_readdir(vl2_dir *d);
// Metadata of member name of the open directory, links not followed. The
// name is one component (no '/').
int vl2_fs_lstat_at(vl2_dir *d, const char *name, vl2_fstat *out);
// vl2_fs_realstat for member name of the open directory.
int vl2_fs_realstat_at(vl2_dir *d, const char *name, char *real, int cap, vl2_fstat *st);
void vl2_fs_closedir(vl2_dir *d);

// Opens a regular file for reading without ever blocking (a FIFO or device
// swapped in is refused). st (may be null) receives its metadata.
vl2_file *vl2_fs_open_ro(const char *path, vl2_fstat *st);
// Bytes read at offset (0 at or past the end), or -1.
int vl2_fs_pread(vl2_file *f, uint64_t offset, void *dst, int count);
// The host path of what was actually opened (by descriptor), or -1.
int vl2_fs_fd_path(vl2_file *f, char *out, int cap);
void vl2_fs_close(vl2_file *f);
