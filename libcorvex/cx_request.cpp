// Request envelope and endpoints.

#include "corvex/cx_request.h"

#include "corvex/cx_server.h"

namespace
{

struct server_type_info {
    const char *dtd_path;
    const char *url_format;
};

constexpr server_type_info server_types[] = {
    {"file:/etc/corvex_vault.dtd",
     "http://[%s]:%d/servlets/corvex.servlets.admin.XMLrequest_vault"}, // CX_TYPE_VAULT
    {"file:/etc/corvex.dtd", "http://[%s]:%d/servlets/corvex.servlets.admin.XMLrequest"}, // RELAY
    {"file:/etc/corvex_sentry.dtd", "http://[%s]:%d/apis/XMLrequest"}, // CX_TYPE_SENTRY
    {"file:/etc/corvex_fleet.dtd", "http://[%s]:%d/apis/XMLrequest"},  // CX_TYPE_FLEET
    {"file:/etc/corvex_ring.dtd",
     "http://[%s]:%d/servlets/corvex.servlets.admin.XMLrequest_vault"}, // CX_TYPE_RING
};

const server_type_info *info_of(int server_type)
{
    if (server_type < CX_TYPE_VAULT || server_type > CX_TYPE_RING)
        return nullptr;
    return &server_types[server_type];
}

} // namespace

const char *cx_request_url_format(int server_type)
{
    const server_type_info *info = info_of(server_type);
    return info ? info->url_format : nullptr;
}

const char *cx_request_dtd_path(int server_type)
{
    const server_type_info *info = info_of(server_type);
    return info ? info->dtd_path : nullptr;
}
