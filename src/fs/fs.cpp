#include "fs/fs.h"
#include "util/util.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

struct vl2_dir {
    DIR *d;
    char name[1024];
};

struct vl2_file {
    int fd;
};

namespace {

bool okpath(const char *path) { return path && *path && vl2_utf8_valid(path); }

// One component inside an open directory; anything else could walk out of it.
bool okname(const char *name)
{
    return name && *name && !strchr(name, '/') && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

int kindof(unsigned mode)
{
    if (S_ISLNK(mode)) return VL2_K_LINK;
    if (S_ISDIR(mode)) return VL2_K_DIR;
    if (S_ISREG(mode)) return VL2_K_FILE;
    return VL2_K_OTHER;
}

// Fills out from (dirfd, name) as fstatat would name it; the birth time
// comes from statx where the file system keeps one.
int statof(int dirfd, const char *name, int flags, vl2_fstat *out)
{
    vl2_fstat r = {};
    struct statx sx;
    if (statx(dirfd, name, flags | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
        r.kind = kindof(sx.stx_mode);
        r.size = sx.stx_size;
        r.mtime = sx.stx_mtime.tv_sec;
        r.atime = sx.stx_atime.tv_sec;
        r.crtime = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
        r.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        r.ino = sx.stx_ino;
    } else {
        if (errno != ENOSYS) return -1;
        struct stat st;
        if (fstatat(dirfd, name, &st, flags) != 0) return -1;
        r.kind = kindof(st.st_mode);
        r.size = (uint64_t)st.st_size;
        r.mtime = st.st_mtim.tv_sec;
        r.atime = st.st_atim.tv_sec;
        r.crtime = st.st_mtim.tv_sec;
        r.dev = st.st_dev;
        r.ino = st.st_ino;
    }
    // The host reports a directory file's own size; clients expect 0.
    if (r.kind == VL2_K_DIR) r.size = 0;
    *out = r;
    return 0;
}

int fdstat(int fd, vl2_fstat *out) { return statof(fd, "", AT_EMPTY_PATH, out); }

int fdpath(int fd, char *out, int cap)
{
    if (!out || cap <= 0) return -1;
    char link[32];
    char buf[PATH_MAX + 1];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, buf, sizeof buf);
    // A result filling the buffer may have been cut short.
    if (n <= 0 || n >= (ssize_t)sizeof buf || n >= cap) return -1;
    memcpy(out, buf, (size_t)n);
    out[n] = 0;
    return 0;
}

// O_PATH opens any object without touching it: a FIFO or device never blocks.
int realstat(int dirfd, const char *name, char *real, int cap, vl2_fstat *st)
{
    int fd = openat(dirfd, name, O_PATH | O_CLOEXEC);
    if (fd < 0) return -1;
    vl2_fstat tmp;
    int rc = (fdpath(fd, real, cap) == 0 && fdstat(fd, st ? st : &tmp) == 0) ? 0 : -1;
    close(fd);
    return rc;
}

vl2_dir *opendirfd(const char *path, char *real, int cap)
{
    if (!okpath(path)) return nullptr;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (real && fdpath(fd, real, cap) != 0) {
        close(fd);
        return nullptr;
    }
    vl2_dir *d = (vl2_dir *)calloc(1, sizeof *d);
    if (d) d->d = fdopendir(fd);
    if (!d || !d->d) {
        free(d);
        close(fd);
        return nullptr;
    }
    return d;
}

}  // namespace

int vl2_fs_stat(const char *path, vl2_fstat *out)
{
    if (!okpath(path) || !out) return -1;
    return statof(AT_FDCWD, path, 0, out);
}

int vl2_fs_lstat(const char *path, vl2_fstat *out)
{
    if (!okpath(path) || !out) return -1;
    return statof(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, out);
}

int vl2_fs_realpath(const char *path, char *out, int cap)
{
    if (!okpath(path) || !out || cap <= 0) return -1;
    char *r = realpath(path, nullptr);
    if (!r) return -1;
    size_t n = strlen(r);
    int rc = -1;
    if (n < (size_t)cap) {
        memcpy(out, r, n + 1);
        rc = 0;
    }
    free(r);
    return rc;
}

char vl2_fs_sep(void) { return '/'; }

int vl2_fs_realstat(const char *path, char *real, int cap, vl2_fstat *st)
{
    if (!okpath(path)) return -1;
    return realstat(AT_FDCWD, path, real, cap, st);
}

vl2_dir *vl2_fs_opendir(const char *path) { return opendirfd(path, nullptr, 0); }

vl2_dir *vl2_fs_opendir_real(const char *path, char *real, int cap)
{
    if (!real) return nullptr;
    return opendirfd(path, real, cap);
}

const char *vl2_fs_readdir(vl2_dir *d)
{
    if (!d) return nullptr;
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d->d);
        if (!e) return nullptr;
        const char *n = e->d_name;
        if (strcmp(n, ".") == 0 || strcmp(n, "..") == 0) continue;
        size_t len = strlen(n);
        if (len >= sizeof d->name) continue;
        memcpy(d->name, n, len + 1);
        return d->name;
    }
}

