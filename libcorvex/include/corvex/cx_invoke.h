/*
 * Invocation: one API call over the transport a server handle selects, and
 * the result elements that stand for every failure.
 */
#ifndef CORVEX_CX_INVOKE_H
#define CORVEX_CX_INVOKE_H

#include <stddef.h>
#include "corvex/cx_elem.h"
#include "corvex/cx_server.h"
#include "vovedi/common.h"

VV_BEGIN_DECL

/* Error numbers of the failure results the library builds. */
enum {
    CX_ERR_INTERNAL = 13001,
    CX_ERR_AUTH = 13002,
    CX_ERR_RESPONSE = 13011,
    CX_ERR_CONNECT = 13055,
    CX_ERR_READ = 13057,
    CX_ERR_REPLY_NOMEM = 13922
};

/*
 * Perform one call: send api (wrapped in the request envelope) and return
 * the server's results element, or a failed results element with a reason
 * and an errno for every failure on the way. The caller owns the result
 * (cx_elem_free); api stays the caller's, unchanged. Null with errno EINVAL
 * for a null argument, and null when not even the failure result could be
 * allocated.
 */
cx_elem_t *cx_server_invoke_elem(cx_server_t *server, cx_elem_t *api);

VV_END_DECL

#endif
