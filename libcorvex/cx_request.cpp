// Request envelope and endpoints.

#include "corvex/cx_request.h"

#include <cstdio>
#include <cstring>

#include "corvex/cx_server.h"
#include "vovedi/pool.h"
#include "vovedi/str.h"

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

namespace
{

constexpr const char *document_template =
    "<?xml version='1.0' encoding='utf-8' ?>\n<!DOCTYPE corvex SYSTEM '%s'>\n%s";
constexpr size_t template_room = 256;

// Set an attribute from a text that may hold XML special characters: the
// writer does not escape attribute values, so they are stored escaped.
bool set_escaped(cx_elem_t *root, const char *name, const char *value)
{
    char *escaped = xml_escape(value);
    bool ok = escaped && cx_elem_attr_set(root, name, escaped);
    VV_FREE(escaped);
    return ok;
}

// A request missing any of its envelope attributes would be a different
// request: running out of memory here fails the request instead.
bool set_envelope_attributes(const cx_server_t *server, cx_elem_t *root, int with_vslice)
{
    char version[32];
    snprintf(version, sizeof version, "%d.%d", server->major, server->minor);
    return cx_elem_attr_set(root, "xmlns", CX_REQUEST_XMLNS) &&
           cx_elem_attr_set(root, "version", version) &&
           (!with_vslice || !server->vslice || set_escaped(root, "vslice", server->vslice)) &&
           (!server->app_name || set_escaped(root, "app-name", server->app_name)) &&
           (!server->api_intent || set_escaped(root, "api-intent", server->api_intent));
}

// Write the envelope compactly, with the handle's name prefix.
char *write_envelope(const cx_server_t *server, const cx_elem_t *root)
{
    if (!server->name_prefix || !*server->name_prefix)
        return cx_elem_sprintf(root, -1, "");
    char *prefix = str_concat(server->name_prefix, ":", nullptr);
    if (!prefix)
        return nullptr;
    char *text = cx_elem_sprintf(root, -1, prefix);
    VV_FREE(prefix);
    return text;
}

} // namespace

int cx_request_document(const cx_server_t *server, cx_elem_t *api, int with_vslice,
                        const char *dtd_path, char **document)
{
    *document = nullptr;
    cx_elem_t *root = api;
    bool wrapped = strcmp(api->name, "corvex") != 0;
    if (wrapped) {
        root = cx_elem_create("corvex");
        if (!root)
            return CX_REQUEST_ENCODE_FAILED;
        cx_elem_child_add(root, api);
    }
    char *envelope =
        set_envelope_attributes(server, root, with_vslice) ? write_envelope(server, root) : nullptr;
    // The document is text from here on: hand the caller's element back now.
    if (wrapped) {
        cx_elem_child_remove(root, api);
        cx_elem_free(root);
    }
    if (!envelope)
        return CX_REQUEST_ENCODE_FAILED;
    size_t size = strlen(envelope) + template_room + strlen(dtd_path);
    auto *text = static_cast<char *>(VV_MALLOC(size));
    if (!text) {
        VV_FREE(envelope);
        return CX_REQUEST_NOMEM;
    }
    snprintf(text, size, document_template, dtd_path, envelope);
    VV_FREE(envelope);
    *document = text;
    return CX_REQUEST_OK;
}

char *cx_request_url(const cx_server_t *server, char *url, size_t size)
{
    snprintf(url, size, server->url_format, server->host, server->port);
    return url;
}
