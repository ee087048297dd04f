// The exchange between the administration library (libcxadmin.so) and
// corapi-sim over a Unix domain socket. One call per connection:
//
//   request  "CXA1", payload length (4 bytes, big-endian), payload
//   reply    "CXA1", status (4 bytes), payload length (4 bytes), payload
//
// Payloads are UTF-8 documents without NUL bytes. A status of 0 carries
// the reply document; any other is a Windows system error code (the
// payload is then empty). The socket's path is the value of
// CORAPI_SIM_RPC_SOCKET when that is set and not empty, otherwise
// "/tmp/corapi-sim-UID.sock" with the numeric user id of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace cxadmin
{

inline constexpr char magic[4] = {'C', 'X', 'A', '1'};
inline constexpr size_t request_head_size = 8;
inline constexpr size_t reply_head_size = 12;
// The largest payload either side accepts (the simulator's own bound on
// request bodies applies before this one).
inline constexpr uint32_t payload_limit = uint32_t{1} << 30;
inline constexpr const char socket_variable[] = "CORAPI_SIM_RPC_SOCKET";

// The Windows system error codes of the exchange.
inline constexpr uint32_t error_access_denied = 5;
inline constexpr uint32_t error_not_enough_memory = 8;
inline constexpr uint32_t error_invalid_parameter = 87;
inline constexpr uint32_t error_timeout = 1460;
inline constexpr uint32_t rpc_server_unavailable = 1722;
inline constexpr uint32_t rpc_call_failed = 1726;
inline constexpr uint32_t rpc_bad_stub_data = 1783;

// The socket's path into buffer; false when it does not fit.
inline bool socket_path(char *buffer, size_t size)
{
    const char *chosen = getenv(socket_variable);
    int n = chosen && *chosen ? snprintf(buffer, size, "%s", chosen)
                              : snprintf(buffer, size, "/tmp/corapi-sim-%u.sock",
                                         static_cast<unsigned>(getuid()));
    return n > 0 && static_cast<size_t>(n) < size;
}

inline void put_u32(unsigned char *at, uint32_t value)
{
    at[0] = static_cast<unsigned char>(value >> 24);
    at[1] = static_cast<unsigned char>(value >> 16);
    at[2] = static_cast<unsigned char>(value >> 8);
    at[3] = static_cast<unsigned char>(value);
}

inline uint32_t get_u32(const unsigned char *at)
{
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

} // namespace cxadmin
