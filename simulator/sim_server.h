// The listening side of the simulator: the HTTP listener and, when asked,
// the socket-mode and RPC listeners; one thread per connection up to a
// bound shared by all, one log line per connection on standard error, and
// an orderly stop on SIGINT or SIGTERM.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim_http.h"
#include "sim_store.h"

namespace sim
{

struct server_settings {
    std::string address = "127.0.0.1";
    int port = 8580; // 0: any free port
    size_t max_connections = 32;
    std::string dtd_path; // named in every reply
    http_settings http;   // also the login, bounds and time-out of the other listeners
    int qsm_port = -1;    // socket-mode listener on the same address; -1: none, 0: a free port
    std::string rpc_path; // Unix domain socket of the RPC listener; empty: none
};

class server
{
  public:
    explicit server(server_settings settings);
    ~server();
    server(const server &) = delete;
    server &operator=(const server &) = delete;

    // Bind and listen, for every listener asked for. false with the reason
    // in error.
    bool open(std::string &error);

    // The bound address and port, as "127.0.0.1:8580" or "[::1]:8580".
    std::string endpoint() const;

    // The socket-mode listener's address and port; empty when there is none.
    std::string qsm_endpoint() const;

    // Serve until signal_fd (a signalfd for SIGINT and SIGTERM) delivers a
    // signal; then stop accepting, give running requests a moment, end
    // them at a second signal or when the moment is over, and return once
    // every connection thread has ended.
    void run(int signal_fd);

  private:
    struct worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    // One listening socket and the protocol served on its connections.
    struct listener {
        int fd = -1;
        std::string endpoint;
        bool local = false;                    // a Unix domain socket at the path endpoint
        std::function<std::string(int)> serve; // one connection; returns its log text
    };

    bool listen_tcp(int port, listener &l, std::string &error);
    void close_listeners();
    bool accept_one(const listener &l);
    void serve(const listener &l, int fd, std::string peer,
               std::shared_ptr<std::atomic<bool>> done);
    void reap(bool all);
    size_t running() const;
    // Wait for connection threads to end, until deadline_ms passes or a
    // signal arrives (true then).
    bool wait_for_workers(int signal_fd, int deadline_ms);

    server_settings settings_;
    store store_;
    http_handler handler_;
    std::vector<listener> listeners_; // HTTP first
    int done_fd_ = -1;                // an event each time a connection thread ends
    int abort_fd_ = -1;               // readable once running requests must end at once
    std::vector<worker> workers_;
};

// Write one log line "<time> <peer> <text>" to standard error in one piece.
void log_line(const std::string &peer, const std::string &text);

} // namespace sim
