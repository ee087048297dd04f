// Logging: one line per message to a log file rotated by size, with echo to
// the console and entries in the system log for some operations.

#include "vovedi/log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include "vovedi/path.h"
#include "vovedi/pool.h"
#include "vovedi/zthread.h"

namespace
{

constexpr const char *tags[8] = {"EMERG", "ALERT", " CRIT", "ERROR",
                                 " WARN", "NOTIC", " INFO", "DEBUG"};

constexpr const char *default_program = "application";
constexpr size_t stack_message_size = 512;
constexpr size_t file_name_size = 256; // names of at most 255 characters
constexpr off_t default_log_limit = 3000000;
constexpr off_t named_log_limit = 300000;
constexpr int old_generations = 3;
constexpr mode_t file_mode = 0600;

// A log line may cause another on the same thread (an allocation whose
// test point reports its hit, a failed system-log entry); deeper nesting
// than this is dropped so that nothing recurses without bound.
constexpr int nesting_limit = 3;
thread_local int nesting;

char program_name[128];
char directory_override[file_name_size];
std::atomic<bool> thread_prefix{false};
std::atomic<bool> console_echo{true};

int write_to_syslog(const char *ident, int priority, const char *message);
std::atomic<log_system_writer_fn> system_writer{write_to_syslog};
// openlog and closelog change process-wide state: one entry at a time.
std::mutex syslog_lock;

const char *program_or_default()
{
    return program_name[0] ? program_name : default_program;
}

int write_to_syslog(const char *ident, int priority, const char *message)
{
    std::lock_guard<std::mutex> hold(syslog_lock);
    openlog(ident, LOG_PID, LOG_USER);
    syslog(priority, "%s", message);
    closelog();
    return 0;
}

// The syslog priority of a level, or -1 for DEBUG, which is never reported.
int event_priority(int level)
{
    switch (level & 7) {
    case LOG_LEVEL_WARN:
        return LOG_WARNING;
    case LOG_LEVEL_NOTICE:
    case LOG_LEVEL_INFO:
        return LOG_INFO;
    case LOG_LEVEL_DEBUG:
        return -1;
    default:
        return LOG_ERR;
    }
}

// Counts this thread's log calls in progress for one scope.
class nesting_guard
{
  public:
    nesting_guard() { nesting++; }
    ~nesting_guard() { nesting--; }
    nesting_guard(const nesting_guard &) = delete;
    nesting_guard &operator=(const nesting_guard &) = delete;
    bool allowed() const { return nesting <= nesting_limit; }
};

// A formatted message: on the stack when it fits, else in tracked memory of
// the needed size, so that it is never cut. Not ok when it cannot be had.
class message_text
{
  public:
    message_text(const char *format, va_list args)
    {
        va_list first;
        va_copy(first, args);
        int n = vsnprintf(stack_, sizeof stack_, format, first);
        va_end(first);
        if (n < 0)
            return;
        length_ = static_cast<size_t>(n);
        if (length_ < sizeof stack_) {
            text_ = stack_;
            return;
        }
        heap_ = static_cast<char *>(VV_MALLOC(length_ + 1));
        if (heap_ && vsnprintf(heap_, length_ + 1, format, args) == n)
            text_ = heap_;
    }
    ~message_text()
    {
        if (heap_)
            VV_FREE(heap_);
    }
    message_text(const message_text &) = delete;
    message_text &operator=(const message_text &) = delete;

    bool ok() const { return text_ != nullptr; }
    const char *text() const { return text_; }
    size_t length() const { return length_; }
    bool ends_line() const { return length_ > 0 && text_[length_ - 1] == '\n'; }

  private:
    char stack_[stack_message_size];
    char *heap_ = nullptr;
    const char *text_ = nullptr;
    size_t length_ = 0;
};

// snprintf that reports whether the whole text fit.
bool format_whole(char *buffer, size_t size, const char *format, ...) VV_PRINTF(3, 4);
bool format_whole(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, size, format, args);
    va_end(args);
    return n >= 0 && static_cast<size_t>(n) < size;
}

// Where a log's files live: "<directory><name>.log" and its generations
// "<directory><name>-<k>.log". A name that would not fit is never cut
// short, which would write into some other file: the line is dropped.
struct log_files {
    const char *name;
    char directory[file_name_size];
    char current[file_name_size];

    explicit log_files(const char *log_name) : name(log_name) {}

    bool locate()
    {
        // The log directory is joined from the root here rather than taken
        // from the directory table, so that a line is written even when
        // memory has run out.
        bool have_directory =
            directory_override[0]
                ? format_whole(directory, sizeof directory, "%s", directory_override)
                : format_whole(directory, sizeof directory, "%s%s", path_root(),
                               path_dir_name(PATH_DIR_LOG));
        char oldest[file_name_size];
        return have_directory &&
               format_whole(current, sizeof current, "%s%s%s", directory, name, ".log") &&
               generation(oldest, old_generations - 1);
    }

    bool generation(char (&buffer)[file_name_size], int k) const
    {
        return format_whole(buffer, sizeof buffer, "%s%s-%d%s", directory, name, k, ".log");
    }

