// What a test reads from the result element of one call, and the count of
// open descriptors for checks that calls leave nothing behind.
#pragma once

#include <dirent.h>
#include <string>

#include "corvex/cx_elem.h"
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
