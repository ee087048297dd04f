// The HTTP side of the simulator: one request per connection, read under a
// deadline and within size bounds, checked (request line, endpoint path,
// method, Basic authorisation, body framing), handed to the CORAPI layer,
// and answered with an exact Content-Length before the connection closes.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim
{

struct http_settings {
    std::string user = "root";
    std::string password = "secret";
    std::vector<std::string> paths;           // endpoint paths answered
    std::chrono::milliseconds timeout{10000}; // for reading one whole request
    size_t max_body = size_t{16} << 20;       // bytes
};

// What the CORAPI layer made of a request body.
struct http_answer {
    int status = 200;
    std::string body;
    std::string summary; // for the log line
};
using http_handler = std::function<http_answer(std::string_view body)>;

// The parts of a request head.
struct http_head {
    std::string method;
    std::string target; // as sent
    std::string path;   // target without query, for matching
    int minor_version = 1;
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of the only header of that name (case ignored); null when
    // absent. several is set when the name occurs more than once.
    const std::string *find(std::string_view name, bool *several = nullptr) const;
};

// Parse a request head (request line and header lines, without the blank
// line that ends it). 0 on success, else the HTTP status that refuses it:
// 400 malformed, 414 target too long, 431 too many headers, 505 version.
int http_parse_head(std::string_view text, http_head &head);

// User and password of a Basic authorisation header value, or nothing when
// it is not one (other scheme, bad base64, no colon).
std::optional<std::pair<std::string, std::string>> http_basic_credentials(std::string_view value);

// The reason phrase of a status the simulator sends.
const char *http_reason(int status);

// Serve one accepted connection (non-blocking descriptor fd, closed here):
// read one request, answer it, close gracefully. Waits give up when
// abort_fd becomes readable. Returns the text of the connection's log line.
std::string http_serve(int fd, int abort_fd, const http_settings &settings,
                       const http_handler &handler);

} // namespace sim
