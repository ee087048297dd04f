/*
 * Logging: one line per message to a log file in the installation's log
 * directory, rotated by size; some operations also reach the system log or
 * echo to the console. None of them fails: what cannot be logged is dropped.
 */
#ifndef VOVEDI_LOG_H
#define VOVEDI_LOG_H

#include "common.h"

VV_BEGIN_DECL

/* Syslog-style levels. */
enum {
    LOG_LEVEL_EMERG = 0,
    LOG_LEVEL_ALERT = 1,
    LOG_LEVEL_CRIT = 2,
    LOG_LEVEL_ERROR = 3,
    LOG_LEVEL_WARN = 4,
    LOG_LEVEL_NOTICE = 5,
    LOG_LEVEL_INFO = 6,
    LOG_LEVEL_DEBUG = 7
};

/* The five-character tag of a level ("EMERG" ... "DEBUG"); low three bits used. */
const char *log_level_tag(int level);

/* One line to the named log file (the default log when name is null). */
void log_message(const char *name, int level, const char *format, ...) VV_PRINTF(3, 4);

/* One line to the default log and, unless DEBUG, one entry in the system log. */
void log_event(int level, const char *format, ...) VV_PRINTF(2, 3);

/* One line to the default log, echoed to the console while echo is on. */
void log_report(int level, const char *format, ...) VV_PRINTF(2, 3);

/* log_report at DEBUG of "Error: Unable to allocate memory for <what>." */
void log_nomem(const char *what);

/* log_message to the default log at DEBUG. */
void log_debug(const char *format, ...) VV_PRINTF(1, 2);

/*
 * Settings, meant to be made during start-up before other threads log.
 *
 * The program name names the default log ("<name>.log") and the system-log
 * source, and appears in every line; with none, "application" is used.
 * Null or "" clears it. Returns 0, or -1 with errno EINVAL when the name is
 * longer than 127 characters (the setting is then unchanged).
 */
int log_set_program_name(const char *name);

/*
 * The directory to write log files in, instead of the installation's log
 * directory. It is joined directly with the log name, so it should end in
 * "/". Null or "" clears it. Returns 0, or -1 with errno EINVAL when longer
 * than 255 characters (the setting is then unchanged).
 */
int log_set_directory(const char *directory);

/* When on (not 0), every line carries "Thread 0x<id>: " before the message. */
void log_set_thread_prefix(int on);

/*
 * The system-log writer: reports one message with a syslog(3) priority
 * under the given source name. Returns 0 when reported, a positive error
 * code when the report failed, or a negated error code when the source
 * could not be opened; failures are written to the default log.
 */
typedef int (*log_system_writer_fn)(const char *ident, int priority, const char *message);

/*
 * For tests: route system-log entries to writer (null restores the real
 * syslog writer). Returns the writer in place before.
 */
log_system_writer_fn log_set_system_writer(log_system_writer_fn writer);

VV_END_DECL

#endif
