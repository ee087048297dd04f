// Building the API element from the operands or from XML text, performing
// the call and printing request and result.
#pragma once

#include <cstddef>
#include <cstdio>

#include "corvex/cx_elem.h"
#include "corvex/cx_server.h"
#include "reqtool_long.h"

// Exit status when an element of the request cannot be created.
inline constexpr int reqtool_status_no_elem = -2;

// Size of the copy a values array is read from: an argument of this length
// or longer is cut, with a warning.
inline constexpr size_t reqtool_values_size = 1024;

// A values array: a new element called name holding one child "arg" per
// value of argument ("{a, b,c}"; values are separated by runs of commas and
// blanks). Returns the element, which the caller owns (cx_elem_free); null
// after printing "Error: couldn't create elem ..." on standard error when
// memory runs out.
cx_elem_t *reqtool_values_array(const char *name, const char *argument);

// Append one parameter to api: a values array when argument starts with
// '{', a value stored encrypted when it starts with '@' (the '@' dropped),
// otherwise the argument as content. Returns 0, or reqtool_status_no_elem
// after printing the message when memory runs out (api is unchanged).
int reqtool_add_pair(cx_elem_t *api, const char *name, const char *argument);

// The API element from the API operand and the name/value pairs after it
// (count operands, an odd number). Stores the new element in *api (the
// caller frees it) and returns 0; on failure *api is null and the result is
// reqtool_status_no_elem, the message printed.
int reqtool_build_from_pairs(char *const operands[], int count, cx_elem_t **api);

// The whole of in as one NUL-terminated text, which the caller releases
// with VV_FREE. Null after a message on standard error when memory runs
// out or reading fails.
char *reqtool_read_stream(FILE *in);

// reqtool_read_stream of standard input.
char *reqtool_read_stdin(void);

// The root element of the request XML in xml, owned by the caller
// (cx_elem_free). Null after "Parse error: ..." or "No elements in API
// request" on standard error.
cx_elem_t *cx_request_from_xml(const char *xml);

// Build the API element as input_mode says (REQTOOL_INPUT_*) from the
// operands (count of them, starting at the API operand), print it as
// print_mode says (REQTOOL_PRINT_*), perform the call on server and print the
// result, streaming it to standard output. Returns the exit status: 0 once
// the call was made and its result printed, 1 for bad or unreadable XML input
// or when standard output cannot be written, reqtool_status_no_elem when the
// element cannot be built. The long options in longs (none when null) add
// parameters, choose the output and, with --fail, the status of a call that
// was made.
int reqtool_build_and_invoke(cx_server_t *server, char *const operands[], int count, int print_mode,
                             int input_mode, const reqtool_long_settings *longs = nullptr);
