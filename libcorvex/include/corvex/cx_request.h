/*
 * Request envelope and endpoints: the document every call sends, and the
 * endpoint URL and DTD of each server type.
 */
#ifndef CORVEX_CX_REQUEST_H
#define CORVEX_CX_REQUEST_H

#include <stddef.h>
#include "corvex/cx_elem.h"
#include "corvex/cx_server.h"
#include "vovedi/common.h"

VV_BEGIN_DECL

/* The namespace URI every request envelope declares. */
#define CX_REQUEST_XMLNS "http://api.corvex.example/vault/admin"

/* Outcomes of cx_request_document. */
enum {
    CX_REQUEST_OK = 0,
    CX_REQUEST_ENCODE_FAILED = 1, /* the envelope could not be written */
    CX_REQUEST_NOMEM = 2          /* the document could not be allocated */
};

/*
 * Build the request document for api: the XML declaration, the document
 * type line naming dtd_path, and the compact corvex envelope holding api
 * (api itself when it is named exactly "corvex"). The envelope carries
 * "xmlns", "version", and when set "vslice" (only with with_vslice),
 * "app-name" and "api-intent", their values escaped. On CX_REQUEST_OK
 * *document is a new text (VV_FREE); otherwise it is null. api is handed
 * back unchanged, except that a caller-supplied corvex root keeps the
 * envelope attributes.
 */
int cx_request_document(const cx_server_t *server, cx_elem_t *api, int with_vslice,
                        const char *dtd_path, char **document);

/*
 * Fill the endpoint URL of the handle's server type with its host and port
 * into url (size bytes, cut at that size). Returns url.
 */
char *cx_request_url(const cx_server_t *server, char *url, size_t size);

/* Endpoint URL format of a server type (host, port), or null for an unknown type. */
const char *cx_request_url_format(int server_type);

/* DTD path of a server type, or null for an unknown type. */
const char *cx_request_dtd_path(int server_type);

VV_END_DECL

#endif
