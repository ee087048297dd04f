// Fuzz target: arbitrary text through base64 encoding; the encoding must be
// of the announced length, in the alphabet, and decode to the text again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vovedi/base64.h"
#include "vovedi/pool.h"

namespace
{

int value_of(char c)
{
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char *at = c ? strchr(alphabet, c) : nullptr;
    return at ? static_cast<int>(at - alphabet) : -1;
}

// Decode base64 with padding; false on anything malformed.
bool decode(const char *text, std::string *out)
{
    size_t n = strlen(text);
    if (n % 4 != 0)
        return false;
    for (size_t k = 0; k < n; k += 4) {
        int v[4];
        for (int j = 0; j < 4; j++) {
            bool pad = text[k + j] == '=' && k + 4 == n && j >= 2;
            v[j] = pad ? 0 : value_of(text[k + j]);
            if (v[j] < 0)
                return false;
        }
        unsigned bits = static_cast<unsigned>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        out->push_back(static_cast<char>(bits >> 16));
        if (text[k + 2] != '=')
            out->push_back(static_cast<char>(bits >> 8 & 0xff));
        if (text[k + 3] != '=')
            out->push_back(static_cast<char>(bits & 0xff));
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string text = input.c_str(); // the text ends at its first NUL
    char *encoded = base64_encode(text.c_str());
    if (!encoded)
        abort();
    std::string decoded;
    if (strlen(encoded) + 1 != base64_encoded_size(text.size()) || !decode(encoded, &decoded) ||
        decoded != text)
        abort();
    VV_FREE(encoded);

    // The raw form takes any bytes, zero bytes included.
    std::string raw(base64_encoded_size(size), '\0');
    size_t written = base64_encode_raw(raw.data(), data, size);
    decoded.clear();
    if (written != raw.size() || !decode(raw.c_str(), &decoded) || decoded != input)
        abort();
    return 0;
}
