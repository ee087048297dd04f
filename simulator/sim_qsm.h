// The socket-mode side of the simulator: one request per connection, a
// short text head instead of HTTP.
//
//   request  "CORAPI-D/1.0", then "User: ", "Password: " and
//            "Content-length: " lines (any order, names in any case), a
//            blank line, and the request document
//   reply    "CORAPI-D/1.0 <status>", "Content-length: <n>", a blank line,
//            and the reply document (n bytes; 0 unless the status is 200)
//
// Lines end in LF, optionally after CR. The same users, bounds and
// time-out as over HTTP apply: a wrong login answers 401, a malformed head
// 400, a body over the bound 413, a request not received whole in time
// 408.
#pragma once

#include <string>

#include "sim_http.h"

namespace sim
{

// Serve one accepted connection (non-blocking descriptor fd, closed here),
// answering with handler as over HTTP (user, password, timeout and
// max_body of settings apply). Waits give up when abort_fd becomes
// readable. Returns the text of the connection's log line.
std::string qsm_serve(int fd, int abort_fd, const http_settings &settings,
                      const http_handler &handler);

} // namespace sim
