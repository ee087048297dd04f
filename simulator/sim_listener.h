// The accepting side every service of the simulator shares: one listening
// socket (TCP, or any other stream socket its opener makes), accepted on a
// thread of its own, each new connection handed on at once, but only while
// fewer than a bound are being served. At the bound nothing is accepted: new
// connections wait in the kernel's listen queue (and time out there, as
// clients expect) until one ends.
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
    // Makes the listening socket (non-blocking, close-on-exec) and names
    // where it listens in endpoint; -1 with the reason in error.
    using open_fn = std::function<int(std::string &endpoint, std::string &error)>;

    // A listener on the socket open makes, handing on at most
    // max_connections at once, as count tells.
    listener(open_fn open, size_t max_connections, count_fn count, take_fn take);
    ~listener();
    listener(const listener &) = delete;
    listener &operator=(const listener &) = delete;

    // Open the listening socket and start accepting. false with the reason
    // in error.
    bool start(std::string &error);

    // The bound address, as "127.0.0.1:8580" or "[::1]:8580" (or what the
    // opener named).
    std::string endpoint() const { return endpoint_; }

    // A connection has ended: there may be room to accept again.
    void ended();

    // Stop accepting, close the listening socket and wait for the thread.
    void stop();

  private:
    void run();
    bool accept_one();

    open_fn open_;
    size_t max_;
    count_fn count_;
    take_fn take_;
    int listen_fd_ = -1;
    int wake_fd_ = -1; // an event when a connection ends or accepting must stop
    std::atomic<bool> accepting_{false};
    std::string endpoint_;
    std::thread thread_;
};

// The opener of a TCP listening socket on address (a numeric address or a
// name) and port (0: any free port).
listener::open_fn tcp_opener(std::string address, int port);

} // namespace sim
