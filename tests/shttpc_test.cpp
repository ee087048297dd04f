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
#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "alloc_failure.h"
#include "corvex/cx_invoke.h"
#include "corvex/cx_request.h"
#include "corvex/cx_server.h"
#include "fixture_server.h"
#include "tls_material.h"
#include "vovedi/shttpc.h"
#include "vovedi/ssl_util.h"

#include <openssl/ssl.h>
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

// ---------------------------------------------------------------------------
// TLS, against a TLS stack we did not write: openssl s_server.

namespace
{

// A port on 127.0.0.1 that was free a moment ago.
int free_port()
{
    fd_owner fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    return ntohs(address.sin_port);
}

// openssl s_server for one connection on a free loopback port, with its
// standard input (what it sends) and output (what it received, and its
// notes) on pipes.
class tls_peer
{
  public:
    explicit tls_peer(std::vector<std::string> options)
    {
        port_ = free_port();
        int in[2], out[2];
        if (port_ < 0 || pipe(in) != 0 || pipe(out) != 0)
            return;
        options.insert(options.begin(), {"openssl", "s_server", "-accept",
                                         "127.0.0.1:" + std::to_string(port_), "-naccept", "1"});
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            for (int fd : {in[0], in[1], out[0], out[1]})
                ::close(fd);
            std::vector<char *> argv;
            for (std::string &o : options)
                argv.push_back(o.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_.reset(in[1]);
        from_.reset(out[0]);
        ready_ = read_until("ACCEPT\n", 10000).find("ACCEPT\n") != std::string::npos;
    }
    ~tls_peer() { stop(); }

    bool ready() const { return ready_; }
    int port() const { return port_; }

    // Read what it prints until text has been seen or timeout_ms passed;
    // everything printed so far.
    std::string read_until(const std::string &text, int timeout_ms)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        char buffer[4096];
        while (seen_.find(text) == std::string::npos) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            pollfd p{from_.get(), POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                break;
            ssize_t n = read(from_.get(), buffer, sizeof buffer);
            if (n <= 0)
                break;
            seen_.append(buffer, static_cast<size_t>(n));
        }
        return seen_;
    }

    // Have it send bytes to its client.
    void send(const std::string &bytes)
    {
        ssize_t n = write(to_.get(), bytes.data(), bytes.size());
        EXPECT_EQ(n, static_cast<ssize_t>(bytes.size()));
    }

