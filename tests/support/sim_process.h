// corapi-sim as a child process for the simulator's and the programs' tests,
// and a runner for the kit's programs as child processes (optionally as
// another user).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

inline std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A simulator started with args (after "-p 0"); the lines it prints first
// name its listeners (and the HTTPS certificate), its log goes to a file.
class sim_process
{
  public:
    using clock_type = std::chrono::steady_clock;

    explicit sim_process(const char *program, std::vector<std::string> args = {})
    {
        char log_name[] = "/tmp/corapi-sim-log-XXXXXX";
        int log_fd = mkstemp(log_name);
        log_path_ = log_name;
        int out[2];
        if (log_fd < 0 || pipe(out) != 0)
            return;
        args.insert(args.begin(), {program, "-p", "0"});
        size_t expected = 1;
        for (const char *more : {"-q", "-r", "-s", "-C"})
            expected += static_cast<size_t>(std::count(args.begin(), args.end(), more));
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(log_fd, STDERR_FILENO);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(log_fd);
        out_fd_ = out[0];
        // The HTTP line comes first, then one line per other listener, then
        // the certificate's.
        while (lines_.size() < expected) {
            std::string line = read_line();
            if (line.empty())
                break;
            lines_.push_back(line);
        }
    }
    ~sim_process()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0)
            close(out_fd_);
        unlink(log_path_.c_str());
    }
    sim_process(const sim_process &) = delete;
    sim_process &operator=(const sim_process &) = delete;

    // The port named on the line starting with prefix, 0 when there is none.
    int port(const std::string &prefix = "corapi-sim listening on ") const
    {
        std::string rest = after(prefix);
        size_t colon = rest.rfind(':');
        return colon == std::string::npos ? 0 : atoi(rest.c_str() + colon + 1);
    }
    int qsm_port() const { return port("corapi-sim socket mode listening on "); }
    std::string rpc_path() const { return after("corapi-sim rpc listening on "); }
    std::string log() const { return file_text(log_path_); }
    pid_t pid() const { return pid_; }

    // Send sig and wait for the exit: the exit status, -1 when killed by a
    // signal, -2 when the process is still there after timeout.
    int stop(int sig = SIGTERM, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        kill(pid_, sig);
        return wait_exit(timeout);
    }

    int wait_exit(std::chrono::milliseconds timeout)
    {
        auto deadline = clock_type::now() + timeout;
        while (clock_type::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -2;
    }

  private:
    std::string after(const std::string &prefix) const
    {
        for (const std::string &line : lines_) {
            if (line.rfind(prefix, 0) == 0)
                return line.substr(prefix.size());
        }
        return "";
    }

    std::string read_line()
    {
        std::string line;
        char c;
        pollfd p{out_fd_, POLLIN, 0};
        while (poll(&p, 1, 20000) > 0 && read(out_fd_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    bool exited_ = false;
    std::vector<std::string> lines_;
    std::string log_path_;
};

// Send bytes on the connected socket fd (closed here), optionally end the
// sending side, and read until the peer closes (10 s at the most).
inline std::string exchange_on(int fd, const std::string &bytes, bool end_sending)
{
    if (fd < 0)
        return "(no connection)";
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (end_sending)
        shutdown(fd, SHUT_WR);
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    ssize_t n;
    while (poll(&p, 1, 10000) > 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0)
        got.append(buf, static_cast<size_t>(n));
    close(fd);
    return got;
}

struct program_run {
    std::string out, err;
    int status = -1;
};

// Run argv (argv[0] the program's path) with extra environment entries, as
// the user uid when it is not -1 (the caller must be root), and collect its
// outputs and exit status. Outputs go through files, so nothing blocks.
inline program_run run_program(std::vector<std::string> argv,
                               const std::vector<std::string> &extra_env = {},
                               uid_t uid = static_cast<uid_t>(-1), gid_t gid = 0)
{
    char out_name[] = "/tmp/program-out-XXXXXX", err_name[] = "/tmp/program-err-XXXXXX";
    int out = mkstemp(out_name), err = mkstemp(err_name);
    program_run run;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        for (const std::string &e : extra_env)
            putenv(const_cast<char *>(e.c_str()));
        if (uid != static_cast<uid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
        std::vector<char *> args;
        for (std::string &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    close(out);
    close(err);
    run.out = file_text(out_name);
    run.err = file_text(err_name);
    unlink(out_name);
    unlink(err_name);
    return run;
}
