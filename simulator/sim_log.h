// The simulator's log: one line per connection on standard error, and the
// texts of socket addresses used in it.
#pragma once

#include <string>
#include <sys/socket.h>

namespace sim
{

// Write one log line "<time> <peer> <text>" to standard error in one piece,
// so that lines of concurrent connections never mix. Line breaks inside the
// text become blanks.
void log_line(const std::string &peer, const std::string &text);

// "127.0.0.1:8580" or "[::1]:8580".
std::string address_text(const sockaddr *address);

} // namespace sim
