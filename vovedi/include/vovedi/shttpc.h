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
struct ssl_ctx_st;

/* Handle modes. */
enum { SHTTPC_MODE_PLAIN = 0, SHTTPC_MODE_TLS = 1 };

typedef struct shttpc_s {
    int32_t mode;        /* SHTTPC_MODE_PLAIN or SHTTPC_MODE_TLS; fixed at creation */
    int sock;            /* the socket; valid in every handle returned */
    void *ssl;           /* TLS connection, mode 1 only, once the handshake began */
    void *ctx;           /* TLS context of this handle, mode 1 only */
    uint32_t timeout_ms; /* budget of each operation; 0 = blocking socket, no time-out */
    char *server_name;   /* owned, or null: the server's name for the TLS handshake */
    int32_t tls_verify;  /* 1: the TLS handshake checks the server's certificate */
    char *ca_file;       /* owned, or null: trusted authorities for that check */
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
 * Before the connect of a TLS handle: the server's name and how to check
 * it. A host name (not an address) is sent in the handshake (SNI). With
 * verify set, the handshake succeeds only when the server's certificate
 * chain leads to an authority in ca_file (PEM), or in the system's trusted
 * store when ca_file is null, and the certificate names the server
 * (server_name, a name or an address). Without this call nothing is sent
 * and nothing is checked. The texts are copied. 0; -1 with errno EINVAL
 * (null handle) or ENOMEM (the handle unchanged).
 */
int shttpc_set_tls_peer(shttpc_t *conn, const char *server_name, int verify, const char *ca_file);

/*
 * Why the calling thread's last connect refused the server's certificate
 * (or could not load the trusted ones), in plain words such as "the
 * server's certificate has expired"; null when its last connect refused
 * none. A static text of the thread, good until its next connect.
 */
const char *shttpc_tls_refusal(void);

/* Forget the calling thread's last refusal; every connect does so first. */
void shttpc_tls_refusal_clear(void);

/*
 * A new TLS client context as the TLS library makes it (nothing verified
 * unless a handle asks for it), starting the library on first use; null
 * (logged) when it cannot be made. Released with SSL_CTX_free.
 */
struct ssl_ctx_st *shttpc_ssl_ctx_new(void);

/*
 * Connect to the address, within the time-out when there is one, then run
 * the TLS handshake in mode 1 under the same deadline. 0 when connected;
 * -1 otherwise (refused: SOCKERR_ECONNREFUSED; deadline passed:
 * SOCKERR_ETIMEDOUT; a failed handshake: the TLS library's error code, 1
 * to 6, with shttpc_tls_refusal saying why a certificate was refused).
 * Connect once per handle; after a failure close it.
 */
int shttpc_connect(shttpc_t *conn, const struct sockaddr *addr, int addrlen);

/* shttpc_connect to ai->ai_addr with the given address length. */
int shttpc_connect_ipv6(shttpc_t *conn, const struct addrinfo *ai, int addrlen);

/*
 * Read up to size bytes: the count read, 0 when the peer closed the
 * connection (or size is 0), -1 on failure or when the time-out passed
 * without data (SOCKERR_ETIMEDOUT). A TLS failure leaves the TLS library's
 * error code as the last error. The time-out counts from this call:
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
 * Close the connection (no TLS close-notify is sent) and release the handle,
 * its TLS objects and its texts; null is ignored. The last error is left as
 * it was.
 */
void shttpc_close(shttpc_t *conn);

VV_END_DECL

#endif
