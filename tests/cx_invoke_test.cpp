#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "alloc_failure.h"
#include "call_outcome.h"
#include "corvex/cx_invoke.h"
#include "corvex/cx_request.h"
#include "fixture_server.h"
#include "vovedi/pool.h"

namespace
{

const std::string passed =
    corvex_reply("<results status=\"passed\"><version>1.0</version></results>");

cx_server_t *open_local(int port, int timeout = 5)
{
    cx_server_t *s = cx_server_open("127.0.0.1", 1, 0);
    cx_server_set_login(s, "root", "secret");
    cx_server_set_port(s, port);
    cx_server_set_timeout(s, timeout);
    return s;
}

call_outcome call(int port, int timeout = 5, const char *api_name = "system-get-version")
{
    cx_server_t *s = open_local(port, timeout);
    cx_elem_t *api = cx_elem_create(api_name);
    call_outcome out = describe(cx_server_invoke_elem(s, api));
    cx_elem_free(api);
    cx_server_close(s);
    return out;
}

call_outcome call_with_reply(const std::string &reply, int timeout = 5)
{
    fixture_server server(answer_with(reply));
    return call(server.port(), timeout);
}

} // namespace

TEST(CxInvoke, PassedResultAndTheBytesOnTheWire)
{
    fixture_server server(answer_with(http_reply(200, "OK", passed)));
    call_outcome r = call(server.port());
    server.stop();
    EXPECT_EQ(r.status, "passed");
    EXPECT_EQ(r.text, "<results status=\"passed\">\n        <version>1.0</version>\n</results>\n");
    std::string document =
        "<?xml version='1.0' encoding='utf-8' ?>\n"
        "<!DOCTYPE corvex SYSTEM 'file:/etc/corvex_vault.dtd'>\n"
        "<corvex xmlns=\"" CX_REQUEST_XMLNS "\" version=\"1.0\"><system-get-version/></corvex>";
    EXPECT_EQ(server.requests()[0],
              "POST /servlets/corvex.servlets.admin.XMLrequest_vault HTTP/1.1\r\n"
              "Authorization: Basic cm9vdDpzZWNyZXQ=\r\n"
              "Host: 127.0.0.1:" +
                  std::to_string(server.port()) +
                  "\r\nContent-Length: " + std::to_string(document.size()) + "\r\n\r\n" + document);
}

TEST(CxInvoke, HttpStatusesBecomeFailureResults)
{
    struct {
        int status;
        const char *reason;
        const char *error_number;
    } cases[] = {
        {401, "HTTP POST - Authorization failed", "13002"},
        {407, "HTTP POST - Proxy authentication required", "13002"},
        {404, "HTTP POST - URL not found", "13011"},
        {302, "HTTP POST - failed, status code = 302", "13011"},
        {500, "HTTP POST - Unable to send the API request(err=0).", "13011"},
    };
    for (const auto &c : cases) {
        call_outcome r = call_with_reply(http_reply(c.status, "X", ""));
        EXPECT_EQ(r.reason, c.reason);
        EXPECT_EQ(r.error_number, c.error_number);
        EXPECT_EQ(r.status, "failed");
    }
    call_outcome r = call_with_reply(http_reply(401, "Unauthorized", ""));
    EXPECT_EQ(r.text, "<results reason=\"HTTP POST - Authorization failed\" status=\"failed\" "
                      "errno=\"13002\"/>\n");
}

