// The bounded accepting side of every TCP service.

#include "sim_listener.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "sim_log.h"

namespace sim
{

namespace
{

constexpr int listen_backlog = 128;

// The listening socket: -1 with the reason in error.
int open_listening_socket(const std::string &address, int port, std::string &endpoint,
                          std::string &error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *found = nullptr;
    std::string service = std::to_string(port);
    if (int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found)) {
        error = "address " + address + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int yes = 1;
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
              bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, listen_backlog) == 0;
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (ok)
        ok = getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) == 0;
    if (!ok) {
        error = address + " port " + service + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    endpoint = address_text(reinterpret_cast<sockaddr *>(&bound));
    return fd;
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

} // namespace

listener::open_fn tcp_opener(std::string address, int port)
{
    return [address = std::move(address), port](std::string &endpoint, std::string &error) {
        return open_listening_socket(address, port, endpoint, error);
    };
}

listener::listener(open_fn open, size_t max_connections, count_fn count, take_fn take)
    : open_(std::move(open)), max_(max_connections), count_(std::move(count)),
      take_(std::move(take))
{
}

listener::~listener()
{
    stop();
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

bool listener::start(std::string &error)
{
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    listen_fd_ = open_(endpoint_, error);
    if (listen_fd_ < 0)
        return false;
    accepting_ = true;
    thread_ = std::thread(&listener::run, this);
    return true;
}

void listener::ended()
{
    if (wake_fd_ >= 0)
        post_event(wake_fd_);
}

void listener::stop()
{
    if (!thread_.joinable())
        return;
    accepting_ = false;
    post_event(wake_fd_);
    thread_.join();
}

// Accept one waiting connection and hand it on; false when the listener
// has nothing (or fails for now).
bool listener::accept_one()
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&peer), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors: the pending connection stays queued; wait a little.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            poll(nullptr, 0, 100);
        return false;
    }
    take_(fd, reinterpret_cast<sockaddr *>(&peer), length);
    return true;
}

void listener::run()
{
    while (accepting_) {
        bool room = count_() < max_;
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        int rc = poll(fds, room ? 2 : 1, -1);
        if (rc < 0 && errno != EINTR)
            break;
        if (rc <= 0)
            continue;
        if (fds[0].revents)
            drain_event(wake_fd_);
        if (accepting_ && room && fds[1].revents)
            while (count_() < max_ && accept_one())
                ;
    }
    close(listen_fd_);
    listen_fd_ = -1;
}

} // namespace sim
