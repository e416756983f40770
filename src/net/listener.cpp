// The TCP server: one listening socket, an accept thread that polls it, and
// one thread per accepted connection running the connection loop.
#include "vlsmb2s.h"

#include "cfg/cfg.h"
#include "net/net.h"
#include "net/sockio.h"
#include "sess/sess.h"
#include "util/util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct vl2_conn {
    vl2_net_sock s; // io.ctx points here; fd -1 once closed
    vl2_io io;
    vl2_ip peer;
    pthread_t thread;
    int done; // under net_lock
    vl2_conn *next;
};

// The listener's part of the network state. Its lock is held only for a
// few field accesses, never across a blocking call and never together with
// the configuration lock or the run-state lock.
struct net_state {
    pthread_mutex_t lock;
    int running;  // from a start past its argument tests until stopped
    int stopping; // mirrors the run-state flag for start/stop decisions
    int started;  // the accept thread exists; before that a stop has nothing to stop
    int sock;
    int port;
    pthread_t acceptor;
    vl2_conn *conns; // newest first
    int nclients;    // connections whose loop has not finished
};

net_state g_net = {PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, -1, 0, {}, nullptr, 0};

struct net_hold {
    net_hold() { pthread_mutex_lock(&g_net.lock); }
    ~net_hold() { pthread_mutex_unlock(&g_net.lock); }
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

void *conn_main(void *arg)
{
    vl2_conn *c = (vl2_conn *)arg;
    vl2_sess_run(&c->io, &c->peer, 0);
    shutdown(c->s.fd, SHUT_RDWR);
    close(c->s.fd);
    c->s.fd = -1;
    net_hold h;
    g_net.nclients--;
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
        vl2_conn **pp = &g_net.conns;
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

void accept_one(int lfd)
{
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    int fd = accept4(lfd, (struct sockaddr *)&ss, &len, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    nodelay(fd);
    vl2_ip peer;
    if (vl2_net_sa_to_ip((const struct sockaddr *)&ss, &peer, nullptr) != 0) {
        close(fd);
        return;
    }
    vl2_opts o;
    vl2_opts_get(&o);
    int n;
    {
        net_hold h;
        n = g_net.nclients;
    }
    if (n >= o.max_clients) {
        vl2_stat_add(VL2_ST_REFUSED_FULL, 1);
        close(fd);
        return;
    }
    vl2_conn *c = nullptr;
    if (set_nonblocking(fd) != 0 || !(c = (vl2_conn *)calloc(1, sizeof *c))) {
        close(fd);
        return;
    }
    c->s.fd = fd;
    c->s.io_timeout_ms = o.io_timeout_ms;
    c->io.ctx = &c->s;
    c->io.write = vl2_net_write;
    c->io.read = vl2_net_read;
    c->io.writev2 = vl2_net_writev2;
    c->peer = peer;
    {
        net_hold h;
        c->next = g_net.conns;
        g_net.conns = c;
        g_net.nclients++;
    }
    if (vl2_thread_start(&c->thread, conn_main, c) != 0) {
        // Only this thread adds or unlinks records while running, so the
        // record is still the list head.
        {
            net_hold h;
            g_net.nclients--;
            g_net.conns = c->next;
        }
        close(fd);
        free(c);
    }
}

void *acceptor_main(void *)
{
    for (;;) {
        int lfd;
        {
            net_hold h;
            if (g_net.stopping)
                break;
            lfd = g_net.sock;
        }
        struct pollfd p = {lfd, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r > 0) {
            reap(false);
            accept_one(lfd);
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
    if (fd >= 0)
        close(fd);
    {
        net_hold h;
        g_net.running = 0;
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
    if (fd < 0)
        return bind_failed(-1);
    // On Linux SO_REUSEADDR still refuses a second listener on the same
    // address and port, yet lets a restart bind over lingering connections.
    int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (v6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(fd, (struct sockaddr *)&ss, len) != 0 || listen(fd, 64) != 0 || set_nonblocking(fd) != 0)
        return bind_failed(fd);
    len = sizeof ss;
    if (getsockname(fd, (struct sockaddr *)&ss, &len) != 0)
        return bind_failed(fd);
    *bound = ss.ss_family == AF_INET6 ? ntohs(((struct sockaddr_in6 *)&ss)->sin6_port)
                                      : ntohs(((struct sockaddr_in *)&ss)->sin_port);
    nodelay(fd);
    return fd;
}

} // namespace

int vlsmb2s_start(const char *bind_text, int port, const char *server_name)
{
    if (!bind_text || !*bind_text)
        bind_text = "127.0.0.1";
    vl2_ip ip;
    if (vl2_ip_parse(bind_text, &ip) != 0)
        return vl2_fail(-1, "start: %.64s is not an IP address", bind_text);
    if ((unsigned)port > 65535u)
        return vl2_fail(-1, "start: port out of range");
    if (server_name) {
        size_t n = strlen(server_name);
        if (n < 1 || n > 63)
            return vl2_fail(-1, "start: server_name 1..63 bytes");
        for (size_t i = 0; i < n; i++) {
            unsigned char ch = (unsigned char)server_name[i];
            if (ch < 0x20 || ch > 0x7e)
                return vl2_fail(-1, "start: server_name printable ASCII only");
        }
        if (vlsmb2s_set_option("server_name", server_name) != 0)
            return -1;
    }
    {
        net_hold h;
        if (g_net.running)
            return vl2_fail(-4, "start: already running on port %d", g_net.port);
        g_net.running = 1;
    }
    int bound = 0;
    int fd = open_listener(bind_text, &ip, port, &bound);
    if (fd < 0)
        return fd;
    {
        net_hold h;
        g_net.sock = fd;
        g_net.port = bound;
        g_net.stopping = 0;
    }
    vl2_set_stopping(0);
    pthread_t t;
    if (vl2_thread_start(&t, acceptor_main, nullptr) != 0) {
        close(fd);
        net_hold h;
        g_net.sock = -1;
        g_net.port = 0;
        g_net.running = 0;
        return vl2_fail(-5, "start: cannot start the accept thread");
    }
    net_hold h;
    g_net.acceptor = t;
    g_net.started = 1;
    return 0;
}

void vlsmb2s_stop(void)
{
    pthread_t acceptor;
    {
        net_hold h;
        // A stop while a start is still setting up finds nothing to stop.
        if (!g_net.running || !g_net.started || g_net.stopping)
            return;
        g_net.stopping = 1;
        acceptor = g_net.acceptor;
    }
    vl2_set_stopping(1);
    pthread_join(acceptor, nullptr);
    reap(true);
    vl2_set_stopping(0);
    net_hold h;
    close(g_net.sock);
    g_net.sock = -1;
    g_net.port = 0;
    g_net.running = 0;
    g_net.stopping = 0;
    g_net.started = 0;
}

int vlsmb2s_port(void)
{
    net_hold h;
    return g_net.running ? g_net.port : 0;
}

int vlsmb2s_client_count(void)
{
    net_hold h;
    return g_net.nclients;
}
