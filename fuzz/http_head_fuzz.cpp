// Fuzz target: arbitrary bytes as an HTTP reply head, read by the reply head
// reader from one end of a socket pair, with and without a header table.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <sys/socket.h>
#include <unistd.h>

#include "corvex/http.h"
#include "vovedi/stab.h"

namespace
{

// The bytes on one end of a socket pair, closed after them; the other end
// as a connection with a time-out, or -1.
bool connection_with(const uint8_t *data, size_t size, int fds[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return false;
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = write(fds[1], data + sent, size - sent);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);
    return sent == size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    for (bool want_headers : {true, false}) {
        int fds[2];
        if (!connection_with(data, size, fds))
            abort();
        shttpc_t conn{};
        conn.sock = fds[0];
        conn.timeout_ms = 1000;
        stab_t *headers = nullptr;
        int status = http_read_reply_head(&conn, want_headers ? &headers : nullptr);
        // A table exactly for a whole head with status 200, when asked for.
        if ((headers != nullptr) != (want_headers && status == 200))
            abort();
        stab_iter_t cursor;
        for (const char *key = stab_first(headers, &cursor); key; key = stab_next(headers, &cursor))
            if (!stab_iter_value(&cursor))
                abort();
        stab_free(headers);
        close(fds[0]);
        close(fds[1]);
    }
    return 0;
}
