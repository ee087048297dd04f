// Base64 encoding for Basic authorisation.

#include "vovedi/base64.h"

#include <cerrno>
#include <cstring>

#include "vovedi/pool.h"

namespace
{

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

size_t base64_encoded_size(size_t n)
{
    return (n + 2) / 3 * 4 + 1;
}

size_t base64_encode_raw(char *out, const unsigned char *in, size_t n)
{
    char *at = out;
    size_t i = 0;
    for (; n - i >= 3; i += 3) {
        *at++ = alphabet[in[i] >> 2];
        *at++ = alphabet[(in[i] & 0x03) << 4 | in[i + 1] >> 4];
        *at++ = alphabet[(in[i + 1] & 0x0f) << 2 | in[i + 2] >> 6];
        *at++ = alphabet[in[i + 2] & 0x3f];
    }
    if (n - i == 1) {
        *at++ = alphabet[in[i] >> 2];
        *at++ = alphabet[(in[i] & 0x03) << 4];
        *at++ = '=';
        *at++ = '=';
    } else if (n - i == 2) {
        *at++ = alphabet[in[i] >> 2];
        *at++ = alphabet[(in[i] & 0x03) << 4 | in[i + 1] >> 4];
        *at++ = alphabet[(in[i + 1] & 0x0f) << 2];
        *at++ = '=';
    }
    *at++ = '\0';
    return static_cast<size_t>(at - out);
}

char *base64_encode(const char *text)
{
    if (!text) {
        errno = EINVAL;
        return nullptr;
    }
    size_t n = strlen(text);
    auto *out = static_cast<char *>(VV_MALLOC(base64_encoded_size(n) + 1));
    if (!out) {
        errno = ENOMEM;
        return nullptr;
    }
    base64_encode_raw(out, reinterpret_cast<const unsigned char *>(text), n);
    return out;
}
