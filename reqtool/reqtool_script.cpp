#include "reqtool_script.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "corvex/cx_invoke.h"
#include "reqtool_json.h"
#include "reqtool_options.h"
#include "vovedi/pool.h"
#include "vovedi/stab.h"

namespace
{

// A failure result the library makes: how its reason starts, the error
// numbers it comes with (0 ends the list; none listed: any, or none), and
// what it means for the call.
struct library_failure {
    const char *reason;
    int status;
    int errnos[5];
};

// The first matching row counts, so the narrower rows come first.
constexpr library_failure library_failures[] = {
    // Reading the reply failed here, after the server had it.
    {"QSM - Call succeeded, but ", REQTOOL_EXIT_NO_RESULT, {CX_ERR_REPLY_NOMEM, CX_ERR_READ}},
    {"QSM - Can't allocate request XML buffer", REQTOOL_EXIT_NO_RESULT, {CX_ERR_REPLY_NOMEM}},
    {"Parsing error in results: ", REQTOOL_EXIT_NO_RESULT, {CX_ERR_INTERNAL}},
    {"Memory allocation failure", REQTOOL_EXIT_NO_RESULT, {CX_ERR_INTERNAL}},
    {"No elements in response", REQTOOL_EXIT_NO_RESULT, {CX_ERR_RESPONSE}},
    {"No corvex element in response", REQTOOL_EXIT_NO_RESULT, {CX_ERR_RESPONSE}},
    {"No results element in response", REQTOOL_EXIT_NO_RESULT, {CX_ERR_RESPONSE}},
    {"The reply is larger than the limit of ", REQTOOL_EXIT_NO_RESULT, {CX_ERR_RESPONSE}},
    {"debugging bypassed xml parsing", REQTOOL_EXIT_NO_RESULT, {CX_ERR_INTERNAL, CX_ERR_RESPONSE}},
    {"Unable to allocate memory", REQTOOL_EXIT_NO_RESULT, {12}},
    // The call did not get through, or the server (or the way to it) refused it.
    {"HTTP POST - ", REQTOOL_EXIT_UNREACHED, {CX_ERR_AUTH, CX_ERR_RESPONSE}},
    {"QSM - ", REQTOOL_EXIT_UNREACHED, {CX_ERR_AUTH, CX_ERR_RESPONSE, CX_ERR_CONNECT, CX_ERR_READ}},
    {"Can't connect to host (err=", REQTOOL_EXIT_UNREACHED, {}},
    {"No permission to use 'hostsequiv' authentication", REQTOOL_EXIT_UNREACHED, {1}},
    {"Timeout. Could not read API response.", REQTOOL_EXIT_UNREACHED, {60}},
    {"RPC Error - ", REQTOOL_EXIT_UNREACHED, {CX_ERR_RESPONSE}},
    {"Failed to load cxadmin.dll", REQTOOL_EXIT_UNREACHED, {CX_ERR_RESPONSE}},
    {"Error in RovaInvoke RPC", REQTOOL_EXIT_UNREACHED, {CX_ERR_RESPONSE}},
    {"Unrecognized server authentication style", REQTOOL_EXIT_UNREACHED, {CX_ERR_AUTH}},
};

bool errno_fits(const library_failure &row, long number)
{
    if (row.errnos[0] == 0)
        return true;
    for (int listed : row.errnos) {
        if (listed != 0 && listed == number)
            return true;
    }
    return false;
}

const char *attribute(const cx_elem_t *elem, const char *name)
{
    return elem->attributes ? stab_get_default(elem->attributes, name, nullptr) : nullptr;
}

} // namespace

int reqtool_outcome(const cx_elem_t *result)
{
    if (!result)
        return REQTOOL_EXIT_NO_RESULT;
    // A reply root with more than one child comes back whole.
    if (strcmp(result->name, "results") != 0) {
        if (const cx_elem_t *inner = cx_elem_child_get(result, "results"))
            result = inner;
    }
    const char *status = attribute(result, "status");
    if (status && strcmp(status, "passed") == 0)
        return REQTOOL_EXIT_PASSED;
    const char *reason = attribute(result, "reason");
    const char *number = attribute(result, "errno");
    long error = number ? strtol(number, nullptr, 10) : -1;
    if (!reason)
        return error == CX_ERR_INTERNAL ? REQTOOL_EXIT_NO_RESULT : REQTOOL_EXIT_FAILED;
    for (const library_failure &row : library_failures) {
        if (reqtool_attr_starts_with(reason, row.reason) && errno_fits(row, error))
            return row.status;
    }
    return REQTOOL_EXIT_FAILED;
}

namespace
{

// Standard output moved onto standard error while the library works, so
// that its own printing (socket-mode connect failures, XML traces) does
// not mix with the result.
class stdout_aside
{
  public:
    stdout_aside()
    {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (saved_ >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            close(saved_);
            saved_ = -1;
        }
    }
    ~stdout_aside()
    {
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    stdout_aside(const stdout_aside &) = delete;
    stdout_aside &operator=(const stdout_aside &) = delete;

  private:
    int saved_;
};

// Write elem as indented XML to out as it is formatted, not built whole
// first; false when it cannot be (errno set).
bool write_xml(FILE *out, const cx_elem_t *elem)
{
    cx_xml_stream_t stream;
    if (!cx_xml_stream_open(&stream, out))
        return false;
    bool written = cx_elem_write_stream(elem, 0, "", &stream);
    return cx_xml_stream_close(&stream) && written;
}

} // namespace

int reqtool_script_call(cx_server_t *server, cx_elem_t *api, int print_mode,
                        const reqtool_long_settings &settings)
{
    bool headed = print_mode == REQTOOL_PRINT_HEADED;
    if (headed) {
        fputs("INPUT:\n", stderr);
        if (!write_xml(stderr, api))
            fputs("Memory allocation error in cx_elem_to_string\n", stderr);
        fputs("\n", stderr);
    }
    cx_elem_t *result;
    {
        stdout_aside aside;
        result = cx_server_invoke_elem(server, api);
    }
    if (!result) {
        fputs("Memory allocation error in cx_server_invoke_elem\n", stderr);
        return settings.fail ? REQTOOL_EXIT_NO_RESULT : 0;
    }
    if (headed)
        fputs("OUTPUT:\n", stderr);
    bool written = settings.output == REQTOOL_OUTPUT_JSON ? reqtool_json_write(stdout, result) == 0
                                                          : write_xml(stdout, result);
    int status = settings.fail ? reqtool_outcome(result) : 0;
    if (!written) {
        fprintf(stderr, "reqtool: cannot write the result: %s\n", strerror(errno));
        status = REQTOOL_EXIT_USAGE;
    }
    cx_elem_free(result);
    return status;
}
