#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <string>

#include "alloc_failure.h"
#include "call_outcome.h"
#include "corvex/cx_invoke.h"
#include "corvex/cx_request.h"
#include "corvex/cx_rpc.h"
#include "corvex/cx_startup.h"
#include "vovedi/testpoint.h"
#include "vovedi/utf16.h"

namespace
{

const std::string passed =
    "<corvex><results status=\"passed\"><version>1.0</version></results></corvex>";

// The stand-in library the tests script (the test program's run path finds it).
struct fake_library {
    void (*script)(unsigned code, const char16_t *units, size_t count) = nullptr;
    const char16_t *(*last_host)() = nullptr;
    const char16_t *(*last_document)() = nullptr;
    int (*calls)() = nullptr;

    fake_library()
    {
        void *handle = dlopen("libcxadmin.so", RTLD_NOW);
        EXPECT_NE(handle, nullptr) << dlerror();
        if (!handle)
            return;
        script = reinterpret_cast<decltype(script)>(dlsym(handle, "fake_cxadmin_script"));
        last_host = reinterpret_cast<decltype(last_host)>(dlsym(handle, "fake_cxadmin_last_host"));
        last_document =
            reinterpret_cast<decltype(last_document)>(dlsym(handle, "fake_cxadmin_last_document"));
        calls = reinterpret_cast<decltype(calls)>(dlsym(handle, "fake_cxadmin_calls"));
    }
};

fake_library &fake()
{
    static fake_library library;
    return library;
}

std::u16string utf16(const std::string &text)
{
    std::u16string out(utf16_from_utf8(text.data(), text.size(), nullptr, 0), u'\0');
    utf16_from_utf8(text.data(), text.size(), out.data(), out.size());
    return out;
}

std::string utf8(const std::u16string &text)
{
    std::string out(utf8_from_utf16(text.data(), text.size(), nullptr, 0), '\0');
    utf8_from_utf16(text.data(), text.size(), out.data(), out.size());
    return out;
}

void start_library()
{
    char message[256];
    cx_startup(message, sizeof message); // "already in use" after the first time
    ASSERT_NE(cx_rpc_entry(), nullptr);
}

// Script the entry: code, and a reply of the text's units and its terminator.
void script(unsigned code, const std::u16string &reply)
{
    fake().script(code, reply.c_str(), reply.size() + 1);
}

cx_server_t *open_rpc(const char *host = "storage1")
{
    cx_server_t *s = cx_server_open(host, 1, 0);
    cx_server_set_auth_style(s, CX_AUTH_RPC);
    return s;
}

call_outcome call_on(cx_server_t *s, const char *api_name = "system-get-version")
{
    cx_elem_t *api = cx_elem_create(api_name);
    call_outcome out = describe(cx_server_invoke_elem(s, api));
    cx_elem_free(api);
    cx_server_close(s);
    return out;
}

} // namespace

// First in the file: nothing has started the library yet in this process.
TEST(CxRpc, WithoutTheLibraryEveryCallFailsToLoad)
{
    ASSERT_EQ(cx_rpc_entry(), nullptr);
    call_outcome r = call_on(open_rpc());
    EXPECT_EQ(r.text, "<results reason=\"Failed to load cxadmin.dll\" status=\"failed\" "
                      "errno=\"13011\"/>\n");
    EXPECT_EQ(cx_rpc_call("storage1", "<corvex/>"), nullptr);
    EXPECT_EQ(fake().calls(), 0);
}

TEST(CxRpc, TextsCrossTheEntryAsUtf16Unchanged)
{
    start_library();
    const std::string names = "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
    // The reply holds an unpaired surrogate, which becomes U+FFFD.
    script(0, utf16("<corvex><results status=\"passed\"><name>" + names + "</name><odd>") +
                  u"\xD800" + utf16("</odd></results></corvex>"));
    cx_server_t *s = open_rpc("h\xC3\xB4te1");
    cx_server_set_type(s, CX_TYPE_FLEET); // the vault DTD is sent whatever the type
    cx_elem_t *api = cx_elem_create("volume-list-info");
    cx_elem_child_add_string(api, "volume", names.c_str());
    cx_elem_child_add_string(api, "bad", "a\xFFz");
    cx_elem_t *result = cx_server_invoke_elem(s, api);
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(stab_get(result->attributes, "status"), "passed");
    EXPECT_STREQ(cx_elem_child_get(result, "name")->content, names.c_str());
    EXPECT_STREQ(cx_elem_child_get(result, "odd")->content, "\xEF\xBF\xBD");
    cx_elem_free(result);
    cx_elem_free(api);
    cx_server_close(s);

    EXPECT_EQ(std::u16string(fake().last_host()), u"h\u00F4te1");
    std::u16string document = fake().last_document();
    EXPECT_NE(document.find(u"<volume>caf\u00E9 \u65E5\u672C \U0001F600</volume>"),
              std::u16string::npos);
    EXPECT_NE(document.find(u"<bad>a\uFFFDz</bad>"), std::u16string::npos);
    EXPECT_EQ(utf8(document).rfind("<?xml version='1.0' encoding='utf-8' ?>\n"
                                   "<!DOCTYPE corvex SYSTEM 'file:/etc/corvex_vault.dtd'>\n"
                                   "<corvex xmlns=\"" CX_REQUEST_XMLNS "\" version=\"1.0\">",
                                   0),
              0u)
        << utf8(document);
}

