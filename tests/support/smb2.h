// The SMB2 request builders and status values every engine and network test
// shares: one definition of each, whatever the test's own helpers add.
#pragma once

#include "sess/harness.h"

#include "util/util.h"

#include <string>

namespace smb2 {
using h::bytes;

// Statuses the tests expect, by their usual names.
constexpr uint32_t SUCCESS = 0, OVERFLOW = 0x80000005, NO_MORE_FILES = 0x80000006, INVALID_INFO_CLASS = 0xC0000003,
                   INFO_LENGTH_MISMATCH = 0xC0000004, INVALID_HANDLE = 0xC0000008, INVALID = 0xC000000D,
                   END_OF_FILE = 0xC0000011, MORE = 0xC0000016, DENIED = 0xC0000022, BUFFER_TOO_SMALL = 0xC0000023,
                   NAME_INVALID = 0xC0000033, NAME_NOT_FOUND = 0xC0000034, PATH_NOT_FOUND = 0xC000003A,
                   LOGON_FAILURE = 0xC000006D, NO_RESOURCES = 0xC000009A, IS_A_DIRECTORY = 0xC00000BA,
                   NOT_SUPPORTED = 0xC00000BB, NOT_ACCEPTED = 0xC00000D0, NOT_A_DIRECTORY = 0xC0000103,
                   FILE_CLOSED = 0xC0000128, SESSION_DELETED = 0xC0000203;

inline void put16(bytes &b, uint16_t v)
{
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
inline void put32(bytes &b, uint32_t v)
{
    put16(b, (uint16_t)v);
    put16(b, (uint16_t)(v >> 16));
}
inline void put64(bytes &b, uint64_t v)
{
    put32(b, (uint32_t)v);
    put32(b, (uint32_t)(v >> 32));
}

// UTF-16LE of a UTF-8 text without terminator; empty when it is not UTF-8.
inline bytes utf16(const std::string &utf8)
{
    bytes out(utf8.size() * 2 + 4);
    int n = 0;
    if (vl2_utf8_to_utf16le(utf8.c_str(), out.data(), (int)out.size(), &n) != 0) return {};
    out.resize((size_t)n);
    return out;
}

// One framed request: header (with the given ids and flags) and body.
inline bytes request(uint16_t cmd, uint64_t mid, const bytes &body, uint64_t sid = 0, uint32_t tid = 0,
                     uint32_t flags = 0)
{
    return h::frame(h::cat(h::smb2_hdr(cmd, mid, sid, tid, flags), body));
}

// TREE_CONNECT to a UNC path (the server takes its last component).
inline bytes tree_connect(uint64_t mid, const std::string &path, uint64_t sid = 0)
{
    bytes u = utf16(path), b;
    put16(b, 9);
    put16(b, 0);
    put16(b, 72);
    put16(b, (uint16_t)u.size());
    return request(3, mid, h::cat(b, u), sid);
}
}  // namespace smb2
