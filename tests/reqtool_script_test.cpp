// reqtool as scripts and newcomers use it: the long options, run as a child
// process against a corapi-sim child, with its output piped into xmllint and
// jq as a script would; the JSON mapping, the outcome of each failure the
// library reports and the values that can travel as they stand are checked
// in-process.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "corvex/cx_elem.h"
#include "corvex/cx_invoke.h"
#include "fixture_server.h"
#include "reqtool_json.h"
#include "reqtool_script.h"
#include "reqtool_values.h"
#include "reqview/api_catalog.h"
#include "sim_process.h"

extern char **environ;

namespace
{

const std::string sim_password = "pa55-w0rd!";

// A file holding text, removed with the object.
struct temp_file {
    explicit temp_file(const std::string &text)
    {
        char name[] = "/tmp/reqtool-script-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }
    ~temp_file() { unlink(path.c_str()); }
    std::string path;
};

// Single quotes for the shell.
std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A simulator that wants sim_password, and reqtool pointed at it.
class with_simulator
{
  public:
    with_simulator() : sim_(CORAPI_SIM, {"-w", sim_password}) {}
    int port() const { return sim_.port(); }
    pid_t pid() const { return sim_.pid(); }
    // reqtool with options, then host and user, then the rest.
    std::vector<std::string> args(std::vector<std::string> options,
                                  std::vector<std::string> rest) const
    {
        std::vector<std::string> all{REQTOOL};
        all.insert(all.end(), options.begin(), options.end());
        all.insert(all.end(), {"-p", std::to_string(port()), "127.0.0.1", "root"});
        all.insert(all.end(), rest.begin(), rest.end());
        return all;
    }
    program_run run(std::vector<std::string> options, std::vector<std::string> rest,
                    const std::vector<std::string> &env = {}) const
    {
        return run_program(args(std::move(options), std::move(rest)), env);
    }
    // A bash pipeline whose first command is reqtool with these arguments.
    program_run pipe(std::vector<std::string> options, std::vector<std::string> rest,
                     const std::string &after) const
    {
        std::string line = "set -o pipefail; ";
        for (const std::string &a : args(std::move(options), std::move(rest)))
            line += quoted(a) + " ";
        return run_program({"/bin/bash", "-c", line + "| " + after});
    }

