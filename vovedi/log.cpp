// Logging. Stand-in until the log files and the system log are connected:
// messages are formatted and dropped.

#include "vovedi/log.h"

namespace
{

constexpr const char *tags[8] = {"EMERG", "ALERT", " CRIT", "ERROR",
                                 " WARN", "NOTIC", " INFO", "DEBUG"};

} // namespace

const char *log_level_tag(int level)
{
    return tags[level & 7];
}

void log_message(const char *, int, const char *, ...) {}
void log_event(int, const char *, ...) {}
void log_report(int, const char *, ...) {}
void log_nomem(const char *) {}
void log_debug(const char *, ...) {}
