// HTTP/1.1 client: open a connection, post one request, read the reply head.

#include "corvex/http.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string.h>
#include <ctype.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include "corvex/http_url.h"
#include "vovedi/base64.h"
#include "vovedi/log.h"
#include "vovedi/pool.h"
#include "vovedi/sockerr.h"
#include "vovedi/str.h"
#include "vovedi/testpoint.h"

namespace
{

constexpr int line_capacity = 1024;
constexpr size_t max_header_bytes = 64 * 1024;
constexpr int first_privileged_port = 1023;

// Trace points of this module: their answers switch debug messages on.
bool gate(const char *event)
{
    return testpoint_int(0, "http", event, __FILE__, __LINE__) != 0;
}

void trace(const char *event)
{
    testpoint_int(0, "http", event, __FILE__, __LINE__);
}

// Releases a split URL at the end of a scope.
struct url_guard {
    http_url_t url{};
    ~url_guard() { http_url_free(&url); }
};

// Releases a resolver list at the end of a scope.
struct addrinfo_guard {
    addrinfo *list = nullptr;
    ~addrinfo_guard() { http_url_freeaddrinfo(list); }
};

void log_resolver_failure(const char *host, int code)
{
    char text[1025] = "";
    if (const char *message = sockerr_system_message(static_cast<unsigned>(code))) {
        snprintf(text, sizeof text, "%s", message);
        // The message is wanted on one line, without its closing line break.
        size_t n = strlen(text);
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
            text[--n] = '\0';
    }
    log_event(LOG_LEVEL_DEBUG, "getaddrinfo failed for %s, error = %s\n", host, text);
}

// Bind the socket to the wildcard address of its family at the highest free
// privileged port. False when none binds.
bool bind_privileged_port(shttpc_t *conn, int family)
{
    for (int port = first_privileged_port; port >= 1; port--) {
        sockaddr_storage local{};
        socklen_t length;
        if (family == AF_INET6) {
            auto *a6 = reinterpret_cast<sockaddr_in6 *>(&local);
            a6->sin6_family = AF_INET6;
            a6->sin6_addr = in6addr_any;
            a6->sin6_port = htons(static_cast<uint16_t>(port));
            length = sizeof *a6;
        } else {
            auto *a4 = reinterpret_cast<sockaddr_in *>(&local);
            a4->sin_family = AF_INET;
            a4->sin_addr.s_addr = htonl(INADDR_ANY);
            a4->sin_port = htons(static_cast<uint16_t>(port));
            length = sizeof *a4;
        }
        if (shttpc_bind(conn, reinterpret_cast<sockaddr *>(&local), static_cast<int>(length)) == 0)
            return true;
    }
    return false;
}

int timeout_ms_of(int timeout_s)
{
    if (timeout_s <= 0)
        return 0;
    return timeout_s > INT_MAX / 1000 ? INT_MAX : timeout_s * 1000;
}

// "host:port" for the Host header; an IPv6 literal goes in brackets.
const char *host_format(const char *host)
{
    return strchr(host, ':') ? "Host: [%s]:%u\r\n" : "Host: %s:%u\r\n";
}

void clear_credentials(http_credentials_t *cred)
{
    VV_FREE(cred->user);
    str_free_secret(cred->password);
    cred->user = cred->password = nullptr;
}

int copy_url_credentials(const http_url_t &url, http_credentials_t *cred)
{
    if (url.user && !(cred->user = VV_STRDUP(url.user)))
        return -12;
    if (url.user && url.password && !(cred->password = VV_STRDUP(url.password))) {
        clear_credentials(cred);
        return -12;
    }
    return 0;
}

// Store one "Name: value" line in the table; a line without ":" is skipped.
bool store_header(stab_t *table, char *line)
{
    char *colon = strchr(line, ':');
    if (!colon)
        return true;
    *colon = '\0';
    const char *value = colon + 1;
    while (*value && isspace(static_cast<unsigned char>(*value)))
        value++;
    return stab_set(table, line, value) == 0;
}

// The number of a status line ("HTTP/1.1 200 OK"), or 0 when it holds none.
int status_of_line(const char *line)
{
    char word[line_capacity];
    int status = 0;
    if (sscanf(line, "%1023s%d", word, &status) != 2)
        return 0;
    return status;
}

// Read the status line (passing the blank line that ends an interim reply)
// and take its number, by the deadline. 500 when no line could be read; 0
// when the line holds no number.
int read_status(shttpc_t *conn, int64_t deadline)
{
    char line[line_capacity];
    if (!http_read_line_until(conn, line, sizeof line, deadline))
        return 500;
    if (line[0] == '\0' && !http_read_line_until(conn, line, sizeof line, deadline))
        return 500;
    return status_of_line(line);
}

// Read header lines up to the blank line into table (or drop them when it
// is null), by the deadline. 200, or 500 when the head breaks off, is late
// or grows past its bound.
int read_header_lines(shttpc_t *conn, stab_t *table, int64_t deadline)
{
    char line[line_capacity];
    size_t total = 0;
    for (;;) {
        if (!http_read_line_until(conn, line, sizeof line, deadline))
            return 500;
        if (line[0] == '\0')
            return 200;
        total += strlen(line) + 2;
        if (total > max_header_bytes) {
            sockerr_set(SOCKERR_EMSGSIZE);
            return 500;
        }
        if (table && !store_header(table, line))
            return -12;
    }
}

// The request as one text: request line, authorisation, Host,
// Content-Length, blank line and the body (which may hold any bytes).
int write_whole_request(shttpc_t *conn, const http_url_t &url, const http_credentials_t *cred,
                        const char *method, const char *body, int length)
{
    // The authorisation line fails only for want of memory: say so, rather
    // than blame the connection.
    char *auth = nullptr;
    if (cred && cred->user && !http_format_basic_auth(cred, &auth))
        return -12;
    char *head = nullptr;
    size_t size = 0;
    bool ok = str_append_printf(&head, &size, "%s /%s HTTP/1.1\r\n%s", method, url.path,
                                auth ? auth : "") &&
              str_append_printf(&head, &size, host_format(url.host), url.host,
                                static_cast<unsigned>(url.port)) &&
              str_append_printf(&head, &size, "Content-Length: %u\r\n\r\n",
                                static_cast<unsigned>(length));
    // The authorisation line stands for the password: every copy of it is
    // wiped before it is released.
    str_free_secret(auth);
    if (!ok) {
        str_free_secret(head);
        return -12;
    }
    size_t head_length = strlen(head);
    auto *request = static_cast<char *>(VV_MALLOC(head_length + static_cast<size_t>(length)));
    if (!request) {
        str_free_secret(head);
        return -12;
    }
    memcpy(request, head, head_length);
    memcpy(request + head_length, body, static_cast<size_t>(length));
    str_free_secret(head);
    int written = http_write(conn, request, static_cast<int>(head_length) + length);
    explicit_bzero(request, head_length);
    VV_FREE(request);
    return written ? 200 : 500;
}

// The request piece by piece, with extra header lines; honours
// "Expect: 100-continue" and "Transfer-Encoding: chunked".
int write_request_with_headers(shttpc_t *conn, const http_url_t &url,
                               const http_credentials_t *cred, const char *method, const char *body,
                               int length, stab_t *extra)
{
    if (!http_printf(conn, "%s /%s HTTP/1.1\r\n", method, url.path) ||
        !http_write_basic_auth(conn, cred) ||
        !http_printf(conn, host_format(url.host), url.host, static_cast<unsigned>(url.port)))
        return 500;
    stab_iter_t cursor;
    for (const char *name = stab_first(extra, &cursor); name; name = stab_next(extra, &cursor)) {
        if (!http_printf(conn, "%s: %s\r\n", name, stab_iter_value(&cursor)))
            return 500;
    }
    bool expect_continue = strcasecmp(stab_get(extra, "expect"), "100-continue") == 0;
    bool chunked = strcasecmp(stab_get(extra, "transfer-encoding"), "chunked") == 0;
    if (!chunked && !http_printf(conn, "Content-Length: %u\r\n", static_cast<unsigned>(length)))
        return 500;
    if (!http_write(conn, "\r\n", 2))
        return 500;
    if (expect_continue) {
        char line[line_capacity];
        if (!http_read_line_until(conn, line, sizeof line, shttpc_deadline(conn)))
            return 500;
        int status = status_of_line(line);
        if (status != 100)
            return status;
    }
    if (chunked) {
        if (!http_printf(conn, "%x\r\n", static_cast<unsigned>(length)) ||
            !http_write(conn, body, length) || !http_write(conn, "\r\n0\r\n\r\n", 7))
            return 500;
    } else if (!http_write(conn, body, length)) {
        return 500;
    }
    return 200;
}

} // namespace

