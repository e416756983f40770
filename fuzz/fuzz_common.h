// Helpers shared by the fuzz targets: sanitizer defaults, little-endian
// builders and the SMB2 requests of the fixed conversations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Any sanitizer report is a crash for libFuzzer, leaks included.
extern "C" const char *__asan_default_options() { return "detect_leaks=1:abort_on_error=1"; }
extern "C" const char *__ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

// A property the target checks: a failure is a finding.
#define CHECK(c) \
    do { \
        if (!(c)) { \
            fprintf(stderr, "fuzz: check failed: %s (line %d)\n", #c, __LINE__); \
            abort(); \
        } \
    } while (0)

namespace fz {
using bytes = std::vector<uint8_t>;

inline void p16(bytes &b, uint16_t v)
{
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
inline void p32(bytes &b, uint32_t v)
{
    p16(b, (uint16_t)v);
    p16(b, (uint16_t)(v >> 16));
}
inline void p64(bytes &b, uint64_t v)
{
    p32(b, (uint32_t)v);
    p32(b, (uint32_t)(v >> 32));
}
inline void cat(bytes &a, const bytes &b) { a.insert(a.end(), b.begin(), b.end()); }
inline bytes utf16(const std::string &s)
{
    bytes out;
    for (unsigned char c : s) p16(out, c);
    return out;
}

// A 64-byte SMB2 request header.
inline bytes hdr(uint16_t cmd, uint64_t mid, uint64_t sid = 0, uint32_t tid = 0)
{
    bytes b = {0xFE, 'S', 'M', 'B'};
    p16(b, 64);  // StructureSize
    p16(b, 1);   // CreditCharge
    p32(b, 0);   // Status
    p16(b, cmd);
    p16(b, 32);  // CreditRequest
    p32(b, 0);   // Flags
    p32(b, 0);   // NextCommand
    p64(b, mid);
    p32(b, 0);  // Reserved
    p32(b, tid);
    p64(b, sid);
    b.resize(64, 0);  // Signature
    return b;
}

// 4-byte message prefix (type 0, 24-bit big-endian length) and body.
inline bytes frame(const bytes &body)
{
    bytes f = {0, (uint8_t)(body.size() >> 16), (uint8_t)(body.size() >> 8), (uint8_t)body.size()};
    cat(f, body);
    return f;
}

inline bytes negotiate(uint64_t mid)
{
    bytes b = hdr(0, mid);
    p16(b, 36);
    p16(b, 2);  // DialectCount
    p16(b, 1);  // SecurityMode: signing enabled
    p16(b, 0);
    p32(b, 0x7F);  // Capabilities
    for (int i = 0; i < 16; i++) b.push_back((uint8_t)(0x40 + i));
    p64(b, 0);  // ClientStartTime
    p16(b, 0x0202);
    p16(b, 0x0210);
    return frame(b);
}

// SESSION_SETUP with the blob at header offset 88.
inline bytes session_setup(uint64_t mid, uint64_t sid, const bytes &blob)
{
    bytes b = hdr(1, mid, sid);
    p16(b, 25);
    b.push_back(0);
    b.push_back(1);
    p32(b, 1);  // Capabilities
    p32(b, 0);  // Channel
    p16(b, 88);
    p16(b, (uint16_t)blob.size());
    p64(b, 0);  // PreviousSessionId
    cat(b, blob);
    return frame(b);
}

// Bare NTLM NEGOTIATE.
inline bytes ntlm_negotiate()
{
    bytes m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    p32(m, 1);
    p32(m, 0xE2088297u);
    p64(m, 0);  // DomainNameFields
    p64(m, 0);  // WorkstationFields
    return m;
}

// Bare NTLM AUTHENTICATE with empty responses: an anonymous (guest) logon.
inline bytes ntlm_anonymous()
{
    bytes m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    p32(m, 3);
    for (int i = 0; i < 6; i++) {  // Lm, Nt, Domain, User, Workstation, SessionKey
        p16(m, 0);
        p16(m, 0);
        p32(m, 64);
    }
    p32(m, 0x00000001);  // NEGOTIATE_UNICODE
    return m;
}

inline bytes tree_connect(uint64_t mid, uint64_t sid, const std::string &path)
{
    bytes b = hdr(3, mid, sid);
    bytes u = utf16(path);
    p16(b, 9);
    p16(b, 0);
    p16(b, 72);
    p16(b, (uint16_t)u.size());
    cat(b, u);
    return frame(b);
}

inline bytes create(uint64_t mid, uint64_t sid, uint32_t tid, const std::string &name, bool dir)
{
    bytes b = hdr(5, mid, sid, tid);
    bytes u = utf16(name);
    p16(b, 57);
    b.push_back(0);  // SecurityFlags
    b.push_back(0);  // RequestedOplockLevel
    p32(b, 2);       // ImpersonationLevel
    p64(b, 0);
    p64(b, 0);
    p32(b, dir ? 0x00100081u : 0x00120089u);  // DesiredAccess: read only
    p32(b, 0);                                // FileAttributes
    p32(b, 7);                                // ShareAccess
    p32(b, 1);                                // FILE_OPEN
    p32(b, dir ? 1u : 0x40u);                 // directory / non-directory
    p16(b, 120);
    p16(b, (uint16_t)u.size());
    p32(b, 0);
    p32(b, 0);
    cat(b, u);
    if (u.empty()) b.push_back(0);
    return frame(b);
}
}  // namespace fz
