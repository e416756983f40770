// Small loopback TCP client helpers for the listener tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace nettest {

// Connects to addr:port (IPv4 or IPv6 text); -1 on failure. rcvbuf > 0
// shrinks the receive buffer before connecting; source (IPv4 only) is the
// local address to connect from, such as 127.0.0.2.
inline int connect_to(const char *addr, int port, int rcvbuf = 0, const char *source = nullptr)
{
    sockaddr_storage ss{};
    socklen_t len;
    int fam;
    if (strchr(addr, ':')) {
        auto *a = (sockaddr_in6 *)&ss;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons((uint16_t)port);
        if (inet_pton(AF_INET6, addr, &a->sin6_addr) != 1) return -1;
        len = sizeof *a;
        fam = AF_INET6;
    } else {
        auto *a = (sockaddr_in *)&ss;
        a->sin_family = AF_INET;
        a->sin_port = htons((uint16_t)port);
        if (inet_pton(AF_INET, addr, &a->sin_addr) != 1) return -1;
        len = sizeof *a;
        fam = AF_INET;
    }
    int fd = socket(fam, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (source) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &src.sin_addr) != 1 || bind(fd, (sockaddr *)&src, sizeof src) != 0) {
            close(fd);
            return -1;
        }
    }
    timeval tv{5, 0};  // no read in these tests may hang
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, (sockaddr *)&ss, len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Polls pred every 10 ms for at most limit_ms; returns its last value.
template <class F>
bool wait_until(F pred, int limit_ms = 10000)
{
    for (int waited = 0; waited < limit_ms; waited += 10) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// One frame holding n compounded ECHO requests (with its 4-byte prefix).
inline std::vector<uint8_t> echo_frame(int n, uint64_t first_mid = 0)
{
    std::vector<uint8_t> f(4);
    for (int i = 0; i < n; i++) {
        size_t at = f.size();
        f.resize(at + (i + 1 < n ? 72 : 68), 0);
        uint8_t *h = &f[at];
        h[0] = 0xfe, h[1] = 'S', h[2] = 'M', h[3] = 'B';
        h[4] = 64;
        h[12] = 13;                 // ECHO
        h[14] = 1;                  // one credit
        if (i + 1 < n) h[20] = 72;  // NextCommand
        uint64_t mid = first_mid + (uint64_t)i;
        memcpy(h + 24, &mid, 8);  // little-endian host
        h[64] = 4;                // StructureSize of the body
    }
    uint32_t body = (uint32_t)(f.size() - 4);
    f[1] = (uint8_t)(body >> 16), f[2] = (uint8_t)(body >> 8), f[3] = (uint8_t)body;
    return f;
}

inline bool send_all(int fd, const std::vector<uint8_t> &b)
{
    size_t off = 0;
    while (off < b.size()) {
        ssize_t r = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (r <= 0) return false;
        off += (size_t)r;
    }
    return true;
}

inline bool recv_exact(int fd, uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

// Reads one reply frame body; empty on failure or end of stream.
inline std::vector<uint8_t> recv_frame(int fd)
{
    uint8_t pre[4];
    if (!recv_exact(fd, pre, 4)) return {};
    size_t n = ((size_t)pre[1] << 16) | ((size_t)pre[2] << 8) | pre[3];
    std::vector<uint8_t> b(n);
    if (n && !recv_exact(fd, b.data(), n)) return {};
    return b;
}

// A NEGOTIATE frame (prefix included) offering 2.0.2 with the given
// SecurityMode.
inline std::vector<uint8_t> negotiate_frame(uint16_t secmode = 1)
{
    std::vector<uint8_t> f(4 + 64 + 38, 0);
    uint8_t *h = &f[4];
    h[0] = 0xfe, h[1] = 'S', h[2] = 'M', h[3] = 'B';
    h[4] = 64;
    h[14] = 1;  // one credit; Command 0 is NEGOTIATE
    uint8_t *b = h + 64;
    b[0] = 36;  // StructureSize
    b[2] = 1;   // DialectCount
    b[4] = (uint8_t)secmode;
    b[36] = 0x02, b[37] = 0x02;
    f[3] = (uint8_t)(f.size() - 4);
    return f;
}

// True when NEGOTIATE, the first thing a connection must send, succeeds.
inline bool negotiate_ok(int fd)
{
    if (!send_all(fd, negotiate_frame())) return false;
    std::vector<uint8_t> r = recv_frame(fd);
    return r.size() >= 64 && r[0] == 0xfe && r[12] == 0 && r[8] == 0 && r[9] == 0 && r[10] == 0 && r[11] == 0;
}

// True when the connection negotiates and then has a single ECHO answered
// with a successful ECHO response. Once per connection.
inline bool echo_ok(int fd)
{
    if (!negotiate_ok(fd) || !send_all(fd, echo_frame(1, 7))) return false;
    std::vector<uint8_t> r = recv_frame(fd);
    return r.size() >= 68 && r[0] == 0xfe && r[12] == 13 && r[8] == 0 && r[9] == 0 && r[10] == 0 && r[11] == 0;
}

// True when the server closed the connection without sending anything.
inline bool closed_without_data(int fd)
{
    uint8_t b;
    ssize_t r = recv(fd, &b, 1, 0);
    return r == 0 || (r < 0 && errno == ECONNRESET);
}

}  // namespace nettest
