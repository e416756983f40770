// Scratch directory trees for file-layer tests: made under /tmp, removed
// (links not followed) when the record goes out of scope.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

struct tmptree {
    std::string root;

    // base: a folder to make the tree in (/tmp unless given).
    explicit tmptree(const char *base = "/tmp")
    {
        std::string tpl = std::string(base) + "/vl2fs.XXXXXX";
        char *p = mkdtemp(tpl.data());
        if (!p) abort();
        // Canonical from the start so tests can compare host paths directly.
        char *r = realpath(p, nullptr);
        root = r;
        free(r);
    }
    ~tmptree()
    {
        nftw(
            root.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    std::string at(const std::string &rel) const { return rel.empty() ? root : root + "/" + rel; }

    bool file(const std::string &rel, const std::string &data = "") const
    {
        int fd = open(at(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        bool ok = write(fd, data.data(), data.size()) == (ssize_t)data.size();
        close(fd);
        return ok;
    }
    bool dir(const std::string &rel) const { return mkdir(at(rel).c_str(), 0755) == 0; }
    bool link(const std::string &target, const std::string &rel) const
    {
        return symlink(target.c_str(), at(rel).c_str()) == 0;
    }
    bool fifo(const std::string &rel) const { return mkfifo(at(rel).c_str(), 0644) == 0; }
    // A bound UNIX socket node; the descriptor is closed, the node stays.
    bool sock(const std::string &rel) const
    {
        std::string p = at(rel);
        sockaddr_un a = {};
        if (p.size() >= sizeof a.sun_path) return false;
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, p.c_str(), p.size() + 1);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        bool ok = bind(fd, (sockaddr *)&a, sizeof a) == 0;
        close(fd);
        return ok;
    }
};
