// A small blocking SMB2 client over a loopback socket for the concurrency
// and stop tests: guest logon, tree connect, create, read, list, close.
// Requests come from the engine tests' builders; this file only adds the
// socket, the QUERY_DIRECTORY request and reply parsing.
#pragma once

#include "net_client.h"

#include "../sess/files_util.h"
#include "../sess/harness.h"
#include "support/smb2.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sc {
using h::bytes;

// QUERY_DIRECTORY request (class 37, FileIdBothDirectoryInformation, unless given).
inline bytes query_directory(uint64_t mid, uint32_t tid, uint64_t fid, uint8_t flags = 0,
                             const std::string &pattern = "*", uint32_t out_cap = 65536, uint8_t cls = 37)
{
    return smb2::request(14, mid, fl::query_directory_body(cls, flags, pattern, out_cap, fid), 0, tid);
}

// Names (UTF-8) of the entries of a class-37 QUERY_DIRECTORY reply, without
// the "." and ".." that lead a listing.
inline std::vector<std::string> entry_names(const bytes &reply)
{
    std::vector<std::string> out;
    size_t off = 64 + 8, end = reply.size();
    if (h::le32(reply, 68) == 0) return out;
    for (;;) {
        if (off + 104 > end) break;
        uint32_t next = h::le32(reply, off), nlen = h::le32(reply, off + 60);
        if (off + 104 + nlen > end) break;
        std::string name;
        for (size_t i = 0; i + 1 < nlen; i += 2) {
            uint16_t c = h::le16(reply, off + 104 + i);
            name += c < 0x80 ? (char)c : '?';  // test names are ASCII
        }
        if (name != "." && name != "..") out.push_back(name);
        if (next == 0) break;
        off += next;
    }
    return out;
}

struct client {
    int fd = -1;
    uint64_t mid = 10;
    uint32_t tid = 0;
    uint32_t last = 0;    // status of the last reply
    bool broken = false;  // a reply was missing or malformed

    client() = default;
    client(const client &) = delete;
    client &operator=(const client &) = delete;
    ~client() { disconnect(); }

    bool connect(int port, int rcvbuf = 0, const char *source = nullptr)
    {
        fd = nettest::connect_to("127.0.0.1", port, rcvbuf, source);
        return fd >= 0;
    }
    void disconnect()
    {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    // Sends one frame (prefix included) and returns the one reply body.
    bytes call(const bytes &frame)
    {
        bytes r;
        if (fd < 0 || !nettest::send_all(fd, frame) || (r = nettest::recv_frame(fd)).size() < 64) {
            broken = true;
            last = 0xFFFFFFFFu;
            return {};
        }
        last = h::status(r);
        return r;
    }
    bool logon(bool large = false)
    {
        for (const bytes &f : fl::guest_logon(large)) call(f);
        return !broken && last == 0;
    }
    bool tree_connect(const std::string &share)
    {
        bytes r = call(smb2::tree_connect(mid++, "\\\\127.0.0.1\\" + share));
        if (broken || last != 0) return false;
        tid = h::le32(r, 36);
        return true;
    }
    // FileId, or 0 with last holding the status.
    uint64_t create(const std::string &name)
    {
        bytes r = call(fl::create(mid++, tid, name));
        return !broken && last == 0 ? h::le64(r, 64 + 64) : 0;
    }
    bool close_file(uint64_t fid)
    {
        call(fl::close_req(mid++, tid, fid));
        return !broken && last == 0;
    }
    // Whole file in chunks of at most chunk bytes; false on any error.
    bool read_all(uint64_t fid, std::string *out, uint32_t chunk = 65536)
    {
        out->clear();
        for (uint64_t off = 0;;) {
            bytes r = call(fl::read_req(mid++, tid, fid, chunk, off));
            if (broken) return false;
            if (last == smb2::END_OF_FILE) return true;
            if (last != 0) return false;
            uint32_t n = h::le32(r, 64 + 4);
            if (r.size() < 80 + (size_t)n) return false;
            out->append((const char *)r.data() + 80, n);
            off += n;
            if (n < chunk) return true;
        }
    }
    // Every name of a directory open (restarted listing); false on error.
    bool list(uint64_t fid, std::vector<std::string> *names)
    {
        names->clear();
        for (uint8_t flags = 1;; flags = 0) {
            bytes r = call(query_directory(mid++, tid, fid, flags));
            if (broken) return false;
            if (last == smb2::NO_MORE_FILES) return true;
            if (last != 0) return false;
            for (std::string &n : entry_names(r)) names->push_back(std::move(n));
        }
    }
    bool echo()
    {
        bytes b;
        smb2::put16(b, 4);
        smb2::put16(b, 0);
        call(smb2::request(13, mid++, b));
        return !broken && last == 0;
    }
};

}  // namespace sc
