// A scripted HTTP server on loopback for transport tests. Each accepted
// connection runs the test's handler on its own thread; the handler reads
// the request and answers with any bytes at any pace, or misbehaves on
// purpose (drops the connection, stalls, trickles, cuts the head short).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class fixture_conn
{
  public:
    fixture_conn(int fd, const std::atomic<bool> &stopping) : fd_(fd), stopping_(stopping) {}

    // Read one HTTP request: the head up to the blank line, then as many body
    // bytes as its Content-Length names (or the chunks of a chunked body).
    // Returns what was read, also when the peer stops early or time runs out.
    std::string read_request(int timeout_ms = 5000);

    // Read what arrives within timeout_ms (at most max bytes); empty at end.
    std::string read_some(int timeout_ms, size_t max = 65536);

    // Send bytes; false when the peer is gone.
    bool send(std::string_view bytes);

    // Send bytes in pieces of chunk bytes with delay_ms between them.
    bool trickle(std::string_view bytes, size_t chunk, int delay_ms);

    // Wait ms milliseconds, or less when the server stops.
    void stall(int ms);

    // Keep the connection open, unread, until the peer closes or the server stops.
    void hold_open();

    // Close at once; with reset, the peer sees a reset instead of an end.
    void close(bool reset = false);

    int fd() const { return fd_; }

    // Every byte read from the peer so far.
    const std::string &received() const { return received_; }

  private:
    int fd_;
    std::string received_;
    const std::atomic<bool> &stopping_;
};

class fixture_server
{
  public:
    using handler = std::function<void(fixture_conn &)>;

    // Listen on 127.0.0.1 (or ::1) at a free port and run handler for every
    // connection.
    explicit fixture_server(handler h, bool ipv6 = false);
    ~fixture_server();
    fixture_server(const fixture_server &) = delete;
    fixture_server &operator=(const fixture_server &) = delete;

    int port() const { return port_; }
    bool ok() const { return listen_fd_ >= 0; }

    // What the handler of each connection read, in order of acceptance
    // (complete once that handler has returned).
    std::vector<std::string> requests() const;
    int connections() const { return accepted_.load(); }

    // Wait (at most timeout_ms) until every accepted connection's handler has
    // returned and its socket is closed; false on time-out.
    bool wait_idle(int timeout_ms = 5000) const;

    // Stop accepting, wake stalled handlers, join every thread.
    void stop();

  private:
    void accept_loop();

    handler handler_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> finished_{0};
    std::thread acceptor_;
    struct worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<worker> workers_;
    mutable std::mutex lock_;
    std::vector<std::string> requests_;
};

// A plain blocking socket connected to 127.0.0.1:port, or -1.
int connect_loopback(int port);

// An HTTP/1.1 reply with a Content-Length matching the body.
std::string http_reply(int status, std::string_view reason, std::string_view body,
                       std::string_view extra_headers = "");

// A socket-mode reply: status line, length line, blank line and the body.
std::string qsm_reply(int status, std::string_view body);

// A reply document holding one results element.
std::string corvex_reply(std::string_view results_xml);

// A handler that reads the request and answers with reply, then closes.
fixture_server::handler answer_with(std::string reply);
