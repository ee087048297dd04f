// Calls per second of whole API calls (envelope, transport, reply parsing
// and decoding) against the simulator on this machine: one client in a row
// over HTTP, socket mode and the RPC library (with the ratio to HTTP), then
// eight HTTP clients at once, each with its own server handle.
//
//   build/bench/invoke_bench [calls]

#include <algorithm>
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

enum transport { over_http, over_qsm, over_rpc };

// Run calls calls of system-get-version on one handle; the number passed.
int run_calls(const sim_ports &at, transport t, int calls)
{
    cx_server_t *server = cx_server_open("127.0.0.1", 1, 0);
    cx_server_set_login(server, "root", "secret");
    if (t == over_qsm)
        cx_server_set_transport(server, CX_TRANSPORT_QSM);
    if (t == over_rpc)
        cx_server_set_auth_style(server, CX_AUTH_RPC);
    cx_server_set_port(server, t == over_qsm ? at.qsm : at.http);
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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
    std::string socket_path = "/tmp/invoke-bench-" + std::to_string(getpid()) + ".sock";
    setenv("CORAPI_SIM_RPC_SOCKET", socket_path.c_str(), 1);
    char message[256];
    if (!cx_startup(message, sizeof message)) {
        fprintf(stderr, "cx_startup: %s\n", message);
        return 1;
    }
    pid_t pid;
    sim_ports at;
    if (!start_simulator({"-q", "0", "-r", "-c", "64"}, &pid, &at) || at.qsm == 0) {
        fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    // Rounds interleave the transports, so that the load of a shared
    // machine falls on all of them alike; each prints its median round.
    constexpr int rounds = 7;
    const struct {
        transport t;
        const char *name;
    } transports[] = {{over_http, "HTTP, one client in a row"},
                      {over_qsm, "socket mode, in a row"},
                      {over_rpc, "RPC library, in a row"}};
    int per_round = calls / rounds;
    std::vector<double> seconds[3];
    int passed_all[3] = {0, 0, 0};
    for (const auto &each : transports)
        run_calls(at, each.t, 50); // warm up
    for (int r = 0; r < rounds; r++) {
        for (const auto &each : transports) {
            auto start = clock_type::now();
            passed_all[each.t] += run_calls(at, each.t, per_round);
            seconds[each.t].push_back(
                std::chrono::duration<double>(clock_type::now() - start).count());
        }
    }
    double http_median = median(seconds[over_http]);
    for (const auto &each : transports) {
        double m = median(seconds[each.t]);
        printf("%-28s %7d calls %7d passed   median round %8.1f us/call %9.0f calls/s", each.name,
               per_round * rounds, passed_all[each.t], m * 1e6 / per_round, per_round / m);
        if (each.t != over_http)
            printf("   %.2f x the time of HTTP", m / http_median);
        printf("\n");
    }

    constexpr int clients = 8;
    std::vector<int> passed_each(clients);
    std::vector<std::thread> threads;
    auto start = clock_type::now();
    for (int c = 0; c < clients; c++)
        threads.emplace_back(
            [&, c] { passed_each[c] = run_calls(at, over_http, calls / clients); });
    for (auto &t : threads)
        t.join();
    int passed = 0;
    for (int p : passed_each)
        passed += p;
    report("HTTP, eight clients at once", calls / clients * clients, passed,
           clock_type::now() - start);

    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return 0;
}
