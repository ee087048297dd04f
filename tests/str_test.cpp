#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alloc_failure.h"
#include "vovedi/pool.h"
#include "vovedi/str.h"

namespace
{

std::vector<std::string> pieces_of(array_t *pieces)
{
    std::vector<std::string> out;
    int cursor;
    for (void *p = array_first(pieces, &cursor); p != ARRAY_EMPTY; p = array_next(pieces, &cursor))
        out.emplace_back(static_cast<const char *>(p));
    return out;
}

std::vector<std::string> split(const char *text, const char *pattern = nullptr, int max = 0)
{
    array_t *pieces = str_split(text, pattern, max);
    EXPECT_NE(pieces, nullptr);
    std::vector<std::string> out = pieces_of(pieces);
    array_free(pieces);
    return out;
}

using texts = std::vector<std::string>;

} // namespace

TEST(Str, FormattingSizesStartAt4097AndDouble)
{
    char *buf = nullptr;
    size_t size = 0;
    ASSERT_NE(str_append_printf(&buf, &size, "%s", ""), nullptr);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(size, 4097u);

    std::string big(5000, 'z');
    ASSERT_NE(str_append_printf(&buf, &size, "%s", big.c_str()), nullptr);
    EXPECT_EQ(std::string(buf), big);
    EXPECT_EQ(size, 8194u);

    // Far beyond one doubling: the size keeps doubling until the text fits.
    std::string huge(70000, 'q');
    ASSERT_NE(str_append_printf(&buf, &size, "%s!", huge.c_str()), nullptr);
    EXPECT_EQ(std::string(buf), big + huge + "!");
    EXPECT_EQ(size, 8194u * 16);
    VV_FREE(buf);
}

TEST(Str, AppendKeepsTextAlreadyInTightBuffer)
{
    char *buf = str_ndup("abc", 3);
    size_t size = 4; // just the text and its NUL
    ASSERT_NE(str_append_printf(&buf, &size, "-%d-", 42), nullptr);
    EXPECT_STREQ(buf, "abc-42-");
    VV_FREE(buf);

    char *text = str_printf("%s=%05d", "n", 7);
    EXPECT_STREQ(text, "n=00007");
    VV_FREE(text);
}

TEST(Str, EnsureGrowsToExactlyNPlusOne)
{
    char *buf = nullptr;
    size_t size = 0;
    str_ensure(&buf, &size, 9);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(size, 10u);
    EXPECT_STREQ(buf, "");
    str_ensure(&buf, &size, 5); // already large enough
    EXPECT_EQ(size, 10u);
    str_ensure(&buf, &size, 10);
    EXPECT_EQ(size, 11u);
    VV_FREE(buf);
}

TEST(Str, SplitAtBlanksTabsAndPatterns)
{
    EXPECT_EQ(split("  a b\tc  "), (texts{"a", "b", "c"}));
    EXPECT_EQ(split("  a b\tc  ", nullptr, 2), (texts{"a", "b\tc  "}));
    EXPECT_EQ(split("single"), (texts{"single"}));
    EXPECT_EQ(split(""), (texts{}));
    EXPECT_EQ(split("   "), (texts{}));
    EXPECT_EQ(split("a;;b", ";"), (texts{"a", "", "b"}));
    EXPECT_EQ(split("oneXtwoxthree", "x"), (texts{"one", "two", "three"})); // case ignored
    EXPECT_EQ(split("/usr/bin:/bin:", ":"), (texts{"/usr/bin", "/bin"}));
    EXPECT_EQ(split("a,b,c,d", ",", 1), (texts{"a,b,c,d"}));
}

TEST(Str, SplitAndReplaceTerminateOnEmptyMatches)
{
    // A pattern that can match the empty text must not loop forever.
    EXPECT_EQ(split("a,b", ",*"), (texts{"a", "b"}));
    char *r = str_replace("a1b22c", "[0-9]*", "#");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "a#b#c");
    VV_FREE(r);
}

TEST(Str, BadPatternIsRefused)
{
    EXPECT_EQ(str_split("abc", "(", 0), nullptr);
    EXPECT_EQ(str_replace("abc", "(", "x"), nullptr);
    EXPECT_EQ(str_replace(nullptr, "a", "x"), nullptr);
}

TEST(Str, ReplaceEveryMatch)
{
    char *r = str_replace("Error: the Reason is TEXT; text again", "text", "<T>");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "Error: the Reason is <T>; <T> again");
    VV_FREE(r);
    r = str_replace("", "x", "y");
    EXPECT_STREQ(r, "");
    VV_FREE(r);
    // Anchors never match inside: both ends are neither start nor end of a line.
    r = str_replace("abc", "^a", "X");
    EXPECT_STREQ(r, "abc");
    VV_FREE(r);
}

TEST(Str, ConcatNdupAndEscape)
{
    char *c = str_concat("a", "", "bc", "d", nullptr);
    EXPECT_STREQ(c, "abcd");
    VV_FREE(c);
    char *d = str_ndup("abcdef", 3);
    EXPECT_STREQ(d, "abc");
    VV_FREE(d);
    char *e = xml_escape("a<b & \"c\"");
    EXPECT_STREQ(e, "a&lt;b &amp; &quot;c&quot;");
    VV_FREE(e);
    e = xml_escape("it's > 1\r\nline");
    EXPECT_STREQ(e, "it&apos;s &gt; 1\r\nline");
    VV_FREE(e);
}

TEST(Str, AllocationFailuresReturnNullAndLeakNothing)
{
    auto printf_runs = alloc_failure_sweep([] {
        char *text = str_printf("%s-%d", std::string(9000, 'w').c_str(), 7);
        bool ok = text && strlen(text) == 9002;
        VV_FREE(text);
        return ok;
    });
    EXPECT_EQ(printf_runs.failing_runs, 2); // first buffer, then one doubling

    auto split_runs = alloc_failure_sweep([] {
        array_t *pieces = str_split(" one two  three four ", nullptr, 0);
        bool ok = pieces && array_count(pieces) == 4;
        array_free(pieces);
        return ok;
    });
    EXPECT_GE(split_runs.failing_runs, 5); // the array, its slots, four pieces

    alloc_failure_sweep([] {
        char *r = str_replace("aXbXc", "x", "--");
        bool ok = r && std::string(r) == "a--b--c";
        VV_FREE(r);
        return ok;
    });
    alloc_failure_sweep([] {
        char *e = xml_escape("<&>");
        bool ok = e != nullptr;
        VV_FREE(e);
        return ok;
    });
}
