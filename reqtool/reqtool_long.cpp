#include "reqtool_long.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "reqtool_options.h"

#ifndef REQTOOL_VERSION
#define REQTOOL_VERSION "unknown"
#endif

namespace
{

struct long_option {
    const char *name; // without the leading "--"
    int id;
    bool takes_value;
};

constexpr long_option long_options[] = {
    {"help", REQTOOL_LONG_HELP, false},
    {"version", REQTOOL_LONG_VERSION, false},
    {"fail", REQTOOL_LONG_FAIL, false},
    {"xml", REQTOOL_LONG_XML, false},
    {"json", REQTOOL_LONG_JSON, false},
    {"strict", REQTOOL_LONG_STRICT, false},
    {"password-file", REQTOOL_LONG_PASSWORD_FILE, true},
    {"password-env", REQTOOL_LONG_PASSWORD_ENV, true},
    {"password-prompt", REQTOOL_LONG_PASSWORD_PROMPT, false},
    {"literal", REQTOOL_LONG_LITERAL, true},
    {"value-file", REQTOOL_LONG_VALUE_FILE, true},
    {"list-apis", REQTOOL_LONG_LIST_APIS, false},
    {"describe", REQTOOL_LONG_DESCRIBE, true},
};

constexpr const char help_hint[] = "Run reqtool --help for the options.";

} // namespace

int reqtool_long_lookup(const char *argument, const char **value, bool *takes_value)
{
    *value = nullptr;
    *takes_value = false;
    if (strncmp(argument, "--", 2) != 0)
        return REQTOOL_LONG_UNKNOWN;
    const char *name = argument + 2;
    const char *equals = strchr(name, '=');
    size_t length = equals ? static_cast<size_t>(equals - name) : strlen(name);
    for (const long_option &o : long_options) {
        if (strlen(o.name) == length && strncmp(o.name, name, length) == 0) {
            *value = equals ? equals + 1 : nullptr;
            *takes_value = o.takes_value;
            return o.id;
        }
    }
    return REQTOOL_LONG_UNKNOWN;
}

int reqtool_long_take(reqtool_scanner &scanner, int argc, char *const argv[], const char **value,
                      bool *takes_value)
{
    bool wants;
    int id = reqtool_long_lookup(scanner.optarg, value, &wants);
    if (takes_value)
        *takes_value = wants;
    if (id != REQTOOL_LONG_UNKNOWN && wants && !*value && scanner.index < argc &&
        argv[scanner.index])
        *value = argv[scanner.index++];
    return id;
}

bool reqtool_long_quiet(const reqtool_long_settings &settings)
{
    return settings.output != REQTOOL_OUTPUT_PLAIN || settings.command != REQTOOL_COMMAND_CALL;
}

