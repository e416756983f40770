// Hostile peers over loopback that try to use up what other clients need:
// password guesses from many connections, idle connections that never log
// on, every client slot from one address, listing memory, descriptors.
#include "smb2_client.h"

#include "../sess/logon_util.h"

#include "vlsmb2s.h"

#include "cfg/cfg.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {
using h::bytes;
using clk = std::chrono::steady_clock;

class Abuse : public ::testing::Test {
protected:
    tmptree tree;
    int port = 0;

    void SetUp() override { vl2_cfg_reset_for_tests(); }
    void TearDown() override
    {
        vlsmb2s_stop();
        vl2_cfg_reset_for_tests();
    }
    void start()
    {
        ASSERT_EQ(0, vlsmb2s_start(nullptr, 0, nullptr)) << vlsmb2s_last_error();
        port = vlsmb2s_port();
    }
};

// One NTLM logon attempt on c (NEGOTIATE first when fresh); its status.
uint32_t ntlm_logon(sc::client &c, const std::string &user, const std::string &pass, bool fresh)
{
    static const bytes type1 = lg::py_negotiate(false);
    if (fresh) c.call(lg::negotiate({0x0202}));
    bytes r = c.call(lg::setup(c.mid++, 0, type1));
    if (c.broken || c.last != lg::MORE) return c.last;
    uint64_t sid = h::le64(r, 40);
    c.call(lg::setup(c.mid++, sid, lg::py_auth(false, lg::setup_token(r), user, pass).first));
    return c.last;
}

// Guesses are counted per address across connections: reconnecting does not
// reset them, the right password is refused while the address is blocked,
// and another address logs on all the while.
TEST_F(Abuse, PasswordGuessesAreThrottledPerAddressAcrossConnections)
{
    ASSERT_EQ(0, vlsmb2s_add_user("alice", "Secret-1"));
    ASSERT_EQ(0, vlsmb2s_set_option("max_login_failures", "3"));
    start();
    int guesses = 0;
    for (int conn = 0; conn < 2; conn++) {
        sc::client c;
        ASSERT_TRUE(c.connect(port, 0, "127.0.0.2"));
        for (int k = 0; k < 3 && guesses < 5; k++, guesses++)
            EXPECT_EQ(lg::LOGON_FAILURE, ntlm_logon(c, "alice", "guess" + std::to_string(guesses), k == 0));
    }
    sc::client late;
    ASSERT_TRUE(late.connect(port, 0, "127.0.0.2"));
    EXPECT_EQ(lg::LOGON_FAILURE, ntlm_logon(late, "alice", "Secret-1", true)) << "blocked after five guesses";
    sc::client other;
    ASSERT_TRUE(other.connect(port, 0, "127.0.0.3"));
    EXPECT_EQ(lg::SUCCESS, ntlm_logon(other, "alice", "Secret-1", true)) << "another address is not affected";
}

