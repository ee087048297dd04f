#include "reqtool_password.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// Copy a line of length bytes into password; 1 after a message when it
// does not fit.
int keep(const char *what, const char *line, size_t length, char *password, size_t size)
{
    if (length >= size) {
        fprintf(stderr, "reqtool: the password from %s is longer than %zu bytes\n", what, size - 1);
        return 1;
    }
    memcpy(password, line, length);
    password[length] = '\0';
    return 0;
}

} // namespace

int reqtool_password_from_file(const char *path, char *password, size_t size)
{
    FILE *in = fopen(path, "r");
    if (!in) {
        fprintf(stderr, "reqtool: cannot open the password file %s: %s\n", path, strerror(errno));
        return 1;
    }
    // One byte more than a password can hold tells a line that is too long.
    char line[reqtool_password_size + 2];
    size_t length = 0;
    int c;
    while (length < sizeof line && (c = getc(in)) != EOF && c != '\n')
        line[length++] = static_cast<char>(c);
    bool failed = ferror(in);
    int error = errno;
    fclose(in);
    if (failed) {
        fprintf(stderr, "reqtool: cannot read the password file %s: %s\n", path, strerror(error));
        return 1;
    }
    if (length > 0 && line[length - 1] == '\r')
        length--;
    int status = keep(path, line, length, password, size);
    explicit_bzero(line, sizeof line);
    return status;
}

int reqtool_password_from_environment(const char *name, char *password, size_t size)
{
    const char *value = getenv(name);
    if (!value) {
        fprintf(stderr,
                "reqtool: the environment variable %s that should hold the password is "
                "not set\n",
                name);
        return 1;
    }
    return keep(name, value, strlen(value), password, size);
}

namespace
{

// The terminal whose echo is off, and its mode before, for the signal
// handler that puts the mode back when the program is stopped meanwhile.
volatile sig_atomic_t echo_off_fd = -1;
termios saved_mode;
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction saved_actions[sizeof ending_signals / sizeof ending_signals[0]];

void restore_echo_and_end(int signal_number)
{
    if (echo_off_fd >= 0)
        tcsetattr(echo_off_fd, TCSAFLUSH, &saved_mode);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Put fd's mode back and the signal handlers as they were.
void echo_on(int fd)
{
    tcsetattr(fd, TCSAFLUSH, &saved_mode);
    echo_off_fd = -1;
    for (size_t k = 0; k < sizeof ending_signals / sizeof ending_signals[0]; k++)
        sigaction(ending_signals[k], &saved_actions[k], nullptr);
}

// Turn echo off on fd, with the handlers that turn it back on; false when
// fd is no terminal.
bool echo_off(int fd)
{
    if (tcgetattr(fd, &saved_mode) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = restore_echo_and_end;
    sigemptyset(&action.sa_mask);
    for (size_t k = 0; k < sizeof ending_signals / sizeof ending_signals[0]; k++)
        sigaction(ending_signals[k], &action, &saved_actions[k]);
    termios quiet = saved_mode;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    echo_off_fd = fd;
    if (tcsetattr(fd, TCSAFLUSH, &quiet) == 0)
        return true;
    echo_on(fd);
    return false;
}

// Read one line from fd into line (capacity bytes); its length, or -1 when
// input ends before a line break. A line too long is read to its end and
// reported as capacity.
long read_line(int fd, char *line, size_t capacity)
{
    size_t length = 0;
    for (;;) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        if (c == '\n')
            return static_cast<long>(length);
        if (length < capacity)
            line[length++] = c;
    }
}

} // namespace

int reqtool_password_prompt(const char *user, const char *host, char *password, size_t size)
{
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || !isatty(fd)) {
        fprintf(stderr, "reqtool: --password-prompt needs a terminal: %s\n",
                strerror(fd < 0 ? errno : ENOTTY));
        fputs("Scripts give the password with --password-file or --password-env.\n", stderr);
        if (fd >= 0)
            close(fd);
        return 1;
    }
    char prompt[512];
    int prompt_length = snprintf(prompt, sizeof prompt, "Password for %s@%s: ", user, host);
    if (prompt_length >= static_cast<int>(sizeof prompt))
        prompt_length = static_cast<int>(sizeof prompt) - 1;
    bool quiet = echo_off(fd);
    ssize_t written = write(fd, prompt, static_cast<size_t>(prompt_length));
    char line[reqtool_password_size + 1];
    long length = read_line(fd, line, sizeof line);
    if (quiet)
        echo_on(fd);
    written = write(fd, "\n", 1);
    (void)written;
    close(fd);
    int status = 1;
    if (length < 0)
        fputs("reqtool: no password was typed\n", stderr);
    else
        status = keep("the terminal", line, static_cast<size_t>(length), password, size);
    explicit_bzero(line, sizeof line);
    return status;
}

int reqtool_password_obtain(const reqtool_long_settings &settings, const char *user,
                            const char *host, char *password, size_t size)
{
    switch (settings.password_source) {
    case REQTOOL_PASSWORD_FILE:
        return reqtool_password_from_file(settings.password_from, password, size);
    case REQTOOL_PASSWORD_ENV:
        return reqtool_password_from_environment(settings.password_from, password, size);
    case REQTOOL_PASSWORD_PROMPT:
        return reqtool_password_prompt(user, host, password, size);
    default:
        password[0] = '\0';
        return 0;
    }
}
