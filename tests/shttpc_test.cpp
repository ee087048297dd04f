// The socket client on real loopback connections. SIGPIPE keeps its default
// action here: a write that raised it would end the test program.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "alloc_failure.h"
#include "vovedi/shttpc.h"
#include "vovedi/sockerr.h"
#include "vovedi/testpoint.h"
#include "vovedi/zthread.h"

namespace
{

struct handle_closer {
    void operator()(shttpc_t *conn) const { shttpc_close(conn); }
};
using handle_ptr = std::unique_ptr<shttpc_t, handle_closer>;

// A descriptor closed at the end of its scope.
class fd_owner
{
  public:
    explicit fd_owner(int fd = -1) : fd_(fd) {}
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    fd_owner(fd_owner &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ~fd_owner() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// A listening socket on a loopback address.
struct listener {
    fd_owner fd;
    sockaddr_storage address{};
    socklen_t length = 0;

    // false when the family is not available on this machine.
    bool open(int family, int backlog = 8)
    {
        fd.reset(socket(family, SOCK_STREAM, 0));
        if (fd.get() < 0)
            return false;
        address = {};
        if (family == AF_INET6) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof(sockaddr_in6);
        } else {
            auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
            in4->sin_family = AF_INET;
            in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof(sockaddr_in);
        }
        if (bind(fd.get(), addr(), length) != 0 || listen(fd.get(), backlog) != 0)
            return false;
        return getsockname(fd.get(), reinterpret_cast<sockaddr *>(&address), &length) == 0;
    }

    const sockaddr *addr() const { return reinterpret_cast<const sockaddr *>(&address); }

    // The next connection, or -1 after five seconds.
    int accept_one() const
    {
        pollfd entry{fd.get(), POLLIN, 0};
        if (poll(&entry, 1, 5000) != 1)
            return -1;
        return accept(fd.get(), nullptr, nullptr);
    }
};

// An IPv4 loopback address where nothing listens: the port stays bound, so
// no one else can take it, but the socket never listens.
struct dead_port {
    fd_owner fd{socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in address{};
    dead_port()
    {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr *>(&address), length), 0);
        EXPECT_EQ(getsockname(fd.get(), reinterpret_cast<sockaddr *>(&address), &length), 0);
    }
};

long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// A connected handle to the listener and the accepted peer.
struct connection {
    handle_ptr client;
    fd_owner peer;
};

connection connect_to(const listener &server, int timeout_ms)
{
    connection result;
    result.client.reset(shttpc_socket_new(0, timeout_ms));
    EXPECT_NE(result.client, nullptr);
    if (!result.client)
        return result;
    EXPECT_EQ(shttpc_connect(result.client.get(), server.addr(), static_cast<int>(server.length)),
              0)
        << sockerr_get();
    result.peer.reset(server.accept_one());
    EXPECT_GE(result.peer.get(), 0);
    return result;
}

std::string read_peer(int fd, size_t count)
{
    std::string text(count, '\0');
    size_t got = 0;
    while (got < count) {
        ssize_t n = recv(fd, &text[got], count - got, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return text;
}

bool is_blocking(int fd)
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0;
}

} // namespace

TEST(Shttpc, HandlesAreMadeAsAsked)
{
    handle_ptr timed(shttpc_socket_new(0, 1500));
    ASSERT_NE(timed, nullptr);
    EXPECT_EQ(timed->mode, 0);
    EXPECT_GE(timed->sock, 0);
    EXPECT_EQ(timed->ssl, nullptr);
    EXPECT_EQ(timed->ctx, nullptr);
    EXPECT_EQ(timed->timeout_ms, 1500u);

    handle_ptr negative(shttpc_socket_new(0, -5));
    ASSERT_NE(negative, nullptr);
    EXPECT_EQ(negative->timeout_ms, 0u) << "a negative time-out means none";

    errno = 0;
    EXPECT_EQ(shttpc_socket_new(2, 100), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(shttpc_new_ipv6(0, 100, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);

    EXPECT_EQ(shttpc_read(nullptr, nullptr, 1), -1);
    EXPECT_EQ(shttpc_write(nullptr, "x", 1), -1);
    EXPECT_EQ(shttpc_connect(timed.get(), nullptr, 16), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_EINVAL);
    shttpc_close(nullptr);
}

TEST(Shttpc, NewIpv6FollowsTheEntryFamily)
{
    addrinfo entry{};
    int domain = 0;
    socklen_t size = sizeof domain;

    entry.ai_family = AF_UNSPEC;
    handle_ptr unspecified(shttpc_new_ipv6(0, 100, &entry));
    ASSERT_NE(unspecified, nullptr);
    ASSERT_EQ(getsockopt(unspecified->sock, SOL_SOCKET, SO_DOMAIN, &domain, &size), 0);
    EXPECT_EQ(domain, AF_INET);

    entry.ai_family = AF_UNIX;
    sockerr_reset();
    EXPECT_EQ(shttpc_new_ipv6(0, 100, &entry), nullptr);
    EXPECT_EQ(sockerr_get(), SOCKERR_EAFNOSUPPORT);
    EXPECT_EQ(errno, EAFNOSUPPORT);
}

TEST(Shttpc, ConnectToAClosedPortIsRefusedNotTimedOut)
{
    dead_port port;
    auto *address = reinterpret_cast<const sockaddr *>(&port.address);

    handle_ptr timed(shttpc_socket_new(0, 3000));
    ASSERT_NE(timed, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(shttpc_connect(timed.get(), address, sizeof port.address), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_ECONNREFUSED);
    EXPECT_LT(elapsed_ms(start), 2000);

    handle_ptr blocking(shttpc_socket_new(0, 0));
    ASSERT_NE(blocking, nullptr);
    EXPECT_EQ(shttpc_connect(blocking.get(), address, sizeof port.address), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_ECONNREFUSED);
}

TEST(Shttpc, ConnectTimesOutAgainstAFullBacklog)
{
    // A listener that never accepts, its backlog filled: the kernel drops
    // further handshakes, so a connect stays in progress.
    listener server;
    ASSERT_TRUE(server.open(AF_INET, 0));
    std::vector<std::unique_ptr<fd_owner>> fillers;
    for (int i = 0; i < 3; i++) {
        auto filler = std::make_unique<fd_owner>(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(filler->get(), server.addr(), server.length);
        fillers.push_back(std::move(filler));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    handle_ptr conn(shttpc_socket_new(0, 200));
    ASSERT_NE(conn, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(shttpc_connect(conn.get(), server.addr(), static_cast<int>(server.length)), -1);
    long waited = elapsed_ms(start);
    EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 3000);

    // With the deadline already passed when the wait begins, it fails at
    // once, although the handle's own budget is long.
    warm_up_allocator();
    testpoint_t *tp = testpoint_define("^shttpc$", "deadline", nullptr);
    ASSERT_NE(tp, nullptr);
    testpoint_set_every(tp, 1);
    testpoint_set_thread(tp, zthread_self());
    testpoint_set_replacement(tp, -1, nullptr);
    testpoint_enable(1);
    handle_ptr late(shttpc_socket_new(0, 10000));
    ASSERT_NE(late, nullptr);
    start = std::chrono::steady_clock::now();
    int rc = shttpc_connect(late.get(), server.addr(), static_cast<int>(server.length));
    waited = elapsed_ms(start);
    testpoint_enable(0);
    EXPECT_EQ(testpoint_hits(tp), 1u);
    testpoint_clear();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
    EXPECT_LT(waited, 1000);
}

TEST(Shttpc, ReadTimesOutOnASilentPeerAndSeesTheClose)
{
    listener server;
    ASSERT_TRUE(server.open(AF_INET));
    connection link = connect_to(server, 200);
    ASSERT_NE(link.client, nullptr);
    EXPECT_FALSE(is_blocking(link.client->sock));

    char buffer[64];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(shttpc_read(link.client.get(), buffer, sizeof buffer), -1);
    long waited = elapsed_ms(start);
    EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 3000);

    // Data that arrives during the wait ends it.
    std::thread late_writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        send(link.peer.get(), "pong", 4, MSG_NOSIGNAL);
    });
    int got = shttpc_read(link.client.get(), buffer, sizeof buffer);
    late_writer.join();
    ASSERT_EQ(got, 4);
    EXPECT_EQ(std::string(buffer, 4), "pong");

    link.peer.reset();
    EXPECT_EQ(shttpc_read(link.client.get(), buffer, sizeof buffer), 0);
}

TEST(Shttpc, WriteIntoAPeerThatNeverReadsTimesOutWithAShortCount)
{
    listener server;
    ASSERT_TRUE(server.open(AF_INET));
    connection link = connect_to(server, 200);
    ASSERT_NE(link.client, nullptr);

    std::string block(32 << 20, 'x');
    auto start = std::chrono::steady_clock::now();
    int written = shttpc_write(link.client.get(), block.data(), static_cast<int>(block.size()));
    long waited = elapsed_ms(start);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(block.size()));
    EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 5000);

    // Once nothing more fits (the buffers may still grow a little), a write
    // times out having sent nothing.
    int rc = -2;
    for (int attempt = 0; attempt < 10 && rc != 0; attempt++) {
        sockerr_reset();
        rc = shttpc_write(link.client.get(), block.data(), 1 << 20);
        EXPECT_GE(rc, 0);
        EXPECT_LT(rc, 1 << 20);
        EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
    }
    EXPECT_EQ(rc, 0);

    // The peer goes away with data unread: writes fail, the process lives.
    link.peer.reset();
    for (int attempt = 0; attempt < 50 && rc != -1; attempt++) {
        rc = shttpc_write(link.client.get(), block.data(), 4096);
        if (rc != -1)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_ECONNRESET);
}

TEST(Shttpc, WriteToAClosedPeerFailsWithoutSigpipe)
{
    listener server;
    ASSERT_TRUE(server.open(AF_INET));
    connection link = connect_to(server, 1000);
    ASSERT_NE(link.client, nullptr);
    link.peer.reset(); // an orderly close, nothing unread

    int rc = 0;
    for (int attempt = 0; attempt < 50 && rc != -1; attempt++) {
        rc = shttpc_write(link.client.get(), "data", 4);
        if (rc != -1)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(rc, -1);
    int code = sockerr_get();
    EXPECT_TRUE(code == SOCKERR_ECONNRESET || code == SOCKERR_ECONNABORTED) << code;
}

TEST(Shttpc, BlockingHandleConnectsReadsAndWrites)
{
    listener server;
    ASSERT_TRUE(server.open(AF_INET));
    connection link = connect_to(server, -1);
    ASSERT_NE(link.client, nullptr);
    EXPECT_EQ(link.client->timeout_ms, 0u);
    EXPECT_TRUE(is_blocking(link.client->sock));

    std::string request(200000, 'r');
    std::thread echo([&] {
        std::string got = read_peer(link.peer.get(), request.size());
        send(link.peer.get(), got.data(), 5, MSG_NOSIGNAL);
    });
    EXPECT_EQ(shttpc_write(link.client.get(), request.data(), static_cast<int>(request.size())),
              static_cast<int>(request.size()));
    char buffer[16];
    EXPECT_EQ(shttpc_read(link.client.get(), buffer, sizeof buffer), 5);
    echo.join();
    EXPECT_EQ(shttpc_write(link.client.get(), buffer, 0), 0) << "nothing to write is no failure";
}

TEST(Shttpc, OptionsAndBinding)
{
    handle_ptr conn(shttpc_socket_new(0, 100));
    ASSERT_NE(conn, nullptr);
    int on = 1;
    EXPECT_EQ(shttpc_setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), 0);
    EXPECT_EQ(shttpc_setsockopt(conn.get(), SOL_SOCKET, 12345, &on, sizeof on), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_ENOPROTOOPT);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto *address = reinterpret_cast<const sockaddr *>(&local);
    EXPECT_EQ(shttpc_bind(conn.get(), address, sizeof local), 0);
    EXPECT_EQ(shttpc_bind(conn.get(), address, sizeof local), -1) << "already bound";
    EXPECT_EQ(sockerr_get(), SOCKERR_EINVAL);
}

TEST(Shttpc, TlsHandleFailsItsConnectCleanly)
{
    listener server;
    ASSERT_TRUE(server.open(AF_INET));
    handle_ptr conn(shttpc_socket_new(1, 500));
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(shttpc_connect(conn.get(), server.addr(), static_cast<int>(server.length)), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_EPROTONOSUPPORT);
    char buffer[4];
    EXPECT_EQ(shttpc_read(conn.get(), buffer, sizeof buffer), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_ENOTCONN);
    EXPECT_EQ(shttpc_write(conn.get(), "x", 1), -1);
}

TEST(Shttpc, Ipv6Loopback)
{
    listener server;
    if (!server.open(AF_INET6))
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    addrinfo entry{};
    entry.ai_family = AF_INET6;
    entry.ai_socktype = SOCK_STREAM;
    entry.ai_addr = reinterpret_cast<sockaddr *>(&server.address);
    entry.ai_addrlen = server.length;

    handle_ptr conn(shttpc_new_ipv6(0, 1000, &entry));
    ASSERT_NE(conn, nullptr);
    ASSERT_EQ(shttpc_connect_ipv6(conn.get(), &entry, static_cast<int>(entry.ai_addrlen)), 0)
        << sockerr_get();
    fd_owner peer(server.accept_one());
    ASSERT_GE(peer.get(), 0);
    EXPECT_EQ(shttpc_write(conn.get(), "six", 3), 3);
    EXPECT_EQ(read_peer(peer.get(), 3), "six");
    send(peer.get(), "ok", 2, MSG_NOSIGNAL);
    char buffer[8];
    EXPECT_EQ(shttpc_read(conn.get(), buffer, sizeof buffer), 2);
}

TEST(Shttpc, DescriptorsAbove1024Work)
{
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    const rlim_t wanted = 1400;
    if (original.rlim_cur < wanted) {
        if (original.rlim_max != RLIM_INFINITY && original.rlim_max < wanted)
            GTEST_SKIP() << "cannot open enough descriptors here";
        rlimit raised = original;
        raised.rlim_cur = wanted;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    std::vector<std::unique_ptr<fd_owner>> fillers;
    for (int i = 0; i < 1100; i++)
        fillers.push_back(std::make_unique<fd_owner>(open("/dev/null", O_RDONLY | O_CLOEXEC)));
    ASSERT_GE(fillers.back()->get(), 1024);

    {
        listener server;
        ASSERT_TRUE(server.open(AF_INET));
        connection link = connect_to(server, 200);
        ASSERT_NE(link.client, nullptr);
        EXPECT_GT(link.client->sock, 1024);

        char buffer[16];
        EXPECT_EQ(shttpc_read(link.client.get(), buffer, sizeof buffer), -1);
        EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
        std::thread late_writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            send(link.peer.get(), "high", 4, MSG_NOSIGNAL);
        });
        EXPECT_EQ(shttpc_read(link.client.get(), buffer, sizeof buffer), 4);
        late_writer.join();
        EXPECT_EQ(shttpc_write(link.client.get(), "fine", 4), 4);
        EXPECT_EQ(read_peer(link.peer.get(), 4), "fine");

        std::string block(32 << 20, 'x');
        int written = shttpc_write(link.client.get(), block.data(), static_cast<int>(block.size()));
        EXPECT_LT(written, static_cast<int>(block.size()));
        EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
    }
    fillers.clear();
    setrlimit(RLIMIT_NOFILE, &original);
}

TEST(Shttpc, OutOfMemoryGivesNoHandle)
{
    alloc_failure_sweep([] {
        handle_ptr conn(shttpc_socket_new(0, 100));
        if (!conn) {
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_EQ(sockerr_get(), SOCKERR_ENOBUFS);
        }
        return conn != nullptr;
    });
    alloc_failure_sweep([] {
        addrinfo entry{};
        entry.ai_family = AF_INET;
        handle_ptr conn(shttpc_new_ipv6(1, 100, &entry));
        return conn != nullptr;
    });
}
