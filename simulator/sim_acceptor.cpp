// A bounded thread per accepted connection, one log line per connection.

#include "sim_acceptor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

#include "sim_log.h"

namespace sim
{

acceptor::acceptor(const settings &s, handler h)
    : settings_(s), handler_(std::move(h)),
      listener_(
          s.open ? s.open : tcp_opener(s.address, s.port), s.max_connections,
          [this] { return running_.load(); },
          [this](int fd, const sockaddr *peer, socklen_t) { take(fd, peer); })
{
}

acceptor::~acceptor()
{
    stop();
    if (abort_fd_ >= 0)
        close(abort_fd_);
}

bool acceptor::start(std::string &error)
{
    abort_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (abort_fd_ < 0) {
        error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    listening_ = listener_.start(error);
    return listening_;
}

void acceptor::stop_accepting()
{
    listener_.stop();
    if (listening_ && !settings_.socket_file.empty())
        unlink(settings_.socket_file.c_str());
    listening_ = false;
}

void acceptor::stop()
{
    stop_accepting();
    if (abort_fd_ >= 0) {
        uint64_t one = 1;
        while (write(abort_fd_, &one, sizeof one) < 0 && errno == EINTR)
            ;
    }
    std::lock_guard<std::mutex> guard(lock_);
    for (worker &w : workers_)
        w.thread.join();
    workers_.clear();
}

void acceptor::serve(int fd, std::string peer, std::shared_ptr<std::atomic<bool>> done)
{
    std::string text;
    try {
        text = handler_(fd, abort_fd_);
    } catch (const std::exception &e) {
        // Only memory can run out here; the handler has closed the connection.
        text = std::string("dropped (") + e.what() + ")";
    }
    log_line(peer, text);
    done->store(true);
    running_--;
    listener_.ended();
}

// Start the connection's thread, first joining those that have ended.
void acceptor::take(int fd, const sockaddr *peer)
{
    std::string name = settings_.peer_name ? settings_.peer_name(fd, peer) : address_text(peer);
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> guard(lock_);
    auto ended = [](worker &w) {
        if (!w.done->load())
            return false;
        w.thread.join();
        return true;
    };
    workers_.erase(std::remove_if(workers_.begin(), workers_.end(), ended), workers_.end());
    running_++;
    try {
        workers_.push_back({std::thread(&acceptor::serve, this, fd, name, done), done});
    } catch (const std::exception &e) {
        running_--;
        close(fd);
        log_line(name, std::string("dropped (no thread: ") + e.what() + ")");
    }
}

} // namespace sim