int vl2_fs_lstat_at(vl2_dir *d, const char *name, vl2_fstat *out)
{
    if (!d || !okname(name) || !out) return -1;
    return statof(dirfd(d->d), name, AT_SYMLINK_NOFOLLOW, out);
}

int vl2_fs_realstat_at(vl2_dir *d, const char *name, char *real, int cap, vl2_fstat *st)
{
    if (!d || !okname(name)) return -1;
    return realstat(dirfd(d->d), name, real, cap, st);
}

void vl2_fs_closedir(vl2_dir *d)
{
    if (!d) return;
    closedir(d->d);
    free(d);
}

vl2_file *vl2_fs_open_ro(const char *path, vl2_fstat *st)
{
    if (!okpath(path)) return nullptr;
    // Opening a FIFO or a device has effects of its own (a writer waiting on
    // the FIFO is released, a driver runs), so the object is examined through
    // O_PATH first and only a regular file is opened for reading, through
    // that descriptor so it is the object examined.
    int pfd = open(path, O_PATH | O_CLOEXEC);
    if (pfd < 0) return nullptr;
    vl2_fstat tmp;
    vl2_fstat *s = st ? st : &tmp;
    int fd = -1;
    if (fdstat(pfd, s) == 0 && s->kind == VL2_K_FILE) {
        char self[32];
        snprintf(self, sizeof self, "/proc/self/fd/%d", pfd);
        // Non-blocking and no controlling terminal, should anything else get here.
        fd = open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    close(pfd);
    if (fd < 0) return nullptr;
    vl2_file *f = (vl2_file *)malloc(sizeof *f);
    if (!f) {
        close(fd);
        return nullptr;
    }
    f->fd = fd;
    return f;
}

int vl2_fs_pread(vl2_file *f, uint64_t offset, void *dst, int count)
{
    if (!f || count < 0 || (count > 0 && !dst)) return -1;
    // No file reaches past the largest offset the host can express.
    if (count == 0 || offset >= (uint64_t)INT64_MAX) return 0;
    // The host refuses a range whose end overflows; nothing lies there anyway.
    if ((uint64_t)count > (uint64_t)INT64_MAX - offset) count = (int)((uint64_t)INT64_MAX - offset);
    for (;;) {
        ssize_t n = pread(f->fd, dst, (size_t)count, (off_t)offset);
        if (n >= 0) return (int)n;
        if (errno != EINTR) return -1;
    }
}

int vl2_fs_fd_path(vl2_file *f, char *out, int cap)
{
    if (!f) return -1;
    return fdpath(f->fd, out, cap);
}

void vl2_fs_close(vl2_file *f)
{
    if (!f) return;
    close(f->fd);
    free(f);
}
