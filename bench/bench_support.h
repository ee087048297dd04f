// Shared parts of the benchmarks that run whole programs against a reply
// served on loopback: a file server, child processes measured with wait4,
// and medians.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench
{

using clock_type = std::chrono::steady_clock;

inline double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A fresh directory under $TMPDIR (or /tmp), removed with its files by the destructor.
class temp_dir
{
  public:
    temp_dir()
    {
        const char *base = getenv("TMPDIR");
        path_ = std::string(base && *base ? base : "/tmp") + "/corvex-bench.XXXXXX";
        if (!mkdtemp(path_.data()))
            path_.clear();
    }
    ~temp_dir()
    {
        for (const std::string &f : files_)
            unlink(f.c_str());
        if (!path_.empty())
            rmdir(path_.c_str());
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    bool ok() const { return !path_.empty(); }
    // The path of a file in the directory, removed with it.
    std::string file(const std::string &name)
    {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

  private:
    std::string path_;
    std::vector<std::string> files_;
};

// An HTTP server on 127.0.0.1 that answers every POST with "200 OK" and the
// bytes of one file as the body, one connection after another.
class file_server
{
  public:
    file_server()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(fd_, 16) != 0 || getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &length))
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~file_server()
    {
        stopping_ = true;
        shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }
    file_server(const file_server &) = delete;
    file_server &operator=(const file_server &) = delete;

    int port() const { return port_; }
    // Serve this file from the next connection on.
    void set_file(const std::string &path) { path_ = path; }

  private:
    void serve()
    {
        for (;;) {
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (stopping_)
                    return;
                continue;
            }
            answer(c);
            close(c);
        }
    }

    // Read the request head and its body, then send the file.
    static bool read_request(int c)
    {
        std::string head;
        char buffer[4096];
        size_t end;
        while ((end = head.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = recv(c, buffer, sizeof buffer, 0);
            if (n <= 0)
                return false;
            head.append(buffer, static_cast<size_t>(n));
        }
        size_t body = 0;
        for (const char *name : {"Content-Length:", "content-length:"}) {
            size_t at = head.find(name);
            if (at != std::string::npos)
                body = strtoul(head.c_str() + at + strlen(name), nullptr, 10);
        }
        size_t have = head.size() - end - 4;
        while (have < body) {
            ssize_t n = recv(c, buffer, std::min(sizeof buffer, body - have), 0);
            if (n <= 0)
                return false;
            have += static_cast<size_t>(n);
        }
        return true;
    }

    void answer(int c)
    {
        int file = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {
        };
        if (file < 0 || fstat(file, &st) != 0 || !read_request(c)) {
            if (file >= 0)
                close(file);
            return;
        }
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                           std::to_string(st.st_size) + "\r\nConnection: close\r\n\r\n";
        if (send(c, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
            off_t at = 0;
            while (at < st.st_size &&
                   sendfile(c, file, &at, static_cast<size_t>(st.st_size - at)) > 0)
                ;
        }
        close(file);
    }

    int fd_ = -1;
    int port_ = 0;
    std::string path_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// What one child process (or pipeline) took.
struct usage {
    double seconds = 0;
    double peak_mb = 0; // sum of the processes' peak resident sizes
    bool ok = false;    // every process exited with status 0
};

// A program to run: its arguments, and where its standard streams go
// (-1: /dev/null for output, inherited for input).
struct program {
    std::vector<std::string> argv;
    int in = -1;
    int out = -1;
};

inline pid_t start(const program &p, const std::vector<int> &close_in_child)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int null_fd = open("/dev/null", O_RDWR);
    if (p.in >= 0)
        dup2(p.in, STDIN_FILENO);
    dup2(p.out >= 0 ? p.out : null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    for (int fd : close_in_child)
        close(fd);
    std::vector<char *> argv;
    for (const std::string &a : p.argv)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Wait for every pid; peak memory is the sum of their peaks.
inline usage wait_all(const std::vector<pid_t> &pids, clock_type::time_point began)
{
    usage u;
    u.ok = true;
    for (pid_t pid : pids) {
        int status = 0;
        rusage r{};
        if (wait4(pid, &status, 0, &r) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            u.ok = false;
        u.peak_mb += static_cast<double>(r.ru_maxrss) / 1024.0;
    }
    u.seconds = seconds_since(began);
    return u;
}

// Run the programs as a pipeline, each one's output feeding the next one's
// input; the last one's output goes to out (or /dev/null).
inline usage run_pipeline(std::vector<program> stages, int out = -1)
{
    auto began = clock_type::now();
    std::vector<pid_t> pids;
    std::vector<int> open_fds;
    int in = -1;
    for (size_t k = 0; k < stages.size(); k++) {
        int pipe_fds[2] = {-1, -1};
        bool last = k + 1 == stages.size();
        if (!last && pipe2(pipe_fds, O_CLOEXEC) != 0)
            return {};
        stages[k].in = in;
        stages[k].out = last ? out : pipe_fds[1];
        if (!last) {
            open_fds.push_back(pipe_fds[0]);
            open_fds.push_back(pipe_fds[1]);
        }
        pids.push_back(start(stages[k], open_fds));
        if (in >= 0)
            close(in);
        if (!last)
            close(pipe_fds[1]);
        in = pipe_fds[0];
    }
    return wait_all(pids, began);
}

// A running digest of bytes: length, a 64-bit FNV-1a hash, and how often a
// marker occurs (counted across read boundaries).
class digest
{
  public:
    // With skip_first_line, everything up to the first line feed is left
    // out (a line that differs from run to run).
    explicit digest(std::string marker, bool skip_first_line = false)
        : marker_(std::move(marker)), skipping_(skip_first_line)
    {
    }

    void add(const char *data, size_t n)
    {
        if (skipping_) {
            const char *end = static_cast<const char *>(memchr(data, '\n', n));
            size_t skip = end ? static_cast<size_t>(end - data) + 1 : n;
            skipping_ = !end;
            data += skip;
            n -= skip;
        }
        for (size_t k = 0; k < n; k++)
            hash_ = (hash_ ^ static_cast<unsigned char>(data[k])) * 1099511628211ull;
        // Markers are searched in what was carried over from the last read
        // followed by this one, so that none is missed across a boundary.
        std::string window = carry_ + std::string(data, n);
        for (size_t at = window.find(marker_); at != std::string::npos;
             at = window.find(marker_, at + 1))
            markers_++;
        size_t keep = std::min(window.size(), marker_.size() - 1);
        carry_ = window.substr(window.size() - keep);
        length_ += n;
        tail_.append(data, n);
        if (tail_.size() > 256)
            tail_.erase(0, tail_.size() - 256);
    }

    size_t length() const { return length_; }
    unsigned long long hash() const { return hash_; }
    size_t markers() const { return markers_; }
    const std::string &tail() const { return tail_; }

  private:
    std::string marker_;
    std::string carry_;
    std::string tail_;
    size_t length_ = 0;
    size_t markers_ = 0;
    bool skipping_;
    unsigned long long hash_ = 1469598103934665603ull;
};

// Run the pipeline with its output read into a digest.
inline usage run_into_digest(std::vector<program> stages, digest &d)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {};
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
            d.add(buffer, static_cast<size_t>(n));
    });
    usage u = run_pipeline(std::move(stages), fds[1]);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    return u;
}

} // namespace bench
