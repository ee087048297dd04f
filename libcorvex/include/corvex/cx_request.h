/*
 * Request envelope and endpoints: the document every call sends, and the
 * endpoint URL and DTD of each server type.
 */
#ifndef CORVEX_CX_REQUEST_H
#define CORVEX_CX_REQUEST_H

#include "vovedi/common.h"

VV_BEGIN_DECL

/* Endpoint URL format of a server type (host, port), or null for an unknown type. */
const char *cx_request_url_format(int server_type);

/* DTD path of a server type, or null for an unknown type. */
const char *cx_request_dtd_path(int server_type);

VV_END_DECL

#endif
