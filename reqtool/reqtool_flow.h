// The main flow of reqtool: check the command line, start the library,
// open and configure the server handle, make the call, close the handle.
#pragma once

#include "corvex/cx_server.h"
#include "reqtool_options.h"

// A server handle for host configured with the given server type,
// credentials (ignored with host equivalence), transport (HTTPS with tls,
// checking the server's certificate when CORVEX_CA_FILE is set; socket
// mode, with host names looked up, for CX_AUTH_QSM), authentication style,
// port and vslice name (null for none; borrowed, it
// must outlive the handle). A port outside 1 to 65535 leaves the handle's
// own. The caller closes the handle with cx_server_close. Null after a
// message on standard error when the handle cannot be opened or the vslice
// is refused.
cx_server_t *reqtool_open_server(const char *host, int server_type, const char *user,
                                 const char *password, bool tls, int auth_style, int port,
                                 const char *vslice);

// Apply -c: a positive time-out is set on the handle; zero or less is
// reported on standard error and the call runs without a time-out.
void reqtool_apply_timeout(cx_server_t *server, const reqtool_settings &settings);

// A run that makes no call (--help, --version, --list-apis, --describe);
// returns the exit status.
int reqtool_command(const reqtool_plan &plan);

// The whole run for the argument vector; returns the exit status.
int reqtool_run(int argc, char *const argv[]);
