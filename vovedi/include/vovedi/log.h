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

VV_END_DECL

#endif
