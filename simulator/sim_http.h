// The HTTP and HTTPS service of the simulator, on libmicrohttpd: one request
// per connection, each connection on a thread of its own up to a bound, the
// request checked (endpoint path, method, Basic authorisation, body
// framing and size) and handed to the CORAPI layer, the answer sent with an
// exact Content-Length before the connection closes, and one log line per
// connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim_service.h"
#include "sim_tls.h"

namespace sim
{

struct http_settings {
    std::string address = "127.0.0.1";
    int port = 8580; // 0: any free port
    size_t max_connections = 32;
    std::string user = "root";
    std::string password = "secret";
    std::vector<std::string> paths;           // endpoint paths answered
    std::chrono::milliseconds timeout{10000}; // to receive one whole request, and to answer it
    size_t max_body = size_t{16} << 20;       // bytes
    bool tls = false;                         // serve HTTPS with the identity below
    tls_identity identity;
};

// What the CORAPI layer made of a request body.
struct http_answer {
    int status = 200;
    std::string body;
    std::string summary; // for the log line
};
using http_handler = std::function<http_answer(std::string_view body)>;

class http_service : public service
{
  public:
    http_service(http_settings settings, http_handler handler);
    ~http_service() override;

    bool start(std::string &error) override;
    std::string endpoint() const override;
    void stop_accepting() override;
    size_t running() const override;
    void stop() override;

    struct impl;

  private:
    std::unique_ptr<impl> impl_;
};

} // namespace sim
