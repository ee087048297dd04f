// Invocation: dispatch by authentication style, the HTTP flow, reply
// decoding and the failure results that stand for every failure.

#include "corvex/cx_invoke.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "corvex/cx_qsm.h"
#include "corvex/cx_request.h"
#include "corvex/cx_rpc.h"
#include "corvex/http.h"
#include "cx_reply_detail.h"
#include "vovedi/pool.h"
#include "vovedi/sockerr.h"
#include "vovedi/str.h"

namespace
{

constexpr size_t url_size = 2048;
constexpr size_t message_size = 256;
constexpr int trace_piece = 32768;
constexpr int errno_nomem = 12;
constexpr int errno_timeout = 60;
constexpr int tls_error_ssl = 1; // the TLS library's code for a failed handshake

struct status_text {
    int code;
    const char *text;
};

// 500 is not here: its text depends on the socket last error.
constexpr status_text status_texts[] = {
    {204, "No content"},
    {301, "Moved permanently"},
    {400, "Bad request"},
    {401, "Authorization failed"},
    {402, "Payment required"},
    {403, "Forbidden"},
    {404, "URL not found"},
    {405, "Method not allowed"},
    {406, "Not acceptable"},
    {407, "Proxy authentication required"},
    {408, "Request timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length required"},
    {412, "Precondition failed"},
    {413, "Request entity too large"},
    {414, "Request-URI too long"},
    {415, "Unsupported media type"},
    {501, "Not implemented"},
    {502, "Bad Gateway"},
    {503, "Service unavailable"},
    {504, "Gateway timeout"},
    {505, "HTTP version not supported"},
    {551, "Call succeeded, but can't allocate debugging parsing bypass buffer"},
    {552, "Call succeeded, but can't allocate reply XML buffer"},
    {553, "Can't allocate request XML buffer"},
    {554, "Can't connect to host"},
    {555, "Can't connect using 'hostequiv' (no permission, must be root)"},
    {556, "Can't decode the embedded 'Content-length' value from the reply"},
    {557, "Can't decode the embedded status/outcome value from the reply"},
    {558, "Can't encode request"},
    {559, "Can't read reply header (line 1)"},
    {560, "Can't read reply header (line 2)"},
    {561, "Can't read reply header (line 3)"},
    {562, "Can't write request headers"},
    {563, "Can't write request payload"},
    {564, "Call succeeded, but reply was consumed by debugging code"},
    {565, "Server unexpectedly dropped the connection for this request"},
};

const char *text_of_status(int code, char *scratch, size_t size)
{
    if (code == 500) {
        int error = sockerr_get();
        if (error == SOCKERR_ETIMEDOUT)
            return "Timed out";
        snprintf(scratch, size, "Unable to send the API request(err=%d).", error);
        return scratch;
    }
    for (const status_text &s : status_texts) {
        if (s.code == code)
            return s.text;
    }
    return nullptr;
}

cx_elem_t *failure(const char *reason, int error_number)
{
    return cx_results_new("failed", reason, error_number);
}

// Reset the process-wide XML debug flag from "XMLDEBUG"; true when set.
bool debug_from_environment()
{
    const char *value = getenv("XMLDEBUG");
    bool on = value && *value;
    cx_xml_debug_set(on ? 1 : 0);
    return on;
}

// Copy what the handle holds into an empty credential slot.
bool fill_credential(char **slot, const char *from)
{
    if (*slot || !from)
        return true;
    *slot = VV_STRDUP(from);
    return *slot != nullptr;
}

// What every call holds, released on every way out. The connection of an
// HTTP call is the call's own; a socket-mode call keeps its connection in
// the handle while it runs.
struct invocation {
    cx_server_t *server;
    shttpc_t *own_conn = nullptr;
    shttpc_t *&conn;
    char *document = nullptr;
    cx_xml_state_t *state = nullptr;
    char message[message_size] = "";

    invocation(cx_server_t *s, bool conn_in_handle)
        : server(s), conn(conn_in_handle ? s->qsm_conn : own_conn)
    {
    }
    invocation(const invocation &) = delete;
    invocation &operator=(const invocation &) = delete;

    ~invocation()
    {
        xml_destroy(state);
        close_connection();
        VV_FREE(document);
    }