    // Kill it at once: its end of the connection goes with it.
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    int port_ = -1;
    pid_t pid_ = -1;
    bool ready_ = false;
    fd_owner to_, from_;
    std::string seen_;
};

// The options that make s_server present the test certificate.
std::vector<std::string> serving(std::vector<std::string> extra = {})
{
    const tls_material &files = tls_files();
    std::vector<std::string> o = {"-cert", files.server_cert, "-key", files.server_key};
    o.insert(o.end(), extra.begin(), extra.end());
    return o;
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

int tls_connect(shttpc_t *conn, int port)
{
    sockaddr_in address = loopback(port);
    return shttpc_connect(conn, reinterpret_cast<sockaddr *>(&address), sizeof address);
}

} // namespace

// A whole call over TLS 1.2 and TLS 1.3: the server receives exactly the
// request a plain call sends, the host name travels in the handshake
// (not an address), and the server's certificate checks out against its
// authority.
TEST(ShttpcTls, WholeCallsInteroperateWithOpenSslServer)
{
    ASSERT_TRUE(tls_files().ok);
    struct tls_case {
        const char *version;
        const char *host;
        bool sni;
    } cases[] = {{"-tls1_2", "localhost", true},
                 {"-tls1_3", "localhost", true},
                 {"-tls1_3", "127.0.0.1", false}};
    for (const tls_case &c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.host);
        const tls_material &files = tls_files();
        tls_peer server(serving({c.version, "-servername", "localhost", "-cert2", files.server_cert,
                                 "-key2", files.server_key}));
        ASSERT_TRUE(server.ready());
        cx_server_t *handle = cx_server_open(c.host, 1, 0);
        cx_server_set_login(handle, "root", "secret");
        ASSERT_EQ(cx_server_set_transport(handle, CX_TRANSPORT_HTTPS), 1);
        cx_server_set_port(handle, server.port());
        cx_server_set_timeout(handle, 10);
        ASSERT_EQ(cx_server_set_tls_verify(handle, files.ca.c_str()), 1);
        cx_elem_t *api = cx_elem_create("system-get-version");
        cx_elem_t *result = nullptr;
        std::thread call([&] { result = cx_server_invoke_elem(handle, api); });

        std::string seen = server.read_until("</corvex>", 10000);
        server.send(http_reply(200, "OK", corvex_reply("<results status=\"passed\"/>")));
        call.join();
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(stab_get(result->attributes, "status"), "passed")
            << stab_get(result->attributes, "reason");
        std::string document =
            "<?xml version='1.0' encoding='utf-8' ?>\n"
            "<!DOCTYPE corvex SYSTEM 'file:/etc/corvex_vault.dtd'>\n"
            "<corvex xmlns=\"" CX_REQUEST_XMLNS "\" version=\"1.0\"><system-get-version/></corvex>";
        std::string request = "POST /servlets/corvex.servlets.admin.XMLrequest_vault HTTP/1.1\r\n"
                              "Authorization: Basic cm9vdDpzZWNyZXQ=\r\n"
                              "Host: " +
                              std::string(c.host) + ":" + std::to_string(server.port()) +
                              "\r\nContent-Length: " + std::to_string(document.size()) +
                              "\r\n\r\n" + document;
        size_t start = seen.find("POST ");
        EXPECT_EQ(start == std::string::npos ? seen : seen.substr(start), request);
        EXPECT_EQ(seen.find("Hostname in TLS extension: \"localhost\"") != std::string::npos, c.sni)
            << seen;
        cx_elem_free(result);
        cx_elem_free(api);
        cx_server_close(handle);
    }
}

// Handshakes that cannot succeed end within the connect's time-out: one
// that is never answered at the time-out, the others at once with the
// TLS library's error code; a blocking handle (no time-out) as well.
TEST(ShttpcTls, FailedHandshakesEndWithinTheTimeout)
{
    struct handshake_case {
        const char *what;
        fixture_server::handler peer;
        int timeout_ms;
        int code; // the last error; 0: one of the TLS library's codes
    } cases[] = {
        {"never answers", [](fixture_conn &c) { c.hold_open(); }, 700, SOCKERR_ETIMEDOUT},
        {"closes during the handshake",
         [](fixture_conn &c) {
             c.read_some(2000);
             c.close();
         },
         700, 0},
        {"resets during the handshake", // the socket's own error
         [](fixture_conn &c) {
             c.read_some(2000);
             c.close(true);
         },
         700, SOCKERR_ECONNRESET},
        {"answers in plain HTTP",
         [](fixture_conn &c) {
             c.read_some(2000);
             c.send(http_reply(400, "Bad Request", "not TLS"));
             c.close();
         },
         700, 0},
        {"closes, blocking handle",
         [](fixture_conn &c) {
             c.read_some(2000);
             c.close();
         },
         0, 0},
    };
    for (handshake_case &c : cases) {
        SCOPED_TRACE(c.what);
        fixture_server server(c.peer);
        handle_ptr conn(shttpc_socket_new(SHTTPC_MODE_TLS, c.timeout_ms));
        ASSERT_NE(conn, nullptr);
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(tls_connect(conn.get(), server.port()), -1);
        long took = elapsed_ms(started);
        int code = sockerr_get();
        if (c.code == SOCKERR_ETIMEDOUT) {
            EXPECT_GE(took, c.timeout_ms - 50);
            EXPECT_LT(took, c.timeout_ms + 1500);
        } else {
            EXPECT_LT(took, 1500);
        }
        if (c.code != 0)
            EXPECT_EQ(code, c.code);
        else
            EXPECT_TRUE(code >= SSL_ERROR_SSL && code <= SSL_ERROR_ZERO_RETURN) << code;
        EXPECT_EQ(shttpc_tls_refusal(), nullptr); // no certificate was refused
        server.stop();
    }

    // A TLS handle that never finished a handshake cannot be read or written.
    handle_ptr unconnected(shttpc_socket_new(SHTTPC_MODE_TLS, 500));
    char buffer[4];
    EXPECT_EQ(shttpc_read(unconnected.get(), buffer, sizeof buffer), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_ENOTCONN);
    EXPECT_EQ(shttpc_write(unconnected.get(), "x", 1), -1);

    // A whole call says what happened, within its time-out of one second.
    fixture_server silent([](fixture_conn &c) { c.hold_open(); });
    cx_server_t *handle = cx_server_open("127.0.0.1", 1, 0);
    cx_server_set_transport(handle, CX_TRANSPORT_HTTPS);
    cx_server_set_port(handle, silent.port());
    cx_server_set_timeout(handle, 1);
    cx_elem_t *api = cx_elem_create("system-get-version");
    auto started = std::chrono::steady_clock::now();
    cx_elem_t *result = cx_server_invoke_elem(handle, api);
    EXPECT_LT(elapsed_ms(started), 2500);
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(stab_get(result->attributes, "reason"), "Can&apos;t connect to host (err=10060).");
    EXPECT_STREQ(stab_get(result->attributes, "errno"), "10060");
    cx_elem_free(result);
    cx_elem_free(api);
    cx_server_close(handle);
}