int http_open(const char *host, int port, shttpc_t **out, int hostequiv, int tls, int timeout_s)
{
    return http_open_checked(host, port, out, hostequiv, tls, timeout_s, nullptr);
}

int http_open_checked(const char *host, int port, shttpc_t **out, int hostequiv, int tls,
                      int timeout_s, const http_tls_check_t *check)
{
    shttpc_tls_refusal_clear(); // a refusal seen after this is this open's
    if (!out || !host)
        return -22;
    *out = nullptr;
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo_guard resolved;
    int rc = http_url_getaddrinfo(host, service, &hints, &resolved.list);
    if (rc != 0) {
        if (gate("debug"))
            log_resolver_failure(host, rc);
        return rc;
    }
    trace("open");
    const addrinfo *first = resolved.list;
    shttpc_t *conn = shttpc_new_ipv6(tls, timeout_ms_of(timeout_s), first);
    if (!conn)
        return sockerr_get() ? -sockerr_get() : -11;
    int family = first->ai_family == AF_INET6 ? AF_INET6 : AF_INET;
    if (hostequiv && !bind_privileged_port(conn, family)) {
        shttpc_close(conn);
        return -1;
    }
    if (tls == 1 && shttpc_set_tls_peer(conn, host, check && check->verify,
                                        check ? check->ca_file : nullptr) != 0) {
        shttpc_close(conn);
        return -12;
    }
    if (shttpc_connect_ipv6(conn, first, static_cast<int>(first->ai_addrlen)) != 0) {
        int error = sockerr_get();
        if (tls == 1 && error != SOCKERR_ECONNREFUSED && gate("debug"))
            log_event(LOG_LEVEL_DEBUG, "SSL connect to %s:%hu failed: ", host,
                      static_cast<unsigned short>(port));
        shttpc_close(conn);
        return error ? -error : -11;
    }
    *out = conn;
    trace("finish-open");
    return 0;
}