TEST(CxRpc, EveryAnswerOfTheEntryBecomesAResult)
{
    start_library();
    const unsigned untold = 4242; // a system error without a text
    const struct {
        unsigned code;
        const char *reply; // null: no reply
        const char *status, *reason, *error_number;
    } cases[] = {
        {0, passed.c_str(), "passed", "", ""},
        {0, nullptr, "failed", "Error in RovaInvoke RPC", "13011"},
        {5, nullptr, "failed", "RPC Error - Access is denied. ", "13011"},
        {1722, passed.c_str(), "failed", "RPC Error - The RPC server is unavailable. ", "13011"},
        {1326, nullptr, "failed", "RPC Error - The user name or password is incorrect. ", "13011"},
        {untold, passed.c_str(), "passed", "", ""},
        {untold, "<corvex><results status=\"passed\">", "failed",
         "RPC Error - FormatMessage failed to create error message", "13011"},
        {untold, "<corvex/>", "failed", "RPC Error - FormatMessage failed to create error message",
         "13011"},
        {untold, nullptr, "failed", "RPC Error - FormatMessage failed to create error message",
         "13011"},
        {0, "<corvex><status/></corvex>", "failed", "No results element in response", "13011"},
        {0, "", "failed", "No corvex element in response", "13011"},
    };
    for (const auto &c : cases) {
        if (c.reply)
            script(c.code, utf16(c.reply));
        else
            fake().script(c.code, nullptr, 0);
        call_outcome r = call_on(open_rpc());
        EXPECT_EQ(r.status, c.status) << c.code << " " << (c.reply ? c.reply : "(none)");
        EXPECT_EQ(r.reason, c.reason) << c.code;
        EXPECT_EQ(r.error_number, c.error_number) << c.code;
    }
    script(0, u"not XML");
    call_outcome r = call_on(open_rpc());
    EXPECT_EQ(r.reason.rfind("Parsing error in results: ", 0), 0u) << r.reason;
    EXPECT_EQ(r.error_number, "13001");

    // A reply without its terminator within the bound is no reply.
    std::u16string endless(64, u'x');
    fake().script(0, endless.data(), endless.size());
    testpoint_t *limit = testpoint_define("^rpc$", "reply-limit", nullptr);
    testpoint_set_every(limit, 1);
    testpoint_set_replacement(limit, 32, nullptr);
    testpoint_enable(1);
    r = call_on(open_rpc());
    testpoint_clear();
    EXPECT_EQ(r.reason, "Error in RovaInvoke RPC");
}

TEST(CxRpc, ASystemTextWithMarkupKeepsTheFailureDocumentWellFormed)
{
    start_library();
    fake().script(5, nullptr, 0);
    static char text[] = "Quota <vol0> & \"home\" exceeded.\r\n";
    testpoint_t *message = testpoint_define("^rpc$", "message", nullptr);
    testpoint_set_every(message, 1);
    testpoint_set_replacement(message, 0, text);
    testpoint_enable(1);
    char *reply = cx_rpc_call("storage1", "<corvex/>");
    call_outcome r = call_on(open_rpc());
    testpoint_clear();
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "<corvex version='1.1'><results status=\"failed\" reason=\"RPC Error - "
                        "Quota &lt;vol0&gt; &amp; &quot;home&quot; exceeded.\r\n\" "
                        "errno=\"13011\"></results></corvex>");
    VV_FREE(reply);
    EXPECT_EQ(r.reason, "RPC Error - Quota <vol0> & \"home\" exceeded. ");
    EXPECT_EQ(r.error_number, "13011");
}

TEST(CxRpc, RawTracePrintsOnlyTheReply)
{
    start_library();
    script(0, utf16(passed));
    cx_server_t *s = open_rpc();
    cx_server_set_trace(s, CX_TRACE_RAW);
    setenv("XMLDEBUG", "1", 1); // not consulted over RPC
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    call_outcome r = call_on(s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nOUTPUT:\n" + passed + "\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    unsetenv("XMLDEBUG");
    EXPECT_EQ(r.reason, "debugging bypassed xml parsing");
    EXPECT_EQ(r.error_number, "13011");
}

TEST(CxRpc, AllocationFailureAtEveryStepStillGivesAResult)
{
    start_library();
    script(0, utf16(passed));
    cx_server_t *s = open_rpc();
    sweep_whole_call(s);
    cx_server_close(s);
}
