// A service for protocols of the simulator's own, over TCP or a socket its
// settings open: each accepted connection is served on a thread of its own,
// at most max_connections at once (more wait in the listen queue), and
// leaves one log line with the text its handler returns.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_listener.h"
#include "sim_service.h"

namespace sim
{

class acceptor : public service
{
  public:
    // Serve one accepted connection. fd is non-blocking and the handler's
    // to close; every wait of the handler must also end when abort_fd
    // becomes readable (the simulator is stopping). Returns the text of the
    // connection's log line.
    using handler = std::function<std::string(int fd, int abort_fd)>;

    struct settings {
        std::string address = "127.0.0.1";
        int port = 0; // 0: any free port
        size_t max_connections = 32;
        // Instead of TCP on address and port: the listening socket this makes.
        listener::open_fn open;
        // The log's name for the peer of an accepted connection (fd); by
        // default its address.
        std::function<std::string(int fd, const sockaddr *peer)> peer_name;
        // A socket file that goes away once the listening socket is closed.
        std::string socket_file;
    };

    acceptor(const settings &s, handler h);
    ~acceptor() override;

    bool start(std::string &error) override;
    std::string endpoint() const override { return listener_.endpoint(); }
    void stop_accepting() override;
    size_t running() const override { return running_.load(); }
    void stop() override;

  private:
    struct worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void take(int fd, const sockaddr *peer);
    void serve(int fd, std::string peer, std::shared_ptr<std::atomic<bool>> done);

    settings settings_;
    handler handler_;
    bool listening_ = false; // started, and the listening socket not yet closed
    std::atomic<size_t> running_{0};
    int abort_fd_ = -1; // readable once running connections must end at once
    std::mutex lock_;   // guards workers_
    std::vector<worker> workers_;
    listener listener_;
};

} // namespace sim