int http_open_url(const char *url, shttpc_t **out, http_credentials_t *cred, int hostequiv, int tls,
                  int timeout_s)
{
    return http_open_url_checked(url, out, cred, hostequiv, tls, timeout_s, nullptr);
}

int http_open_url_checked(const char *url, shttpc_t **out, http_credentials_t *cred, int hostequiv,
                          int tls, int timeout_s, const http_tls_check_t *check)
{
    shttpc_tls_refusal_clear();
    if (!url || !out || !cred)
        return -22;
    *out = nullptr;
    cred->user = cred->password = nullptr;
    url_guard split;
    int rc = http_url_split(url, &split.url);
    if (rc != 0)
        return rc;
    rc = copy_url_credentials(split.url, cred);
    if (rc != 0)
        return rc;
    rc = http_open_checked(split.url.host, split.url.port, out, hostequiv, tls, timeout_s, check);
    if (rc != 0)
        clear_credentials(cred);
    return rc;
}

int http_post(shttpc_t *conn, const char *url, const http_credentials_t *cred, const char *body,
              int length, stab_t **headers)
{
    return http_post_with_headers(conn, url, cred, body, length, nullptr, headers);
}

int http_post_with_headers(shttpc_t *conn, const char *url, const http_credentials_t *cred,
                           const char *body, int length, stab_t *extra, stab_t **headers)
{
    if (!url || !body)
        return -22;
    trace("post");
    int rc = http_request(conn, url, cred, "POST", body, length, extra, headers);
    trace("finish-post");
    return rc;
}

