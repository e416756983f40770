// The TCP server: one listening socket, an accept thread that polls it, and
// one thread per accepted connection running the connection loop.
#include "vlsmb2s.h"

#include "cfg/cfg.h"
#include "net/net.h"
#include "net/sockio.h"
#include "net/state.h"
#include "sess/sess.h"
#include "util/util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

// One accepted connection; listed in the network state record's conns.
struct vl2_conn {
    vl2_net_sock s;  // io.ctx points here; fd -1 once closed
    vl2_io io;
    vl2_ip peer;
    pthread_t thread;
    int done;  // under the network state lock
    vl2_conn *next;
};

namespace {

// Holds the network state record's lock for a few field accesses; never
// across a blocking call, never together with the configuration lock.
struct net_hold {
    vl2_netstate *g;
    net_hold() : g(vl2_net_acquire()) {}
    ~net_hold() { vl2_net_release(); }
    net_hold(const net_hold &) = delete;
    net_hold &operator=(const net_hold &) = delete;
};

void nodelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int set_nonblocking(int fd)
{
    int fl = fcntl(fd, F_GETFL, 0);
    return fl < 0 ? -1 : fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// One trim at a time: glibc sets its allocator up on the first trim when
// nothing else in the process uses it (a sanitizer's or a host's own
// allocator), and two threads doing that at once crash inside it.
pthread_mutex_t g_trim_lock = PTHREAD_MUTEX_INITIALIZER;

void *conn_main(void *arg)
{
    vl2_conn *c = (vl2_conn *)arg;
    vl2_sess_run(&c->io, &c->peer, 0);
    shutdown(c->s.fd, SHUT_RDWR);
    close(c->s.fd);
    c->s.fd = -1;
    // A reader's megabyte buffers go back to this thread's malloc arena,
    // which keeps them; hand them back to the system so that an idle server
    // does not stay at its busiest size. After the close: the client need
    // not wait for it.
    // A trim under way (or the next connection's) gives these buffers back
    // too, so a connection never queues behind another's: when many end
    // together, waiting here kept their client slots taken long enough to
    // refuse new clients.
    if (pthread_mutex_trylock(&g_trim_lock) == 0) {
        malloc_trim(0);
        pthread_mutex_unlock(&g_trim_lock);
    }
    net_hold h;
    h.g->nclients--;
    c->done = 1;
    return nullptr;
}

// Unlinks finished records (every record when all is set) and joins their
// threads outside the lock.
void reap(bool all)
{
    vl2_conn *gone = nullptr;
    {
        net_hold h;
        vl2_conn **pp = &h.g->conns;
        while (*pp) {
            vl2_conn *c = *pp;
            if (all || c->done) {
                *pp = c->next;
                c->next = gone;
                gone = c;
            } else {
                pp = &c->next;
            }
        }
    }
    while (gone) {
        vl2_conn *c = gone;
        gone = c->next;
        pthread_join(c->thread, nullptr);
        free(c);
    }
}

// A descriptor held in reserve for the accept thread: when the process runs
// out, it is given up for a moment to take the pending connection off the
// queue and close it, instead of polling that connection again and again.
// Opened by a start before the accept thread exists, closed by the stop
// after it has ended; only that thread touches it in between.
int g_spare_fd = -1;

void spare_open(void)
{
    if (g_spare_fd < 0) g_spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void spare_close(void)
{
    if (g_spare_fd >= 0) close(g_spare_fd);
    g_spare_fd = -1;
}

// Out of descriptors: shed one pending connection with the spare, if any.
void shed_one(int lfd)
{
    if (g_spare_fd < 0) return;
    spare_close();
    int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        vl2_stat_add(VL2_ST_REFUSED_FULL, 1);
        close(fd);
    }
    spare_open();
}

// Connections from this peer that are still being served.
int peer_clients(vl2_netstate *g, const vl2_ip *peer)
{
    int n = 0;
    for (vl2_conn *c = g->conns; c; c = c->next)
        if (!c->done && vl2_ip_equal(&c->peer, peer)) n++;
    return n;
}

// 0, or -1 when accept failed for want of descriptors.
int accept_one(int lfd)
{
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    int fd = accept4(lfd, (struct sockaddr *)&ss, &len, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EMFILE && errno != ENFILE) return 0;
        shed_one(lfd);
        return -1;
    }
    nodelay(fd);
    vl2_ip peer;
    if (vl2_net_sa_to_ip((const struct sockaddr *)&ss, &peer, nullptr) != 0) {
        close(fd);
        return 0;
    }
    vl2_opts o;
    vl2_opts_get(&o);
    int n, same;
    {
        net_hold h;
        n = h.g->nclients;
        same = o.max_clients_per_ip ? peer_clients(h.g, &peer) : 0;
    }
    if (n >= o.max_clients || (o.max_clients_per_ip && same >= o.max_clients_per_ip)) {
        vl2_stat_add(VL2_ST_REFUSED_FULL, 1);
        char text[64];
        vl2_ip_format(&peer, text, sizeof text);
        vl2_log_event(VL2_LOG_CONNECTIONS, 4, "connection refused", text, nullptr, nullptr, nullptr, -1, "server full");
        close(fd);
        return 0;
    }
    vl2_conn *c = nullptr;
    if (set_nonblocking(fd) != 0 || !(c = (vl2_conn *)calloc(1, sizeof *c))) {
        close(fd);
        return 0;
    }
    c->s.fd = fd;
    c->s.io_timeout_ms = o.io_timeout_ms;
    c->io.ctx = &c->s;
    c->io.write = vl2_net_write;
    c->io.read = vl2_net_read;
    c->io.writev2 = vl2_net_writev2;
    c->io.stopping = vl2_net_stopping;
    c->peer = peer;
    {
        net_hold h;
        c->next = h.g->conns;
        h.g->conns = c;
        h.g->nclients++;
    }
    if (vl2_thread_start(&c->thread, conn_main, c) != 0) {
        // Only this thread adds or unlinks records while running, so the
        // record is still the list head.
        {
            net_hold h;
            h.g->nclients--;
            h.g->conns = c->next;
        }
        close(fd);
        free(c);
    }
    return 0;
}

void *acceptor_main(void *)
{
    // Milliseconds to wait before the next accept while out of descriptors:
    // doubled from 50 up to 1 s, and back to 0 once an accept succeeds.
    int backoff = 0;
    for (;;) {
        int lfd;
        {
            net_hold h;
            if (h.g->stopping) break;
            lfd = h.g->sock;
        }
        struct pollfd p = {lfd, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r > 0) {
            reap(false);
            if (accept_one(lfd) == 0) {
                backoff = 0;
                continue;
            }
            backoff = backoff ? (backoff * 2 > 1000 ? 1000 : backoff * 2) : 50;
            // Finished connections give their descriptors back meanwhile.
            for (int waited = 0; waited < backoff && !vl2_server_stopping(); waited += 50) {
                poll(nullptr, 0, 50);
                reap(false);
            }
            if (g_spare_fd < 0) spare_open();
        } else if (r == 0 || errno != EINTR) {
            reap(false);
        }
    }
    return nullptr;
}

// Closes fd, returns the listener to stopped, and reports the socket error.
int bind_failed(int fd)
{
    int e = errno;
    if (fd >= 0) close(fd);
    {
        net_hold h;
        h.g->running = 0;
    }
    const char *text = strerror(e);
    return vl2_fail(-5, "start: bind failed (%d): %.100s", e, text ? text : "");
}

int open_listener(const char *bind_text, const vl2_ip *ip, int port, int *bound)
{
    struct sockaddr_storage ss;
    memset(&ss, 0, sizeof ss);
    socklen_t len;
    bool v6 = strchr(bind_text, ':') != nullptr;
    if (v6) {
        struct sockaddr_in6 *a = (struct sockaddr_in6 *)&ss;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons((uint16_t)port);
        if (ip->family == 4) {
            a->sin6_addr.s6_addr[10] = 0xff;
            a->sin6_addr.s6_addr[11] = 0xff;
            memcpy(a->sin6_addr.s6_addr + 12, ip->addr, 4);
        } else {
            memcpy(a->sin6_addr.s6_addr, ip->addr, 16);
        }
        len = sizeof *a;
    } else {
        struct sockaddr_in *a = (struct sockaddr_in *)&ss;
        a->sin_family = AF_INET;
        a->sin_port = htons((uint16_t)port);
        memcpy(&a->sin_addr, ip->addr, 4);
        len = sizeof *a;
    }
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return bind_failed(-1);
    // On Linux SO_REUSEADDR still refuses a second listener on the same
    // address and port, yet lets a restart bind over lingering connections.
    int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(fd, (struct sockaddr *)&ss, len) != 0 || listen(fd, 64) != 0 || set_nonblocking(fd) != 0)
        return bind_failed(fd);
    len = sizeof ss;
    if (getsockname(fd, (struct sockaddr *)&ss, &len) != 0) return bind_failed(fd);
    *bound = ss.ss_family == AF_INET6 ? ntohs(((struct sockaddr_in6 *)&ss)->sin6_port)
                                      : ntohs(((struct sockaddr_in *)&ss)->sin_port);
    nodelay(fd);
    return fd;
}

}  // namespace

