// Host names, addresses and URLs.

#include "corvex/http_url.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include "vovedi/log.h"
#include "vovedi/pool.h"
#include "vovedi/sockerr.h"
#include "vovedi/testpoint.h"
#include "vovedi/zthread.h"

namespace
{

struct scheme_form {
    const char *prefix;
    size_t length;
    int kind;
    uint16_t port;
    int tls;
};

// Tested in this order, so that the bracketed forms win.
constexpr scheme_form scheme_forms[] = {
    {"http://[", 8, HTTP_URL_SCHEME_HTTP_BRACKET, 80, 0},
    {"https://[", 9, HTTP_URL_SCHEME_HTTPS_BRACKET, 443, 1},
    {"http://", 7, HTTP_URL_SCHEME_HTTP, 80, 0},
    {"https://", 8, HTTP_URL_SCHEME_HTTPS, 443, 1},
};

const scheme_form *scheme_of(const char *url)
{
    if (!url)
        return nullptr;
    for (const scheme_form &form : scheme_forms) {
        if (strncasecmp(url, form.prefix, form.length) == 0)
            return &form;
    }
    return nullptr;
}

// A decimal port from 1 to 65535, digits only.
bool read_port(const char *text, uint16_t *port)
{
    unsigned long value = 0;
    for (const char *at = text; *at; at++) {
        if (*at < '0' || *at > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(*at - '0');
        if (value > 65535)
            return false;
    }
    if (value == 0)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// Cut the user part off the authority, if it has one; returns the host part.
char *split_user(char *authority, http_url_t *out)
{
    if (authority[0] == '[')
        return authority; // the host starts at once
    char *at = strchr(authority, '@');
    if (!at)
        return authority;
    *at = '\0';
    out->user = authority;
    char *colon = strchr(authority, ':');
    if (colon) {
        *colon = '\0';
        out->password = colon + 1;
    }
    return at + 1;
}

// Split host[:port] or [literal][:port] into the record.
bool split_host(char *host, http_url_t *out)
{
    char *port_text = nullptr;
    if (host[0] == '[') {
        char *close = strchr(host, ']');
        if (!close)
            return false;
        *close = '\0';
        host++;
        if (close[1] == ':')
            port_text = close + 2;
        else if (close[1] != '\0')
            return false;
    } else {
        char *colon = strchr(host, ':');
        if (colon) {
            *colon = '\0';
            port_text = colon + 1;
        }
    }
    if (host[0] == '\0')
        return false;
    if (port_text && port_text[0] != '\0' && !read_port(port_text, &out->port))
        return false;
    out->host = host;
    return true;
}

// Split what follows the scheme: the authority ends at the first "/".
bool split_rest(char *rest, http_url_t *out)
{
    char *slash = strchr(rest, '/');
    if (slash) {
        *slash = '\0';
        out->path = slash + 1;
    } else {
        out->path = rest + strlen(rest);
    }
    return split_host(split_user(rest, out), out);
}

// The resolver, bound once per process.
struct resolver_binding {
    int (*lookup)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    void (*release)(struct addrinfo *);
};

resolver_binding resolver;
zthread_once_t resolver_once = ZTHREAD_ONCE_INIT;

void resolver_bind()
{
    resolver.lookup = ::getaddrinfo;
    resolver.release = ::freeaddrinfo;
}

// The Windows Sockets number for a resolver failure.
int resolver_error(int code, int posix_errno)
{
    switch (code) {
    case EAI_NONAME:
        return SOCKERR_HOST_NOT_FOUND;
    case EAI_AGAIN:
        return SOCKERR_TRY_AGAIN;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return SOCKERR_NO_DATA;
    case EAI_FAMILY:
        return SOCKERR_EAFNOSUPPORT;
    case EAI_SOCKTYPE:
        return SOCKERR_ESOCKTNOSUPPORT;
    case EAI_SERVICE:
        return SOCKERR_TYPE_NOT_FOUND;
    case EAI_BADFLAGS:
        return SOCKERR_EINVAL;
    case EAI_MEMORY:
        return SOCKERR_NOT_ENOUGH_MEMORY;
    case EAI_SYSTEM:
        return posix_errno != 0 ? sockerr_from_errno(posix_errno) : SOCKERR_NO_RECOVERY;
    default:
        return SOCKERR_NO_RECOVERY;
    }
}

// A dotted IPv4 address in any form inet_aton reads, and nothing after it.
bool read_dotted(const char *host, uint32_t *address)
{
    for (const char *at = host; *at; at++) {
        if (isspace(static_cast<unsigned char>(*at)))
            return false; // inet_aton would ignore what follows a blank
    }
    in_addr parsed{};
    if (inet_aton(host, &parsed) == 0)
        return false;
    *address = parsed.s_addr;
    return true;
}

} // namespace

int http_url_scheme(const char *url)
{
    const scheme_form *form = scheme_of(url);
    return form ? form->kind : HTTP_URL_SCHEME_NONE;
}

int http_url_split(const char *url, http_url_t *out)
{
    if (out)
        *out = http_url_t{};
    const scheme_form *form = scheme_of(url);
    if (!out || !form) {
        errno = EINVAL;
        return -EINVAL;
    }
    char *text = VV_STRDUP(url);
    if (!text) {
        errno = ENOMEM;
        return -ENOMEM;
    }
    out->text = text;
    out->port = form->port;
    out->tls = form->tls;
    bool bracketed = form->prefix[form->length - 1] == '[';
    if (!split_rest(text + form->length - (bracketed ? 1 : 0), out)) {
        http_url_free(out);
        errno = EINVAL;
        return -EINVAL;
    }
    return 0;
}

void http_url_free(http_url_t *url)
{
    if (!url)
        return;
    VV_FREE(url->text);
    *url = http_url_t{};
}

int http_url_getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                         struct addrinfo **result)
{
    if (!result) {
        sockerr_set(SOCKERR_EINVAL);
        return SOCKERR_EINVAL;
    }
    *result = nullptr;
    zthread_once(&resolver_once, resolver_bind);
    testpoint_int(0, "http_url", "lookup", __FILE__, __LINE__); // lets tests see every lookup
    errno = 0;
    int code = resolver.lookup(node, service, hints, result);
    if (code == 0)
        return 0;
    *result = nullptr;
    code = resolver_error(code, errno);
    sockerr_set(code);
    return code;
}

void http_url_freeaddrinfo(struct addrinfo *list)
{
    if (!list)
        return;
    zthread_once(&resolver_once, resolver_bind);
    resolver.release(list);
}

int http_url_ipv4_lookup(const char *host, int allow_lookup, uint32_t *address)
{
    if (!host || !address) {
        errno = EINVAL;
        return -EINVAL;
    }
    if (read_dotted(host, address))
        return 0;
    if (!allow_lookup)
        return -2;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (http_url_getaddrinfo(host, nullptr, &hints, &list) == 0 &&
        (!list->ai_addr || list->ai_family != AF_INET)) {
        http_url_freeaddrinfo(list);
        list = nullptr;
        sockerr_set(SOCKERR_NO_DATA);
    }
    if (!list) {
        log_event(LOG_LEVEL_DEBUG, "gethostbyname failed for %s, error = %d\n", host,
                  sockerr_get());
        return -2;
    }
    const auto *first = reinterpret_cast<const sockaddr_in *>(list->ai_addr);
    *address = first->sin_addr.s_addr;
    http_url_freeaddrinfo(list);
    return 0;
}
