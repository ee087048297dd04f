// Fuzz target: arbitrary bytes as a socket-mode reply, read over a socket
// pair by the reply-head reader and, when the head is accepted, by the
// reply parser, then decoded as a call would decode it.

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "corvex/cx_invoke.h"
#include "corvex/cx_qsm.h"
#include "corvex/cx_xml.h"
#include "vovedi/pool.h"

namespace
{

// A connection handle reading from one end of a socket pair that holds
// data and then ends; null when the pair cannot be made.
shttpc_t *connection_over(const uint8_t *data, size_t size)
{
    int fd[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0)
        return nullptr;
    fcntl(fd[0], F_SETFL, O_NONBLOCK);
    fcntl(fd[1], F_SETFL, O_NONBLOCK);
    // What does not fit in the socket buffer is left out: the reader sees
    // a shorter reply, which is as good an input.
    while (size > 0) {
        ssize_t n = send(fd[1], data, size, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        data += n;
        size -= static_cast<size_t>(n);
    }
    close(fd[1]);
    auto *conn = static_cast<shttpc_t *>(VV_CALLOC(sizeof(shttpc_t)));
    if (!conn) {
        close(fd[0]);
        return nullptr;
    }
    conn->sock = fd[0];
    conn->timeout_ms = 1000;
    return conn;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    shttpc_t *conn = connection_over(data, size);
    if (!conn)
        return 0;
    long length = 0;
    if (cx_qsm_read_reply_head(conn, &length) == CX_QSM_OK) {
        cx_xml_state_t *state = xml_create();
        if (state) {
            xml_parse_stream(conn, state, length);
            cx_elem_t *result =
                state->error ? cx_reply_parse_error(state) : cx_reply_decode(&state->stack[0]);
            cx_elem_free(result);
        }
        xml_destroy(state);
    }
    cx_qsm_socket_close(conn);
    return 0;
}
