// The RPC side of the simulator: the administration library that goes with
// it (cxadmin/) hands each call over a Unix domain socket in one
// length-prefixed frame (cxadmin/cxadmin_frame.h). The caller must run as
// the simulator's own user, as the peer credentials of the socket show;
// that stands in for the integrated login of a real server, so no password
// travels. Malformed frames, and frames over the body bound, are refused
// with the system error 1783, callers of another user with 5 (access
// denied), requests not received whole in time with 1460.
#pragma once

#include <string>

#include "sim_http.h"

namespace sim
{

// Listen at path: a stale socket left there by a simulator that has gone
// is replaced; a live one, or any other file, is not. The socket file can
// be reached by every user, so that callers of other users are refused by
// name rather than by the file's mode. Returns the non-blocking listening
// descriptor, or -1 with the reason in error.
int rpc_listen(const std::string &path, std::string &error);

// The caller at the other end of fd, for the log: "pid:P,uid:U".
std::string rpc_peer_name(int fd);

// Serve one accepted connection (non-blocking descriptor fd, closed here),
// answering with handler as over HTTP (timeout and max_body of settings
// apply). Waits give up when abort_fd becomes readable. Returns the text of
// the connection's log line.
std::string rpc_serve(int fd, int abort_fd, const http_settings &settings,
                      const http_handler &handler);

} // namespace sim
