// A connection of the simulator's non-HTTP listeners, under a deadline.

#include "sim_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim
{

namespace
{

using clock_type = std::chrono::steady_clock;

constexpr size_t receive_piece = 65536;
constexpr auto linger_time = std::chrono::milliseconds(2000);

} // namespace

stream::~stream()
{
    close(fd_);
}

void stream::deadline_in(std::chrono::milliseconds span)
{
    deadline_ = clock_type::now() + span;
}

bool stream::fail(const std::string &why)
{
    why_ = why;
    return false;
}

bool stream::wait(short events)
{
    while (true) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - clock_type::now());
        if (left.count() <= 0) {
            timed_out_ = true;
            return fail("timed out");
        }
        pollfd fds[2] = {{fd_, events, 0}, {abort_fd_, POLLIN, 0}};
        int rc = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (rc < 0 && errno != EINTR)
            return fail(strerror(errno));
        if (rc > 0 && fds[1].revents)
            return fail("server stopping");
        if (rc > 0 && fds[0].revents)
            return true;
    }
}

bool stream::fill()
{
    while (true) {
        size_t old = buffer_.size();
        buffer_.resize(old + receive_piece);
        ssize_t n = recv(fd_, buffer_.data() + old, receive_piece, MSG_DONTWAIT);
        buffer_.resize(old + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0)
            return true;
        if (n == 0) {
            ended_ = true;
            return fail("closed early");
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return fail(strerror(errno));
        if (!wait(POLLIN))
            return false;
    }
}

bool stream::read_line(std::string &line, size_t max)
{
    size_t scanned = 0;
    size_t end;
    while ((end = buffer_.find('\n', scanned)) == std::string::npos) {
        if (buffer_.size() >= max) {
            too_long_ = true;
            return fail("line over " + std::to_string(max) + " bytes");
        }
        scanned = buffer_.size();
        if (!fill())
            return false;
    }
    if (end + 1 > max) {
        too_long_ = true;
        return fail("line over " + std::to_string(max) + " bytes");
    }
    line.assign(buffer_, 0, end);
    buffer_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

bool stream::read_bytes(std::string &out, size_t n)
{
    while (buffer_.size() < n) {
        if (!fill())
            return false;
    }
    out.assign(buffer_, 0, n);
    buffer_.erase(0, n);
    return true;
}

bool stream::send_all(std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return fail(strerror(errno));
        if (!wait(POLLOUT))
            return false;
    }
    return true;
}

void stream::finish()
{
    shutdown(fd_, SHUT_WR);
    deadline_in(std::chrono::duration_cast<std::chrono::milliseconds>(linger_time));
    buffer_.clear();
    while (fill())
        buffer_.clear();
}

} // namespace sim
