// A connection of the simulator's non-HTTP listeners: buffered reads of
// lines and counted bytes, and whole sends, every wait bounded by one
// deadline and ended at once when the server stops.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace sim
{

class stream
{
  public:
    // fd: a connected non-blocking socket, closed with the stream;
    // abort_fd: readable once running exchanges must end.
    stream(int fd, int abort_fd) : fd_(fd), abort_fd_(abort_fd) {}
    ~stream();
    stream(const stream &) = delete;
    stream &operator=(const stream &) = delete;

    int fd() const { return fd_; }

    // Every later wait ends at now + span.
    void deadline_in(std::chrono::milliseconds span);

    // One line without its LF (and a CR before it). False at the end of the
    // stream, on failure, time-out or stop (see why()), or when no LF comes
    // within max bytes (too_long() then).
    bool read_line(std::string &line, size_t max);

    // Exactly n bytes; false as read_line.
    bool read_bytes(std::string &out, size_t n);

    bool send_all(std::string_view data);

    // End the exchange so that the peer reads the whole answer: stop
    // sending, then take in and drop what it still sends, for a short
    // while. Closing with input unread would reset the connection.
    void finish();

    bool timed_out() const { return timed_out_; }
    bool too_long() const { return too_long_; }
    bool ended() const { return ended_; } // the peer closed before a read was whole
    const std::string &why() const { return why_; }

  private:
    bool fill(); // receive more into buffer_
    bool wait(short events);
    bool fail(const std::string &why);

    int fd_;
    int abort_fd_;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now();
    std::string buffer_; // received, not yet taken
    bool timed_out_ = false;
    bool too_long_ = false;
    bool ended_ = false;
    std::string why_;
};

} // namespace sim
