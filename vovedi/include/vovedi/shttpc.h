/*
 * Socket client: one TCP connection, plain or TLS, where connect, read and
 * write each get the handle's time budget as one deadline for the whole
 * call. Failures return -1 (or a null handle) and leave the reason in the
 * socket last error (sockerr.h), time-outs as SOCKERR_ETIMEDOUT. A handle
 * belongs to one thread at a time. Any descriptor number works, and no
 * operation ever raises SIGPIPE.
 */
#ifndef VOVEDI_SHTTPC_H
#define VOVEDI_SHTTPC_H

#include <stdint.h>
#include "common.h"

VV_BEGIN_DECL

struct sockaddr;
struct addrinfo;

/* Handle modes. */
enum { SHTTPC_MODE_PLAIN = 0, SHTTPC_MODE_TLS = 1 };

typedef struct shttpc_s {
    int32_t mode;        /* SHTTPC_MODE_PLAIN or SHTTPC_MODE_TLS; fixed at creation */
    int sock;            /* the socket; valid in every handle returned */
    void *ssl;           /* TLS connection, mode 1 only, once the handshake began */
    void *ctx;           /* TLS context of this handle, mode 1 only */
    uint32_t timeout_ms; /* budget of each operation; 0 = blocking socket, no time-out */
} shttpc_t;

/*
 * New unconnected handle with an IPv4 TCP socket. A time-out of 0 or less
 * means none. Returns null when the mode is neither 0 nor 1 (errno EINVAL),
 * when memory runs out (errno ENOMEM, last error SOCKERR_ENOBUFS) or when no
 * socket can be made (logged, reason in the last error). The caller closes
 * the handle with shttpc_close.
 */
shttpc_t *shttpc_socket_new(int mode, int timeout_ms);

/*
 * As shttpc_socket_new, with the socket family taken from ai->ai_family:
 * unspecified or AF_INET give IPv4, AF_INET6 gives IPv6; any other family is
 * refused (logged, last error SOCKERR_EAFNOSUPPORT). A family the system
 * lacks fails silently with SOCKERR_EAFNOSUPPORT. Null ai: null, errno EINVAL.
 */
shttpc_t *shttpc_new_ipv6(int mode, int timeout_ms, const struct addrinfo *ai);

/*
 * Connect to the address, within the time-out when there is one, then run
 * the TLS handshake in mode 1 under the same deadline. 0 when connected;
 * -1 otherwise (refused: SOCKERR_ECONNREFUSED; deadline passed:
 * SOCKERR_ETIMEDOUT). Connect once per handle; after a failure close it.
 */
int shttpc_connect(shttpc_t *conn, const struct sockaddr *addr, int addrlen);

/* shttpc_connect to ai->ai_addr with the given address length. */
int shttpc_connect_ipv6(shttpc_t *conn, const struct addrinfo *ai, int addrlen);

/*
 * Read up to size bytes: the count read, 0 when the peer closed the
 * connection (or size is 0), -1 on failure or when the time-out passed
 * without data (SOCKERR_ETIMEDOUT). The time-out counts from this call:
 * shttpc_read_until with shttpc_deadline(conn).
 */
int shttpc_read(shttpc_t *conn, char *buffer, int size);

/*
 * The deadline of the handle's time-out counted from now, on the clock of
 * sockerr_clock_ms (milliseconds); -1, no deadline, when the handle has no
 * time-out or is null. Take it once to bound several reads together.
 */
int64_t shttpc_deadline(const shttpc_t *conn);

/*
 * As shttpc_read, waiting for data at most until deadline (from
 * shttpc_deadline; -1 for none). A deadline already passed still takes
 * data that is there, and otherwise fails at once with SOCKERR_ETIMEDOUT.
 * A handle without a time-out blocks as in shttpc_read.
 */
int shttpc_read_until(shttpc_t *conn, char *buffer, int size, int64_t deadline);

/*
 * Write all length bytes: length when all was written (0 for nothing to
 * write); when the time-out passes first, the count written so far (less
 * than length, possibly 0) with SOCKERR_ETIMEDOUT; -1 on any other failure,
 * for instance a peer that has gone. Callers treat a short count as failure.
 */
int shttpc_write(shttpc_t *conn, const char *data, int length);

/* setsockopt on the handle's socket: 0, or -1 with the reason in the last error. */
int shttpc_setsockopt(shttpc_t *conn, int level, int name, const void *value, int length);

/* bind the handle's socket to a local address: 0, or -1 with the last error. */
int shttpc_bind(shttpc_t *conn, const struct sockaddr *addr, int addrlen);

/*
 * Close the connection (no TLS close-notify is sent) and release the handle
 * and its TLS objects; null is ignored. The last error is left as it was.
 */
void shttpc_close(shttpc_t *conn);

VV_END_DECL

#endif
