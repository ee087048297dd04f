/*
 * Socket client: one TCP connection, plain or TLS, where connect, read and
 * write each get the handle's time budget. Failures return -1 (or a null
 * handle) and leave the reason in the socket last error (sockerr.h).
 */
#ifndef VOVEDI_SHTTPC_H
#define VOVEDI_SHTTPC_H

#include <stdint.h>
#include "common.h"

VV_BEGIN_DECL

struct sockaddr;
struct addrinfo;

typedef struct shttpc_s {
    int32_t mode;        /* 0 plain TCP, 1 TLS; fixed at creation */
    int sock;            /* the connected socket */
    void *ssl;           /* TLS connection, mode 1 only */
    void *ctx;           /* TLS context of this handle, mode 1 only */
    uint32_t timeout_ms; /* budget of each operation; 0 = blocking */
} shttpc_t;

/* New handle with an IPv4 TCP socket, or null (reason in the last error). */
shttpc_t *shttpc_socket_new(int mode, int timeout_ms);

/* New handle whose socket family follows ai->ai_family, or null. */
shttpc_t *shttpc_new_ipv6(int mode, int timeout_ms, const struct addrinfo *ai);

/* 0 when connected (and in mode 1 the TLS handshake done); -1 otherwise. */
int shttpc_connect(shttpc_t *conn, const struct sockaddr *addr, int addrlen);
int shttpc_connect_ipv6(shttpc_t *conn, const struct addrinfo *ai, int addrlen);

/* Bytes read, 0 when the peer closed, -1 on failure or time-out. */
int shttpc_read(shttpc_t *conn, char *buffer, int size);

/*
 * length when all was written; on a time-out the bytes written so far;
 * -1 on any other failure. Never raises SIGPIPE.
 */
int shttpc_write(shttpc_t *conn, const char *data, int length);

int shttpc_setsockopt(shttpc_t *conn, int level, int name, const void *value, int length);
int shttpc_bind(shttpc_t *conn, const struct sockaddr *addr, int addrlen);

/* Close the connection and release the handle; null is ignored. */
void shttpc_close(shttpc_t *conn);

VV_END_DECL

#endif
