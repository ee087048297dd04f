/*
 * HTTP/1.1 client: one connection carries one POST and its reply head; the
 * body stays on the connection for the reply parser, and the caller closes
 * the connection with shttpc_close.
 *
 * Opening results: 0 on success; -22 invalid argument, -12 out of memory,
 * -11 a failure that left no error code, -1 no privileged local port could
 * be bound; a negated Windows Sockets number for socket failures; the
 * resolver's own (positive) number when the name does not resolve.
 *
 * Request results: the reply's HTTP status (200 on success), 500 for a
 * transport failure (reason in the socket last error), -12 out of memory,
 * -22 for missing arguments or a URL that cannot be split, or the status
 * that came instead of "100 Continue" when one was expected.
 */
#ifndef CORVEX_HTTP_H
#define CORVEX_HTTP_H

#include <stdint.h>
#include "vovedi/common.h"
#include "vovedi/shttpc.h"
#include "vovedi/stab.h"

VV_BEGIN_DECL

/* User name and password for Basic authorisation; each owned, or null. */
typedef struct http_credentials_s {
    char *user;
    char *password;
} http_credentials_t;

/*
 * How a TLS connection checks the server. The server's host name is always
 * sent in the handshake (SNI); with verify set, the server's certificate
 * must lead to an authority in ca_file (PEM), or in the system's trusted
 * store when ca_file is null, and name the host. A refusal fails the open
 * with the reason in shttpc_tls_refusal(), which every open clears first.
 */
typedef struct http_tls_check_s {
    int verify;
    const char *ca_file;
} http_tls_check_t;

/*
 * Open a connection to the host and port of url. Credentials written in the
 * URL are copied into cred (cleared first; the caller frees what it holds
 * afterwards, also on failure). TLS follows the tls flag alone; with
 * hostequiv the socket is bound to a privileged local port first.
 */
int http_open_url(const char *url, shttpc_t **out, http_credentials_t *cred, int hostequiv, int tls,
                  int timeout_s);

/* Resolve host, connect to its first address and store the handle in *out. */
int http_open(const char *host, int port, shttpc_t **out, int hostequiv, int tls, int timeout_s);

/* http_open_url and http_open with the server checks of a TLS connection (check may be null). */
int http_open_url_checked(const char *url, shttpc_t **out, http_credentials_t *cred, int hostequiv,
                          int tls, int timeout_s, const http_tls_check_t *check);
int http_open_checked(const char *host, int port, shttpc_t **out, int hostequiv, int tls,
                      int timeout_s, const http_tls_check_t *check);

/*
 * POST body (length bytes) to the path of url, with Basic authorisation
 * when cred names a user, and read the reply head. With status 200 and a
 * non-null headers, *headers receives a new table of the reply's header
 * fields (released with stab_free); otherwise it is left null.
 */
int http_post(shttpc_t *conn, const char *url, const http_credentials_t *cred, const char *body,
              int length, stab_t **headers);

/*
 * As http_post, with extra request headers (may be null). "Expect:
 * 100-continue" waits for the interim reply before the body is sent;
 * "Transfer-Encoding: chunked" sends the body as one chunk.
 */
int http_post_with_headers(shttpc_t *conn, const char *url, const http_credentials_t *cred,
                           const char *body, int length, stab_t *extra, stab_t **headers);

/* One request with any method; arguments as http_post_with_headers. */
int http_request(shttpc_t *conn, const char *url, const http_credentials_t *cred,
                 const char *method, const char *body, int length, stab_t *extra, stab_t **headers);

/*
 * Read the status line and, for status 200, the header lines up to the
 * blank line, all within one time-out of the connection counted from the
 * call. Returns the status, 500 when the head cannot be read whole in time
 * (last error SOCKERR_ETIMEDOUT when late) or its header lines exceed
 * 64 KiB, -12 out of memory.
 */
int http_read_reply_head(shttpc_t *conn, stab_t **headers);

/*
 * Read one line of at most capacity bytes, its line end replaced by a NUL
 * (a carriage return before the line feed too), within one time-out of the
 * connection. 1 for a complete line; 0 at end of stream, on failure, when
 * the time-out passes or when the line does not fit.
 */
int http_read_line(shttpc_t *conn, char *buffer, int capacity);

/* As http_read_line, by a deadline taken earlier (shttpc_deadline; -1 for none). */
int http_read_line_until(shttpc_t *conn, char *buffer, int capacity, int64_t deadline);

/* Write length bytes: 1 when all were written (or length <= 0), else 0. */
int http_write(shttpc_t *conn, const char *data, int length);

/* Write formatted text: 1 when all was written, else 0. */
int http_printf(shttpc_t *conn, const char *format, ...) VV_PRINTF(2, 3);

/* Write the "Authorization: Basic" line when cred names a user: 1, or 0 on failure. */
int http_write_basic_auth(shttpc_t *conn, const http_credentials_t *cred);

/*
 * The "Authorization: Basic ...\r\n" line for cred as a new text in *line
 * (null when cred names no user): 1, or 0 with *line null when it cannot be
 * made (out of memory; logged).
 */
int http_format_basic_auth(const http_credentials_t *cred, char **line);

VV_END_DECL

#endif