  private:
    sim_process sim_;
};

// A port nothing listens on.
int closed_port()
{
    fixture_server closed([](fixture_conn &) {});
    return closed.port();
}

// ---------------------------------------------------------------------------
// Exit statuses and outputs for scripts
// ---------------------------------------------------------------------------

TEST(ReqtoolScript, FailTellsTheOutcomeInTheExitStatus)
{
    with_simulator sim;
    const std::string port = std::to_string(closed_port());
    struct row {
        std::vector<std::string> args;
        int status;
        std::string reason; // part of the printed result
    } rows[] = {
        {sim.args({"--fail"}, {sim_password, "system-get-version"}), 0, "status=\"passed\""},
        {sim.args({"--fail"}, {sim_password, "volume-destroy", "volume", "vol9"}), 2,
         "Volume vol9 does not exist"},
        {sim.args({"--fail"}, {"wrong", "system-get-version"}), 3, "Authorization failed"},
        {{REQTOOL, "--fail", "-p", port, "127.0.0.1", "root", "x", "system-get-version"},
         3,
         "(err=10061)"},
        {{REQTOOL, "--fail", "-Q", "-p", port, "127.0.0.1", "root", "x", "system-get-version"},
         3,
         "QSM - Can&apos;t connect to host (10061)"},
        // Without --fail every call that was made exits 0, as before.
        {sim.args({}, {"wrong", "system-get-version"}), 0, "Authorization failed"},
    };
    for (const row &r : rows) {
        program_run got = run_program(r.args);
        EXPECT_EQ(got.status, r.status) << testing::PrintToString(r.args) << got.out << got.err;
        EXPECT_NE(got.out.find(r.reason), std::string::npos) << got.out;
    }

    // A certificate that is refused: the call does not reach the server.
    sim_process tls(CORAPI_SIM, {"-s", "-w", sim_password});
    program_run got = run_program({REQTOOL, "--fail", "-s", "-p", std::to_string(tls.port()),
                                   "127.0.0.1", "root", sim_password, "system-get-version"},
                                  {"CORVEX_CA_FILE=system"});
    EXPECT_EQ(got.status, 3) << got.out;
    EXPECT_NE(got.out.find("certificate was refused"), std::string::npos) << got.out;

    // A reply that holds no result.
    fixture_server garbage(answer_with(http_reply(200, "OK", "not xml")));
    got = run_program({REQTOOL, "--fail", "-p", std::to_string(garbage.port()), "127.0.0.1", "root",
                       "x", "system-get-version"});
    EXPECT_EQ(got.status, 4) << got.out;

    // A server that takes the connection and never answers: the time-out.
    kill(sim.pid(), SIGSTOP);
    got = sim.run({"--fail", "-c", "1"}, {sim_password, "system-get-version"});
    kill(sim.pid(), SIGCONT);
    EXPECT_EQ(got.status, 3) << got.out;
    EXPECT_NE(got.out.find("Timed out"), std::string::npos) << got.out;
}

TEST(ReqtoolScript, XmlAndJsonOutputsFeedOtherTools)
{
    with_simulator sim;
    const std::string version = "corapi-sim 0.1.0: simulated storage server, API 1.20";
    program_run got = sim.pipe({"--xml"}, {sim_password, "system-get-version"},
                               "xmllint --xpath 'string(//version)' -");
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, version + (got.out.ends_with("\n") ? "\n" : "")); // as xmllint ends it
    // The headings of -x go to standard error; standard output stays one document.
    got =
        sim.pipe({"--json", "-x"}, {sim_password, "system-get-version"}, "jq -r .results.version");
    EXPECT_EQ(got.out, version + "\n");
    EXPECT_EQ(got.err, "INPUT:\n<system-get-version/>\n\nOUTPUT:\n");

    for (const char *volume : {"vol0", "vol1"})
        sim.run({}, {sim_password, "volume-create", "volume", volume, "size", "20m"});
    got = sim.pipe({"--json"}, {sim_password, "volume-list-info"},
                   "jq -r '.results.volumes.\"volume-info\"[] | .name + \" \" + .\"size-total\"'");
    EXPECT_EQ(got.out, "vol0 20971520\nvol1 20971520\n");
    got = sim.pipe({"--json"}, {"wrong", "system-get-version"}, "jq -r '.results.\"@reason\"'");
    EXPECT_EQ(got.out, "HTTP POST - Authorization failed\n");