namespace
{

// What the short options say about where operands stand and what goes
// with what, and the first mistake the scanner forgave.
struct short_view {
    bool hostequiv = false;
    int input_mode = REQTOOL_INPUT_PAIRS;
    int print_mode = REQTOOL_PRINT_PLAIN;
    const char *mistake = nullptr; // the message, filled in below
    char text[320] = "";
    const char *hint = nullptr;
};

int report(const char *message, const char *hint)
{
    fprintf(stderr, "reqtool: %s\n", message);
    if (hint)
        fprintf(stderr, "%s\n", hint);
    return 1;
}

// Keep the first forgiven mistake, formatted, with its hint.
void forgiven(short_view &view, const char *hint, const char *format, const char *argument,
              const char *detail = "")
{
    if (view.mistake)
        return;
    snprintf(view.text, sizeof view.text, format, argument, detail);
    view.mistake = view.text;
    view.hint = hint;
}

// Why the scanner refused an argument holding short options: a letter
// that is no option (or ':'), else an option at its end without a value.
void forgiven_group(short_view &view, const char *argument)
{
    for (const char *p = argument + 1; *p; p++) {
        const char *option = *p == ':' ? nullptr : strchr(reqtool_optstring, *p);
        if (!option) {
            char letter[2] = {*p, '\0'};
            forgiven(view, help_hint, "unknown option letter \"%s\" in \"%s\"", letter, argument);
            return;
        }
        if (option[1] == ':') {
            if (p[1])
                return; // the rest is its value; the refusal came from another argument
            forgiven(view, "Give the value after the option, as in -p 8080 or -p8080.",
                     "\"%s\" needs a value", argument);
            return;
        }
    }
}

bool positive_whole_number(const char *text, long minimum, long maximum)
{
    if (!*text || strspn(text, "0123456789") != strlen(text) || strlen(text) > 9)
        return false;
    long value = strtol(text, nullptr, 10);
    return value >= minimum && value <= maximum;
}

void check_short(short_view &view, int letter, const char *value, const char *argument)
{
    switch (letter) {
    case '?':
        forgiven_group(view, argument);
        break;
    case 't':
        if (strcasecmp(value, "vault") && strcasecmp(value, "fleet") &&
            strcasecmp(value, "sentry") && strcasecmp(value, "relay"))
            forgiven(view, "The server types are vault, fleet, sentry and relay.",
                     "-t \"%s\": no such server type", value);
        break;
    case 'c':
        if (!positive_whole_number(value, 1, 999999999))
            forgiven(view, "Give the time-out in whole seconds, as in -c 30.",
                     "-c \"%s\": not a positive whole number of seconds", value);
        break;
    case 'p':
        if (strcmp(value, "-1") != 0 && !positive_whole_number(value, 1, 65535))
            forgiven(view, "Ports go from 1 to 65535; -p -1 chooses the default port.",
                     "-p \"%s\": not a port number", value);
        break;
    case 'h':
        view.hostequiv = true;
        break;
    case 'i':
        view.input_mode = REQTOOL_INPUT_XML_ARG;
        break;
    case 'I':
        view.input_mode = REQTOOL_INPUT_XML_STDIN;
        break;
    case 'x':
        view.print_mode = REQTOOL_PRINT_HEADED;
        break;
    case 'X':
        view.print_mode = REQTOOL_PRINT_RAW;
        break;
    default:
        break;
    }
}

// An operand where a name stands (user, API, parameter name) that looks
// like an option: options after the first operand are not read as such.
void check_operands(short_view &view, const reqtool_long_settings &settings, int argc,
                    char *const argv[], int first)
{
    int user = view.hostequiv ? -1 : first + 1;
    int api = first + 1 + (view.hostequiv ? 0 : 1) +
              (view.hostequiv || settings.password_source != REQTOOL_PASSWORD_OPERAND ? 0 : 1);
    for (int i = first + 1; i < argc; i++) {
        bool name_place = i == user || (i == api && view.input_mode != REQTOOL_INPUT_XML_ARG) ||
                          (i > api && (i - api) % 2 == 1);
        const char *operand = argv[i];
        if (name_place && (operand[0] == '-' || operand[0] == '/') && operand[1])
            forgiven(view,
                     "Options go before the host: reqtool [options] HOST USER PASSWORD API "
                     "[NAME VALUE ...].",
                     "\"%s\" stands among the operands, where it is not read as an option",
                     operand);
    }
}

// NAME=VALUE with a name before the "=".
bool named_value(const char *value)
{
    const char *equals = strchr(value, '=');
    return equals && equals != value;
}

// Apply one known long option; 0, or 1 after a message.
int apply_long(reqtool_long_settings &settings, int id, const char *option, const char *value,
               bool takes_value)
{
    char message[320];
    if (takes_value && !value) {
        snprintf(message, sizeof message, "%s needs a value", option);
        return report(message, help_hint);
    }
    if (!takes_value && value) {
        snprintf(message, sizeof message, "\"%s\": this option takes no value", option);
        return report(message, help_hint);
    }
    switch (id) {
    case REQTOOL_LONG_HELP: // found before, by help_wanted
        return 0;
    case REQTOOL_LONG_VERSION:
    case REQTOOL_LONG_LIST_APIS:
    case REQTOOL_LONG_DESCRIBE:
        // The last of these counts.
        settings.command = id == REQTOOL_LONG_VERSION     ? REQTOOL_COMMAND_VERSION
                           : id == REQTOOL_LONG_LIST_APIS ? REQTOOL_COMMAND_LIST
                                                          : REQTOOL_COMMAND_DESCRIBE;
        if (id == REQTOOL_LONG_DESCRIBE)
            settings.describe = value;
        return 0;
    case REQTOOL_LONG_FAIL:
        settings.fail = true;
        return 0;
    case REQTOOL_LONG_STRICT:
        settings.strict = true;
        return 0;
    case REQTOOL_LONG_XML:
    case REQTOOL_LONG_JSON: {
        int output = id == REQTOOL_LONG_XML ? REQTOOL_OUTPUT_XML : REQTOOL_OUTPUT_JSON;
        if (settings.output != REQTOOL_OUTPUT_PLAIN && settings.output != output)
            return report("--xml and --json cannot go together", "Choose one of them.");
        settings.output = output;
        return 0;
    }
    case REQTOOL_LONG_PASSWORD_FILE:
    case REQTOOL_LONG_PASSWORD_ENV:
    case REQTOOL_LONG_PASSWORD_PROMPT: {
        int source = id == REQTOOL_LONG_PASSWORD_FILE  ? REQTOOL_PASSWORD_FILE
                     : id == REQTOOL_LONG_PASSWORD_ENV ? REQTOOL_PASSWORD_ENV
                                                       : REQTOOL_PASSWORD_PROMPT;
        if (settings.password_source != REQTOOL_PASSWORD_OPERAND &&
            settings.password_source != source)
            return report("the password can come from one place only",
                          "Give one of --password-file, --password-env and --password-prompt.");
        settings.password_source = source;
        settings.password_from = value;
        return 0;
    }
    default: // --literal and --value-file
        if (!named_value(value)) {
            snprintf(message, sizeof message, "%s \"%s\": expected NAME=VALUE", option, value);
            return report(message, "The parameter's name comes before the first \"=\".");
        }
        settings.values++;
        return 0;
    }
}

// The name of the long option in argument, for messages ("--password-file").
const char *option_name(const char *argument, char *buffer, size_t size)
{
    size_t length = strcspn(argument, "=");
    snprintf(buffer, size, "%.*s", static_cast<int>(length), argument);
    return buffer;
}

// Combinations of long options with short ones that cannot work.
int check_combinations(const reqtool_long_settings &settings, const short_view &view)
{
    if (settings.command != REQTOOL_COMMAND_CALL)
        return 0;
    if (view.print_mode == REQTOOL_PRINT_RAW &&
        (settings.output != REQTOOL_OUTPUT_PLAIN || settings.fail))
        return report("-X cannot go with --xml, --json or --fail",
                      "-X prints the reply as it came, without reading a result from it.");
    if (view.hostequiv && settings.password_source != REQTOOL_PASSWORD_OPERAND)
        return report("-h takes no password",
                      "Leave out --password-file, --password-env and --password-prompt.");
    return 0;
}

// Whether --help stands among the options: then nothing else counts.
bool help_wanted(int argc, char *const argv[])
{
    reqtool_scanner scanner;
    int letter;
    while ((letter = reqtool_parse_options(scanner, argc, argv, reqtool_optstring)) != -1) {
        const char *value;
        if (letter == REQTOOL_LONG_OPTION &&
            reqtool_long_take(scanner, argc, argv, &value) == REQTOOL_LONG_HELP)
            return true;
    }
    return false;
}

} // namespace

