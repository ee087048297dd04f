// Calls per second of whole API calls (envelope, HTTP, reply parsing and
// decoding) against the simulator on loopback: one client in a row, then
// eight clients at once, each with its own server handle.
//
//   build/bench/invoke_bench [calls]

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "corvex/cx_invoke.h"
#include "corvex/cx_startup.h"
#include "sim_child.h"

namespace
{

using clock_type = std::chrono::steady_clock;

// Run calls calls of system-get-version on one handle; the number passed.
int run_calls(int port, int calls)
{
    cx_server_t *server = cx_server_open("127.0.0.1", 1, 0);
    cx_server_set_login(server, "root", "secret");
    cx_server_set_port(server, port);
    cx_server_set_timeout(server, 10);
    cx_elem_t *api = cx_elem_create("system-get-version");
    int passed = 0;
    for (int i = 0; i < calls; i++) {
        cx_elem_t *result = cx_server_invoke_elem(server, api);
        passed += result && strcmp(stab_get(result->attributes, "status"), "passed") == 0;
        cx_elem_free(result);
    }
    cx_elem_free(api);
    cx_server_close(server);
    return passed;
}

void report(const char *what, int calls, int passed, clock_type::duration took)
{
    double seconds = std::chrono::duration<double>(took).count();
    printf("%-28s %7d calls %7d passed %8.3f s %9.0f calls/s %8.1f us/call\n", what, calls, passed,
           seconds, calls / seconds, seconds * 1e6 / calls);
}

} // namespace

int main(int argc, char **argv)
{
    int calls = argc > 1 ? atoi(argv[1]) : 4000;
    char message[256];
    if (!cx_startup(message, sizeof message)) {
        fprintf(stderr, "cx_startup: %s\n", message);
        return 1;
    }
    pid_t pid;
    int port;
    if (!start_simulator({"-c", "64"}, &pid, &port)) {
        fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    run_calls(port, 50); // warm up

    auto start = clock_type::now();
    int passed = run_calls(port, calls);
    report("one client in a row", calls, passed, clock_type::now() - start);

    constexpr int clients = 8;
    std::vector<int> passed_each(clients);
    std::vector<std::thread> threads;
    start = clock_type::now();
    for (int c = 0; c < clients; c++)
        threads.emplace_back([&, c] { passed_each[c] = run_calls(port, calls / clients); });
    for (auto &t : threads)
        t.join();
    passed = 0;
    for (int p : passed_each)
        passed += p;
    report("eight clients at once", calls / clients * clients, passed, clock_type::now() - start);

    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return 0;
}
