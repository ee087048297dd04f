#include "reqtool_flow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "corvex/cx_startup.h"
#include "reqtool_catalog.h"
#include "reqtool_password.h"
#include "reqtool_request.h"

// CORVEX_CA_FILE turns on the check of the server's certificate for
// HTTPS: a file of trusted authorities (PEM), or "system" for the system's
// store. false (after a message) when memory runs out.
static bool apply_tls_verify(cx_server_t *server)
{
    const char *ca_file = getenv("CORVEX_CA_FILE");
    if (!ca_file || !*ca_file)
        return true;
    if (cx_server_set_tls_verify(server, strcmp(ca_file, "system") == 0 ? nullptr : ca_file))
        return true;
    fputs("Unable to allocate memory for CORVEX_CA_FILE\n", stderr);
    return false;
}

cx_server_t *reqtool_open_server(const char *host, int server_type, const char *user,
                                 const char *password, bool tls, int auth_style, int port,
                                 const char *vslice)
{
    cx_server_t *server = cx_server_open(host, 1, vslice ? 7 : 0);
    if (!server) {
        fputs("cx_server_open failed\n", stderr);
        return nullptr;
    }
    cx_server_set_auth_style(server, auth_style);
    if (auth_style != CX_AUTH_HOSTEQUIV)
        (void)cx_server_set_login(server, user ? user : "", password ? password : "");
    cx_server_set_type(server, server_type);
    if (vslice && !cx_server_set_vslice(server, vslice)) {
        cx_server_close(server);
        return nullptr;
    }
    if (auth_style == CX_AUTH_QSM) {
        cx_server_set_transport(server, CX_TRANSPORT_QSM);
        server->resolve_names = 1; // the tool takes host names in every mode
    } else {
        cx_server_set_transport(server, tls ? CX_TRANSPORT_HTTPS : CX_TRANSPORT_HTTP);
    }
    if (tls && !apply_tls_verify(server)) {
        cx_server_close(server);
        return nullptr;
    }
    (void)cx_server_set_port(server, port);
    return server;
}

void reqtool_apply_timeout(cx_server_t *server, const reqtool_settings &settings)
{
    if (!settings.timeout_given)
        return;
    if (settings.timeout_seconds <= 0) {
        fputs("Invalid value for connection timeout. Connection timeout value should be greater "
              "than 0.\n",
              stderr);
        return;
    }
    cx_server_set_timeout(server, settings.timeout_seconds);
}

int reqtool_command(const reqtool_plan &plan)
{
    const reqtool_operands &operands = plan.operands;
    switch (plan.settings.longs.command) {
    case REQTOOL_COMMAND_HELP:
        reqtool_long_help();
        return 0;
    case REQTOOL_COMMAND_VERSION:
        reqtool_long_version();
        return 0;
    case REQTOOL_COMMAND_LIST:
        return reqtool_catalog_list(operands.api, operands.count);
    default: {
        int status = reqtool_catalog_describe(plan.settings.longs.describe);
        for (int k = 0; k < operands.count; k++) {
            printf("\n");
            status |= reqtool_catalog_describe(operands.api[k]);
        }
        return status;
    }
    }
}

int reqtool_run(int argc, char *const argv[])
{
    reqtool_plan plan;
    if (int status = reqtool_prepare(argc, argv, plan))
        return status;
    if (plan.settings.longs.command != REQTOOL_COMMAND_CALL)
        return reqtool_command(plan);
    uint64_t reply_limit = CX_REPLY_LIMIT_DEFAULT;
    const char *limit_text = getenv(reqtool_reply_limit_variable);
    if (limit_text && *limit_text && !reqtool_reply_limit(limit_text, &reply_limit)) {
        fprintf(stderr, "Invalid value for %s: %s\n", reqtool_reply_limit_variable, limit_text);
        return 1;
    }
    // A password from elsewhere than the operands; wiped once the handle has its copy.
    char password[reqtool_password_size] = "";
    if (!plan.operands.password && !plan.settings.hostequiv) {
        if (reqtool_password_obtain(plan.settings.longs, plan.operands.user, plan.operands.host,
                                    password, sizeof password))
            return 1;
        plan.operands.password = password;
    }
    char message[256] = "";
    if (!cx_startup(message, sizeof message)) {
        fprintf(stderr, "Error in cx_startup: %s\n.", message);
        return 1;
    }
    const reqtool_settings &settings = plan.settings;
    const reqtool_operands &operands = plan.operands;
    cx_server_t *server =
        reqtool_open_server(operands.host, plan.server_type, operands.user, operands.password,
                            settings.tls, plan.auth_style, plan.port, settings.vslice);
    explicit_bzero(password, sizeof password);
    if (!server)
        return 1;
    reqtool_apply_timeout(server, settings);
    cx_server_set_reply_limit(server, reply_limit);
    int status = reqtool_build_and_invoke(server, operands.api, operands.count, settings.print_mode,
                                          settings.input_mode, &settings.longs);
    cx_server_close(server);
    return status;
}
