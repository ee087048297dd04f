// The simulator as a child process of a benchmark.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

// Start the simulator (CORAPI_SIM_PATH) on a free port with the given extra
// options, its log dropped; returns its pid and port. false when it did not
// name its port.
inline bool start_simulator(std::initializer_list<const char *> options, pid_t *pid, int *port)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    std::vector<const char *> argv = {CORAPI_SIM_PATH, "-p", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(nullptr);
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
    char line[256] = "";
    bool ok = fgets(line, sizeof line, from) != nullptr;
    fclose(from);
    const char *colon = strrchr(line, ':');
    *port = ok && colon ? atoi(colon + 1) : 0;
    return *port > 0;
}
