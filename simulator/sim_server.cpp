// The listening side of the simulator.

#include "sim_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim_corapi.h"
#include "sim_qsm.h"
#include "sim_rpc.h"

namespace sim
{

namespace
{

constexpr int grace_ms = 2000; // for running requests after a stop signal
constexpr int listen_backlog = 128;

std::string address_text(const sockaddr_storage &address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address.ss_family == AF_INET6) {
        const auto &a6 = reinterpret_cast<const sockaddr_in6 &>(address);
        inet_ntop(AF_INET6, &a6.sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(a6.sin6_port));
    }
    const auto &a4 = reinterpret_cast<const sockaddr_in &>(address);
    inet_ntop(AF_INET, &a4.sin_addr, host, sizeof host);
    port = ntohs(a4.sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

void drain_event(int fd)
{
    uint64_t count;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR)
        ;
}

void post_event(int fd)
{
    uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR)
        ;
}

// The signal waiting on signal_fd, taken; 0 when none.
int take_signal(int signal_fd)
{
    signalfd_siginfo info;
    if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return 0;
    return static_cast<int>(info.ssi_signo);
}

std::string timestamp()
{
    auto now = std::chrono::system_clock::now();
    time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    struct tm local;
    localtime_r(&seconds, &local);
    char date[32], zone[8];
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    strftime(zone, sizeof zone, "%z", &local);
    char text[64];
    snprintf(text, sizeof text, "%s.%03d%s", date, static_cast<int>(ms.count()), zone);
    return text;
}

} // namespace

