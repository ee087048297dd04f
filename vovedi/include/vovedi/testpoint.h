/*
 * Test points: hooks through which a test can replace a value (to inject a
 * failure), switch on a trace, or time the interval between two events.
 *
 * With no test point enabled every hook returns the value it was given and
 * costs one predictable branch. Tests define test points, enable them, and
 * clear them when done.
 */
#ifndef VOVEDI_TESTPOINT_H
#define VOVEDI_TESTPOINT_H

#include <stdint.h>
#include "common.h"

VV_BEGIN_DECL

/* The value a hook passes in and a firing test point replaces. */
typedef struct testpoint_value_s {
    int i;
    void *p;
} testpoint_value_t;

typedef struct testpoint_s testpoint_t;

/*
 * Hooks. The category is formatted from category_format and the arguments
 * (at most 63 characters). The value comes back unchanged unless an enabled
 * test point fires, in which case its replacement comes back.
 */
void *testpoint_ptr(void *value, const char *category_format, const char *event, const char *file,
                    int line, ...) VV_PRINTF(2, 6);
int testpoint_int(int value, const char *category_format, const char *event, const char *file,
                  int line, ...) VV_PRINTF(2, 6);

/*
 * Evaluate every defined test point against one category and event, in
 * definition order. Returns the value record of the last one that fired, or
 * the caller's record. The caller holds the test-point lock.
 */
testpoint_value_t *testpoint_eval(testpoint_value_t *value, const char *category, const char *event,
                                  const char *file, int line);

/*
 * Define a test point; it fires only once enabled. category_pattern is a
 * POSIX extended regular expression the category must match (empty or null:
 * any); event must equal the hook's event (empty or null: any);
 * timer_start_event, when given, makes it a timer started by that event and
 * stopped by its own event. Returns null with errno EINVAL for a pattern
 * that does not compile or texts that are too long, ENOMEM when memory runs
 * out. It never fires until a firing mode is set.
 */
testpoint_t *testpoint_define(const char *category_pattern, const char *event,
                              const char *timer_start_event);

/* Fire never (0), always (1), or at random once in every evaluations. */
void testpoint_set_every(testpoint_t *tp, uint64_t every);

/* Fire exactly on the nth matching evaluation counted from now (n >= 1). */
void testpoint_set_nth(testpoint_t *tp, uint64_t nth);

/* What a firing test point hands back to testpoint_ptr and testpoint_int. */
void testpoint_set_replacement(testpoint_t *tp, int i, void *p);

/* Count only evaluations made on the given thread (zthread_self); 0: any. */
void testpoint_set_thread(testpoint_t *tp, long thread);

/* When not 0, hits and timer results are written to the log. */
void testpoint_set_verbose(testpoint_t *tp, int verbose);

uint64_t testpoint_evaluations(const testpoint_t *tp);
uint64_t testpoint_hits(const testpoint_t *tp);

/* Turn evaluation of the defined test points on (1) or off (0). */
void testpoint_enable(int enabled);

/* Disable test points and remove every definition. */
void testpoint_clear(void);

VV_END_DECL

#endif