    // Shift the generations once the current file has reached the limit.
    // Failures are ignored: writing goes on with whatever file the name
    // then opens.
    void rotate(off_t limit) const
    {
        struct stat st;
        if (stat(current, &st) != 0 || st.st_size < limit)
            return;
        char older[file_name_size];
        char newer[file_name_size];
        for (int k = old_generations - 1; k > 0; k--) {
            generation(older, k);
            generation(newer, k - 1);
            unlink(older);
            rename(newer, older);
        }
        generation(older, 0);
        unlink(older);
        rename(current, older);
    }
};

// Write every part, going on after a short write so a line is never left
// half-written while the file can still take it.
void write_parts(int fd, iovec *parts, int count)
{
    while (count > 0) {
        ssize_t n = writev(fd, parts, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        auto written = static_cast<size_t>(n);
        while (count > 0 && written >= parts->iov_len) {
            written -= parts->iov_len;
            parts++;
            count--;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char *>(parts->iov_base) + written;
            parts->iov_len -= written;
        }
    }
}

// "<time> [<program>:<tag>]: <thread prefix>" into buffer.
void format_header(char *buffer, size_t size, int level)
{
    char stamp[32] = "";
    time_t now = time(nullptr);
    tm local;
    if (localtime_r(&now, &local))
        strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &local);
    char prefix[32] = "";
    if (thread_prefix.load(std::memory_order_relaxed))
        snprintf(prefix, sizeof prefix, "Thread 0x%x: ", static_cast<unsigned>(zthread_self()));
    snprintf(buffer, size, "%s [%s:%s]: %s", stamp, program_or_default(), log_level_tag(level),
             prefix);
}

// One line to the log file; the default log when name is null.
void write_line(const char *name, int level, const message_text &message)
{
    log_files files(name ? name : program_or_default());
    if (!files.locate())
        return;
    files.rotate(name ? named_log_limit : default_log_limit);
    int fd = open(files.current, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, file_mode);
    if (fd < 0)
        return;
    char header[256];
    format_header(header, sizeof header, level);
    char line_feed[] = "\n";
    iovec parts[3] = {{header, strlen(header)},
                      {const_cast<char *>(message.text()), message.length()},
                      {line_feed, 1}};
    // One append-mode write per line keeps concurrent writers' lines whole.
    write_parts(fd, parts, message.ends_line() ? 2 : 3);
    fchmod(fd, file_mode);
    close(fd);
}

// The system-log part of log_event; failures go to the default log.
void report_event(int level, const message_text &message)
{
    int priority = event_priority(level);
    if (priority < 0)
        return;
    int rc = system_writer.load()(program_or_default(), priority, message.text());
    if (rc > 0)
        log_message(nullptr, LOG_LEVEL_DEBUG, "ReportEvent(%s) failed, error %d", message.text(),
                    rc);
    else if (rc < 0)
        log_message(nullptr, LOG_LEVEL_DEBUG, "RegisterEventSource(%s) failed, error %d",
                    program_name[0] ? program_name : "NULL", -rc);
}

// The console part of log_report: echo while the stream is a terminal;
// the first time it is not, echo stops for the rest of the run.
void echo_to_console(int level, const message_text &message)
{
    if (!console_echo.load(std::memory_order_relaxed))
        return;
    int masked = level & 7;
    FILE *stream = masked == LOG_LEVEL_NOTICE || masked == LOG_LEVEL_INFO ? stdout : stderr;
    int fd = fileno(stream);
    if (fd < 0 || !isatty(fd)) {
        console_echo.store(false, std::memory_order_relaxed);
        return;
    }
    fwrite(message.text(), 1, message.length(), stream);
    if (!message.ends_line())
        fputc('\n', stream);
    fflush(stream);
}

// Format the message once, write its line, then hand it to `then` (the
// system-log or console part), if any.
void vlog(const char *name, int level, void (*then)(int, const message_text &), const char *format,
          va_list args)
{
    nesting_guard guard;
    if (!guard.allowed() || !format)
        return;
    message_text message(format, args);
    if (!message.ok())
        return;
    write_line(name, level, message);
    if (then)
        then(level, message);
}

} // namespace

const char *log_level_tag(int level)
{
    return tags[level & 7];
}

void log_message(const char *name, int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlog(name, level, nullptr, format, args);
    va_end(args);
}

void log_debug(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlog(nullptr, LOG_LEVEL_DEBUG, nullptr, format, args);
    va_end(args);
}

void log_event(int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlog(nullptr, level, report_event, format, args);
    va_end(args);
}

void log_report(int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlog(nullptr, level, echo_to_console, format, args);
    va_end(args);
}

void log_nomem(const char *what)
{
    log_report(LOG_LEVEL_DEBUG, "Error: Unable to allocate memory for %s.", what ? what : "(null)");
}

int log_set_program_name(const char *name)
{
    if (!name)
        name = "";
    if (strlen(name) >= sizeof program_name) {
        errno = EINVAL;
        return -1;
    }
    strcpy(program_name, name);
    return 0;
}

int log_set_directory(const char *directory)
{
    if (!directory)
        directory = "";
    if (strlen(directory) >= sizeof directory_override) {
        errno = EINVAL;
        return -1;
    }
    strcpy(directory_override, directory);
    return 0;
}

void log_set_thread_prefix(int on)
{
    thread_prefix.store(on != 0, std::memory_order_relaxed);
}

log_system_writer_fn log_set_system_writer(log_system_writer_fn writer)
{
    return system_writer.exchange(writer ? writer : write_to_syslog);
}