void log_line(const std::string &peer, const std::string &text)
{
    std::string line = timestamp() + " " + peer + " " + text;
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    line += "\n";
    // One write per line, so that lines of concurrent connections never mix.
    const char *p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

server::server(server_settings settings) : settings_(std::move(settings))
{
    handler_ = [this](std::string_view body) {
        corapi_outcome outcome = corapi_answer(body, store_, settings_.dtd_path.c_str());
        http_answer answer;
        if (outcome.document.empty()) {
            answer.status = 500;
            answer.summary = outcome.api + " out of memory";
            return answer;
        }
        answer.body = std::move(outcome.document);
        answer.summary = outcome.api +
                         (outcome.passed ? " passed"
                                         : " failed errno=" + std::to_string(outcome.error_number) +
                                               " (" + outcome.reason + ")");
        return answer;
    };
}

server::~server()
{
    reap(true);
    close_listeners();
    for (int fd : {done_fd_, abort_fd_}) {
        if (fd >= 0)
            close(fd);
    }
}

bool server::listen_tcp(int port, listener &l, std::string &error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *found = nullptr;
    std::string port_text = std::to_string(port);
    if (int rc = getaddrinfo(settings_.address.c_str(), port_text.c_str(), &hints, &found)) {
        error = "address " + settings_.address + ": " + gai_strerror(rc);
        return false;
    }
    l.fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int yes = 1;
    bool ok = l.fd >= 0 && setsockopt(l.fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
              bind(l.fd, found->ai_addr, found->ai_addrlen) == 0 &&
              listen(l.fd, listen_backlog) == 0;
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (ok)
        ok = getsockname(l.fd, reinterpret_cast<sockaddr *>(&bound), &length) == 0;
    if (!ok) {
        error = settings_.address + " port " + port_text + ": " + strerror(errno);
        if (l.fd >= 0)
            close(l.fd);
        l.fd = -1;
        return false;
    }
    l.endpoint = address_text(bound);
    return true;
}

bool server::open(std::string &error)
{
    done_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    abort_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (done_fd_ < 0 || abort_fd_ < 0) {
        error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    listener http;
    if (!listen_tcp(settings_.port, http, error))
        return false;
    http.serve = [this](int fd) { return http_serve(fd, abort_fd_, settings_.http, handler_); };
    listeners_.push_back(std::move(http));
    if (settings_.qsm_port >= 0) {
        listener qsm;
        if (!listen_tcp(settings_.qsm_port, qsm, error))
            return false;
        qsm.serve = [this](int fd) { return qsm_serve(fd, abort_fd_, settings_.http, handler_); };
        listeners_.push_back(std::move(qsm));
    }
    if (!settings_.rpc_path.empty()) {
        listener rpc;
        rpc.fd = rpc_listen(settings_.rpc_path, error);
        if (rpc.fd < 0)
            return false;
        rpc.endpoint = settings_.rpc_path;
        rpc.local = true;
        rpc.serve = [this](int fd) { return rpc_serve(fd, abort_fd_, settings_.http, handler_); };
        listeners_.push_back(std::move(rpc));
    }
    return true;
}

// Close every listening socket; the RPC socket's file goes with it.
void server::close_listeners()
{
    for (listener &l : listeners_) {
        if (l.fd < 0)
            continue;
        close(l.fd);
        l.fd = -1;
        if (l.local)
            unlink(l.endpoint.c_str());
    }
}

std::string server::endpoint() const
{
    return listeners_.empty() ? std::string() : listeners_.front().endpoint;
}

std::string server::qsm_endpoint() const
{
    return settings_.qsm_port >= 0 && listeners_.size() > 1 ? listeners_[1].endpoint
                                                            : std::string();
}

size_t server::running() const
{
    size_t n = 0;
    for (const worker &w : workers_)
        n += w.done->load() ? 0 : 1;
    return n;
}

// Join the threads that have ended (all of them, waiting, with all).
void server::reap(bool all)
{
    auto ended = [all](worker &w) {
        if (!all && !w.done->load())
            return false;
        w.thread.join();
        return true;
    };
    workers_.erase(std::remove_if(workers_.begin(), workers_.end(), ended), workers_.end());
}

void server::serve(const listener &l, int fd, std::string peer,
                   std::shared_ptr<std::atomic<bool>> done)
{
    std::string text;
    try {
        text = l.serve(fd);
    } catch (const std::exception &e) {
        // Only memory can run out here; the connection is closed already.
        text = std::string("dropped (") + e.what() + ")";
    }
    log_line(peer, text);
    done->store(true);
    post_event(done_fd_);
}

// Accept one waiting connection of a listener and start its thread; false
// when the listener has nothing (or fails for now).
bool server::accept_one(const listener &l)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int fd =
        accept4(l.fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors: the pending connection stays queued; wait a little.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            poll(nullptr, 0, 100);
        return false;
    }
    std::string name = l.local ? rpc_peer_name(fd) : address_text(peer);
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        workers_.push_back({std::thread(&server::serve, this, std::cref(l), fd, name, done), done});
    } catch (const std::exception &e) {
        close(fd);
        log_line(name, std::string("dropped (no thread: ") + e.what() + ")");
    }
    return true;
}

bool server::wait_for_workers(int signal_fd, int deadline_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    while (running() > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {done_fd_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) > 0) {
            if (fds[1].revents)
                drain_event(done_fd_);
            if (fds[0].revents && take_signal(signal_fd))
                return true;
        }
    }
    return false;
}

void server::run(int signal_fd)
{
    std::vector<pollfd> fds = {{signal_fd, POLLIN, 0}, {done_fd_, POLLIN, 0}};
    for (const listener &l : listeners_)
        fds.push_back({l.fd, POLLIN, 0});
    while (true) {
        // At the bound no connection is accepted: new ones wait in the
        // listeners' queues until a running one ends.
        bool room = running() < settings_.max_connections;
        for (pollfd &p : fds)
            p.revents = 0;
        int rc = poll(fds.data(), room ? fds.size() : 2, -1);
        if (rc < 0 && errno != EINTR)
            break;
        if (rc <= 0)
            continue;
        if (fds[0].revents && take_signal(signal_fd))
            break;
        if (fds[1].revents) {
            drain_event(done_fd_);
            reap(false);
        }
        for (size_t k = 0; room && k < listeners_.size(); k++) {
            if (fds[k + 2].revents)
                while (running() < settings_.max_connections && accept_one(listeners_[k]))
                    ;
        }
    }
    close_listeners();
    size_t left = running();
    log_line("-", "stopping: " + std::to_string(left) + " request(s) running");
    // Running requests get a moment to finish; a second signal or the end
    // of the moment ends them.
    if (left > 0 && (wait_for_workers(signal_fd, grace_ms) || running() > 0))
        post_event(abort_fd_);
    reap(true);
    log_line("-", "stopped");
}

} // namespace sim
