/*
 * RPC transport: the call is handed to the entry of the administration
 * library (found at start-up, cx_startup.h), which delivers the request
 * document to the server and returns the reply document. Texts cross the
 * entry as UTF-16.
 */
#ifndef CORVEX_CX_RPC_H
#define CORVEX_CX_RPC_H

#include "corvex/cx_elem.h"
#include "corvex/cx_server.h"
#include "vovedi/common.h"

VV_BEGIN_DECL

/* The longest reply taken from the entry, in UTF-16 units before its terminator. */
#define CX_RPC_REPLY_LIMIT (1 << 29)

/*
 * Perform one call over the RPC entry: the request document names the
 * vault DTD whatever the server type; the handle's transport, port,
 * time-out and credentials are not used, and of the trace modes only raw
 * (which prints the reply and skips parsing). Returns the server's results
 * element or a failed one, as cx_server_invoke_elem does; null with EINVAL
 * for a null argument.
 */
cx_elem_t *cx_invoke_rpc(cx_server_t *server, cx_elem_t *api);

/*
 * Hand the UTF-8 document for host to the entry and return the reply as a
 * new UTF-8 text (VV_FREE). When the entry reports a system error, the
 * reply is a failure document naming the error's text (its own reply
 * instead, when the error has no text and the reply is a complete
 * document). Null when there is no entry, a null argument, no reply (or
 * one not terminated within CX_RPC_REPLY_LIMIT units), or no memory.
 */
char *cx_rpc_call(const char *host, const char *document);

VV_END_DECL

#endif
