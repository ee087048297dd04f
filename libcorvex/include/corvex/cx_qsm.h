/*
 * Socket-mode protocol: one API call over a plain TCP connection to an IPv4
 * address. The request is a short text head ("CORAPI-D/1.0", the user
 * name, the password and the body length, each on a CR LF line, then a
 * blank line) and the request document; the reply is a three-line head
 * (status, content length, a blank line) and the reply document, which
 * stays on the connection for the reply parser. User name and password
 * travel as clear text. A connection serves one call.
 */
#ifndef CORVEX_CX_QSM_H
#define CORVEX_CX_QSM_H

#include <stddef.h>
#include "vovedi/common.h"
#include "vovedi/shttpc.h"

VV_BEGIN_DECL

/* Results of the exchange besides the status a server sends (200 for success). */
enum {
    CX_QSM_OK = 200,
    CX_QSM_NO_REQUEST_BUFFER = 553, /* the request head could not be allocated */
    CX_QSM_BAD_LENGTH = 556,        /* line 2 is not "Content-length: <n>", n >= 0 */
    CX_QSM_BAD_STATUS = 557,        /* line 1 is not "CORAPI-D/1.0 <n>" */
    CX_QSM_CANT_ENCODE = 558,       /* user or password holds CR or LF, or the body is too long */
    CX_QSM_NO_LINE_1 = 559,         /* line 1 could not be read */
    CX_QSM_NO_LINE_2 = 560,
    CX_QSM_NO_LINE_3 = 561,
    CX_QSM_HEAD_NOT_SENT = 562, /* the request head was not written whole */
    CX_QSM_BODY_NOT_SENT = 563, /* the body was not written whole */
    CX_QSM_DROPPED = 565        /* line 1 or line 2 is empty */
};

/* Longest reply head line, line feed included. */
#define CX_QSM_LINE_CAPACITY 128

/*
 * Connect to port of host within timeout_s seconds (0: no time-out) and
 * store the new connection in *out (close it with cx_qsm_socket_close).
 * host is a dotted IPv4 address, never looked up; any other text is looked
 * up for IPv4 only when resolve_names is not 0. user, password and
 * transport play no part. Returns 0; -22 for a null out or host; -2 when
 * host is no address and may not or cannot be looked up; otherwise the
 * negated socket error of the failed socket or connect (-11 when there is
 * none), the reason also printed on standard output.
 */
int cx_qsm_socket_open(const char *user, const char *password, const char *host, int resolve_names,
                       int transport, int port, int timeout_s, shttpc_t **out);

/*
 * 1 when user and password (each may be null) can travel in the request
 * head: neither holds a carriage return or a line feed, which would start
 * a head line of their own.
 */
int cx_qsm_login_valid(const char *user, const char *password);

/*
 * Send the head and length bytes of body, then read the reply head (see
 * cx_qsm_read_reply_head). A null user or password is sent empty. Returns
 * 200 with the announced body length in *content_length, the status the
 * server sent, or a CX_QSM_* code; CX_QSM_CANT_ENCODE before anything is
 * written when the login is not valid (cx_qsm_login_valid). -22 for a null
 * argument. The connection is left to the caller.
 */
int cx_qsm_send_request(shttpc_t *conn, const char *user, const char *password, const char *body,
                        size_t length, long *content_length);

/*
 * Read the reply head: line 1 "CORAPI-D/1.0 <status>" (a status other than
 * 200 is returned at once, the rest left unread), line 2
 * "Content-length: <n>" into *content_length, line 3. The whole head must
 * arrive within the connection's time-out counted from this call, so a
 * server trickling it cannot hold the call longer. Returns 200, the
 * status, or CX_QSM_BAD_LENGTH, CX_QSM_BAD_STATUS, CX_QSM_NO_LINE_1..3 or
 * CX_QSM_DROPPED (the socket last error tells a time-out). -22 for a null
 * argument.
 */
int cx_qsm_read_reply_head(shttpc_t *conn, long *content_length);

/*
 * Read one line of at most capacity bytes, line feed included, within the
 * connection's time-out counted from this call. The line feed, and a
 * carriage return before it, become NUL. 1 for a complete line; 0 at end
 * of stream, on failure or time-out, or when no line feed came within
 * capacity bytes.
 */
int cx_qsm_read_line(shttpc_t *conn, char *buffer, int capacity);

/* Close the connection; null is ignored. */
void cx_qsm_socket_close(shttpc_t *conn);

VV_END_DECL

#endif