// A peer that negotiates and then sends only keep-alives is closed once the
// logon time runs out; a logged-on client with the same keep-alives is not.
TEST_F(Abuse, LogonTimeoutIsNotExtendedByKeepAlives)
{
    ASSERT_EQ(0, vlsmb2s_set_option("guest", "on"));
    ASSERT_EQ(0, vlsmb2s_set_option("logon_timeout_ms", "300"));
    start();
    int idle = nettest::connect_to("127.0.0.1", port);
    ASSERT_GE(idle, 0);
    ASSERT_TRUE(nettest::negotiate_ok(idle));
    sc::client user;
    ASSERT_TRUE(user.connect(port) && user.logon());
    const bytes keep_alive = {0, 0, 0, 0};
    auto t0 = clk::now();
    bool user_ok = true;
    while (clk::now() - t0 < std::chrono::milliseconds(900)) {
        nettest::send_all(idle, keep_alive);
        user_ok = user_ok && nettest::send_all(user.fd, keep_alive);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(nettest::closed_without_data(idle));
    close(idle);
    EXPECT_TRUE(user_ok && user.echo()) << "a logged-on client stays";
    EXPECT_GE(vl2_stat_get(VL2_ST_TIMEOUTS), 1);
}

TEST_F(Abuse, ClientsPerAddressAreCapped)
{
    ASSERT_EQ(0, vlsmb2s_set_option("max_clients_per_ip", "2"));
    start();
    std::vector<int> fds;
    for (const char *src : {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.2"})
        fds.push_back(nettest::connect_to("127.0.0.1", port, 0, src));
    for (int fd : fds) ASSERT_GE(fd, 0);
    EXPECT_TRUE(nettest::echo_ok(fds[0]));
    EXPECT_TRUE(nettest::echo_ok(fds[1]));
    EXPECT_TRUE(nettest::closed_without_data(fds[2])) << "a third from the same address";
    EXPECT_TRUE(nettest::echo_ok(fds[3])) << "another address";
    EXPECT_EQ(1, vl2_stat_get(VL2_ST_REFUSED_FULL));
    for (int fd : fds) close(fd);
}

// Snapshots held by one connection count against every other: past the
// server-wide budget a listing is refused until the holder lets go.
TEST_F(Abuse, ListingBudgetIsServerWide)
{
    ASSERT_TRUE(tree.dir("d"));
    for (int i = 0; i < 500; i++) ASSERT_TRUE(tree.file("d/entry-" + std::to_string(i)));
    ASSERT_EQ(0, vlsmb2s_add_share("pub", tree.at("d").c_str()));
    ASSERT_EQ(0, vlsmb2s_set_option("guest", "on"));
    ASSERT_EQ(0, vlsmb2s_set_option("max_listing_bytes", "65536"));  // room for one listing of 500
    start();
    sc::client a, b;
    ASSERT_TRUE(a.connect(port) && a.logon() && a.tree_connect("pub"));
    ASSERT_TRUE(b.connect(port) && b.logon() && b.tree_connect("pub"));
    uint64_t fa = a.create(""), fb = b.create("");
    ASSERT_TRUE(fa && fb);
    std::vector<std::string> names;
    ASSERT_TRUE(a.list(fa, &names));
    EXPECT_EQ(500u, names.size());
    EXPECT_FALSE(b.list(fb, &names));
    EXPECT_EQ(lg::DENIED, b.last);
    ASSERT_TRUE(a.close_file(fa));
    EXPECT_TRUE(b.list(fb, &names)) << "the budget comes back with the close";
    EXPECT_EQ(500u, names.size());
}

// Out of descriptors, the accept thread sheds the pending connection and
// idles instead of polling it again and again; once descriptors are free
// it serves as before.
TEST_F(Abuse, DescriptorExhaustionDoesNotSpin)
{
    start();
    rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    // The client's socket is made before the shortage; connect needs none.
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    rlimit low = old;
    low.rlim_cur = 256;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> hog;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) hog.push_back(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{3, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    bool connected = connect(s, (sockaddr *)&a, sizeof a) == 0;
    rusage r0, r1;
    getrusage(RUSAGE_SELF, &r0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    getrusage(RUSAGE_SELF, &r1);
    bool shed = connected && nettest::closed_without_data(s);
    for (int fd : hog) close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    close(s);
    auto cpu_ms = [](const rusage &r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000L + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
    };
    long busy = cpu_ms(r1) - cpu_ms(r0);
    RecordProperty("cpu_ms_while_out_of_descriptors", (int)busy);
    ASSERT_TRUE(connected);
    EXPECT_LT(busy, 50) << "CPU ms in one second out of descriptors (a spinning accept thread takes most of it)";
    EXPECT_TRUE(shed) << "the pending connection is taken off the queue and closed";
    int fd = nettest::connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(nettest::echo_ok(fd)) << "served again once descriptors are free";
    close(fd);
}

}  // namespace
