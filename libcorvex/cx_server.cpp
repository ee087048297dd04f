// Server handle and its settings.

#include "corvex/cx_server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "corvex/cx_request.h"
#include "vovedi/pool.h"
#include "vovedi/str.h"

namespace
{

constexpr int default_port = 80;

// A copy of text, or null for an empty text. Returns false when the copy
// fails.
bool copy_or_absent(const char *text, char **out)
{
    *out = nullptr;
    if (!text || !*text)
        return true;
    *out = VV_STRDUP(text);
    return *out != nullptr;
}

// Replace *slot with a copy of text (absent when empty); unchanged on failure.
int replace_text(char **slot, const char *text)
{
    char *copy;
    if (!copy_or_absent(text, &copy)) {
        errno = ENOMEM;
        return 0;
    }
    VV_FREE(*slot);
    *slot = copy;
    return 1;
}

void close_qsm_connection(cx_server_t *server)
{
    if (server->auth_style == CX_AUTH_QSM && server->qsm_conn) {
        shttpc_close(server->qsm_conn);
        server->qsm_conn = nullptr;
    }
}

bool refuse_null(const void *server)
{
    if (server)
        return false;
    errno = EINVAL;
    return true;
}

} // namespace

cx_server_t *cx_server_open(const char *host, int major, int minor)
{
    if (!host) {
        errno = EINVAL;
        return nullptr;
    }
    auto *server = static_cast<cx_server_t *>(VV_CALLOC(sizeof(cx_server_t)));
    if (!server) {
        errno = ENOMEM;
        return nullptr;
    }
    server->host = VV_STRDUP(host);
    server->name_prefix = static_cast<char *>(VV_CALLOC(1));
    if (!server->host || !server->name_prefix) {
        VV_FREE(server->host);
        VV_FREE(server->name_prefix);
        VV_FREE(server);
        errno = ENOMEM;
        return nullptr;
    }
    server->resolve_names = 1;
    server->major = major;
    server->minor = minor;
    server->auth_style = CX_AUTH_LOGIN;
    server->trace = CX_TRACE_OFF;
    server->url_format = cx_request_url_format(CX_TYPE_VAULT);
    server->transport = CX_TRANSPORT_HTTP;
    server->port = default_port;
    server->server_type = CX_TYPE_VAULT;
    server->reply_limit = CX_REPLY_LIMIT_DEFAULT;
    return server;
}

int cx_server_close(cx_server_t *server)
{
    if (refuse_null(server))
        return 0;
    close_qsm_connection(server);
    VV_FREE(server->host);
    VV_FREE(server->user);
    str_free_secret(server->password);
    VV_FREE(server->name_prefix);
    VV_FREE(server->app_name);
    VV_FREE(server->api_intent);
    VV_FREE(server->tls_ca_file);
    VV_FREE(server);
    return 1;
}

int cx_server_set_login(cx_server_t *server, const char *user, const char *password)
{
    if (refuse_null(server) || refuse_null(user) || refuse_null(password))
        return 0;
    char *user_copy, *password_copy;
    if (!copy_or_absent(user, &user_copy)) {
        errno = ENOMEM;
        return 0;
    }
    if (!copy_or_absent(password, &password_copy)) {
        VV_FREE(user_copy);
        errno = ENOMEM;
        return 0;
    }
    VV_FREE(server->user);
    str_free_secret(server->password);
    server->user = user_copy;
    server->password = password_copy;
    return 1;
}

void cx_server_set_auth_style(cx_server_t *server, int style)
{
    if (refuse_null(server))
        return;
    close_qsm_connection(server);
    if (style == CX_AUTH_QSM) {
        cx_server_set_transport(server, CX_TRANSPORT_QSM);
        return;
    }
    server->auth_style = static_cast<uint32_t>(style);
}

void cx_server_set_trace(cx_server_t *server, int mode)
{
    if (refuse_null(server))
        return;
    server->trace = static_cast<uint32_t>(mode);
}

int cx_server_set_transport(cx_server_t *server, int transport)
{
    if (refuse_null(server))
        return 0;
    close_qsm_connection(server);
    switch (transport) {
    case CX_TRANSPORT_HTTP:
        break;
    case CX_TRANSPORT_HTTPS:
        if (server->timeout != 0) {
            errno = EINVAL;
            return 0;
        }
        break;
    case CX_TRANSPORT_QSM:
    case CX_TRANSPORT_QSM_S:
        server->port = 0;
        server->auth_style = CX_AUTH_QSM;
        server->resolve_names = 0;
        break;
    default:
        errno = EINVAL;
        return 0;
    }
    server->transport = transport;
    return 1;
}

int cx_server_get_transport(const cx_server_t *server)
{
    return server->transport;
}

int cx_server_set_port(cx_server_t *server, int port)
{
    if (refuse_null(server))
        return 0;
    if (port < 1 || port > 65535) {
        errno = EINVAL;
        return 0;
    }
    if (port != server->port)
        close_qsm_connection(server);
    server->port = port;
    return 1;
}

int cx_server_set_timeout(cx_server_t *server, int seconds)
{
    if (refuse_null(server))
        return 0;
    if (seconds < 0) {
        errno = EINVAL;
        return 0;
    }
    server->timeout = static_cast<uint32_t>(seconds);
    return 1;
}

int cx_server_get_timeout(const cx_server_t *server)
{
    if (refuse_null(server))
        return 0;
    return static_cast<int>(server->timeout);
}

int cx_server_set_reply_limit(cx_server_t *server, uint64_t bytes)
{
    if (refuse_null(server))
        return 0;
    server->reply_limit = bytes;
    return 1;
}

uint64_t cx_server_get_reply_limit(const cx_server_t *server)
{
    return server ? server->reply_limit : 0;
}

int cx_server_set_type(cx_server_t *server, int type)
{
    if (refuse_null(server))
        return 0;
    const char *format = cx_request_url_format(type);
    if (!format) {
        errno = EINVAL;
        return 0;
    }
    server->server_type = static_cast<uint32_t>(type);
    server->url_format = format;
    return 1;
}

int cx_server_set_vslice(cx_server_t *server, const char *vslice)
{
    if (refuse_null(server) || refuse_null(vslice))
        return 0;
    if (server->major < 1 || (server->major == 1 && server->minor < 7)) {
        fputs("Error: CORAPI version must be at least 1.7 to send API to a vslice\n", stderr);
        return 0;
    }
    server->vslice = vslice;
    return 1;
}

int cx_server_set_app_name(cx_server_t *server, const char *name)
{
    return refuse_null(server) ? 0 : replace_text(&server->app_name, name);
}

int cx_server_set_api_intent(cx_server_t *server, const char *intent)
{
    return refuse_null(server) ? 0 : replace_text(&server->api_intent, intent);
}

int cx_server_set_tls_verify(cx_server_t *server, const char *ca_file)
{
    if (refuse_null(server))
        return 0;
    char *copy = nullptr;
    if (ca_file && !(copy = VV_STRDUP(ca_file))) {
        errno = ENOMEM;
        return 0;
    }
    VV_FREE(server->tls_ca_file);
    server->tls_ca_file = copy;
    server->tls_verify = 1;
    return 1;
}
