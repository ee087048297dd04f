// Fuzz target: arbitrary lines as reqtool's arguments, through the option
// scanner, the checks of settings and operands, the building of the API
// element from name/value pairs, and the reading of a reply limit. What
// they print is not looked at (run with -close_fd_mask=3).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corvex/cx_elem.h"
#include "reqtool_long.h"
#include "reqtool_options.h"
#include "reqtool_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One argument per line, after the program name.
    std::vector<std::string> texts{"reqtool"};
    std::string current;
    for (size_t k = 0; k < size; k++) {
        if (data[k] == '\n') {
            texts.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[k]));
        }
    }
    texts.push_back(current);
    std::vector<char *> argv;
    for (std::string &t : texts)
        argv.push_back(t.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(texts.size());

    reqtool_plan plan;
    int status = reqtool_prepare(argc, argv.data(), plan);
    const reqtool_operands &ops = plan.operands;
    const bool call = plan.settings.longs.command == REQTOOL_COMMAND_CALL;
    // --help makes no call and keeps no operands; every other run keeps the
    // words after the options, and a call also its host.
    if (status == 0 && plan.settings.longs.command != REQTOOL_COMMAND_HELP) {
        if ((call && !ops.host) || ops.count < 0 || ops.api + ops.count != argv.data() + argc)
            abort();
    }
    if (status == 0 && call && plan.settings.input_mode == REQTOOL_INPUT_PAIRS) {
        if (ops.count % 2 != 1)
            abort();
        cx_elem_t *api = nullptr;
        if (reqtool_build_from_pairs(ops.api, ops.count, &api) == 0 && !api)
            abort();
        cx_elem_free(api);
    }
    for (const std::string &t : texts) {
        uint64_t limit;
        reqtool_reply_limit(t.c_str(), &limit);
    }
    fflush(stdout);
    fflush(stderr);
    return 0;
}
