// Long options of reqtool ("--name" or "--name=value"), for scripts and
// newcomers: help and version, the catalog, the outcome as exit status,
// output that other tools read, passwords kept off the command line,
// values taken as they stand, and a strict reading of the command line.
// An argument starting with "--" and a word was an unrecognised option
// before, so none of these changes the meaning of another command line.
#pragma once

// What the run does.
enum reqtool_command {
    REQTOOL_COMMAND_CALL = 0, // one call (the tool's purpose)
    REQTOOL_COMMAND_HELP,     // --help
    REQTOOL_COMMAND_VERSION,  // --version
    REQTOOL_COMMAND_LIST,     // --list-apis [PATTERN ...]
    REQTOOL_COMMAND_DESCRIBE  // --describe API [API ...]
};

// What standard output holds.
enum reqtool_output {
    REQTOOL_OUTPUT_PLAIN = 0, // as the short options say, with the port line
    REQTOOL_OUTPUT_XML,       // --xml: exactly the result element as XML
    REQTOOL_OUTPUT_JSON       // --json: exactly the result as JSON
};

// Where the password comes from.
enum reqtool_password_source {
    REQTOOL_PASSWORD_OPERAND = 0, // the password operand
    REQTOOL_PASSWORD_FILE,        // --password-file FILE: its first line
    REQTOOL_PASSWORD_ENV,         // --password-env NAME: an environment variable
    REQTOOL_PASSWORD_PROMPT       // --password-prompt: asked on the terminal
};

// Everything the long options choose. Texts are borrowed from the
// argument vector.
struct reqtool_long_settings {
    int command = REQTOOL_COMMAND_CALL;
    const char *describe = nullptr; // the API of --describe
    bool fail = false;              // --fail
    bool strict = false;            // --strict
    int output = REQTOOL_OUTPUT_PLAIN;
    int password_source = REQTOOL_PASSWORD_OPERAND;
    const char *password_from = nullptr; // the file or the variable's name
    int values = 0;                      // number of --literal and --value-file options
    int argc = 0;                        // the argument vector they stand in
    char *const *argv = nullptr;
};

// Exit statuses with --fail (0 and 1 keep their meaning without it).
enum reqtool_exit_status {
    REQTOOL_EXIT_PASSED = 0,    // the server ran the API and it passed
    REQTOOL_EXIT_USAGE = 1,     // a mistake on the command line, or local trouble
    REQTOOL_EXIT_FAILED = 2,    // the server answered with a failed result
    REQTOOL_EXIT_UNREACHED = 3, // the call did not reach the server, or was refused
    REQTOOL_EXIT_NO_RESULT = 4  // an answer came, but no result could be read from it
};

// The identity of a long option, and whether it takes a value.
enum reqtool_long_id {
    REQTOOL_LONG_UNKNOWN = -1,
    REQTOOL_LONG_HELP,
    REQTOOL_LONG_VERSION,
    REQTOOL_LONG_FAIL,
    REQTOOL_LONG_XML,
    REQTOOL_LONG_JSON,
    REQTOOL_LONG_STRICT,
    REQTOOL_LONG_PASSWORD_FILE,
    REQTOOL_LONG_PASSWORD_ENV,
    REQTOOL_LONG_PASSWORD_PROMPT,
    REQTOOL_LONG_LITERAL,
    REQTOOL_LONG_VALUE_FILE,
    REQTOOL_LONG_LIST_APIS,
    REQTOOL_LONG_DESCRIBE
};

struct reqtool_scanner;

// The long option in argument ("--name" or "--name=value"). Returns its
// identity, REQTOOL_LONG_UNKNOWN for any other name. *value is the text
// after "=", or null; *takes_value tells whether the option wants one.
int reqtool_long_lookup(const char *argument, const char **value, bool *takes_value);

// Pass over the long option the scanner has just returned (its text in
// scanner.optarg), with the value it takes from the next argument when it
// wants one and has no "=". Returns its identity, REQTOOL_LONG_UNKNOWN for
// an unknown name; *value is the option's value or null, and *takes_value
// (when not null) tells whether the option wants one.
int reqtool_long_take(reqtool_scanner &scanner, int argc, char *const argv[], const char **value,
                      bool *takes_value = nullptr);

// Read every long option of the command line into settings, before the
// short options are applied. Mistakes in the use of a long option (a value
// missing or not wanted, a NAME=VALUE without its name, two password
// sources, --xml with --json) are reported on standard error. With
// --strict, the first of the mistakes that the scanner forgives (an
// unknown option, an unknown -t word, a -c that is not a positive whole
// number, a -p that is no port, an option among the operands) is reported
// by name, with a one-line hint. Returns 0 when the run can go on,
// otherwise the exit status (1).
int reqtool_long_scan(int argc, char *const argv[], reqtool_long_settings &settings);

// Whether the port line of -p stays off standard output: with --xml and
// --json, and for the runs that make no call.
bool reqtool_long_quiet(const reqtool_long_settings &settings);

// Print the help text on standard output.
void reqtool_long_help(void);

// Print the version line on standard output.
void reqtool_long_version(void);
