/*
 * Server handle: the settings of one session with one server. Opening and
 * configuring a handle does no network work.
 */
#ifndef CORVEX_CX_SERVER_H
#define CORVEX_CX_SERVER_H

#include <stdint.h>
#include "vovedi/common.h"
#include "vovedi/shttpc.h"

VV_BEGIN_DECL

/* Authentication styles. */
enum {
    CX_AUTH_LOGIN = 0,     /* HTTP(S) with Basic authorisation */
    CX_AUTH_RPC = 1,       /* the administration library's RPC entry */
    CX_AUTH_HOSTEQUIV = 2, /* HTTP(S) from a privileged local port, no credentials */
    CX_AUTH_QSM = 3        /* socket mode; follows from a socket-mode transport */
};

/* Transports. */
enum {
    CX_TRANSPORT_HTTP = 0,
    CX_TRANSPORT_HTTPS = 1,
    CX_TRANSPORT_QSM = 2,
    CX_TRANSPORT_QSM_S = 3
};

/* Server types: they choose the endpoint URL and the DTD of requests. */
enum {
    CX_TYPE_VAULT = 0,
    CX_TYPE_RELAY = 1,
    CX_TYPE_SENTRY = 2,
    CX_TYPE_FLEET = 3,
    CX_TYPE_RING = 4
};

/* Trace modes. */
enum {
    CX_TRACE_OFF = 0, /* the reply is parsed into a result */
    CX_TRACE_RAW = 1  /* request and raw reply go to standard output, unparsed */
};

typedef struct cx_server_s {
    char *host;            /* owned */
    int32_t resolve_names; /* socket mode may look host names up */
    int32_t major;         /* API version announced in requests */
    int32_t minor;
    uint32_t auth_style;    /* CX_AUTH_* */
    uint32_t trace;         /* CX_TRACE_* (other values stored unchecked) */
    char *user;             /* owned, or null */
    char *password;         /* owned, or null */
    const char *url_format; /* endpoint URL format of the server type */
    int32_t transport;      /* CX_TRANSPORT_* */
    int32_t port;
    char *name_prefix;    /* owned; prefix of element names when not empty */
    uint32_t server_type; /* CX_TYPE_* */
    uint32_t timeout;     /* seconds; 0 = none */
    shttpc_t *qsm_conn;   /* socket-mode connection while a call runs */
    const char *vslice;   /* borrowed: the caller's text must outlive the handle */
    char *app_name;       /* owned, or null */
    char *api_intent;     /* owned, or null */
    int32_t tls_verify;   /* 1: HTTPS calls check the server's certificate */
    char *tls_ca_file;    /* owned, or null: trusted authorities for that check */
    uint64_t reply_limit; /* most bytes of reply body taken; 0 = no limit */
} cx_server_t;

/* The reply limit of a new handle: 1 GiB. */
#define CX_REPLY_LIMIT_DEFAULT (1024ull * 1024 * 1024)

/*
 * A new handle for host with API version major.minor: port 80, HTTP, login
 * style, vault type, no time-out, no credentials, the default reply limit. Null with errno EINVAL
 * for a null host, ENOMEM when memory runs out (nothing left allocated).
 * Released with cx_server_close.
 */
cx_server_t *cx_server_open(const char *host, int major, int minor);

/* Close any open socket-mode connection and release the handle. 1, or 0 with EINVAL. */
int cx_server_close(cx_server_t *server);

/*
 * Store copies of user and password; an empty text is stored as absent.
 * 1 on success; 0 with EINVAL for a missing argument or ENOMEM (nothing
 * changed).
 */
int cx_server_set_login(cx_server_t *server, const char *user, const char *password);

/* Store the style unchecked; style 3 chooses the socket-mode transport. */
void cx_server_set_auth_style(cx_server_t *server, int style);

/* Store the trace mode unchecked. */
void cx_server_set_trace(cx_server_t *server, int mode);

/*
 * Choose a transport: 1 on success, 0 with EINVAL for an unknown one or
 * HTTPS after a time-out was set. Socket-mode transports also set port 0,
 * the socket-mode style and numeric hosts only.
 */
int cx_server_set_transport(cx_server_t *server, int transport);
int cx_server_get_transport(const cx_server_t *server);

/* Ports 1 to 65535: 1; others: 0 with EINVAL, the old port staying. */
int cx_server_set_port(cx_server_t *server, int port);

/* Seconds, 0 for none: 1; negative: 0 with EINVAL. */
int cx_server_set_timeout(cx_server_t *server, int seconds);
int cx_server_get_timeout(const cx_server_t *server);

/*
 * The most bytes of reply body a call takes (0: no limit). A reply announced
 * longer, or going on past it, ends the call with a failed result whose
 * reason says the reply is larger than the limit, after reading no more
 * than the limit (and one byte to tell). 1; 0 with EINVAL for a null handle.
 */
int cx_server_set_reply_limit(cx_server_t *server, uint64_t bytes);
uint64_t cx_server_get_reply_limit(const cx_server_t *server);

/* Types 0 to 4: 1; others: 0 with EINVAL and nothing changed. */
int cx_server_set_type(cx_server_t *server, int type);

/*
 * Name the vslice calls run in; the text is borrowed, not copied. Needs API
 * version 1.7 or later (otherwise a message on standard error and 0).
 */
int cx_server_set_vslice(cx_server_t *server, const char *vslice);

/*
 * Application name and API intent sent with every request; null or empty
 * removes them. 1, or 0 with EINVAL or ENOMEM (nothing changed).
 */
int cx_server_set_app_name(cx_server_t *server, const char *name);
int cx_server_set_api_intent(cx_server_t *server, const char *intent);

/*
 * Check the server's certificate on HTTPS calls: its chain must lead to an
 * authority in ca_file (PEM), or in the system's trusted store when ca_file
 * is null, and it must name the host. Off on a new handle (appliances ship
 * self-signed certificates). A refused certificate fails the call with a
 * reason that says why. 1, or 0 with EINVAL (null handle) or ENOMEM
 * (nothing changed).
 */
int cx_server_set_tls_verify(cx_server_t *server, const char *ca_file);

VV_END_DECL

#endif
