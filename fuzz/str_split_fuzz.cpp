// Fuzz target: arbitrary text through the string splitter, with each
// pattern the kit splits at and a maximum taken from the first byte.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vovedi/array.h"
#include "vovedi/str.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    int maximum = data[0] % 6;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    // The patterns in use, and what a piece can then never hold.
    const struct {
        const char *pattern;
        const char *never;
    } splits[] = {{nullptr, " \t"}, {":", ":"}, {"([ \t]+)", " \t"}, {",", ","}};
    for (const auto &s : splits) {
        array_t *pieces = str_split(text.c_str(), s.pattern, maximum);
        if (!pieces)
            abort();
        int count = static_cast<int>(array_count(pieces));
        if (maximum > 0 && count > maximum)
            abort();
        size_t total = 0;
        for (int k = 0; k < count; k++) {
            auto *piece = static_cast<const char *>(array_get(pieces, k));
            total += strlen(piece);
            // Only the last piece of a split cut short keeps separators.
            bool rest = maximum > 0 && k == maximum - 1;
            if (!rest && strpbrk(piece, s.never))
                abort();
        }
        if (total > strlen(text.c_str()))
            abort();
        array_free(pieces);
    }
    return 0;
}
