// What a test reads from the result element of one call, and the checks
// every transport's calls must pass: a result under allocation failure at
// every step, and nothing left behind by many calls in a row.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <functional>
#include <string>

#include "alloc_failure.h"
#include "corvex/cx_elem.h"
#include "corvex/cx_invoke.h"
#include "vovedi/pool.h"
#include "vovedi/stab.h"

struct call_outcome {
    std::string text; // the result written as XML
    std::string status, reason, error_number;
    bool has_errno = false;
};

// Describe a result and free it; an empty outcome for null.
inline call_outcome describe(cx_elem_t *result)
{
    call_outcome out;
    if (!result)
        return out;
    char *text = cx_elem_to_string(result);
    out.text = text ? text : "";
    VV_FREE(text);
    out.status = stab_get(result->attributes, "status");
    out.reason = stab_get(result->attributes, "reason");
    const char *e = stab_get_default(result->attributes, "errno", nullptr);
    out.has_errno = e != nullptr;
    out.error_number = e ? e : "";
    cx_elem_free(result);
    return out;
}

inline int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

inline bool has_passed(const cx_elem_t *result)
{
    return result && strcmp(stab_get(result->attributes, "status"), "passed") == 0;
}

// One whole call on s, with its K-th allocation failing for K = 1, 2, ...:
// every run ends with a result (null only when not even the failure result
// could be built, which stays the exception), the API element comes back
// unchanged, the handle keeps no connection, nothing leaks; the last run
// passes.
inline void sweep_whole_call(cx_server_t *s)
{
    cx_elem_t *api = cx_elem_create("system-get-version");
    cx_elem_child_add_string(api, "verbose", "caf\xC3\xA9");
    int null_results = 0;
    auto runs = alloc_failure_sweep([&] {
        cx_elem_t *result = cx_server_invoke_elem(s, api);
        null_results += result == nullptr;
        bool ok = has_passed(result);
        cx_elem_free(result);
        EXPECT_STREQ(api->name, "system-get-version");
        EXPECT_EQ(api->attributes, nullptr);
        EXPECT_EQ(s->qsm_conn, nullptr);
        return ok;
    });
    EXPECT_GT(runs.failing_runs, 10);
    EXPECT_LT(null_results, runs.failing_runs / 2);
    cx_elem_free(api);
}

// 1,000 passed calls in a row on s leave open descriptors and live blocks
// where they were after a first call (which does the one-time set-ups).
// peer_idle waits until the peer has closed its side of every call.
inline void expect_many_calls_leave_nothing(cx_server_t *s, const std::function<bool()> &peer_idle)
{
    cx_elem_t *api = cx_elem_create("system-get-version");
    cx_elem_free(cx_server_invoke_elem(s, api));
    ASSERT_TRUE(peer_idle());
    long blocks = pool_live_blocks();
    int descriptors = open_descriptors();
    int passed_calls = 0;
    for (int i = 0; i < 1000; i++) {
        cx_elem_t *r = cx_server_invoke_elem(s, api);
        passed_calls += has_passed(r);
        cx_elem_free(r);
    }
    EXPECT_EQ(passed_calls, 1000);
    EXPECT_EQ(s->qsm_conn, nullptr);
    ASSERT_TRUE(peer_idle());
    EXPECT_EQ(pool_live_blocks(), blocks);
    EXPECT_EQ(open_descriptors(), descriptors);
    cx_elem_free(api);
}
