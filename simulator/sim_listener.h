// The accepting side every TCP service of the simulator shares: one
// listening socket, accepted on a thread of its own, each new connection
// handed on at once, but only while fewer than a bound are being served. At
// the bound nothing is accepted: new connections wait in the kernel's listen
// queue (and time out there, as clients expect) until one ends.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <thread>

namespace sim
{

class listener
{
  public:
    // Takes over one accepted connection (a non-blocking, close-on-exec
    // descriptor) from the peer at the given address.
    using take_fn = std::function<void(int fd, const sockaddr *peer, socklen_t length)>;
    // The number of connections being served now.
    using count_fn = std::function<size_t()>;

    listener(std::string address, int port, size_t max_connections, count_fn count, take_fn take);
    ~listener();
    listener(const listener &) = delete;
    listener &operator=(const listener &) = delete;

    // Bind to address (a numeric address or a name) and port (0: any free
    // port), listen and start accepting. false with the reason in error.
    bool start(std::string &error);

    // The bound address, as "127.0.0.1:8580" or "[::1]:8580".
    std::string endpoint() const { return endpoint_; }

    // A connection has ended: there may be room to accept again.
    void ended();

    // Stop accepting, close the listening socket and wait for the thread.
    void stop();

  private:
    void run();
    bool accept_one();

    std::string address_;
    int port_;
    size_t max_;
    count_fn count_;
    take_fn take_;
    int listen_fd_ = -1;
    int wake_fd_ = -1; // an event when a connection ends or accepting must stop
    std::atomic<bool> accepting_{false};
    std::string endpoint_;
    std::thread thread_;
};

} // namespace sim
