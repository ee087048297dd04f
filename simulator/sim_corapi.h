// One CORAPI request document in, one reply document out: the request is
// read with the kit's XML reader, checked as a server checks the envelope,
// dispatched to its API, and answered with a corvex document holding one
// results element written with the kit's writer.
#pragma once

#include <string>
#include <string_view>

#include "sim_store.h"

namespace sim
{

// The most elements a request may hold (its envelope counted).
constexpr size_t request_elements_max = 20000;

struct corapi_outcome {
    std::string document; // the reply body; empty when it could not be built (memory)
    std::string api;      // the API called, or what was wrong with the request, for the log
    bool passed = false;
    int error_number = 0; // of a failed result
    std::string reason;   // of a failed result
};

// Answer the request document body against the store. dtd_path names the
// document type in the reply's DOCTYPE line.
corapi_outcome corapi_answer(std::string_view body, store &s, const char *dtd_path);

} // namespace sim