    void close_connection()
    {
        shttpc_close(conn);
        conn = nullptr;
    }
};

// The request document with the DTD of the handle's server type.
int build_document(invocation &call, cx_elem_t *api, int with_vslice)
{
    const char *dtd = cx_request_dtd_path(static_cast<int>(call.server->server_type));
    if (!dtd)
        return CX_REQUEST_ENCODE_FAILED;
    return cx_request_document(call.server, api, with_vslice, dtd, &call.document);
}

void print_input(const invocation &call)
{
    if (call.server->trace != CX_TRACE_RAW)
        return;
    printf("INPUT:\n%s\n", call.document);
    fflush(stdout);
}

// What became of a reply body copied in trace mode.
enum class copied { whole, no_memory, too_large };

// Read the reply body to its end (within the handle's reply limit), copying
// it to standard output in trace mode 1, then close the connection. Without
// a read buffer the connection is left open.
copied copy_body(invocation &call)
{
    auto *piece = static_cast<char *>(VV_MALLOC(trace_piece));
    if (!piece)
        return copied::no_memory;
    cx_detail::body_reader body(call.conn, -1, call.server->reply_limit);
    int n;
    while ((n = body.next(piece, trace_piece)) > 0) {
        if (call.server->trace == CX_TRACE_RAW)
            fwrite(piece, 1, static_cast<size_t>(n), stdout);
    }
    VV_FREE(piece);
    fputs("\n", stdout);
    fflush(stdout);
    call.close_connection();
    return body.too_large() ? copied::too_large : copied::whole;
}

// Make the parse state for the reply body; false when there is no memory
// for it (each transport reports that in its own terms).
bool start_parse(invocation &call, bool debug)
{
    if (debug)
        fputs("::XML DEBUG BEGIN::\n", stderr);
    call.state = xml_create();
    return call.state != nullptr;
}

// Parse the reply body (length bytes, or up to the end of the connection
// when negative, and never past the handle's reply limit) into a result,
// closing the connection once it is read.
cx_elem_t *finish_parse(invocation &call, long length, bool debug)
{
    xml_parse_stream_limit(call.conn, call.state, length, call.server->reply_limit);
    call.close_connection();
    if (call.state->too_large)
        return cx_detail::reply_too_large(call.server->reply_limit);
    if (call.state->error)
        return cx_reply_parse_error(call.state);
    if (debug)
        fputs("::XML DEBUG END::\n", stderr);
    if (sockerr_get() == SOCKERR_ETIMEDOUT)
        return failure("Timeout. Could not read API response.", errno_timeout);
    return cx_reply_decode(&call.state->stack[0]);
}

// ---------------------------------------------------------------------------
// HTTP and HTTPS

struct http_call : invocation {
    char *url = nullptr;
    stab_t *headers = nullptr;
    http_credentials_t cred{};

    explicit http_call(cx_server_t *s) : invocation(s, false) {}

