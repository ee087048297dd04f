#include "reqtool_options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "corvex/cx_server.h"

namespace
{

// Take the next letter of the group being scanned, or -1 when there is none
// and the options end here (the argument stays as the first operand, unless
// it was a lone "-" or "--", which only marks the end of the options); 1
// for a long option, which is no group.
int next_group(reqtool_scanner &scanner, int argc, char *const argv[])
{
    if (scanner.group && *++scanner.group)
        return 0;
    scanner.group = nullptr;
    if (scanner.index >= argc)
        return -1;
    const char *argument = argv[scanner.index++];
    if (!argument || (argument[0] != '-' && argument[0] != '/') || strcmp(argument, "/") == 0) {
        scanner.index--;
        return -1;
    }
    if (strcmp(argument, "-") == 0 || strcmp(argument, "--") == 0)
        return -1;
    if (strncmp(argument, "--", 2) == 0) {
        scanner.optarg = argument;
        return 1;
    }
    scanner.group = argument + 1;
    return 0;
}

} // namespace

int reqtool_parse_options(reqtool_scanner &scanner, int argc, char *const argv[],
                          const char *optstring)
{
    scanner.optarg = nullptr;
    if (int next = next_group(scanner, argc, argv))
        return next < 0 ? -1 : REQTOOL_LONG_OPTION;
    const char letter = *scanner.group;
    if (letter == ':')
        return '?';
    const char *option = strchr(optstring, letter);
    if (!option) {
        scanner.group = nullptr;
        return '?';
    }
    if (option[1] != ':')
        return letter;
    // An option with an argument ends the group: the argument is the rest of
    // the group (-p8080) or the next whole argument (-p 8080).
    const char *rest = scanner.group + 1;
    scanner.group = nullptr;
    if (*rest) {
        scanner.optarg = rest;
    } else if (scanner.index < argc && argv[scanner.index]) {
        scanner.optarg = argv[scanner.index++];
    } else {
        return '?';
    }
    return letter;
}

