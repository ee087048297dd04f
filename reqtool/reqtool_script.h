// reqtool in scripts: the exit status that tells how a call went (--fail),
// and the output modes in which standard output holds the result and
// nothing else (--xml, --json).
#pragma once

#include "corvex/cx_elem.h"
#include "corvex/cx_server.h"
#include "reqtool_long.h"

// The --fail exit status of a call's result (REQTOOL_EXIT_*): passed; the
// server's own failed result; a failure the library reports for a call
// that did not reach the server or that it refused (connection, name
// lookup, time-out, TLS, authorisation, an HTTP or socket-mode status, the
// RPC transport); or a failure to read a result from what came back (a
// reply that does not parse or holds no result, memory running out). The
// library's failures are told by their reason and errno; a null result
// is REQTOOL_EXIT_NO_RESULT.
int reqtool_outcome(const cx_elem_t *result);

// Perform the call of api on server in an output mode of settings (--xml
// or --json): with print_mode REQTOOL_PRINT_HEADED the request and the
// headings go to standard error; whatever the library prints during the
// call goes there too. Standard output receives only the result. Returns
// the exit status: the outcome with --fail, otherwise 0 once the call was
// made; 1 after a message when the result cannot be written.
int reqtool_script_call(cx_server_t *server, cx_elem_t *api, int print_mode,
                        const reqtool_long_settings &settings);
