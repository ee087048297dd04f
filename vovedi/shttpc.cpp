// Socket client: one TCP connection with a single deadline per operation.

#include "vovedi/shttpc.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vovedi/log.h"
#include "vovedi/pool.h"
#include "vovedi/sockerr.h"
#include "vovedi/testpoint.h"

namespace
{

// A bad argument: errno EINVAL and the matching socket error.
int refuse_argument()
{
    errno = EINVAL;
    sockerr_set(SOCKERR_EINVAL);
    return -1;
}

bool would_block(int code)
{
    return code == SOCKERR_EWOULDBLOCK || code == SOCKERR_EINPROGRESS;
}

// The deadline of one operation, taken once at its start. The test point
// "shttpc"/"deadline" may replace the budget; a negative one puts the
// deadline in the past.
int64_t operation_deadline(const shttpc_t *conn)
{
    int budget =
        testpoint_int(static_cast<int>(conn->timeout_ms), "shttpc", "deadline", __FILE__, __LINE__);
    return sockerr_clock_ms() + budget;
}

[[maybe_unused]] const char *error_text(int rc, const char *buffer) // strerror_r, XSI flavour
{
    return rc == 0 ? buffer : "Unknown error";
}

[[maybe_unused]] const char *error_text(const char *text, const char *) // GNU flavour
{
    return text;
}

// A new handle without a socket yet; null (reported) when memory runs out.
shttpc_t *handle_new(int mode, int timeout_ms)
{
    auto *conn = static_cast<shttpc_t *>(VV_CALLOC(sizeof(shttpc_t)));
    if (!conn) {
        log_nomem("socket creation");
        sockerr_set(SOCKERR_ENOBUFS);
        errno = ENOMEM;
        return nullptr;
    }
    conn->mode = mode;
    conn->sock = -1;
    conn->timeout_ms = timeout_ms > 0 ? static_cast<uint32_t>(timeout_ms) : 0;
    return conn;
}

// The TCP socket of the given family, close-on-exec so that no child
// process inherits it; -1 with the last error set.
int open_stream_socket(int family)
{
    int sock = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0)
        sockerr_set_errno(errno);
    return sock;
}

// Release a handle whose socket could not be made, keeping the reason.
void handle_discard(shttpc_t *conn, int posix_errno)
{
    int code = sockerr_get();
    VV_FREE(conn);
    sockerr_set(code);
    errno = posix_errno;
}

// Wait for a non-blocking connect to finish: 0 when connected, -1 with the
// reason in the last error. A deadline that has passed fails at once.
int shttpc_get_connect_error(shttpc_t *conn, int64_t deadline)
{
    int ready = 0;
    int rc = sockerr_wait(conn->sock, SOCKERR_WRITABLE, deadline, &ready);
    if (rc < 0) {
        log_report(LOG_LEVEL_ERROR, "shttpc_get_connect_error::socket is not selected, err=%d",
                   sockerr_get());
        return -1;
    }
    if (rc == 0)
        return -1;
    int code = 0;
    bool fetched = sockerr_pending(conn->sock, &code) == 0;
    if ((ready & SOCKERR_EXCEPTION) && !fetched)
        code = SOCKERR_ECONNREFUSED;
    if (code != 0) {
        sockerr_set(code);
        return -1;
    }
    return 0;
}

// The TLS handshake that ends every connect, under the connect's deadline.
// A plain handle has none. TLS is not built into this library yet, so a TLS
// handle cannot finish its connect and fails with SOCKERR_EPROTONOSUPPORT.
int shttpc_connect_ssl(shttpc_t *conn, int64_t deadline)
{
    (void)deadline;
    if (conn->mode == SHTTPC_MODE_PLAIN)
        return 0;
    sockerr_set(SOCKERR_EPROTONOSUPPORT);
    return -1;
}

// One attempt at reading. Returns the count or -1; with -1, *wait_for
// tells what to wait for before the next attempt (0: the failure is final,
// reason in the last error).
int read_attempt(shttpc_t *conn, char *buffer, int size, int *wait_for)
{
    *wait_for = 0;
    if (conn->mode != SHTTPC_MODE_PLAIN) {
        sockerr_set(SOCKERR_ENOTCONN); // no TLS connection to read from
        return -1;
    }
    int got = sockerr_recv(conn->sock, buffer, size);
    if (got < 0 && conn->timeout_ms != 0 && would_block(sockerr_get()))
        *wait_for = SOCKERR_READABLE;
    return got;
}

// One attempt at writing what is left after *written bytes. Returns 1 when
// all is written, 0 to wait for *wait_for, -1 on failure (last error set).
int write_attempt(shttpc_t *conn, const char *data, int length, int *written, int *wait_for)
{
    *wait_for = 0;
    if (conn->mode != SHTTPC_MODE_PLAIN) {
        sockerr_set(SOCKERR_ENOTCONN); // no TLS connection to write to
        return -1;
    }
    int sent = sockerr_send(conn->sock, data + *written, length - *written);
    if (sent > 0) {
        *written += sent;
        if (*written == length)
            return 1;
    } else if (conn->timeout_ms == 0 || !would_block(sockerr_get())) {
        return -1;
    }
    *wait_for = SOCKERR_WRITABLE;
    return 0;
}

} // namespace

shttpc_t *shttpc_socket_new(int mode, int timeout_ms)
{
    if (mode != SHTTPC_MODE_PLAIN && mode != SHTTPC_MODE_TLS) {
        refuse_argument();
        return nullptr;
    }
    shttpc_t *conn = handle_new(mode, timeout_ms);
    if (!conn)
        return nullptr;
    conn->sock = open_stream_socket(AF_INET);
    if (conn->sock < 0) {
        int posix_errno = errno;
        log_report(LOG_LEVEL_ERROR,
                   "shttpc_socket_new::Not able to create socket,error number = %d", sockerr_get());
        handle_discard(conn, posix_errno);
        return nullptr;
    }
    return conn;
}

