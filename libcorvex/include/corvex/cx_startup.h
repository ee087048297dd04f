/*
 * Library start-up and shut-down.
 */
#ifndef CORVEX_CX_STARTUP_H
#define CORVEX_CX_STARTUP_H

#include <stddef.h>
#include <uchar.h>
#include "vovedi/common.h"

VV_BEGIN_DECL

/*
 * Start the library once per process: installation paths, the XML parser,
 * sockets, the optional RPC entry; registers cx_shutdown at exit. 1 on
 * success; 0 with the reason written into message (size bytes) on failure;
 * 0 with errno EINVAL for a null message buffer.
 */
int cx_startup(char *message, size_t size);

/* Undo the start-up when the library is started; otherwise nothing. */
void cx_shutdown(void);

/*
 * The RPC entry of the administration library, found at start-up, or null
 * when the library or its entry is missing. It takes the host and the
 * request document as UTF-16 texts, stores a UTF-16 reply released with
 * free(), and returns 0 or a system error code.
 */
typedef unsigned (*cx_rpc_entry_fn)(const char16_t *host, const char16_t *document,
                                    char16_t **reply);
cx_rpc_entry_fn cx_rpc_entry(void);

VV_END_DECL

#endif
