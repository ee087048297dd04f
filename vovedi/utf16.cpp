// UTF-8 and UTF-16 conversion without allocation.

#include "vovedi/utf16.h"

#include <cstdint>

namespace
{

constexpr char32_t replacement = 0xFFFD;

// The bytes allowed after a lead byte: the range of the second byte (it
// excludes overlong forms, surrogates and code points above U+10FFFF), and
// how many continuation bytes follow the lead in all.
struct lead_form {
    unsigned char low, high;
    int continuations;
};

// The form of a lead byte; continuations 0 for a single-byte character,
// -1 for a byte that cannot start a character.
lead_form form_of(unsigned char lead)
{
    if (lead < 0x80)
        return {0, 0, 0};
    if (lead < 0xC2)
        return {0, 0, -1};
    if (lead < 0xE0)
        return {0x80, 0xBF, 1};
    if (lead == 0xE0)
        return {0xA0, 0xBF, 2};
    if (lead == 0xED)
        return {0x80, 0x9F, 2};
    if (lead < 0xF0)
        return {0x80, 0xBF, 2};
    if (lead == 0xF0)
        return {0x90, 0xBF, 3};
    if (lead < 0xF4)
        return {0x80, 0xBF, 3};
    if (lead == 0xF4)
        return {0x80, 0x8F, 3};
    return {0, 0, -1};
}

// Decode the code point at text[*at], advancing *at past it. An ill-formed
// sequence gives U+FFFD and advances past its maximal well-formed prefix
// (at least one byte), so the next character starts where it should.
char32_t decode_utf8(const unsigned char *text, size_t length, size_t *at)
{
    unsigned char lead = text[(*at)++];
    lead_form form = form_of(lead);
    if (form.continuations == 0)
        return lead;
    if (form.continuations < 0)
        return replacement;
    char32_t code = lead & (0x3F >> form.continuations);
    for (int i = 0; i < form.continuations; i++) {
        unsigned char low = i == 0 ? form.low : 0x80;
        unsigned char high = i == 0 ? form.high : 0xBF;
        if (*at >= length || text[*at] < low || text[*at] > high)
            return replacement;
        code = (code << 6) | (text[(*at)++] & 0x3F);
    }
    return code;
}

// Decode the code point at text[*at], advancing *at past it; an unpaired
// surrogate gives U+FFFD.
char32_t decode_utf16(const char16_t *text, size_t length, size_t *at)
{
    char32_t unit = text[(*at)++];
    if (unit < 0xD800 || unit > 0xDFFF)
        return unit;
    if (unit > 0xDBFF || *at >= length || text[*at] < 0xDC00 || text[*at] > 0xDFFF)
        return replacement;
    char32_t low = text[(*at)++];
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
}

// The UTF-8 bytes of a code point into bytes; returns their count.
size_t encode_utf8(char32_t code, unsigned char bytes[4])
{
    if (code < 0x80) {
        bytes[0] = static_cast<unsigned char>(code);
        return 1;
    }
    if (code < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (code >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (code >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<unsigned char>(0xF0 | (code >> 18));
    bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
    bytes[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
    return 4;
}

// The UTF-16 units of a code point into units; returns their count.
size_t encode_utf16(char32_t code, char16_t units[2])
{
    if (code < 0x10000) {
        units[0] = static_cast<char16_t>(code);
        return 1;
    }
    code -= 0x10000;
    units[0] = static_cast<char16_t>(0xD800 + (code >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    return 2;
}

} // namespace

size_t utf16_from_utf8(const char *text, size_t length, char16_t *out, size_t capacity)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t needed = 0;
    bool fits = out != nullptr;
    for (size_t at = 0; at < length;) {
        char16_t units[2];
        size_t n = encode_utf16(decode_utf8(bytes, length, &at), units);
        fits = fits && needed + n <= capacity;
        for (size_t i = 0; fits && i < n; i++)
            out[needed + i] = units[i];
        needed += n;
    }
    return needed;
}

size_t utf8_from_utf16(const char16_t *text, size_t length, char *out, size_t capacity)
{
    size_t needed = 0;
    bool fits = out != nullptr;
    for (size_t at = 0; at < length;) {
        unsigned char bytes[4];
        size_t n = encode_utf8(decode_utf16(text, length, &at), bytes);
        fits = fits && needed + n <= capacity;
        for (size_t i = 0; fits && i < n; i++)
            out[needed + i] = static_cast<char>(bytes[i]);
        needed += n;
    }
    return needed;
}

size_t utf16_length(const char16_t *text, size_t limit)
{
    size_t n = 0;
    while (n < limit && text[n] != 0)
        n++;
    return n;
}