int reqtool_number(const char *text)
{
    if (!text)
        return 0;
    int saved = errno;
    long value = strtol(text, nullptr, 10);
    errno = saved;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

namespace
{

// A -t word: each known word sets its own flag; any other word changes nothing.
void apply_type_word(reqtool_settings &settings, const char *word)
{
    if (strcasecmp(word, "fleet") == 0)
        settings.fleet = true;
    else if (strcasecmp(word, "sentry") == 0)
        settings.sentry = true;
    else if (strcasecmp(word, "relay") == 0)
        settings.relay = true;
}

void apply_option(reqtool_settings &settings, int letter, const char *argument)
{
    switch (letter) {
    case 'c':
        settings.timeout_given = true;
        settings.timeout_seconds = reqtool_number(argument);
        break;
    case 'p':
        settings.port = reqtool_number(argument);
        if (!reqtool_long_quiet(settings.longs))
            printf("Port used : %d\n", settings.port);
        break;
    case 'i':
        settings.input_mode = REQTOOL_INPUT_XML_ARG;
        break;
    case 'I':
        settings.input_mode = REQTOOL_INPUT_XML_STDIN;
        break;
    case 'r':
        settings.rpc = true;
        break;
    case 's':
        settings.tls = true;
        break;
    case 't':
        apply_type_word(settings, argument);
        break;
    case 'v':
        settings.vslice = argument;
        break;
    case 'x':
        settings.print_mode = REQTOOL_PRINT_HEADED;
        break;
    case 'X':
        settings.print_mode = REQTOOL_PRINT_RAW;
        break;
    case 'h':
        settings.hostequiv = true;
        break;
    case 'Q':
        settings.socket_mode = true;
        break;
    default:
        fprintf(stderr, "Unrecognized option: %c\n", letter);
        break;
    }
}

} // namespace

int reqtool_scan_options(int argc, char *const argv[], reqtool_settings &settings)
{
    reqtool_scanner scanner;
    int letter;
    while ((letter = reqtool_parse_options(scanner, argc, argv, reqtool_optstring)) != -1) {
        if (letter == REQTOOL_LONG_OPTION) {
            const char *value;
            if (reqtool_long_take(scanner, argc, argv, &value) != REQTOOL_LONG_UNKNOWN)
                continue;
            letter = '?'; // as before long options had a meaning
        }
        apply_option(settings, letter, scanner.optarg);
    }
    return scanner.index;
}

int reqtool_auth_style(const reqtool_settings &settings)
{
    if (settings.socket_mode)
        return CX_AUTH_QSM;
    if (settings.rpc)
        return CX_AUTH_RPC;
    if (settings.hostequiv)
        return CX_AUTH_HOSTEQUIV;
    return CX_AUTH_LOGIN;
}

int reqtool_server_type(const reqtool_settings &settings)
{
    if (settings.fleet)
        return CX_TYPE_FLEET;
    if (settings.sentry)
        return CX_TYPE_SENTRY;
    if (settings.relay)
        return CX_TYPE_RELAY;
    return CX_TYPE_VAULT;
}

int reqtool_default_port(int server_type, bool tls)
{
    switch (server_type) {
    case CX_TYPE_FLEET:
        return tls ? 8488 : 8088;
    case CX_TYPE_SENTRY:
        return tls ? 4093 : 4092;
    default:
        return tls ? 443 : 80;
    }
}

namespace
{

// Socket mode has no default port, carries neither TLS nor a vslice, and is
// a transport of its own.
int check_socket_mode(const reqtool_settings &settings)
{
    if (!settings.socket_mode)
        return 0;
    if (settings.rpc || settings.hostequiv || settings.tls) {
        fputs("Invalid usage of transport. Do not use -Q option together with -r, -h or -s.\n",
              stderr);
        return 1;
    }
    if (settings.vslice) {
        fputs("The -v option is not a valid option with -Q\n", stderr);
        return 1;
    }
    if (settings.port == -1) {
        fputs("The -Q option needs the server's socket-mode port, given with -p.\n", stderr);
        return 1;
    }
    return 0;
}

// Combinations of options that cannot work; they fail before any operand is
// looked at, without the usage text.
int check_settings(const reqtool_settings &settings)
{
    if (settings.fleet && settings.vslice) {
        fputs("The -v option is not a valid option for fleet\n", stderr);
        return 1;
    }
    if (settings.fleet && settings.rpc) {
        fputs("The -r option is not a vaid option for fleet\n", stderr);
        return 1;
    }
    if (settings.hostequiv && settings.rpc) {
        fputs("Invalid usage of authentication style. Do not use -r option and -h option "
              "together.\n",
              stderr);
        return 1;
    }
    return check_socket_mode(settings);
}

int complain(const char *message, const char *program)
{
    fputs(message, stderr);
    reqtool_usage(program);
    return 1;
}

// Take host, user, password and the API with its pairs from the operands.
int check_operands(const reqtool_settings &settings, int argc, char *const argv[], int next,
                   const char *program, reqtool_operands &operands)
{
    if (next >= argc)
        return complain("Host not specified.\n", program);
    operands.host = argv[next++];
    if (!settings.hostequiv) {
        if (next >= argc)
            return complain("User not specified.\n", program);
        operands.user = argv[next++];
        if (settings.longs.password_source == REQTOOL_PASSWORD_OPERAND) {
            if (next >= argc)
                return complain("Password not specified.\n", program);
            operands.password = argv[next++];
        }
    }
    operands.api = argv + next;
    operands.count = argc - next;
    if (settings.input_mode == REQTOOL_INPUT_XML_STDIN) {
        if (operands.count > 0)
            return complain("The -I option expects no API on the command-line, it expects "
                            "standard input\n",
                            program);
        return 0;
    }
    if (operands.count == 0)
        return complain("API not specified.\n", program);
    if ((operands.count - 1) % 2 != 0)
        return complain("Unexpected number of arguments - all parameters must be followed by "
                        "arguments.\n",
                        program);
    return 0;
}

} // namespace

int reqtool_prepare(int argc, char *const argv[], reqtool_plan &plan)
{
    const char *program = argc > 0 && argv[0] ? argv[0] : "reqtool";
    if (int status = reqtool_long_scan(argc, argv, plan.settings.longs))
        return status;
    if (plan.settings.longs.command == REQTOOL_COMMAND_HELP)
        return 0;
    int first = reqtool_scan_options(argc, argv, plan.settings);
    if (plan.settings.longs.command != REQTOOL_COMMAND_CALL) {
        plan.operands.api = argv + first;
        plan.operands.count = argc - first;
        return 0;
    }
    if (int status = check_settings(plan.settings))
        return status;
    plan.auth_style = reqtool_auth_style(plan.settings);
    plan.server_type = reqtool_server_type(plan.settings);
    plan.port = plan.settings.port;
    if (plan.port == -1)
        plan.port = reqtool_default_port(plan.server_type, plan.settings.tls);
    return check_operands(plan.settings, argc, argv, first, program, plan.operands);
}

bool reqtool_reply_limit(const char *text, uint64_t *limit)
{
    if (!text || *text < '0' || *text > '9')
        return false;
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        auto digit = static_cast<uint64_t>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    int shift = 0;
    switch (*text) {
    case '\0':
        break;
    case 'k':
    case 'K':
        shift = 10;
        break;
    case 'm':
    case 'M':
        shift = 20;
        break;
    case 'g':
    case 'G':
        shift = 30;
        break;
    default:
        return false;
    }
    if (*text && text[1])
        return false;
    if (value > UINT64_MAX >> shift)
        return false;
    *limit = value << shift;
    return true;
}

void reqtool_usage(const char *program)
{
    fputs("\nUsage:\n\n", stderr);
    fprintf(stderr, "  %s {options} <host> <user> <password> <API> [ <paramname> <arg> ...]\n",
            program);
    fputs("\nOptions:\n\n", stderr);
    fputs("  -i \t       API specified as XML input, on the command line\n", stderr);
    fputs("  -I \t       API specified as XML input, on standard input\n", stderr);
    fputs("  -t {type}   Server type(type = vault, fleet, sentry, relay)\n", stderr);
    fputs("  -v {vslice name}   Vslice name, if the API has to be executed in the context of a "
          "vslice \n",
          stderr);
    fputs("  -r          Use RPC transport (Windows)\n", stderr);
    fputs("  -s          Use SSL\n", stderr);
    fputs("  -p {port}   Override port to use\n", stderr);
    fputs("  -x          Show the XML input and output\n", stderr);
    fputs("  -X          Show the raw XML input and output\n", stderr);
    fputs("  -c          Connection timeout\n", stderr);
    fputs("  -h          Use Host equiv authentication mechanism. Do not provide username, "
          "password with -h option",
          stderr);
    fputs("\nExamples:\n\n", stderr);
    fputs("   reqtool storage1 admin secret system-get-version\n", stderr);
    fputs("   reqtool storage1 admin secret quota-report volume vol0\n", stderr);
    fputs("\n", stderr);
}