int http_request(shttpc_t *conn, const char *url, const http_credentials_t *cred,
                 const char *method, const char *body, int length, stab_t *extra, stab_t **headers)
{
    if (headers)
        *headers = nullptr;
    if (!conn || !url || !method || length < 0 || (length > 0 && !body))
        return -22;
    url_guard split;
    int rc = http_url_split(url, &split.url);
    if (rc != 0)
        return rc;
    if (!body)
        body = "";
    rc = extra ? write_request_with_headers(conn, split.url, cred, method, body, length, extra)
               : write_whole_request(conn, split.url, cred, method, body, length);
    if (rc != 200)
        return rc;
    return http_read_reply_head(conn, headers);
}

int http_read_reply_head(shttpc_t *conn, stab_t **headers)
{
    if (headers)
        *headers = nullptr;
    // One deadline for the whole head: a server that sends it a byte at a
    // time cannot hold the call for longer than the time-out.
    int64_t deadline = shttpc_deadline(conn);
    int status = read_status(conn, deadline);
    if (status != 200)
        return status;
    stab_t *table = nullptr;
    if (headers && !(table = stab_new(nullptr)))
        return -12;
    int rc = read_header_lines(conn, table, deadline);
    if (rc != 200) {
        stab_free(table);
        return rc;
    }
    if (headers)
        *headers = table;
    return 200;
}

int http_read_line(shttpc_t *conn, char *buffer, int capacity)
{
    return http_read_line_until(conn, buffer, capacity, shttpc_deadline(conn));
}

int http_read_line_until(shttpc_t *conn, char *buffer, int capacity, int64_t deadline)
{
    for (int used = 0; used < capacity; used++) {
        if (shttpc_read_until(conn, buffer + used, 1, deadline) != 1)
            return 0;
        if (buffer[used] == '\n') {
            buffer[used] = '\0';
            if (used > 0 && buffer[used - 1] == '\r')
                buffer[used - 1] = '\0';
            return 1;
        }
    }
    return 0;
}

int http_write(shttpc_t *conn, const char *data, int length)
{
    if (length <= 0)
        return 1;
    if (shttpc_write(conn, data, length) >= length)
        return 1;
    if (gate("sockerror"))
        log_event(LOG_LEVEL_DEBUG, "Failed to write to HTTP socket, error: %d\n", sockerr_get());
    return 0;
}

int http_printf(shttpc_t *conn, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char *text = str_vprintf(format, args);
    va_end(args);
    if (!text)
        return 0;
    int written = http_write(conn, text, static_cast<int>(strlen(text)));
    VV_FREE(text);
    return written;
}

int http_format_basic_auth(const http_credentials_t *cred, char **line)
{
    *line = nullptr;
    if (!cred || !cred->user)
        return 1;
    char *login = str_printf("%s:%s", cred->user, cred->password ? cred->password : "");
    if (!login) {
        log_event(LOG_LEVEL_DEBUG, "failed to format credentials for %s\n", cred->user);
        return 0;
    }
    char *encoded = base64_encode(login);
    if (!encoded) {
        // The login text holds the password: the log shows the user only.
        log_event(LOG_LEVEL_DEBUG, "base64_encode() failed for login str %s:%s\n", cred->user,
                  "********");
        str_free_secret(login);
        return 0;
    }
    *line = str_printf("Authorization: Basic %s\r\n", encoded);
    str_free_secret(login);
    str_free_secret(encoded);
    // Without its line the request would go out unauthorised: that is a
    // failure, not a request without credentials.
    return *line != nullptr;
}

int http_write_basic_auth(shttpc_t *conn, const http_credentials_t *cred)
{
    char *line;
    if (!http_format_basic_auth(cred, &line))
        return 0;
    if (!line)
        return 1;
    int written = http_write(conn, line, static_cast<int>(strlen(line)));
    str_free_secret(line);
    return written;
}
