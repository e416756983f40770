// Socket transport of the connection loop: bounded reads and writes on a
// non-blocking socket, and socket address conversion.
#include "net/sockio.h"

#include "net/net.h"
#include "util/util.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace {

bool blocked(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

// Sends every byte of iov[0..n). Each blocked send waits at most 100 ms for
// room, so a stop or a stalled peer is noticed promptly.
int send_all(vl2_net_sock *s, struct iovec *iov, int n)
{
    uint64_t progress = vl2_now_ms();
    while (n > 0) {
        if (iov->iov_len == 0) {
            iov++;
            n--;
            continue;
        }
        struct msghdr m;
        memset(&m, 0, sizeof m);
        m.msg_iov = iov;
        m.msg_iovlen = (size_t)n;
        // MSG_NOSIGNAL: a vanished client must not raise SIGPIPE.
        ssize_t r = sendmsg(s->fd, &m, MSG_NOSIGNAL);
        if (r > 0) {
            size_t left = (size_t)r;
            while (left > 0) {
                size_t take = left < iov->iov_len ? left : iov->iov_len;
                iov->iov_base = (uint8_t *)iov->iov_base + take;
                iov->iov_len -= take;
                left -= take;
                if (iov->iov_len == 0) {
                    iov++;
                    n--;
                }
            }
            progress = vl2_now_ms();
            continue;
        }
        if (r == 0 || !blocked(errno)) return -1;
        struct pollfd p = {s->fd, POLLOUT, 0};
        int pr;
        do pr = poll(&p, 1, 100);
        while (pr < 0 && errno == EINTR);
        if (pr < 0) return -1;
        // A peer that stopped reading must not hold this thread (and with
        // it a server stop) forever.
        if (vl2_server_stopping()) return -1;
        if (s->io_timeout_ms > 0 && vl2_now_ms() - progress >= (uint64_t)s->io_timeout_ms) return -1;
    }
    return 0;
}

}  // namespace

int vl2_net_read(void *ctx, uint8_t *buf, int32_t count, int timeout_ms)
{
    vl2_net_sock *s = (vl2_net_sock *)ctx;
    if (count <= 0) return -1;
    for (;;) {
        ssize_t r = recv(s->fd, buf, (size_t)count, 0);
        if (r >= 0) return (int)r;
        if (!blocked(errno)) return -1;
        struct pollfd p = {s->fd, POLLIN, 0};
        int pr;
        do pr = poll(&p, 1, timeout_ms);
        while (pr < 0 && errno == EINTR);
        if (pr == 0) return -2;
        // Ready, or a poll error: the next receive reports what happened.
    }
}

int vl2_net_stopping(void *) { return vl2_server_stopping(); }

int vl2_net_write(void *ctx, const uint8_t *bytes, int32_t count)
{
    if (count <= 0) return 0;
    struct iovec v = {(void *)bytes, (size_t)count};
    return send_all((vl2_net_sock *)ctx, &v, 1);
}

int vl2_net_writev2(void *ctx, const uint8_t *a, int32_t na, const uint8_t *b, int32_t nb)
{
    struct iovec v[2] = {{(void *)a, na > 0 ? (size_t)na : 0}, {(void *)b, nb > 0 ? (size_t)nb : 0}};
    return send_all((vl2_net_sock *)ctx, v, 2);
}

int vl2_net_sa_to_ip(const struct sockaddr *sa, vl2_ip *out, int *port)
{
    memset(out, 0, sizeof *out);
    if (sa->sa_family == AF_INET) {
        const struct sockaddr_in *a = (const struct sockaddr_in *)sa;
        out->family = 4;
        memcpy(out->addr, &a->sin_addr, 4);
        if (port) *port = ntohs(a->sin_port);
        return 0;
    }
    if (sa->sa_family == AF_INET6) {
        const struct sockaddr_in6 *a = (const struct sockaddr_in6 *)sa;
        const uint8_t *b = a->sin6_addr.s6_addr;
        static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (memcmp(b, mapped, 12) == 0) {
            out->family = 4;
            memcpy(out->addr, b + 12, 4);
        } else {
            out->family = 6;
            memcpy(out->addr, b, 16);
        }
        if (port) *port = ntohs(a->sin6_port);
        return 0;
    }
    return -1;
}
