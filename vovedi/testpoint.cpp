// Test points: value replacement, traces and timers for tests.

#include "vovedi/testpoint.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex.h>

#include "vovedi/log.h"
#include "vovedi/pool.h"
#include "vovedi/zthread.h"

namespace
{

constexpr size_t text_max = 64;
constexpr int timer_slots = 16;

struct timer_slot {
    long sec;
    long usec;
    long thread; // -1 when free
};

} // namespace

struct testpoint_s {
    char category_pattern[text_max + 1];
    char event[text_max + 1];
    char timer_start_event[text_max + 2];
    regex_t compiled;
    bool has_compiled;
    timer_slot timers[timer_slots];
    long last_sec;
    long last_usec;
    int verbose;
    uint64_t every;
    uint64_t fire_at; // fire on this evaluation count only; 0 when unused
    long thread;      // only this thread's evaluations count; 0 for any
    testpoint_value_t replacement;
    uint64_t evaluations;
    uint64_t hits;
    testpoint_t *next;
};

namespace
{

// The table of test points in definition order, the enabled flag and the
// lock that serialises evaluation.
std::atomic<int> enabled{0};
testpoint_t *table_head;
testpoint_t *table_tail;
zthread_mutex_t *table_lock;
zthread_once_t table_once = ZTHREAD_ONCE_INIT;

// Set while this thread evaluates or edits the table, so that allocations
// and log lines made meanwhile pass their hooks untouched instead of
// waiting on the lock this thread holds.
thread_local bool inside_table;

void table_setup()
{
    // The lock's own allocation passes a hook: keep it from recursing here.
    inside_table = true;
    table_lock = zthread_mutex_new();
    inside_table = false;
}

// Hold the table lock for one scope; passes through when the lock is missing
// or this thread already holds it.
class table_guard
{
  public:
    table_guard()
    {
        if (inside_table)
            return;
        zthread_once(&table_once, table_setup);
        if (zthread_mutex_lock(table_lock) != 0)
            return;
        inside_table = true;
        locked_ = true;
    }
    ~table_guard()
    {
        if (!locked_)
            return;
        inside_table = false;
        zthread_mutex_unlock(table_lock);
    }
    table_guard(const table_guard &) = delete;
    table_guard &operator=(const table_guard &) = delete;
    bool locked() const { return locked_; }

  private:
    bool locked_ = false;
};

void now(long *sec, long *usec)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    *sec = ts.tv_sec;
    *usec = ts.tv_nsec / 1000;
}

bool copy_text(char *dst, size_t room, const char *src)
{
    if (!src)
        src = "";
    size_t n = strlen(src);
    if (n >= room)
        return false;
    memcpy(dst, src, n + 1);
    return true;
}

void timer_start(testpoint_t *tp, const char *category, const char *event)
{
    long self = zthread_self();
    unsigned slot = static_cast<unsigned>(self % timer_slots);
    timer_slot &t = tp->timers[slot];
    if (t.thread == self) {
        if (tp->verbose)
            log_event(LOG_LEVEL_DEBUG, "Warning: thread %ld is already timing %s/%s.\n", self,
                      category, event);
    } else if (t.thread != -1) {
        if (tp->verbose)
            log_event(LOG_LEVEL_DEBUG,
                      "Warning: thread %ld can't time %s/%s because thread %ld is using slot "
                      "%u.\n",
                      self, category, event, t.thread, slot);
    } else {
        t.thread = self;
        now(&t.sec, &t.usec);
    }
}

void timer_stop(testpoint_t *tp, const char *category, const char *event)
{
    long self = zthread_self();
    timer_slot &t = tp->timers[self % timer_slots];
    if (t.thread != self)
        return;
    if (tp->verbose) {
        double seconds = static_cast<double>(tp->last_sec - t.sec) +
                         static_cast<double>(tp->last_usec - t.usec) * 1e-6;
        log_event(LOG_LEVEL_DEBUG, "%s (thread %ld): %s to %s in %.4f seconds\n", category, self,
                  tp->timer_start_event, event, seconds);
    }
    t.thread = -1;
}

bool fires(testpoint_t *tp)
{
    if (tp->fire_at)
        return tp->evaluations == tp->fire_at;
    if (tp->every == 1)
        return true;
    return tp->every > 1 && static_cast<uint64_t>(rand()) % tp->every == 0;
}

// Format the category and evaluate under the table lock.
testpoint_value_t *evaluate(testpoint_value_t *value, const char *category_format,
                            const char *event, const char *file, int line, va_list args)
{
    char category[text_max];
    vsnprintf(category, sizeof category, category_format, args);
    return testpoint_eval(value, category, event, file, line);
}

} // namespace

