// Command line of reqtool: the option scanner, the settings it fills, the
// checks of settings and operands, the default ports and the usage text.
#pragma once

#include <cstdint>

#include "reqtool_long.h"

// The option letters; a letter followed by ':' takes an argument. "Q"
// (socket mode) extends the letters the usage text names.
inline constexpr const char reqtool_optstring[] = "c:p:iIrst:v:xXhQ";

// Where the API element comes from.
enum reqtool_input_mode {
    REQTOOL_INPUT_PAIRS = 0,    // API name and name/value pairs
    REQTOOL_INPUT_XML_ARG = 1,  // -i: the API operand is XML text
    REQTOOL_INPUT_XML_STDIN = 2 // -I: XML text on standard input
};

// What is printed besides the result.
enum reqtool_print_mode {
    REQTOOL_PRINT_PLAIN = 0,  // the result only
    REQTOOL_PRINT_HEADED = 1, // -x: INPUT (the API element) and OUTPUT (the result)
    REQTOOL_PRINT_RAW = 2     // -X: the request document and the raw reply
};

// Position of a scan, kept between calls of reqtool_parse_options.
struct reqtool_scanner {
    int index = 1;                // next argument to look at
    const char *group = nullptr;  // current letter inside a group of letters, or null
    const char *optarg = nullptr; // argument of the option just returned, if it takes one
};

// What reqtool_parse_options returns for a long option.
inline constexpr int REQTOOL_LONG_OPTION = 0x100;

// Scan one option of argv (argc arguments) against optstring. Returns the
// option letter, '?' for an unknown letter, a ':' or an option that lacks its
// argument, and -1 when the options end (at the first operand, which is left
// at scanner.index, or after a lone "-" or "--", which is consumed). An
// argument starting with '-' or '/' is a group of letters; a lone "/" is an
// operand. An argument starting with "--" and more is a long option:
// REQTOOL_LONG_OPTION with the whole argument in scanner.optarg (its value,
// if it takes one, is left to reqtool_long_take).
int reqtool_parse_options(reqtool_scanner &scanner, int argc, char *const argv[],
                          const char *optstring);

// Everything the options choose.
struct reqtool_settings {
    bool timeout_given = false;
    int timeout_seconds = 0;
    int port = -1; // -1: not given
    int input_mode = REQTOOL_INPUT_PAIRS;
    bool rpc = false;
    bool tls = false;
    bool fleet = false;
    bool sentry = false;
    bool relay = false;
    const char *vslice = nullptr; // borrowed from the argument vector
    int print_mode = REQTOOL_PRINT_PLAIN;
    bool hostequiv = false;
    bool socket_mode = false; // -Q
    reqtool_long_settings longs;
};

// Scan every short option into settings. Prints "Unrecognized option: ?" on
// standard error for each scanner error (an unknown long option included)
// and the port line on standard output for each -p, unless settings.longs
// keeps it quiet. Long options are passed over: reqtool_long_scan reads
// them. Returns the index of the first operand.
int reqtool_scan_options(int argc, char *const argv[], reqtool_settings &settings);

// The decimal number at the start of text, as atoi reads it, saturated to
// the range of int; 0 when text does not start with a number.
int reqtool_number(const char *text);

// Derived values: the authentication style (CX_AUTH_*), the server type
// (CX_TYPE_*) and the default port of a server type with or without TLS.
int reqtool_auth_style(const reqtool_settings &settings);
int reqtool_server_type(const reqtool_settings &settings);
int reqtool_default_port(int server_type, bool tls);

// The operands after the options.
struct reqtool_operands {
    const char *host = nullptr;
    const char *user = nullptr;     // null with host equivalence
    const char *password = nullptr; // null with host equivalence or a --password-* option
    char *const *api = nullptr;     // the API operand and the pairs after it
    int count = 0;                  // number of operands at api
};

// All a run needs before the library starts.
struct reqtool_plan {
    reqtool_settings settings;
    reqtool_operands operands;
    int auth_style = 0;
    int server_type = 0;
    int port = -1;
};

// Scan the options and check settings and operands, printing each
// complaint (and the usage text where it belongs) on standard error.
// Returns 0 when the run can go on, otherwise the exit status. For a run
// that makes no call (settings.longs.command), the operands from the
// first on are left in operands.api and nothing else is checked.
int reqtool_prepare(int argc, char *const argv[], reqtool_plan &plan);

// The environment variable that sets the reply limit.
inline constexpr const char reqtool_reply_limit_variable[] = "REQTOOL_REPLY_LIMIT";

// Read a reply limit: a decimal number of bytes, optionally followed by K, M
// or G (KiB, MiB, GiB, either case); 0 means no limit. False for anything
// else or a number too big.
bool reqtool_reply_limit(const char *text, uint64_t *limit);

// Print the usage text on standard error, program being the invocation name.
void reqtool_usage(const char *program);