    ~http_call()
    {
        stab_free(headers);
        VV_FREE(cred.user);
        str_free_secret(cred.password);
        VV_FREE(url);
    }
};

// Connect, post the document and read the reply into a result.
cx_elem_t *post_and_read(http_call &call, bool debug)
{
    cx_server_t *server = call.server;
    http_tls_check_t check = {server->tls_verify, server->tls_ca_file};
    int rc = http_open_url_checked(
        call.url, &call.conn, &call.cred, server->auth_style == CX_AUTH_HOSTEQUIV,
        server->transport == CX_TRANSPORT_HTTPS, static_cast<int>(server->timeout), &check);
    // -1 is also a failed handshake's TLS error code 1 negated; only a
    // host-equivalence open that found no port leaves another last error.
    if (rc == -1 && server->auth_style == CX_AUTH_HOSTEQUIV && sockerr_get() != tls_error_ssl)
        return failure("No permission to use 'hostsequiv' authentication, must be root.", 1);
    if (rc != 0) {
        // A refused certificate says why, after the usual text.
        if (const char *refusal = shttpc_tls_refusal())
            snprintf(call.message, sizeof call.message, "Can't connect to host (err=%d): %s.", -rc,
                     refusal);
        else
            snprintf(call.message, sizeof call.message, "Can't connect to host (err=%d).", -rc);
        return failure(call.message, -rc);
    }
    if (!fill_credential(&call.cred.password, server->password))
        return failure("Unable to allocate memory for password.", errno_nomem);
    if (!fill_credential(&call.cred.user, server->user))
        return failure("Unable to allocate memory for username.", errno_nomem);
    rc = http_post(call.conn, call.url, &call.cred, call.document,
                   static_cast<int>(strlen(call.document)), &call.headers);
    if (rc == -12)
        return failure("Unable to allocate memory during http post request", errno_nomem);
    if (rc != 200) {
        cx_status_message(rc, "HTTP POST", 0, call.message, sizeof call.message);
        return failure(call.message, cx_status_errno(rc));
    }
    if (server->trace != CX_TRACE_OFF) {
        fputs("\nOUTPUT:\n", stdout);
        switch (copy_body(call)) {
        case copied::no_memory:
            return failure("Unable to allocate memory", errno_nomem);
        case copied::too_large:
            return cx_detail::reply_too_large(server->reply_limit);
        case copied::whole:
            break;
        }
        return failure("debugging bypassed xml parsing", CX_ERR_INTERNAL);
    }
    if (!start_parse(call, debug))
        return failure("Unable to allocate memory in xml_create.", errno_nomem);
    return finish_parse(call, stab_get_int(call.headers, "Content-Length", -1), debug);
}

cx_elem_t *invoke_http(cx_server_t *server, cx_elem_t *api)
{
    http_call call(server);
    if (build_document(call, api, 1) != CX_REQUEST_OK)
        return failure(nullptr, CX_ERR_INTERNAL);
    print_input(call);
    call.url = static_cast<char *>(VV_MALLOC(url_size));
    if (!call.url)
        return failure(nullptr, CX_ERR_INTERNAL);
    cx_request_url(server, call.url, url_size);
    bool debug = debug_from_environment();
    if (debug)
        fprintf(stderr, "CX_SERVER_INVOKE_ELEM:\nURL=::%s::\nXML=::%s::\n\n", call.url,
                call.document);
    return post_and_read(call, debug);
}

// ---------------------------------------------------------------------------
// Socket mode

// The failure result of a socket-mode status; the connection is closed.
cx_elem_t *qsm_failure(invocation &call, int status, int extra)
{
    call.close_connection();
    cx_status_message(status, "QSM", extra, call.message, sizeof call.message);
    return failure(call.message, cx_status_errno(status));
}

// Open the connection, send the document and read the reply into a result.
cx_elem_t *qsm_exchange(invocation &call, bool debug)
{
    cx_server_t *server = call.server;
    // A line break in the login would inject head lines: refused before
    // anything is sent, or even connected.
    if (!cx_qsm_login_valid(server->user, server->password))
        return qsm_failure(call, CX_QSM_CANT_ENCODE, 0);
    if (!call.conn) {
        int timeout = server->timeout > INT_MAX ? INT_MAX : static_cast<int>(server->timeout);
        int rc =
            cx_qsm_socket_open(server->user, server->password, server->host, server->resolve_names,
                               server->transport, server->port, timeout, &call.conn);
        if (rc != 0)
            return qsm_failure(call, rc == -1 ? 555 : 554, -rc);
    }
    long length = 0;
    int status = cx_qsm_send_request(call.conn, server->user, server->password, call.document,
                                     strlen(call.document), &length);
    if (status != CX_QSM_OK)
        return qsm_failure(call, status, 0);
    if (server->trace != CX_TRACE_OFF) {
        if (server->trace == CX_TRACE_RAW)
            fputs("\nOUTPUT:\n", stdout);
        copied body = copy_body(call);
        if (body == copied::too_large)
            return cx_detail::reply_too_large(server->reply_limit);
        return qsm_failure(call, body == copied::whole ? 564 : 551, 0);
    }
    if (!start_parse(call, debug))
        return qsm_failure(call, 552, 0);
    return finish_parse(call, length, debug);
}

cx_elem_t *invoke_qsm(cx_server_t *server, cx_elem_t *api)
{
    invocation call(server, true);
    int built = build_document(call, api, 0);
    if (built != CX_REQUEST_OK)
        return qsm_failure(call, built == CX_REQUEST_NOMEM ? 553 : 558, 0);
    print_input(call);
    bool debug = debug_from_environment();
    if (debug)
        fprintf(stderr, "CX_SERVER_INVOKE_ELEM:\nXML=::%s::\n\n", call.document);
    return qsm_exchange(call, debug);
}

// "&apos;" ... "&amp;" back to their characters, "&amp;" last.
char *decode_entities(const char *text)
{
    static constexpr const char *entities[][2] = {
        {"&apos;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}};
    char *current = VV_STRDUP(text);
    for (const auto &e : entities) {
        if (!current)
            return nullptr;
        char *next = str_replace(current, e[0], e[1]);
        VV_FREE(current);
        current = next;
    }
    return current;
}

} // namespace

cx_elem_t *cx_server_invoke_elem(cx_server_t *server, cx_elem_t *api)
{
    sockerr_reset();
    if (!server || !api) {
        errno = EINVAL;
        return nullptr;
    }
    switch (server->auth_style) {
    case CX_AUTH_LOGIN:
    case CX_AUTH_HOSTEQUIV:
        return invoke_http(server, api);
    case CX_AUTH_RPC:
        return cx_invoke_rpc(server, api);
    case CX_AUTH_QSM:
        return invoke_qsm(server, api);
    default:
        return failure("Unrecognized server authentication style", CX_ERR_AUTH);
    }
}

cx_elem_t *cx_results_new(const char *status, const char *reason, int error_number)
{
    if (!status) {
        errno = EINVAL;
        return nullptr;
    }
    cx_elem_t *results = cx_elem_create("results");
    if (!results)
        return nullptr;
    bool ok = cx_elem_attr_set(results, "status", status);
    if (ok && reason && *reason) {
        char *escaped = xml_escape(reason);
        ok = escaped && cx_elem_attr_set(results, "reason", escaped);
        VV_FREE(escaped);
    }
    if (ok && error_number >= 0) {
        char number[16];
        snprintf(number, sizeof number, "%d", error_number);
        ok = cx_elem_attr_set(results, "errno", number);
    }
    if (!ok) {
        cx_elem_free(results);
        errno = ENOMEM;
        return nullptr;
    }
    return results;
}

char *cx_status_message(int code, const char *transport, int extra, char *buffer, size_t size)
{
    char scratch[message_size];
    const char *text = text_of_status(code, scratch, sizeof scratch);
    if (!text)
        snprintf(buffer, size, "%s - failed, status code = %d", transport, code);
    else if (extra == 0)
        snprintf(buffer, size, "%s - %s", transport, text);
    else
        snprintf(buffer, size, "%s - %s (%d)", transport, text, extra);
    return buffer;
}

int cx_status_errno(int code)
{
    switch (code) {
    case 401:
    case 407:
        return CX_ERR_AUTH;
    case 551:
    case 552:
    case 553:
        return CX_ERR_REPLY_NOMEM;
    case 554:
    case 555:
        return CX_ERR_CONNECT;
    case 559:
    case 560:
    case 561:
    case 564:
        return CX_ERR_READ;
    default:
        return CX_ERR_RESPONSE;
    }
}

cx_elem_t *cx_reply_decode(cx_xml_entry_t *entry)
{
    if (!entry)
        return failure("No elements in response", CX_ERR_RESPONSE);
    cx_elem_t *root = entry->element;
    if (!root || strcmp(root->name, "corvex") != 0)
        return failure("No corvex element in response", CX_ERR_RESPONSE);
    cx_elem_t *results = cx_elem_child_get(root, "results");
    if (!results)
        return failure("No results element in response", CX_ERR_RESPONSE);
    entry->element = nullptr;
    if (root->first_child != root->last_child)
        return root;
    cx_elem_child_remove(root, results);
    cx_elem_free(root);
    return results;
}

cx_elem_t *cx_reply_parse_error(const cx_xml_state_t *state)
{
    const char *error = state && state->error ? state->error : "Unknown";
    char *reason = str_printf("Parsing error in results: %s", error);
    cx_elem_t *result = failure(reason ? reason : "Memory allocation failure", CX_ERR_INTERNAL);
    VV_FREE(reason);
    return result;
}

const char *cx_result_failure_text(cx_elem_t *result)
{
    if (!result) {
        errno = EINVAL;
        return nullptr;
    }
    if (strcmp(stab_get(result->attributes, "status"), "passed") == 0)
        return nullptr;
    const char *reason = stab_get(result->attributes, "reason");
    if (!*reason)
        return "Unknown";
    char *decoded = decode_entities(reason);
    bool stored = decoded && cx_elem_attr_set(result, "reason", decoded);
    VV_FREE(decoded);
    if (!stored && !cx_elem_attr_set(result, "reason", "Can't decode error message."))
        return "Can't decode error message.";
    return stab_get(result->attributes, "reason");
}