TEST(CxInvoke, UnrecognisedStyleAndMissingTransports)
{
    cx_server_t *s = cx_server_open("127.0.0.1", 1, 0);
    cx_elem_t *api = cx_elem_create("x");
    cx_server_set_auth_style(s, 9);
    call_outcome r = describe(cx_server_invoke_elem(s, api));
    EXPECT_EQ(r.text, "<results reason=\"Unrecognized server authentication style\" "
                      "status=\"failed\" errno=\"13002\"/>\n");
    cx_server_set_auth_style(s, CX_AUTH_RPC);
    EXPECT_EQ(describe(cx_server_invoke_elem(s, api)).error_number, "13011");
    EXPECT_EQ(cx_server_invoke_elem(nullptr, api), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(cx_server_invoke_elem(s, nullptr), nullptr);
    cx_elem_free(api);
    cx_server_close(s);
}

TEST(CxInvoke, ConnectionFailures)
{
    fixture_server gone(answer_with(""));
    int port = gone.port();
    gone.stop();
    call_outcome r = call(port);
    EXPECT_EQ(r.reason, "Can&apos;t connect to host (err=10061)."); // stored escaped
    EXPECT_EQ(r.error_number, "10061");

    cx_server_t *s = cx_server_open("no-such-host.invalid", 1, 0);
    cx_elem_t *api = cx_elem_create("x");
    r = describe(cx_server_invoke_elem(s, api));
    EXPECT_EQ(r.reason.rfind("Can&apos;t connect to host (err=-", 0), 0u) << r.reason;
    EXPECT_FALSE(r.has_errno); // a negative number is not written
    cx_elem_free(api);
    cx_server_close(s);
}

TEST(CxInvoke, ReplyShapes)
{
    auto reply = [](const std::string &body) { return http_reply(200, "OK", body); };
    EXPECT_EQ(call_with_reply(reply("<other><results/></other>")).reason,
              "No corvex element in response");
    EXPECT_EQ(call_with_reply(reply("<corvex><status/></corvex>")).reason,
              "No results element in response");
    EXPECT_EQ(call_with_reply(reply("")).reason, "No corvex element in response");
    call_outcome whole =
        call_with_reply(reply("<corvex><results status=\"passed\"/><extra>1</extra></corvex>"));
    EXPECT_EQ(whole.text.rfind("<corvex>", 0), 0u);
    EXPECT_NE(whole.text.find("<extra>1</extra>"), std::string::npos);

    call_outcome bad = call_with_reply(reply("this is not XML"));
    EXPECT_EQ(bad.reason.rfind("Parsing error in results: ", 0), 0u) << bad.reason;
    EXPECT_EQ(bad.error_number, "13001");

    // A body shorter than announced, then the peer closes: the parse fails.
    call_outcome cut =
        call_with_reply("HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n<corvex><res");
    EXPECT_EQ(cut.error_number, "13001");
}

TEST(CxInvoke, TrickledAndDroppedReplies)
{
    // A reply in many small pieces, head and body, parses like any other.
    fixture_server trickling([](fixture_conn &c) {
        c.read_request();
        c.trickle(http_reply(200, "OK", passed), 7, 1);
    });
    EXPECT_EQ(call(trickling.port()).status, "passed");

    // Dropped in the middle of the head, or reset in the middle of the body.
    fixture_server mid_head([](fixture_conn &c) {
        c.read_request();
        c.send("HTTP/1.1 200 OK\r\nContent-Le");
        c.close(true);
    });
    call_outcome r = call(mid_head.port());
    EXPECT_EQ(r.reason.rfind("HTTP POST - Unable to send the API request(err=", 0), 0u) << r.reason;
    fixture_server mid_body([](fixture_conn &c) {
        c.read_request();
        std::string reply = http_reply(200, "OK", passed);
        c.send(reply.substr(0, reply.size() - 20));
        c.close(true);
    });
    EXPECT_EQ(call(mid_body.port()).error_number, "13001");
}

TEST(CxInvoke, SilentServersEndAfterTheTimeout)
{
    fixture_server silent([](fixture_conn &c) {
        c.read_request();
        c.hold_open();
    });
    auto start = std::chrono::steady_clock::now();
    call_outcome r = call(silent.port(), 1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.reason, "HTTP POST - Timed out");
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(10));

    // The head arrives, the body never does.
    fixture_server no_body([](fixture_conn &c) {
        c.read_request();
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
        c.hold_open();
    });
    r = call(no_body.port(), 1);
    EXPECT_EQ(r.reason, "Timeout. Could not read API response.");
    EXPECT_EQ(r.error_number, "60");

    // A head sent a byte at a time, each well within the time-out: the
    // time-out bounds the whole head.
    fixture_server trickled_head([](fixture_conn &c) {
        c.read_request();
        c.trickle(http_reply(200, "OK", passed), 1, 300);
    });
    start = std::chrono::steady_clock::now();
    r = call(trickled_head.port(), 1);
    waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.reason, "HTTP POST - Timed out");
    EXPECT_LT(waited, std::chrono::milliseconds(2500));
    trickled_head.stop();

    // A body in pieces, each within the time-out, may take longer in all.
    fixture_server slow_body([](fixture_conn &c) {
        c.read_request();
        std::string reply = http_reply(200, "OK", passed);
        size_t head = reply.find("\r\n\r\n") + 4;
        c.send(reply.substr(0, head));
        c.trickle(reply.substr(head), (reply.size() - head) / 4 + 1, 400);
    });
    start = std::chrono::steady_clock::now();
    r = call(slow_body.port(), 1);
    EXPECT_EQ(r.status, "passed") << r.reason;
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1100));
}

TEST(CxInvoke, RawTraceBypassesParsing)
{
    fixture_server server(answer_with(http_reply(200, "OK", passed)));
    cx_server_t *s = open_local(server.port());
    cx_server_set_trace(s, CX_TRACE_RAW);
    cx_elem_t *api = cx_elem_create("system-get-version");
    testing::internal::CaptureStdout();
    call_outcome r = describe(cx_server_invoke_elem(s, api));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.reason, "debugging bypassed xml parsing");
    EXPECT_EQ(r.error_number, "13001");
    EXPECT_EQ(out.rfind("INPUT:\n<?xml version='1.0'", 0), 0u);
    EXPECT_NE(out.find("</corvex>\n\nOUTPUT:\n" + passed + "\n"), std::string::npos) << out;
    cx_elem_free(api);
    cx_server_close(s);
}

