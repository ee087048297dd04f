#include <gtest/gtest.h>

#include <string>

#include "alloc_failure.h"
#include "vovedi/base64.h"
#include "vovedi/pool.h"

namespace
{

std::string encode(const std::string &text)
{
    char *out = base64_encode(text.c_str());
    std::string result = out ? out : "<null>";
    VV_FREE(out);
    return result;
}

} // namespace

TEST(Base64, Rfc4648Vectors)
{
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encode("abc"), "YWJj");
    EXPECT_EQ(encode("ab"), "YWI=");
    EXPECT_EQ(encode("a"), "YQ==");
    EXPECT_EQ(encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(Base64, HighBytesAndLongInputsStayOnOneLine)
{
    EXPECT_EQ(encode("\xff"), "/w==");
    EXPECT_EQ(encode("\xfb\xff\xbf"), "+/+/");
    std::string e57 = encode(std::string(57, 'x'));
    std::string e58 = encode(std::string(58, 'x'));
    EXPECT_EQ(e57.size(), 76u);
    EXPECT_EQ(e58.size(), 80u);
    EXPECT_EQ(e58.find('\n'), std::string::npos);
    EXPECT_EQ(base64_encoded_size(0), 1u);
    EXPECT_EQ(base64_encoded_size(58), 81u);
}

TEST(Base64, RawCoreReportsBytesWritten)
{
    char out[16];
    const unsigned char in[] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(base64_encode_raw(out, in, 4), 9u);
    EXPECT_STREQ(out, "YWJjZA==");
}

TEST(Base64, OutOfMemoryGivesNull)
{
    alloc_failure_sweep([] {
        char *out = base64_encode("user:password");
        bool ok = out && std::string(out) == "dXNlcjpwYXNzd29yZA==";
        VV_FREE(out);
        return ok;
    });
    EXPECT_EQ(base64_encode(nullptr), nullptr);
}
