// Parameters taken as they stand: --literal NAME=VALUE sends VALUE as it
// is ("@" and "{" are not read), --value-file NAME=FILE sends the bytes of
// FILE. Both promise the server reads back exactly those bytes, so a value
// XML cannot carry unchanged is refused rather than sent altered.
#pragma once

#include <cstddef>

#include "corvex/cx_elem.h"
#include "reqtool_long.h"

// Why length bytes of text cannot travel in a request as they are: null
// when they can (well-formed UTF-8 without control characters other than
// tab and line feed), otherwise a description naming the first byte that
// cannot (its offset in *at). A carriage return is refused too: the
// server's XML parser would read it as a line feed.
const char *reqtool_value_refusal(const char *text, size_t length, size_t *at);

// The whole of the file at path as a NUL-terminated text of *length bytes,
// which the caller releases with VV_FREE; null after a message on standard
// error naming the file when it cannot be read (errno tells why) or memory
// runs out.
char *reqtool_file_text(const char *path, size_t *length);

// Append the --literal and --value-file parameters of the command line in
// settings to api, in the order given. Returns 0; 1 after a message on
// standard error naming the option when a file cannot be read, a value
// cannot travel as it is, or memory runs out (api may then hold some of
// the parameters).
int reqtool_values_add(cx_elem_t *api, const reqtool_long_settings &settings);