    // What the library prints itself while connecting stays off standard output.
    got = run_program({"/bin/bash", "-c",
                       std::string(REQTOOL) + " --xml -Q -p " + std::to_string(closed_port()) +
                           " 127.0.0.1 root x system-get-version | xmllint --xpath "
                           "'string(/results/@reason)' -"});
    EXPECT_EQ(got.out.substr(0, got.out.find_last_not_of('\n') + 1),
              "QSM - Can't connect to host (10061)");
    EXPECT_NE(got.err.find("cx_qsm_socket_open()"), std::string::npos) << got.err;
}

// ---------------------------------------------------------------------------
// Passwords
// ---------------------------------------------------------------------------

// Start reqtool with args and env, its standard input a pipe that holds
// it in -I until the request is written; returns what
// /proc/PID/cmdline showed while it ran, and the run.
program_run run_while_watched(const std::vector<std::string> &args,
                              const std::vector<std::string> &env, std::string *cmdline)
{
    int in[2];
    EXPECT_EQ(pipe(in), 0);
    char out_name[] = "/tmp/reqtool-out-XXXXXX";
    int out = mkstemp(out_name);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    std::vector<std::string> texts = args;
    std::vector<char *> argv, envp;
    for (std::string &a : texts)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_texts(env);
    for (char **e = environ; *e; e++)
        env_texts.emplace_back(*e);
    for (std::string &e : env_texts)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid;
    EXPECT_EQ(posix_spawn(&pid, REQTOOL, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    // The parent resumes while the exec is still setting up the arguments.
    for (int k = 0; k < 200 && cmdline->empty(); k++) {
        *cmdline = file_text("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline->empty())
            usleep(10000);
    }
    const std::string request = "<system-get-version/>";
    EXPECT_EQ(write(in[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out);
    program_run run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = file_text(out_name);
    unlink(out_name);
    return run;
}

TEST(ReqtoolScript, PasswordsFromAFileAndTheEnvironmentStayOffTheCommandLine)
{
    with_simulator sim;
    temp_file file(sim_password + "\r\nsecond line\n");
    struct row {
        std::vector<std::string> options, env;
    } rows[] = {
        {{"--password-file", file.path}, {}},
        {{"--password-env=REQTOOL_TEST_PW"}, {"REQTOOL_TEST_PW=" + sim_password}},
    };
    for (const row &r : rows) {
        std::vector<std::string> options = r.options;
        options.insert(options.end(), {"--xml", "-I"});
        std::string cmdline;
        program_run got = run_while_watched(sim.args(options, {}), r.env, &cmdline);
        // Seen running, with the host among its arguments, and no password there.
        EXPECT_NE(cmdline.find(std::string("127.0.0.1") + '\0' + "root"), std::string::npos)
            << testing::PrintToString(cmdline);
        EXPECT_EQ(cmdline.find(sim_password), std::string::npos);
        EXPECT_EQ(got.status, 0);
        EXPECT_NE(got.out.find("corapi-sim 0.1.0"), std::string::npos) << got.out;
    }

    struct refusal {
        std::vector<std::string> args;
        std::string err;
    } refusals[] = {
        {{REQTOOL, "--password-file", "/nonexistent/pw", "h", "u", "api"},
         "reqtool: cannot open the password file /nonexistent/pw: No such file or directory\n"},
        {{REQTOOL, "--password-env", "REQTOOL_TEST_UNSET", "h", "u", "api"},
         "reqtool: the environment variable REQTOOL_TEST_UNSET that should hold the password is "
         "not set\n"},
        {{REQTOOL, "--password-env", "X", "--password-file", "f", "h", "u", "api"},
         "reqtool: the password can come from one place only\n"
         "Give one of --password-file, --password-env and --password-prompt.\n"},
        {{REQTOOL, "-h", "--password-prompt", "h", "api"},
         "reqtool: -h takes no password\n"
         "Leave out --password-file, --password-env and --password-prompt.\n"},
    };
    for (const refusal &r : refusals) {
        program_run got = run_program(r.args);
        EXPECT_EQ(got.err, r.err);
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.status, 1);
    }
}

// Read from fd until text has come or 10 s have passed; returns all read.
std::string read_until(int fd, const std::string &text)
{
    std::string got;
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    while (got.find(text) == std::string::npos && poll(&p, 1, 10000) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST(ReqtoolScript, PasswordPromptOnTheTerminalDoesNotEcho)
{
    with_simulator sim;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    char out_name[] = "/tmp/reqtool-out-XXXXXX";
    int out = mkstemp(out_name);
    std::vector<std::string> args =
        sim.args({"--password-prompt", "--xml"}, {"system-get-version"});
    pid_t pid = fork();
    if (pid == 0) {
        // A session of its own, whose controlling terminal is the pseudo-terminal.
        setsid();
        int tty = open(slave.c_str(), O_RDWR);
        dup2(tty, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(REQTOOL, argv.data());
        _exit(127);
    }
    std::string screen = read_until(master, "Password for root@127.0.0.1: ");
    std::string typed = sim_password + "\n";
    ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    int status = 0;
    waitpid(pid, &status, 0);
    screen += read_until(master, "\n");
    close(master);
    close(out);
    std::string output = file_text(out_name);
    unlink(out_name);
    EXPECT_EQ(screen.find(sim_password), std::string::npos) << screen;
    EXPECT_NE(screen.find("Password for root@127.0.0.1: "), std::string::npos) << screen;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("status=\"passed\""), std::string::npos) << output;

    // Without a terminal there is nobody to ask.
    program_run got = run_program(
        {"/usr/bin/setsid", "-w", REQTOOL, "--password-prompt", "h", "u", "system-get-version"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.err.rfind("reqtool: --password-prompt needs a terminal: ", 0), 0u) << got.err;
}

// ---------------------------------------------------------------------------
// Values as they stand
// ---------------------------------------------------------------------------

TEST(ReqtoolScript, ValuesArriveAsTheyStand)
{
    with_simulator sim;
    sim.run({}, {sim_password, "volume-create", "volume", "vol0", "size", "20m"});
    const std::string bytes = "h\xc3\xa9llo \xe2\x82\xac {a,b} @x\n\tend\n";
    temp_file file(bytes);
    // Each value written to a file of its own and read back: it comes back byte for byte.
    struct row {
        std::string option, path, expected;
    } rows[] = {
        {"--literal=data=@x", "/vol/vol0/at", "@x"},
        {"--literal=data={a,b}", "/vol/vol0/braces", "{a,b}"},
        {"--value-file=data=" + file.path, "/vol/vol0/file", bytes},
    };
    for (const row &r : rows) {
        program_run wrote = sim.run(
            {r.option, "--fail"}, {sim_password, "file-write-file", "path", r.path, "offset", "0"});
        EXPECT_EQ(wrote.status, 0) << wrote.out << wrote.err;
        program_run read = sim.pipe(
            {"--json", "--fail"},
            {sim_password, "file-read-file", "path", r.path, "offset", "0", "length", "1000"},
            "jq -j .results.data");
        EXPECT_EQ(read.out, r.expected);
    }

    // What XML would not carry unchanged is refused before the call.
    temp_file cr("a\r\nb");
    program_run got =
        sim.run({"--value-file", "data=" + cr.path},
                {sim_password, "file-write-file", "path", "/vol/vol0/cr", "offset", "0"});
    EXPECT_EQ(got.status, 1);
    EXPECT_NE(got.err.find("byte 1 (0x0d) is a carriage return"), std::string::npos) << got.err;
    EXPECT_EQ(sim.run({"--fail"}, {sim_password, "file-read-file", "path", "/vol/vol0/cr", "offset",
                                   "0", "length", "1"})
                  .status,
              2);
}

TEST(ReqtoolScript, OnlyValuesXmlCarriesUnchangedAreTaken)
{
    struct row {
        std::string text;
        const char *why; // null: taken
        size_t at;
    } rows[] = {
        {"plain\ttab\nand line", nullptr, 0},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", nullptr, 0},
        {std::string("a\0b", 3), "a zero byte, which ends a text", 1},
        {"ab\r", "a carriage return, which the server would read as a line feed", 2},
        {"\x1b[0m", "a control character, which XML cannot hold", 0},
        {"ok\xc3", "not UTF-8 text", 2},           // cut short
        {"\xc0\xaf", "not UTF-8 text", 0},         // overlong
        {"x\xed\xa0\x80", "not UTF-8 text", 1},    // a surrogate
        {"\xf4\x90\x80\x80", "not UTF-8 text", 0}, // past U+10FFFF
        {"\xef\xbf\xbf", "the start of U+FFFE or U+FFFF, which XML cannot hold", 0},
    };
    for (const row &r : rows) {
        size_t at = 99;
        const char *why = reqtool_value_refusal(r.text.data(), r.text.size(), &at);
        EXPECT_STREQ(why, r.why) << testing::PrintToString(r.text);
        if (r.why) {
            EXPECT_EQ(at, r.at) << testing::PrintToString(r.text);
        }
    }
}

// ---------------------------------------------------------------------------
// The catalog, help, version and the strict reading
// ---------------------------------------------------------------------------

TEST(ReqtoolScript, CatalogFromTheCommandLine)
{
    program_run got = run_program({REQTOOL, "--list-apis", "volume"});
    EXPECT_EQ(got.status, 0);
    std::string expected;
    size_t volume_apis = 0;
    for (const api_catalog_rec *api = api_catalog_first(api_catalog); api;
         api = api_catalog_next(api)) {
        char name[80];
        api_catalog_record_display_name(api, name, sizeof name);
        if (strstr(name, "volume"))
            expected += std::string(name) + "\n";
        volume_apis += strncmp(name, "volume-", 7) == 0;
    }
    EXPECT_EQ(got.out, expected);
    EXPECT_GT(volume_apis, 40u);
    EXPECT_NE(got.out.find("\nvolume-create\n"), std::string::npos);

    got = run_program({REQTOOL, "--list-apis", "SYSTEM-get-v*", "quota-rep*"});
    EXPECT_EQ(got.out, "quota-report\nquota-report-errors\nsystem-get-version\n");
    got = run_program({REQTOOL, "--list-apis", "frobnicate"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.err, "reqtool: no API name matches \"frobnicate\"\n"
                       "reqtool --list-apis alone lists every name.\n");

    got = run_program({REQTOOL, "--describe", "file-write-file"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "file-write-file (rova_file_write_file)\n"
                       "Inputs:\n"
                       "  data       string   required\n"
                       "  offset     integer  required\n"
                       "  overwrite  boolean  optional\n"
                       "  path       string   required\n"
                       "Outputs:\n"
                       "  length  integer\n"
                       "Call:\n"
                       "  reqtool HOST USER PASSWORD file-write-file data VALUE offset VALUE path "
                       "VALUE\n");
    got = run_program({REQTOOL, "--describe=rova_system_get_version"});
    EXPECT_EQ(got.out, "system-get-version (rova_system_get_version)\nInputs: none\n"
                       "Outputs:\n  version  string\nCall:\n"
                       "  reqtool HOST USER PASSWORD system-get-version\n");
    got = run_program({REQTOOL, "--describe", "volume-frob"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.err.rfind("reqtool: the catalog has no API called \"volume-frob\"\n", 0), 0u);
}

TEST(ReqtoolScript, HelpVersionAndMisusedLongOptions)
{
    // --help looks at nothing else: no port line, no complaint about the rest.
    program_run got = run_program({REQTOOL, "-p", "80", "-q", "--xml", "--json", "--help"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.out.rfind("Usage: reqtool [options] HOST USER PASSWORD API", 0), 0u) << got.out;
    for (const char *option : {"--fail", "--xml", "--json", "--strict", "--password-file",
                               "--password-env", "--password-prompt", "--literal", "--value-file",
                               "--list-apis", "--describe", "-Q", "-c SECONDS"})
        EXPECT_NE(got.out.find(option), std::string::npos) << option;
    got = run_program({REQTOOL, "--version"});
    EXPECT_EQ(got.out, "reqtool 0.1.0\n");
    EXPECT_EQ(got.status, 0);

    struct row {
        std::vector<std::string> args;
        std::string err;
    } rows[] = {
        {{"--xml", "--json"},
         "reqtool: --xml and --json cannot go together\nChoose one of them.\n"},
        {{"-X", "--fail"},
         "reqtool: -X cannot go with --xml, --json or --fail\n"
         "-X prints the reply as it came, without reading a result from it.\n"},
        {{"--fail=yes"},
         "reqtool: \"--fail\": this option takes no value\nRun reqtool --help for the options.\n"},
        {{"--password-file"},
         "reqtool: --password-file needs a value\nRun reqtool --help for the options.\n"},
        {{"--literal", "data"},
         "reqtool: --literal \"data\": expected NAME=VALUE\n"
         "The parameter's name comes before the first \"=\".\n"},
    };
    for (const row &r : rows) {
        std::vector<std::string> args{REQTOOL};
        args.insert(args.end(), r.args.begin(), r.args.end());
        got = run_program(args);
        EXPECT_EQ(got.err, r.err) << testing::PrintToString(r.args);
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.status, 1);
    }
}

TEST(ReqtoolScript, StrictRefusesWhatIsOtherwisePassedOver)
{
    with_simulator sim;
    const std::string help = "Run reqtool --help for the options.\n";
    const std::string after = "Options go before the host: reqtool [options] HOST USER PASSWORD "
                              "API [NAME VALUE ...].\n";
    struct row {
        std::vector<std::string> options, rest;
        std::string err;
    } rows[] = {
        {{"-qx"}, {}, "reqtool: unknown option letter \"q\" in \"-qx\"\n" + help},
        {{"--frobnicate"}, {}, "reqtool: unknown option \"--frobnicate\"\n" + help},
        {{"-t", "ring"},
         {},
         "reqtool: -t \"ring\": no such server type\n"
         "The server types are vault, fleet, sentry and relay.\n"},
        {{"-c", "0"},
         {},
         "reqtool: -c \"0\": not a positive whole number of seconds\n"
         "Give the time-out in whole seconds, as in -c 30.\n"},
        {{"-c5s"},
         {},
         "reqtool: -c \"5s\": not a positive whole number of seconds\n"
         "Give the time-out in whole seconds, as in -c 30.\n"},
        {{"-p", "99999"},
         {},
         "reqtool: -p \"99999\": not a port number\n"
         "Ports go from 1 to 65535; -p -1 chooses the default port.\n"},
        {{},
         {"system-get-version", "-x"},
         "reqtool: \"-x\" stands among the operands, where it is not read as an option\n" + after},
        {{},
         {"-s", "system-get-version"},
         "reqtool: \"-s\" stands among the operands, where it is not read as an option\n" + after},
    };
    for (const row &r : rows) {
        std::vector<std::string> options{"--strict"};
        options.insert(options.end(), r.options.begin(), r.options.end());
        std::vector<std::string> rest{sim_password};
        rest.insert(rest.end(), r.rest.begin(), r.rest.end());
        if (r.rest.empty())
            rest.push_back("system-get-version");
        program_run got = sim.run(options, rest);
        EXPECT_EQ(got.err, r.err) << testing::PrintToString(r.options);
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.status, 1);
    }
    // What strict takes: values that look like options stay values.
    program_run got =
        sim.run({"--strict", "-c", "30", "-t", "Vault", "--fail"},
                {sim_password, "file-write-file", "path", "-x", "data", "-d", "offset", "-1"});
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 2) << got.out;
    EXPECT_NE(got.out.find("Invalid path: -x"), std::string::npos) << got.out;
}

// ---------------------------------------------------------------------------
// In-process: the JSON mapping and the outcome of each failure
// ---------------------------------------------------------------------------

cx_elem_t *element(const char *name, const char *content = nullptr)
{
    cx_elem_t *e = cx_elem_create(name);
    if (content)
        cx_elem_set_content(e, content);
    return e;
}

std::string json_of(const cx_elem_t *elem)
{
    FILE *f = tmpfile();
    EXPECT_EQ(reqtool_json_write(f, elem), 0);
    rewind(f);
    std::string text;
    for (int c; (c = getc(f)) != EOF;)
        text += static_cast<char>(c);
    fclose(f);
    return text;
}

TEST(ReqtoolJson, TheMappingKeepsEverything)
{
    cx_elem_t *results = element("results");
    cx_elem_attr_set(results, "reason", "Can&apos;t &#x20AC; a&b &lt;");
    cx_elem_attr_set(results, "status", "failed");
    cx_elem_child_add(results, element("none"));
    cx_elem_child_add(results, element("empty", ""));
    cx_elem_child_add(results, element("text", "q\"\\\x01\n\xff\xc3\xa9"));
    cx_elem_t *mixed = cx_elem_child_add(results, element("mixed", " t "));
    cx_elem_attr_set(mixed, "a", "1");
    cx_elem_t *list = cx_elem_child_add(results, element("list"));
    for (const char *name : {"b", "a", "b", "b"})
        cx_elem_child_add(list, element(name, name));
    cx_elem_t *runs = cx_elem_child_add(results, element("runs"));
    for (const char *name : {"x", "x", "y"})
        cx_elem_child_add(runs, element(name));
    EXPECT_EQ(json_of(results), "{\n"
                                "  \"results\": {\n"
                                "    \"@reason\": \"Can't \xe2\x82\xac a&b <\",\n"
                                "    \"@status\": \"failed\",\n"
                                "    \"none\": null,\n"
                                "    \"empty\": \"\",\n"
                                "    \"text\": \"q\\\"\\\\\\u0001\\n\xef\xbf\xbd\xc3\xa9\",\n"
                                "    \"mixed\": {\n"
                                "      \"@a\": \"1\",\n"
                                "      \"#text\": \" t \"\n"
                                "    },\n"
                                "    \"list\": {\n"
                                "      \"b\": [\n"
                                "        \"b\",\n"
                                "        \"b\",\n"
                                "        \"b\"\n"
                                "      ],\n"
                                "      \"a\": \"a\",\n"
                                "      \"#order\": [\"b\", \"a\", \"b\", \"b\"]\n"
                                "    },\n"
                                "    \"runs\": {\n"
                                "      \"x\": [\n"
                                "        null,\n"
                                "        null\n"
                                "      ],\n"
                                "      \"y\": null\n"
                                "    }\n"
                                "  }\n"
                                "}\n");
    cx_elem_free(results);

    // A stream that refuses writes is reported.
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    cx_elem_t *version = element("version", "1.2");
    EXPECT_EQ(reqtool_json_write(full, version), -1);
    EXPECT_EQ(errno, ENOSPC);
    fclose(full);
    cx_elem_free(version);
}

TEST(ReqtoolScript, OutcomeOfEachFailureTheLibraryReports)
{
    struct row {
        const char *reason; // null: none
        int error;          // -1: no errno
        int status;
    } rows[] = {
        {"HTTP POST - Authorization failed", CX_ERR_AUTH, 3},
        {"HTTP POST - URL not found", CX_ERR_RESPONSE, 3},
        {"HTTP POST - Timed out", CX_ERR_RESPONSE, 3},
        {"QSM - Can't connect to host (10061)", CX_ERR_CONNECT, 3},
        {"QSM - Can't read reply header (line 1)", CX_ERR_READ, 3},
        {"QSM - Call succeeded, but reply was consumed by debugging code", CX_ERR_READ, 4},
        {"Can't connect to host (err=10061).", 10061, 3},
        {"Can't connect to host (err=1): the server's certificate was refused.", 1, 3},
        {"Can't connect to host (err=-11001).", -1, 3},
        {"No permission to use 'hostsequiv' authentication, must be root.", 1, 3},
        {"Timeout. Could not read API response.", 60, 3},
        {"RPC Error - The RPC server is unavailable. ", CX_ERR_RESPONSE, 3},
        {"Failed to load cxadmin.dll", CX_ERR_RESPONSE, 3},
        {"Parsing error in results: Document is empty", CX_ERR_INTERNAL, 4},
        {"No corvex element in response", CX_ERR_RESPONSE, 4},
        {"Unable to allocate memory in xml_create.", 12, 4},
        {nullptr, CX_ERR_INTERNAL, 4},
        // The server's own failures, even where a reason looks like the library's.
        {"Volume vol0 does not exist", 14002, 2},
        {"HTTP POST - Authorization failed", 14002, 2},
        {nullptr, -1, 2},
    };
    for (const row &r : rows) {
        cx_elem_t *result = cx_results_new("failed", r.reason, r.error);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(reqtool_outcome(result), r.status) << (r.reason ? r.reason : "") << r.error;
        cx_elem_free(result);
    }
    cx_elem_t *passed = cx_results_new("passed", nullptr, -1);
    EXPECT_EQ(reqtool_outcome(passed), 0);
    // A reply root with more than one child comes back whole.
    cx_elem_t *root = element("corvex");
    cx_elem_child_add(root, element("extra"));
    cx_elem_child_add(root, passed);
    EXPECT_EQ(reqtool_outcome(root), 0);
    cx_elem_free(root);
    EXPECT_EQ(reqtool_outcome(nullptr), 4);
}

} // namespace