testpoint_value_t *testpoint_eval(testpoint_value_t *value, const char *category, const char *event,
                                  const char *file, int line)
{
    testpoint_value_t *result = value;
    long self = zthread_self();
    for (testpoint_t *tp = table_head; tp; tp = tp->next) {
        if (tp->has_compiled && regexec(&tp->compiled, category, 0, nullptr, 0) != 0)
            continue;
        if (tp->timer_start_event[0] && strcmp(tp->timer_start_event, event) == 0) {
            timer_start(tp, category, event);
            continue;
        }
        if (tp->event[0] && strcmp(tp->event, event) != 0)
            continue;
        if (tp->thread && tp->thread != self)
            continue;
        tp->evaluations++;
        now(&tp->last_sec, &tp->last_usec);
        if (fires(tp)) {
            if (tp->verbose)
                log_event(LOG_LEVEL_DEBUG, "%s: %d: hit %s/%s testpoint\n", file, line, category,
                          event);
            tp->hits++;
            result = &tp->replacement;
        }
        if (tp->timer_start_event[0])
            timer_stop(tp, category, event);
    }
    return result;
}

void *testpoint_ptr(void *value, const char *category_format, const char *event, const char *file,
                    int line, ...)
{
    if (!enabled.load(std::memory_order_relaxed) || inside_table)
        return value;
    table_guard guard;
    if (!guard.locked())
        return value;
    testpoint_value_t record = {0, value};
    va_list args;
    va_start(args, line);
    testpoint_value_t *chosen = evaluate(&record, category_format, event, file, line, args);
    va_end(args);
    return chosen->p;
}

int testpoint_int(int value, const char *category_format, const char *event, const char *file,
                  int line, ...)
{
    if (!enabled.load(std::memory_order_relaxed) || inside_table)
        return value;
    table_guard guard;
    if (!guard.locked())
        return value;
    testpoint_value_t record = {value, nullptr};
    va_list args;
    va_start(args, line);
    testpoint_value_t *chosen = evaluate(&record, category_format, event, file, line, args);
    va_end(args);
    return chosen->i;
}

testpoint_t *testpoint_define(const char *category_pattern, const char *event,
                              const char *timer_start_event)
{
    table_guard guard;
    auto *tp = static_cast<testpoint_t *>(VV_CALLOC(sizeof(testpoint_t)));
    if (!tp) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!copy_text(tp->category_pattern, text_max + 1, category_pattern) ||
        !copy_text(tp->event, text_max + 1, event) ||
        !copy_text(tp->timer_start_event, text_max + 2, timer_start_event)) {
        VV_FREE(tp);
        errno = EINVAL;
        return nullptr;
    }
    if (tp->category_pattern[0]) {
        if (regcomp(&tp->compiled, tp->category_pattern, REG_EXTENDED | REG_NOSUB) != 0) {
            VV_FREE(tp);
            errno = EINVAL;
            return nullptr;
        }
        tp->has_compiled = true;
    }
    for (timer_slot &t : tp->timers)
        t.thread = -1;
    if (table_tail)
        table_tail->next = tp;
    else
        table_head = tp;
    table_tail = tp;
    return tp;
}

void testpoint_set_every(testpoint_t *tp, uint64_t every)
{
    table_guard guard;
    tp->every = every;
    tp->fire_at = 0;
}

void testpoint_set_nth(testpoint_t *tp, uint64_t nth)
{
    table_guard guard;
    tp->fire_at = nth ? tp->evaluations + nth : 0;
    tp->every = 0;
}

void testpoint_set_thread(testpoint_t *tp, long thread)
{
    table_guard guard;
    tp->thread = thread;
}

void testpoint_set_replacement(testpoint_t *tp, int i, void *p)
{
    table_guard guard;
    tp->replacement.i = i;
    tp->replacement.p = p;
}

void testpoint_set_verbose(testpoint_t *tp, int verbose)
{
    table_guard guard;
    tp->verbose = verbose;
}

uint64_t testpoint_evaluations(const testpoint_t *tp)
{
    table_guard guard;
    return tp->evaluations;
}

uint64_t testpoint_hits(const testpoint_t *tp)
{
    table_guard guard;
    return tp->hits;
}

void testpoint_enable(int on)
{
    enabled.store(on ? 1 : 0, std::memory_order_relaxed);
}

void testpoint_clear(void)
{
    enabled.store(0, std::memory_order_relaxed);
    table_guard guard;
    testpoint_t *tp = table_head;
    table_head = table_tail = nullptr;
    while (tp) {
        testpoint_t *next = tp->next;
        if (tp->has_compiled)
            regfree(&tp->compiled);
        VV_FREE(tp);
        tp = next;
    }
}
