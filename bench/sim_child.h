// The simulator as a child process of a benchmark.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

// Where a simulator child answers: its HTTP (or HTTPS) port, and its
// socket-mode port when it was started with -q (else 0).
struct sim_ports {
    int http = 0;
    int qsm = 0;
};

// The port at the end of a "... listening on ADDRESS:PORT" line, 0 if none.
inline int sim_port_of(const char *line, const char *prefix)
{
    const char *colon = strrchr(line, ':');
    return strncmp(line, prefix, strlen(prefix)) == 0 && colon ? atoi(colon + 1) : 0;
}

// Start the simulator (CORAPI_SIM_PATH) on a free port with the given extra
// options, its log dropped; returns its pid and ports. false when it did not
// name its HTTP port.
inline bool start_simulator(std::initializer_list<const char *> options, pid_t *pid,
                            sim_ports *ports)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    std::vector<const char *> argv = {CORAPI_SIM_PATH, "-p", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(nullptr);
    // One line for HTTP, one for each other listener, one naming the certificate.
    int lines = 1;
    for (const char *option : options)
        lines += strcmp(option, "-q") == 0 || strcmp(option, "-r") == 0 ||
                 strcmp(option, "-s") == 0 || strcmp(option, "-C") == 0;
    *pid = fork();
    if (*pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        if (!freopen("/dev/null", "w", stderr))
            _exit(127);
        execv(argv[0], const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    close(out[1]);
    FILE *from = fdopen(out[0], "r");
    char line[512] = "";
    for (int n = 0; n < lines && fgets(line, sizeof line, from); n++) {
        if (int port = sim_port_of(line, "corapi-sim listening on "))
            ports->http = port;
        if (int port = sim_port_of(line, "corapi-sim socket mode listening on "))
            ports->qsm = port;
    }
    fclose(from);
    return ports->http > 0;
}
