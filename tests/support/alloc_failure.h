// Allocation-failure sweeps: run an operation with its K-th tracked
// allocation failing, for K = 1, 2, ... until it runs without a failure.
#pragma once

#include <functional>

struct alloc_sweep_result {
    int failing_runs; // runs in which an allocation was made to fail
};

// Set up the process-wide state that allocates on first use (the thread
// module, the default pool, the test-point lock), so that a sweep never
// fails those one-time set-ups instead of the operation under test.
void warm_up_allocator();

// Run op with the K-th allocation on this thread failing, K = 1, 2, ...,
// until a run injects no failure. op returns whether it succeeded. Each run
// must leave the count of live blocks where it found it; a run in which a
// failure was injected must report failure unless may_absorb is set; the
// last run must succeed.
alloc_sweep_result alloc_failure_sweep(const std::function<bool()> &op, bool may_absorb = false,
                                       int limit = 100000);
