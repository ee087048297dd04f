/*
 * Library start-up and shut-down.
 */
#ifndef CORVEX_CX_STARTUP_H
#define CORVEX_CX_STARTUP_H

#include <stddef.h>
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

VV_END_DECL

#endif
