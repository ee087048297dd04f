// One HTTPS call as a user makes it from the shell: reqtool -s against
// curl -k, the same request to the same simulator (HTTPS with a certificate
// made at start), many runs of each, interleaved. Each run is a whole
// process: start, TLS handshake, request, reply, exit. Prints the median
// wall time of each and their ratio.
//
//   build/bench/https_bench [runs]

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "corvex/cx_request.h"
#include "sim_child.h"

extern char **environ;

namespace
{

using clock_type = std::chrono::steady_clock;

// Run a program with its output to a file; the wall time in
// microseconds, or -1 when it did not exit with status 0.
double timed_run(const std::vector<std::string> &args, const char *output)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output, O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    auto start = clock_type::now();
    pid_t pid;
    int status = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        waitpid(pid, &status, 0);
    auto took = clock_type::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::chrono::duration<double, std::micro>(took).count();
}

bool output_has(const char *path, const char *text)
{
    FILE *f = fopen(path, "r");
    std::string all;
    char buf[4096];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0)
        all.append(buf, n);
    if (f)
        fclose(f);
    return all.find(text) != std::string::npos;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

} // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 200;
    pid_t pid;
    sim_ports at;
    if (runs < 1 || !start_simulator({"-s"}, &pid, &at)) {
        fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    std::string port_text = std::to_string(at.http);
    // The document reqtool sends for system-get-version, posted by curl too.
    std::string document =
        "<?xml version='1.0' encoding='utf-8' ?>\n"
        "<!DOCTYPE corvex SYSTEM 'file:/etc/corvex_vault.dtd'>\n"
        "<corvex xmlns=\"" CX_REQUEST_XMLNS "\" version=\"1.0\"><system-get-version/></corvex>";
    std::vector<std::string> reqtool = {REQTOOL_PATH, "-s",   "-p",     port_text,
                                        "127.0.0.1",  "root", "secret", "system-get-version"};
    std::vector<std::string> curl = {"curl",
                                     "-k",
                                     "-s",
                                     "-f",
                                     "-u",
                                     "root:secret",
                                     "-H",
                                     "Content-Type: text/xml",
                                     "--data-binary",
                                     document,
                                     "https://127.0.0.1:" + port_text +
                                         "/servlets/corvex.servlets.admin.XMLrequest_vault"};
    const char *out_reqtool = "/tmp/https_bench.reqtool.out";
    const char *out_curl = "/tmp/https_bench.curl.out";

    // Both must answer "passed" before anything is timed.
    for (int i = 0; i < 3; i++) {
        timed_run(reqtool, out_reqtool);
        timed_run(curl, out_curl);
    }
    if (!output_has(out_reqtool, "status=\"passed\"") ||
        !output_has(out_curl, "status=\"passed\"")) {
        fprintf(stderr, "a warm-up call did not pass (is curl installed?)\n");
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return 1;
    }
    std::vector<double> ours, theirs;
    int failed = 0;
    for (int i = 0; i < runs; i++) { // interleaved, so both see the same machine
        double a = timed_run(reqtool, out_reqtool);
        double b = timed_run(curl, out_curl);
        if (a < 0 || b < 0) {
            failed++;
            continue;
        }
        ours.push_back(a);
        theirs.push_back(b);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    unlink(out_reqtool);
    unlink(out_curl);
    if (ours.empty()) {
        fprintf(stderr, "no run succeeded\n");
        return 1;
    }
    printf("one HTTPS call, %zu runs each (%d failed)\n", ours.size(), failed);
    printf("%-10s median %8.0f us   p10 %8.0f us   p90 %8.0f us\n", "reqtool -s", median(ours),
           percentile(ours, 0.1), percentile(ours, 0.9));
    printf("%-10s median %8.0f us   p10 %8.0f us   p90 %8.0f us\n", "curl -k", median(theirs),
           percentile(theirs, 0.1), percentile(theirs, 0.9));
    printf("ratio reqtool / curl (medians): %.2f\n", median(ours) / median(theirs));
    return 0;
}