int reqtool_long_scan(int argc, char *const argv[], reqtool_long_settings &settings)
{
    settings.argc = argc;
    settings.argv = argv;
    if (help_wanted(argc, argv)) {
        settings.command = REQTOOL_COMMAND_HELP;
        return 0;
    }
    short_view view;
    reqtool_scanner scanner;
    int letter;
    while ((letter = reqtool_parse_options(scanner, argc, argv, reqtool_optstring)) != -1) {
        if (letter != REQTOOL_LONG_OPTION) {
            check_short(view, letter, scanner.optarg, argv[scanner.index - 1]);
            continue;
        }
        const char *argument = scanner.optarg;
        const char *value;
        bool takes_value;
        int id = reqtool_long_take(scanner, argc, argv, &value, &takes_value);
        if (id == REQTOOL_LONG_UNKNOWN) {
            forgiven(view, help_hint, "unknown option \"%s\"", argument);
            continue;
        }
        char name[64];
        if (apply_long(settings, id, option_name(argument, name, sizeof name), value, takes_value))
            return 1;
    }
    if (int status = check_combinations(settings, view))
        return status;
    if (!settings.strict)
        return 0;
    if (settings.command == REQTOOL_COMMAND_CALL)
        check_operands(view, settings, argc, argv, scanner.index);
    return view.mistake ? report(view.mistake, view.hint) : 0;
}

