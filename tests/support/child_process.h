// Run part of a test in a forked child process, for state that can be set
// only once per process (installation paths) or that a test must not leave
// behind (console echo, standard streams).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

// Fork, run body in the child and return the child's exit status: 0 when
// body recorded no failure, 1 when it did (its messages are printed by the
// child), -1 when the child could not be started or did not exit normally.
// The child leaves with _exit, so no exit handler of the parent's runs.
inline int run_in_child(const std::function<void()> &body)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