// A server that goes away while a TLS write is under way fails the write
// with the TLS library's code; SIGPIPE, whose default action would end
// this program, is never raised.
TEST(ShttpcTls, WriteToAVanishedServerFailsWithoutSigpipe)
{
    ASSERT_TRUE(tls_files().ok);
    tls_peer server(serving());
    ASSERT_TRUE(server.ready());
    handle_ptr conn(shttpc_socket_new(SHTTPC_MODE_TLS, 3000));
    ASSERT_EQ(tls_connect(conn.get(), server.port()), 0) << sockerr_get();
    std::string hello = "hello";
    EXPECT_EQ(shttpc_write(conn.get(), hello.data(), static_cast<int>(hello.size())), 5);
    server.stop();
    std::string block(1 << 20, 'x');
    int rc = 0;
    for (int attempt = 0; attempt < 50 && rc != -1; attempt++)
        rc = shttpc_write(conn.get(), block.data(), static_cast<int>(block.size()));
    EXPECT_EQ(rc, -1);
    int code = sockerr_get();
    EXPECT_TRUE(code == SSL_ERROR_SYSCALL || code == SSL_ERROR_SSL) << code;
}

// Only a TLS connect starts the TLS library: checked in a fresh run of this
// program, where nothing has started it before.
TEST(ShttpcTls, PlainHandlesNeverStartTheTlsLibrary)
{
    if (!getenv("SHTTPC_FRESH_RUN")) {
        std::string command = "SHTTPC_FRESH_RUN=1 /proc/" + std::to_string(getpid()) +
                              "/exe --gtest_filter=ShttpcTls.PlainHandlesNeverStartTheTlsLibrary"
                              " >/dev/null 2>&1";
        EXPECT_EQ(system(command.c_str()), 0);
        return;
    }
    ASSERT_EQ(ssl_util_initialised(), 0);
    fixture_server server(answer_with(http_reply(200, "OK", "")));
    handle_ptr plain(shttpc_socket_new(SHTTPC_MODE_PLAIN, 1000));
    ASSERT_EQ(tls_connect(plain.get(), server.port()), 0);
    EXPECT_EQ(shttpc_write(plain.get(), "GET / HTTP/1.0\r\n\r\n", 18), 18);
    char buffer[64];
    EXPECT_GT(shttpc_read(plain.get(), buffer, sizeof buffer), 0);
    plain.reset();
    handle_ptr unconnected(shttpc_socket_new(SHTTPC_MODE_TLS, 200));
    EXPECT_EQ(ssl_util_initialised(), 0); // making a TLS handle is not connecting it

    // The first TLS connect does, even when the handshake then fails.
    EXPECT_EQ(tls_connect(unconnected.get(), server.port()), -1);
    EXPECT_EQ(ssl_util_initialised(), 1);
}