TEST(CxInvoke, XmlDebugFollowsTheEnvironment)
{
    fixture_server server([](fixture_conn &c) {
        c.read_request();
        c.send(http_reply(200, "OK", passed));
    });
    setenv("XMLDEBUG", "", 1);
    testing::internal::CaptureStderr();
    call(server.port());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    setenv("XMLDEBUG", "1", 1);
    testing::internal::CaptureStderr();
    call_outcome r = call(server.port());
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("XMLDEBUG");
    EXPECT_EQ(r.status, "passed");
    EXPECT_EQ(err.rfind("CX_SERVER_INVOKE_ELEM:\nURL=::http://[127.0.0.1]:", 0), 0u) << err;
    EXPECT_NE(err.find("::XML DEBUG BEGIN::\n"), std::string::npos);
    EXPECT_NE(err.find("::XML DEBUG END::\n"), std::string::npos);
    EXPECT_EQ(cx_xml_debug_get(), 1);
    call(server.port());
    EXPECT_EQ(cx_xml_debug_get(), 0);
}

TEST(CxInvoke, FailureTextAndStatusMessages)
{
    cx_elem_t *ok = cx_results_new("passed", nullptr, -1);
    EXPECT_EQ(cx_result_failure_text(ok), nullptr);
    cx_elem_free(ok);
    cx_elem_t *bare = cx_elem_create("results");
    EXPECT_STREQ(cx_result_failure_text(bare), "Unknown");
    cx_elem_free(bare);
    cx_elem_t *failed = cx_results_new("failed", "a <b> & &lt; 'q'", 5);
    EXPECT_STREQ(stab_get(failed->attributes, "reason"),
                 "a &lt;b&gt; &amp; &amp;lt; &apos;q&apos;");
    EXPECT_STREQ(cx_result_failure_text(failed), "a <b> & &lt; 'q'");
    cx_elem_free(failed);
    EXPECT_EQ(cx_result_failure_text(nullptr), nullptr);
    EXPECT_EQ(cx_results_new(nullptr, "x", 1), nullptr);

    char buf[256];
    EXPECT_STREQ(cx_status_message(554, "QSM", 10061, buf, sizeof buf),
                 "QSM - Can't connect to host (10061)");
    EXPECT_STREQ(cx_status_message(564, "QSM", 0, buf, sizeof buf),
                 "QSM - Call succeeded, but reply was consumed by debugging code");
    EXPECT_STREQ(cx_status_message(-22, "HTTP POST", 0, buf, sizeof buf),
                 "HTTP POST - failed, status code = -22");
    EXPECT_EQ(cx_status_errno(554), CX_ERR_CONNECT);
    EXPECT_EQ(cx_status_errno(564), CX_ERR_READ);
    EXPECT_EQ(cx_status_errno(552), CX_ERR_REPLY_NOMEM);
    EXPECT_EQ(cx_status_errno(200), CX_ERR_RESPONSE);
}

TEST(CxInvoke, AllocationFailureAtEveryStepStillGivesAResult)
{
    fixture_server server([](fixture_conn &c) {
        c.read_request();
        c.send(http_reply(200, "OK", passed));
    });
    cx_server_t *s = open_local(server.port());
    sweep_whole_call(s);
    cx_server_close(s);
}

TEST(CxInvoke, ManyCallsOnOneHandleLeaveNothingBehind)
{
    fixture_server server([](fixture_conn &c) {
        c.read_request();
        c.send(http_reply(200, "OK", passed));
    });
    cx_server_t *s = open_local(server.port());
    expect_many_calls_leave_nothing(s, [&] { return server.wait_idle(); });
    cx_server_close(s);
}

TEST(CxInvoke, RepliesPastTheLimitFail)
{
    // A reply body of about 5 KB, with and without its length, parsed and
    // copied raw: limits below it refuse it, limits at or above it and no
    // limit let it through.
    std::string body =
        corvex_reply("<results status=\"passed\"><v>" + std::string(5000, 'v') + "</v></results>");
    std::string with_length = http_reply(200, "OK", body);
    std::string without_length = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body;
    const std::string refused = "The reply is larger than the limit of 1000 bytes.";
    for (const std::string &reply : {with_length, without_length}) {
        for (uint64_t limit : {uint64_t{1000}, uint64_t{body.size()}, uint64_t{0}}) {
            fixture_server server(answer_with(reply));
            cx_server_t *s = open_local(server.port());
            EXPECT_EQ(cx_server_get_reply_limit(s), CX_REPLY_LIMIT_DEFAULT);
            EXPECT_EQ(cx_server_set_reply_limit(s, limit), 1);
            cx_elem_t *api = cx_elem_create("system-get-version");
            call_outcome r = describe(cx_server_invoke_elem(s, api));
            if (limit == 1000) {
                EXPECT_EQ(r.reason, refused);
                EXPECT_EQ(r.error_number, "13011");
            } else {
                EXPECT_EQ(r.status, "passed") << r.reason;
            }
            // The raw copy keeps to the same limit.
            cx_server_set_trace(s, CX_TRACE_RAW);
            testing::internal::CaptureStdout();
            r = describe(cx_server_invoke_elem(s, api));
            std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(r.reason, limit == 1000 ? refused : "debugging bypassed xml parsing");
            EXPECT_EQ(out.find(body) == std::string::npos, limit == 1000);
            cx_elem_free(api);
            cx_server_close(s);
        }
    }
    EXPECT_EQ(cx_server_set_reply_limit(nullptr, 1), 0);
}
