// The socket transport on its own, over socket pairs and real sockets.
#include "net/net.h"
#include "net/sockio.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Pair {
    int a = -1, b = -1;  // a is the transport's end (non-blocking)
    Pair()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            a = sv[0], b = sv[1];
            fcntl(a, F_SETFL, fcntl(a, F_GETFL) | O_NONBLOCK);
            int small = 4096;
            setsockopt(a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        }
    }
    ~Pair()
    {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
};

TEST(SockIo, ReadReportsDataTimeoutAndClose)
{
    Pair p;
    ASSERT_GE(p.a, 0);
    vl2_net_sock s{p.a, 1000};
    uint8_t buf[8];
    EXPECT_EQ(-2, vl2_net_read(&s, buf, 8, 10));
    ASSERT_EQ(3, write(p.b, "abc", 3));
    EXPECT_EQ(3, vl2_net_read(&s, buf, 8, 10));
    EXPECT_EQ(0, memcmp(buf, "abc", 3));
    close(p.b);
    p.b = -1;
    EXPECT_EQ(0, vl2_net_read(&s, buf, 8, 10));
    vl2_net_sock bad{-1, 1000};
    EXPECT_EQ(-1, vl2_net_read(&bad, buf, 8, 10));
}

TEST(SockIo, Writev2SendsBothPartsInOrder)
{
    Pair p;
    ASSERT_GE(p.a, 0);
    vl2_net_sock s{p.a, 1000};
    const uint8_t pre[4] = {0, 0, 0, 5};
    EXPECT_EQ(0, vl2_net_writev2(&s, pre, 4, (const uint8_t *)"hello", 5));
    EXPECT_EQ(0, vl2_net_write(&s, (const uint8_t *)"!", 1));
    EXPECT_EQ(0, vl2_net_write(&s, nullptr, 0));
    char got[16] = {};
    ASSERT_EQ(10, read(p.b, got, sizeof got));
    EXPECT_EQ(0, memcmp(got, "\0\0\0\5hello!", 10));
}

TEST(SockIo, LargeWriteCompletesWhileThePeerReads)
{
    Pair p;
    ASSERT_GE(p.a, 0);
    vl2_net_sock s{p.a, 5000};
    std::vector<uint8_t> big(1 << 20);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 7);
    std::vector<uint8_t> got;
    std::thread reader([&] {
        uint8_t b[4096];
        ssize_t r;
        while (got.size() < big.size() + 3 && (r = read(p.b, b, sizeof b)) > 0) got.insert(got.end(), b, b + r);
    });
    EXPECT_EQ(0, vl2_net_writev2(&s, (const uint8_t *)"pre", 3, big.data(), (int32_t)big.size()));
    reader.join();
    ASSERT_EQ(big.size() + 3, got.size());
    EXPECT_EQ(0, memcmp(got.data(), "pre", 3));
    EXPECT_TRUE(std::equal(big.begin(), big.end(), got.begin() + 3));
}

TEST(SockIo, WriteToAPeerThatNeverReadsFailsAfterTheIoTimeout)
{
    Pair p;
    ASSERT_GE(p.a, 0);
    vl2_net_sock s{p.a, 100};
    std::vector<uint8_t> big(8 << 20);
    EXPECT_EQ(-1, vl2_net_write(&s, big.data(), (int32_t)big.size()));
}

TEST(SockIo, BlockedWriteGivesUpWhenTheServerStops)
{
    Pair p;
    ASSERT_GE(p.a, 0);
    vl2_net_sock s{p.a, 3600000};
    std::vector<uint8_t> big(8 << 20);
    vl2_set_stopping(1);
    int rc = vl2_net_write(&s, big.data(), (int32_t)big.size());
    vl2_set_stopping(0);
    EXPECT_EQ(-1, rc);
}

TEST(SockIo, WriteToAClosedPeerFailsWithoutSignal)
{
    Pair p;
    ASSERT_GE(p.a, 0);
    close(p.b);
    p.b = -1;
    vl2_net_sock s{p.a, 1000};
    EXPECT_EQ(-1, vl2_net_write(&s, (const uint8_t *)"x", 1));  // no SIGPIPE
}

TEST(SockIo, SocketAddressConversion)
{
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(445);
    inet_pton(AF_INET, "192.0.2.7", &v4.sin_addr);
    vl2_ip ip;
    int port = 0;
    ASSERT_EQ(0, vl2_net_sa_to_ip((sockaddr *)&v4, &ip, &port));
    EXPECT_EQ(4, ip.family);
    EXPECT_EQ(445, port);
    EXPECT_EQ(0, memcmp(ip.addr, "\xc0\x00\x02\x07", 4));

    struct {
        const char *text;
        int family;
        const char *bytes;
        size_t n;
    } v6cases[] = {
        {"::ffff:10.1.2.3", 4, "\x0a\x01\x02\x03", 4},
        {"2001:db8::1", 6, "\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x01", 16},
        {"::1", 6, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x01", 16},
        {"::fffe:10.1.2.3", 6, "\0\0\0\0\0\0\0\0\0\0\xff\xfe\x0a\x01\x02\x03", 16},
    };
    for (auto &c : v6cases) {
        SCOPED_TRACE(c.text);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(4450);
        ASSERT_EQ(1, inet_pton(AF_INET6, c.text, &a.sin6_addr));
        ASSERT_EQ(0, vl2_net_sa_to_ip((sockaddr *)&a, &ip, nullptr));
        EXPECT_EQ(c.family, ip.family);
        EXPECT_EQ(0, memcmp(ip.addr, c.bytes, c.n));
        for (size_t i = c.n; i < 16; i++) EXPECT_EQ(0, ip.addr[i]);
    }
    sockaddr un{};
    un.sa_family = AF_UNIX;
    EXPECT_EQ(-1, vl2_net_sa_to_ip(&un, &ip, nullptr));
}

TEST(SockIo, DualStackSocketSeesAnIpv4ClientAsIpv4)
{
    int l = socket(AF_INET6, SOCK_STREAM, 0);
    if (l < 0) GTEST_SKIP() << "no IPv6";
    int zero = 0;
    setsockopt(l, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    ASSERT_EQ(0, bind(l, (sockaddr *)&a, sizeof a));
    ASSERT_EQ(0, listen(l, 4));
    socklen_t len = sizeof a;
    getsockname(l, (sockaddr *)&a, &len);
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = a.sin6_port;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(c, (sockaddr *)&to, sizeof to));
    sockaddr_storage peer;
    len = sizeof peer;
    int s = accept(l, (sockaddr *)&peer, &len);
    ASSERT_GE(s, 0);
    EXPECT_EQ(AF_INET6, peer.ss_family);
    vl2_ip ip;
    ASSERT_EQ(0, vl2_net_sa_to_ip((sockaddr *)&peer, &ip, nullptr));
    EXPECT_EQ(4, ip.family);
    EXPECT_EQ(0, memcmp(ip.addr, "\x7f\0\0\x01", 4));
    close(s);
    close(c);
    close(l);
}

}  // namespace
