// The password from somewhere other than the command line, where every
// user of the machine can read it (ps, /proc/PID/cmdline) and the shell's
// history keeps it: the first line of a file, an environment variable, or
// the terminal with echo turned off.
#pragma once

#include <cstddef>

#include "reqtool_long.h"

// Room for a password and its terminating NUL.
inline constexpr size_t reqtool_password_size = 1024;

// The first line of the file at path, without its line end ("\n" or
// "\r\n"), into password (size bytes). Returns 0; 1 after a message on
// standard error when the file cannot be read or the line does not fit.
int reqtool_password_from_file(const char *path, char *password, size_t size);

// The value of the environment variable name into password (size bytes).
// Returns 0; 1 after a message when it is not set or does not fit. An
// empty value is a password like any other.
int reqtool_password_from_environment(const char *name, char *password, size_t size);

// Ask for the password of user at host on the controlling terminal
// (/dev/tty, so standard input stays free for -I), with echo turned off
// while it is typed and restored afterwards, also when a signal ends the
// program meanwhile. Returns 0; 1 after a message when there is no
// terminal, input ends before a line break, or the line does not fit.
int reqtool_password_prompt(const char *user, const char *host, char *password, size_t size);

// The password from the source settings name into password (size bytes).
int reqtool_password_obtain(const reqtool_long_settings &settings, const char *user,
                            const char *host, char *password, size_t size);
