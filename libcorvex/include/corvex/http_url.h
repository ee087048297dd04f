/*
 * Host names, addresses and URLs: splitting an endpoint URL into host,
 * port, path and credentials; the resolver the HTTP client uses; the IPv4
 * lookup of the socket-mode transport. Resolver failures are reported as
 * Windows Sockets numbers (vovedi/sockerr.h), always positive.
 */
#ifndef CORVEX_HTTP_URL_H
#define CORVEX_HTTP_URL_H

#include <stdint.h>
#include "vovedi/common.h"

VV_BEGIN_DECL

struct addrinfo;

/* Scheme kinds of http_url_scheme. */
enum {
    HTTP_URL_SCHEME_NONE = 0,          /* anything else, empty or null */
    HTTP_URL_SCHEME_HTTP_BRACKET = 1,  /* "http://["  */
    HTTP_URL_SCHEME_HTTPS_BRACKET = 2, /* "https://[" */
    HTTP_URL_SCHEME_HTTP = 3,          /* "http://"   */
    HTTP_URL_SCHEME_HTTPS = 4          /* "https://"  */
};

/* A split URL. Every text points into text, which the record owns. */
typedef struct http_url_s {
    char *text;     /* the split copy of the URL */
    char *host;     /* name or address; an IPv6 literal without its brackets */
    uint16_t port;  /* the URL's port, else 80, or 443 for https */
    char *path;     /* after the first "/" following the host, without it; "" if none */
    char *user;     /* before "@", or null */
    char *password; /* after the first ":" of the user part, or null */
    int tls;        /* 1 for https; informative only, the caller's TLS flag decides */
} http_url_t;

/*
 * The scheme kind of url, its prefix compared without regard to case:
 * "http://[" 1, "https://[" 2, "http://" 3, "https://" 4; 0 for anything
 * else, an empty text or null.
 */
int http_url_scheme(const char *url);

/*
 * Split url into *out, which is cleared first and owns a copy of the URL
 * once this succeeds; release it with http_url_free. Form:
 * scheme://[user[:password]@]host[:port][/path] where host may be an
 * address in brackets ("[fe80::1]"). The password may not contain "@",
 * the user may not contain ":"; an "@" after the first "/" belongs to the
 * path. Returns 0; -22 for a null argument, a scheme other than http or
 * https, an empty host, a missing "]" or text after it other than a port,
 * or a port that is not a number from 1 to 65535 (an empty port keeps the
 * default); -12 when the copy cannot be made. On failure *out is left
 * cleared and holds nothing to release.
 */
int http_url_split(const char *url, http_url_t *out);

/* Release the copy held by url and clear the record; null is ignored. */
void http_url_free(http_url_t *url);

/*
 * Resolve node and service as getaddrinfo does, through the resolver bound
 * once per process. Returns 0 with the list in *result (release it with
 * http_url_freeaddrinfo); otherwise *result is null and the result is the
 * Windows Sockets number of the failure (SOCKERR_HOST_NOT_FOUND for an
 * unknown name, SOCKERR_TRY_AGAIN, SOCKERR_NO_RECOVERY, SOCKERR_NO_DATA,
 * ...), also stored as the socket last error; SOCKERR_EINVAL when result is
 * null.
 */
int http_url_getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                         struct addrinfo **result);

/* Release a list from http_url_getaddrinfo; null is ignored. */
void http_url_freeaddrinfo(struct addrinfo *list);

/*
 * The IPv4 address of host, in network byte order, into *address. A dotted
 * address ("a.b.c.d", or the shorter, octal and hexadecimal forms) is taken
 * as written and never looked up; anything else is resolved for IPv4 only
 * when allow_lookup is not 0, and its first address used. Returns 0; -2
 * when host is not a dotted address and lookup is not allowed, or the
 * lookup failed (logged, reason in the socket last error); -22 for a null
 * argument.
 */
int http_url_ipv4_lookup(const char *host, int allow_lookup, uint32_t *address);

VV_END_DECL

#endif
