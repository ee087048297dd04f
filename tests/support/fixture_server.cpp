#include "fixture_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool wait_readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    int rc;
    while ((rc = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR)
        ;
    return rc > 0;
}

size_t content_length_of(const std::string &head)
{
    std::string lower;
    for (char c : head)
        lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find("\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return static_cast<size_t>(strtoul(head.c_str() + at + 16, nullptr, 10));
}

bool is_chunked(const std::string &head)
{
    std::string lower;
    for (char c : head)
        lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower.find("transfer-encoding: chunked") != std::string::npos;
}

} // namespace

std::string fixture_conn::read_some(int timeout_ms, size_t max)
{
    if (fd_ < 0 || !wait_readable(fd_, timeout_ms))
        return {};
    std::string buf(max, '\0');
    ssize_t n = recv(fd_, buf.data(), max, 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    received_ += buf;
    return buf;
}

std::string fixture_conn::read_request(int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    size_t head_end;
    while ((head_end = got.find("\r\n\r\n")) == std::string::npos) {
        std::string piece = read_some(remaining_ms(deadline));
        if (piece.empty())
            return got;
        got += piece;
    }
    std::string head = got.substr(0, head_end + 4);
    if (is_chunked(head)) {
        while (got.find("\r\n0\r\n\r\n", head_end) == std::string::npos) {
            std::string piece = read_some(remaining_ms(deadline));
            if (piece.empty())
                break;
            got += piece;
        }
        return got;
    }
    size_t want = head.size() + content_length_of(head);
    // An "Expect: 100-continue" sender waits for us before sending a body.
    if (head.find("100-continue") != std::string::npos && got.size() < want)
        return got;
    while (got.size() < want) {
        std::string piece = read_some(remaining_ms(deadline));
        if (piece.empty())
            break;
        got += piece;
    }
    return got;
}

bool fixture_conn::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool fixture_conn::trickle(std::string_view bytes, size_t chunk, int delay_ms)
{
    while (!bytes.empty()) {
        size_t n = std::min(chunk, bytes.size());
        if (!send(bytes.substr(0, n)))
            return false;
        bytes.remove_prefix(n);
        if (!bytes.empty())
            stall(delay_ms);
    }
    return true;
}

void fixture_conn::stall(int ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(ms);
    while (!stopping_.load() && clock_type::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, ms)));
}

void fixture_conn::hold_open()
{
    while (!stopping_.load() && fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            char sink[4096];
            if (recv(fd_, sink, sizeof sink, MSG_PEEK) <= 0)
                return; // the peer closed
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

void fixture_conn::close(bool reset)
{
    if (fd_ < 0)
        return;
    if (reset) {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd_);
    fd_ = -1;
}

fixture_server::fixture_server(handler h, bool ipv6) : handler_(std::move(h))
{
    int family = ipv6 ? AF_INET6 : AF_INET;
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage addr{};
    socklen_t len;
    if (ipv6) {
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&addr);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        len = sizeof *a6;
    } else {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&addr);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a4;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        return;
    }
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port
                       : reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
    listen_fd_ = fd;
    acceptor_ = std::thread([this] { accept_loop(); });
}

fixture_server::~fixture_server()
{
    stop();
}

void fixture_server::accept_loop()
{
    while (!stopping_.load()) {
        if (!wait_readable(listen_fd_, 20))
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        size_t index;
        {
            std::lock_guard<std::mutex> guard(lock_);
            index = requests_.size();
            requests_.emplace_back();
        }
        accepted_++;
        // Join the handlers that are done, so that long runs keep few threads.
        std::erase_if(workers_, [](worker &w) {
            if (!w.done->load())
                return false;
            w.thread.join();
            return true;
        });
        auto done = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back({std::thread([this, fd, index, done] {
                                fixture_conn conn(fd, stopping_);
                                handler_(conn);
                                conn.close();
                                {
                                    std::lock_guard<std::mutex> guard(lock_);
                                    requests_[index] = conn.received();
                                }
                                finished_++;
                                done->store(true);
                            }),
                            done});
    }
}

bool fixture_server::wait_idle(int timeout_ms) const
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (finished_.load() < accepted_.load()) {
        if (clock_type::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<std::string> fixture_server::requests() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

void fixture_server::stop()
{
    if (stopping_.exchange(true))
        return;
    if (acceptor_.joinable())
        acceptor_.join();
    for (auto &w : workers_)
        w.thread.join();
    workers_.clear();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
    listen_fd_ = -1;
}

int connect_loopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string http_reply(int status, std::string_view reason, std::string_view body,
                       std::string_view extra_headers)
{
    std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
    reply += "Content-Type: text/xml\r\n";
    reply += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    reply += extra_headers;
    reply += "\r\n";
    reply += body;
    return reply;
}

std::string qsm_reply(int status, std::string_view body)
{
    return "CORAPI-D/1.0 " + std::to_string(status) +
           "\r\nContent-length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string corvex_reply(std::string_view results_xml)
{
    return "<?xml version='1.0' encoding='utf-8' ?>\n<corvex>" + std::string(results_xml) +
           "</corvex>";
}

fixture_server::handler answer_with(std::string reply)
{
    return [reply](fixture_conn &conn) {
        conn.read_request();
        conn.send(reply);
    };
}
