#include <gtest/gtest.h>

#include <string>

#include "vovedi/utf16.h"

namespace
{

std::u16string to_utf16(const std::string &text)
{
    size_t n = utf16_from_utf8(text.data(), text.size(), nullptr, 0);
    std::u16string out(n, u'\0');
    EXPECT_EQ(utf16_from_utf8(text.data(), text.size(), out.data(), n), n);
    return out;
}

std::string to_utf8(const std::u16string &text)
{
    size_t n = utf8_from_utf16(text.data(), text.size(), nullptr, 0);
    std::string out(n, '\0');
    EXPECT_EQ(utf8_from_utf16(text.data(), text.size(), out.data(), n), n);
    return out;
}

// The UTF-8 form of a scalar value, written out independently of the module.
std::string reference_utf8(char32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

} // namespace

TEST(Utf16, EveryScalarValueRoundTrips)
{
    for (char32_t c = 0; c <= 0x10FFFF; c++) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        std::string utf8 = reference_utf8(c);
        std::u16string units = to_utf16(utf8);
        std::u16string expected =
            c < 0x10000 ? std::u16string(1, static_cast<char16_t>(c))
                        : std::u16string{static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)),
                                         static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
        ASSERT_EQ(units, expected) << std::hex << static_cast<unsigned>(c);
        ASSERT_EQ(to_utf8(units), utf8) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(Utf16, IllFormedUtf8BecomesReplacementCharacters)
{
    const struct {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", u"café 日 😀"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)}, // NUL is a character
        {"\x80", u"\uFFFD"},                                  // lone continuation
        {"\xC0\x80", u"\uFFFD\uFFFD"},                        // overlong NUL
        {"\xC1\xBF", u"\uFFFD\uFFFD"},
        {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},           // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"\xF5\x80", u"\uFFFD\uFFFD"},
        {"\xFF", u"\uFFFD"},
        {"\xE2\x82", u"\uFFFD"},   // cut at the end: one for the whole prefix
        {"\xE2\x82x", u"\uFFFDx"}, // cut before an ASCII byte, which survives
        {"\xF0\x9F\x98", u"\uFFFD"},
        {"\xF0\x9F\x98\xC3\xA9", u"\uFFFDé"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(to_utf16(c.in), c.out) << testing::PrintToString(c.in);
}

TEST(Utf16, UnpairedSurrogatesAndBounds)
{
    EXPECT_EQ(to_utf8(u"\xD83D"), "\xEF\xBF\xBD");                   // high alone at the end
    EXPECT_EQ(to_utf8(u"\xD83Dx"), "\xEF\xBF\xBDx");                 // high before a non-surrogate
    EXPECT_EQ(to_utf8(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD"); // low first
    EXPECT_EQ(to_utf8(std::u16string(u"\xD83D\xDE00", 1)), "\xEF\xBF\xBD"); // pair cut by length

    // Only whole code points are written, never past the capacity.
    char16_t units[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(utf16_from_utf8("a\xF0\x9F\x98\x80z", 6, units, 2), 4u);
    EXPECT_EQ(units[0], u'a');
    EXPECT_EQ(units[1], u'#'); // the pair did not fit, and nothing after it is written
    char bytes[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(utf8_from_utf16(u"\u00E9\u65E5", 2, bytes, 3), 5u);
    EXPECT_EQ(std::string(bytes, 4), "\xC3\xA9##");

    const char16_t unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(utf16_length(unterminated, 3), 3u);
    EXPECT_EQ(utf16_length(u"ab", 10), 2u);
    EXPECT_EQ(utf16_length(u"", 0), 0u);
}
