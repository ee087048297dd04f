// Socket-mode protocol: open, send the head and body, read the reply head, close.

#include "corvex/cx_qsm.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "corvex/http.h"
#include "corvex/http_url.h"
#include "vovedi/pool.h"
#include "vovedi/sockerr.h"
#include "vovedi/str.h"

namespace
{

constexpr const char head_format[] =
    "CORAPI-D/1.0\r\nUser: %s\r\nPassword: %s\r\nContent-length: %zd\r\n\r\n";

int timeout_ms_of(int timeout_s)
{
    if (timeout_s <= 0)
        return 0;
    return timeout_s > INT_MAX / 1000 ? INT_MAX : timeout_s * 1000;
}

// The failure exit of an open: the negated socket error, or -11 without one.
int open_failure(shttpc_t *conn)
{
    int error = sockerr_get();
    shttpc_close(conn);
    return error ? -error : -11;
}

// The number after the literal prefix of line, as "<prefix> %d" reads it:
// white space (or none) after the prefix, a sign, digits; what follows
// them is not looked at. False when the prefix differs (case counts), no
// digit follows, or the number does not fit an int.
bool number_after(const char *line, const char *prefix, long *value)
{
    size_t n = strlen(prefix);
    if (strncmp(line, prefix, n) != 0)
        return false;
    const char *at = line + n;
    while (isspace(static_cast<unsigned char>(*at)))
        at++;
    const char *digits = *at == '+' || *at == '-' ? at + 1 : at;
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return false;
    int saved = errno;
    errno = 0;
    long number = strtol(at, nullptr, 10);
    bool fits = errno == 0 && number >= INT_MIN && number <= INT_MAX;
    errno = saved;
    *value = number;
    return fits;
}

bool holds_line_break(const char *text)
{
    return text && strpbrk(text, "\r\n") != nullptr;
}

} // namespace

int cx_qsm_socket_open(const char *user, const char *password, const char *host, int resolve_names,
                       int transport, int port, int timeout_s, shttpc_t **out)
{
    (void)user, (void)password, (void)transport;
    if (!out || !host)
        return -22;
    *out = nullptr;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    uint32_t ip = 0;
    if (http_url_ipv4_lookup(host, resolve_names, &ip) != 0)
        return -2;
    address.sin_addr.s_addr = ip;
    shttpc_t *conn = shttpc_socket_new(SHTTPC_MODE_PLAIN, timeout_ms_of(timeout_s));
    if (!conn) {
        printf("cx_qsm_socket_open(): shttpc_new() returns failure\n");
        return open_failure(nullptr);
    }
    int rc = shttpc_connect(conn, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    if (rc == -1) {
        printf("cx_qsm_socket_open(): shttpc_connect() returns %d\n", rc);
        return open_failure(conn);
    }
    int one = 1;
    rc = shttpc_setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (rc == -1)
        printf("cx_qsm_socket_open(): shttpc_setsockopt() returns %d\n", rc);
    *out = conn;
    return 0;
}

int cx_qsm_login_valid(const char *user, const char *password)
{
    return !holds_line_break(user) && !holds_line_break(password);
}

int cx_qsm_send_request(shttpc_t *conn, const char *user, const char *password, const char *body,
                        size_t length, long *content_length)
{
    if (!conn || !body || !content_length)
        return -22;
    *content_length = 0;
    if (!cx_qsm_login_valid(user, password) || length > INT_MAX)
        return CX_QSM_CANT_ENCODE;
    // The whole head goes out, however long the user name and password.
    char *head = str_printf(head_format, user ? user : "", password ? password : "",
                            static_cast<ssize_t>(length));
    if (!head)
        return CX_QSM_NO_REQUEST_BUFFER;
    int head_length = static_cast<int>(strlen(head));
    int written = shttpc_write(conn, head, head_length);
    VV_FREE(head);
    if (written < head_length)
        return CX_QSM_HEAD_NOT_SENT;
    if (shttpc_write(conn, body, static_cast<int>(length)) < static_cast<int>(length))
        return CX_QSM_BODY_NOT_SENT;
    return cx_qsm_read_reply_head(conn, content_length);
}

int cx_qsm_read_reply_head(shttpc_t *conn, long *content_length)
{
    if (!conn || !content_length)
        return -22;
    *content_length = 0;
    // One deadline for the whole head; the lines are read byte by byte, so
    // that the body stays on the connection, and body reads keep the
    // per-read time-out.
    int64_t deadline = shttpc_deadline(conn);
    char line[CX_QSM_LINE_CAPACITY];
    long number = 0;
    if (!http_read_line_until(conn, line, sizeof line, deadline))
        return CX_QSM_NO_LINE_1;
    if (!*line)
        return CX_QSM_DROPPED;
    if (!number_after(line, "CORAPI-D/1.0", &number))
        return CX_QSM_BAD_STATUS;
    if (number != CX_QSM_OK)
        return static_cast<int>(number);
    if (!http_read_line_until(conn, line, sizeof line, deadline))
        return CX_QSM_NO_LINE_2;
    if (!*line)
        return CX_QSM_DROPPED;
    // A negative length would make the parser read until the peer closes.
    if (!number_after(line, "Content-length:", &number) || number < 0)
        return CX_QSM_BAD_LENGTH;
    *content_length = number;
    if (!http_read_line_until(conn, line, sizeof line, deadline))
        return CX_QSM_NO_LINE_3;
    return CX_QSM_OK;
}

int cx_qsm_read_line(shttpc_t *conn, char *buffer, int capacity)
{
    if (!conn || !buffer)
        return 0;
    return http_read_line_until(conn, buffer, capacity, shttpc_deadline(conn));
}

void cx_qsm_socket_close(shttpc_t *conn)
{
    shttpc_close(conn);
}