void reqtool_long_help(void)
{
    fputs("Usage: reqtool [options] HOST USER PASSWORD API [NAME VALUE ...]\n"
          "       reqtool [options] --password-file FILE HOST USER API [NAME VALUE ...]\n"
          "       reqtool -h [options] HOST API [NAME VALUE ...]\n"
          "       reqtool -i [options] HOST USER PASSWORD XML\n"
          "       reqtool -I [options] HOST USER PASSWORD < request.xml\n"
          "       reqtool --list-apis [PATTERN ...] | --describe API | --help | --version\n"
          "\n"
          "Perform one call of the storage server's management API and print its result.\n"
          "Options come before HOST.\n"
          "\n"
          "Connection:\n"
          "  -t TYPE      server type: vault (default), fleet, sentry or relay\n"
          "  -p PORT      port; default 80 (443 with -s), sentry 4092 (4093), fleet 8088 (8488)\n"
          "  -s           HTTPS\n"
          "  -Q           socket-mode protocol (needs -p)\n"
          "  -r           RPC through the administration library\n"
          "  -h           host-equivalence login: no USER and PASSWORD\n"
          "  -v VSLICE    run the API in the context of a vslice\n"
          "  -c SECONDS   time-out\n"
          "Request and output:\n"
          "  -i           the API operand is the request as XML\n"
          "  -I           the request as XML on standard input\n"
          "  -x           also show the request, with INPUT: and OUTPUT: headings\n"
          "  -X           show the request document and the raw reply\n"
          "  --literal NAME=VALUE     add parameter NAME with VALUE exactly as given\n"
          "                           (no @ encryption, no {a,b} array)\n"
          "  --value-file NAME=FILE   add parameter NAME with the bytes of FILE\n"
          "Scripting:\n"
          "  --fail       exit status tells the outcome: 0 passed, 2 the server's failed\n"
          "               result, 3 not reached or refused, 4 no result in the reply\n"
          "  --xml        standard output holds only the result element\n"
          "  --json       standard output holds only the result, as JSON\n"
          "  --strict     refuse what is otherwise passed over: unknown options and\n"
          "               types, bad -c and -p values, options among the operands\n"
          "Password, instead of the PASSWORD operand (which other users can see):\n"
          "  --password-file FILE     the first line of FILE\n"
          "  --password-env NAME      the environment variable NAME\n"
          "  --password-prompt        ask on the terminal, without echo\n"
          "Catalog:\n"
          "  --list-apis [PATTERN]    names of the APIs, those matching PATTERN\n"
          "  --describe API           inputs and outputs of API\n"
          "\n"
          "Example: reqtool --json --password-env PW storage1 admin volume-list-info\n"
          "Exit status 0 once the call was made (with --fail, see above), 1 for usage\n"
          "mistakes. More in reqtool(1).\n",
          stdout);
}

void reqtool_long_version(void)
{
    fputs("reqtool " REQTOOL_VERSION "\n", stdout);
}