shttpc_t *shttpc_new_ipv6(int mode, int timeout_ms, const struct addrinfo *ai)
{
    if (!ai || (mode != SHTTPC_MODE_PLAIN && mode != SHTTPC_MODE_TLS)) {
        refuse_argument();
        return nullptr;
    }
    int family = ai->ai_family == AF_INET6 ? AF_INET6 : AF_INET;
    if (ai->ai_family != AF_UNSPEC && ai->ai_family != AF_INET && ai->ai_family != AF_INET6) {
        log_report(LOG_LEVEL_ERROR, "shttpc_new_ipv6::Unknown adrress family = %d", ai->ai_family);
        errno = EAFNOSUPPORT;
        sockerr_set(SOCKERR_EAFNOSUPPORT);
        return nullptr;
    }
    shttpc_t *conn = handle_new(mode, timeout_ms);
    if (!conn)
        return nullptr;
    conn->sock = open_stream_socket(family);
    if (conn->sock < 0) {
        int posix_errno = errno;
        if (sockerr_get() != SOCKERR_EAFNOSUPPORT) {
            char buffer[128] = "";
            log_report(
                LOG_LEVEL_ERROR, "shttpc_new_ipv6::Not able to create socket, Reason: %s(%d)",
                error_text(strerror_r(posix_errno, buffer, sizeof buffer), buffer), sockerr_get());
        }
        handle_discard(conn, posix_errno);
        return nullptr;
    }
    return conn;
}

int shttpc_connect(shttpc_t *conn, const struct sockaddr *addr, int addrlen)
{
    if (!conn || !addr || addrlen <= 0)
        return refuse_argument();
    int64_t deadline = operation_deadline(conn);
    bool timed = conn->timeout_ms != 0;
    if (sockerr_set_nonblocking(conn->sock, timed) != 0)
        return -1;
    int entry_error = sockerr_get();
    if (connect(conn->sock, addr, static_cast<socklen_t>(addrlen)) != 0) {
        int code = sockerr_set_errno(errno);
        if (!timed || !would_block(code))
            return -1;
        if (shttpc_get_connect_error(conn, deadline) != 0)
            return -1;
        sockerr_set(entry_error); // connected: the "in progress" is no reason for anything
    }
    return shttpc_connect_ssl(conn, deadline) == 0 ? 0 : -1;
}

int shttpc_connect_ipv6(shttpc_t *conn, const struct addrinfo *ai, int addrlen)
{
    if (!ai)
        return refuse_argument();
    return shttpc_connect(conn, ai->ai_addr, addrlen);
}

int64_t shttpc_deadline(const shttpc_t *conn)
{
    if (!conn || conn->timeout_ms == 0)
        return -1;
    return operation_deadline(conn);
}

int shttpc_read_until(shttpc_t *conn, char *buffer, int size, int64_t deadline)
{
    if (!conn || !buffer || size < 0)
        return refuse_argument();
    // A read that had to wait and then succeeded leaves the last error as
    // it found it, not at the "would block" of its first attempt.
    int entry_error = sockerr_get();
    for (;;) {
        int wait_for = 0;
        int got = read_attempt(conn, buffer, size, &wait_for);
        if (got >= 0)
            sockerr_set(entry_error);
        if (got >= 0 || wait_for == 0)
            return got;
        if (sockerr_wait(conn->sock, wait_for, deadline, nullptr) != 1)
            return -1;
    }
}

int shttpc_read(shttpc_t *conn, char *buffer, int size)
{
    if (!conn)
        return refuse_argument();
    return shttpc_read_until(conn, buffer, size, shttpc_deadline(conn));
}

int shttpc_write(shttpc_t *conn, const char *data, int length)
{
    if (!conn || length < 0 || (!data && length > 0))
        return refuse_argument();
    if (length == 0)
        return 0;
    // Without a time-out only a partial send on the blocking socket waits,
    // and then without a limit.
    int64_t deadline = conn->timeout_ms != 0 ? operation_deadline(conn) : -1;
    int entry_error = sockerr_get();
    int written = 0;
    for (;;) {
        int wait_for = 0;
        int rc = write_attempt(conn, data, length, &written, &wait_for);
        if (rc > 0)
            sockerr_set(entry_error);
        if (rc != 0)
            return rc > 0 ? length : -1;
        rc = sockerr_wait(conn->sock, wait_for, deadline, nullptr);
        if (rc < 0) {
            log_report(LOG_LEVEL_INFO, "shttpc_write::socket select error. ");
            return -1;
        }
        if (rc == 0)
            return written;
    }
}

int shttpc_setsockopt(shttpc_t *conn, int level, int name, const void *value, int length)
{
    if (!conn || length < 0)
        return refuse_argument();
    if (setsockopt(conn->sock, level, name, value, static_cast<socklen_t>(length)) != 0) {
        sockerr_set_errno(errno);
        return -1;
    }
    return 0;
}

int shttpc_bind(shttpc_t *conn, const struct sockaddr *addr, int addrlen)
{
    if (!conn || !addr || addrlen <= 0)
        return refuse_argument();
    if (bind(conn->sock, addr, static_cast<socklen_t>(addrlen)) != 0) {
        sockerr_set_errno(errno);
        return -1;
    }
    return 0;
}

void shttpc_close(shttpc_t *conn)
{
    if (!conn)
        return;
    int saved_errno = errno;
    if (conn->sock >= 0)
        close(conn->sock);
    VV_FREE(conn);
    errno = saved_errno;
}