int vlsmb2s_start(const char *bind_text, int port, const char *server_name)
{
    if (!bind_text || !*bind_text) bind_text = "127.0.0.1";
    vl2_ip ip;
    if (vl2_ip_parse(bind_text, &ip) != 0) return vl2_fail(-1, "start: %.64s is not an IP address", bind_text);
    if ((unsigned)port > 65535u) return vl2_fail(-1, "start: port out of range");
    if (server_name) {
        size_t n = strlen(server_name);
        if (n < 1 || n > 63) return vl2_fail(-1, "start: server_name 1..63 bytes");
        for (size_t i = 0; i < n; i++) {
            unsigned char ch = (unsigned char)server_name[i];
            if (ch < 0x20 || ch > 0x7e) return vl2_fail(-1, "start: server_name printable ASCII only");
        }
        if (vlsmb2s_set_option("server_name", server_name) != 0) return -1;
    }
    int busy_port;
    {
        net_hold h;
        busy_port = h.g->running ? h.g->port : -1;
        if (!h.g->running) h.g->running = 1;
    }
    if (busy_port >= 0) return vl2_fail(-4, "start: already running on port %d", busy_port);
    int bound = 0;
    int fd = open_listener(bind_text, &ip, port, &bound);
    if (fd < 0) return fd;
    {
        net_hold h;
        h.g->sock = fd;
        h.g->port = bound;
        h.g->stopping = 0;
    }
    spare_open();
    pthread_t t;
    if (vl2_thread_start(&t, acceptor_main, nullptr) != 0) {
        spare_close();
        close(fd);
        net_hold h;
        h.g->sock = -1;
        h.g->port = 0;
        h.g->running = 0;
        return vl2_fail(-5, "start: cannot start the accept thread");
    }
    net_hold h;
    h.g->acceptor = t;
    h.g->started = 1;
    return 0;
}

void vlsmb2s_stop(void)
{
    pthread_t acceptor;
    {
        net_hold h;
        // A stop while a start is still setting up finds nothing to stop.
        if (!h.g->running || !h.g->started || h.g->stopping) return;
        h.g->stopping = 1;
        acceptor = h.g->acceptor;
    }
    pthread_join(acceptor, nullptr);
    spare_close();
    reap(true);
    net_hold h;
    close(h.g->sock);
    h.g->sock = -1;
    h.g->port = 0;
    h.g->running = 0;
    h.g->stopping = 0;
    h.g->started = 0;
}

int vlsmb2s_port(void)
{
    net_hold h;
    return h.g->running ? h.g->port : 0;
}

int vlsmb2s_client_count(void)
{
    net_hold h;
    return h.g->nclients;
}
