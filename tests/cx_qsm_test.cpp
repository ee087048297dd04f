#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "alloc_failure.h"
#include "call_outcome.h"
#include "corvex/cx_invoke.h"
#include "corvex/cx_qsm.h"
#include "corvex/cx_request.h"
#include "fixture_server.h"
#include "vovedi/pool.h"
#include "vovedi/sockerr.h"
#include "vovedi/testpoint.h"

namespace
{

const std::string passed =
    corvex_reply("<results status=\"passed\"><version>1.0</version></results>");

cx_server_t *open_qsm(int port, int timeout = 5, const char *host = "127.0.0.1")
{
    cx_server_t *s = cx_server_open(host, 1, 7);
    cx_server_set_login(s, "root", "secret");
    cx_server_set_transport(s, CX_TRANSPORT_QSM);
    cx_server_set_port(s, port);
    cx_server_set_timeout(s, timeout);
    return s;
}

call_outcome call_on(cx_server_t *s)
{
    cx_elem_t *api = cx_elem_create("system-get-version");
    call_outcome out = describe(cx_server_invoke_elem(s, api));
    EXPECT_EQ(s->qsm_conn, nullptr) << "the handle keeps no connection after a call";
    cx_elem_free(api);
    cx_server_close(s);
    return out;
}

call_outcome call(int port, int timeout = 5)
{
    return call_on(open_qsm(port, timeout));
}

// A server that reads the request, then answers with reply and closes.
call_outcome call_with_reply(const std::string &reply, int timeout = 5)
{
    fixture_server server(answer_with(reply));
    return call(server.port(), timeout);
}

long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// A connection handle on one end of a socket pair, the other end in peer.
struct paired_conn {
    shttpc_t *conn = nullptr;
    int peer = -1;
    explicit paired_conn(int timeout_ms)
    {
        int fd[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        fcntl(fd[0], F_SETFL, O_NONBLOCK);
        conn = static_cast<shttpc_t *>(VV_CALLOC(sizeof(shttpc_t)));
        conn->sock = fd[0];
        conn->timeout_ms = static_cast<uint32_t>(timeout_ms);
        peer = fd[1];
    }
    ~paired_conn()
    {
        cx_qsm_socket_close(conn);
        close(peer);
    }
    void send(const std::string &bytes)
    {
        EXPECT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

} // namespace

TEST(CxQsm, PassedResultAndTheBytesOnTheWire)
{
    fixture_server server(answer_with(qsm_reply(200, passed)));
    cx_server_t *s = open_qsm(server.port());
    cx_server_set_vslice(s, "vs1"); // never sent in socket mode
    call_outcome r = call_on(s);
    server.stop();
    EXPECT_EQ(r.text, "<results status=\"passed\">\n        <version>1.0</version>\n</results>\n");
    std::string document =
        "<?xml version='1.0' encoding='utf-8' ?>\n"
        "<!DOCTYPE corvex SYSTEM 'file:/etc/corvex_vault.dtd'>\n"
        "<corvex xmlns=\"" CX_REQUEST_XMLNS "\" version=\"1.7\"><system-get-version/></corvex>";
    EXPECT_EQ(server.requests()[0], "CORAPI-D/1.0\r\nUser: root\r\nPassword: secret\r\n"
                                    "Content-length: " +
                                        std::to_string(document.size()) + "\r\n\r\n" + document);

    // A login too long for a 128-byte head still goes out whole.
    fixture_server second(answer_with(qsm_reply(200, passed)));
    s = open_qsm(second.port());
    std::string user(300, 'u'), password(200, 'p');
    cx_server_set_login(s, user.c_str(), password.c_str());
    EXPECT_EQ(call_on(s).status, "passed");
    second.stop();
    EXPECT_EQ(second.requests()[0].rfind(
                  "CORAPI-D/1.0\r\nUser: " + user + "\r\nPassword: " + password +
                      "\r\nContent-length: " + std::to_string(document.size()) + "\r\n\r\n<?xml",
                  0),
              0u);
}

TEST(CxQsm, EveryReplyHeadFailureHasItsTextAndErrno)
{
    const std::string cut_body = "CORAPI-D/1.0 200\r\nContent-length: 200\r\n\r\n<corvex><res";
    const struct {
        std::string reply;
        const char *reason;
        const char *error_number;
    } cases[] = {
        {"\r\n", "QSM - Server unexpectedly dropped the connection for this request", "13011"},
        {"", "QSM - Can&apos;t read reply header (line 1)", "13057"},
        {"CORAPI-D/1.0 20", "QSM - Can&apos;t read reply header (line 1)", "13057"},
        {std::string(200, 'x') + "\n", "QSM - Can&apos;t read reply header (line 1)", "13057"},
        {"corapi-d/1.0 200\r\n",
         "QSM - Can&apos;t decode the embedded status/outcome value from "
         "the reply",
         "13011"},
        {"HTTP/1.1 200 OK\r\n",
         "QSM - Can&apos;t decode the embedded status/outcome value from "
         "the reply",
         "13011"},
        {"CORAPI-D/1.0 401\r\nanything at all", "QSM - Authorization failed", "13002"},
        {"CORAPI-D/1.0 413\n", "QSM - Request entity too large", "13011"},
        {"CORAPI-D/1.0 299\r\n", "QSM - failed, status code = 299", "13011"},
        {"CORAPI-D/1.0 200\r\n", "QSM - Can&apos;t read reply header (line 2)", "13057"},
        {"CORAPI-D/1.0 200\r\n\r\n",
         "QSM - Server unexpectedly dropped the connection for this "
         "request",
         "13011"},
        {"CORAPI-D/1.0 200\r\nContent-length: many\r\n\r\n",
         "QSM - Can&apos;t decode the embedded &apos;Content-length&apos; value from the reply",
         "13011"},
        {"CORAPI-D/1.0 200\r\nContent-Length: 5\r\n\r\n",
         "QSM - Can&apos;t decode the embedded &apos;Content-length&apos; value from the reply",
         "13011"},
        {"CORAPI-D/1.0 200\r\nContent-length: -1\r\n\r\n",
         "QSM - Can&apos;t decode the embedded &apos;Content-length&apos; value from the reply",
         "13011"},
        {"CORAPI-D/1.0 200\r\nContent-length: 9\r\n", "QSM - Can&apos;t read reply header (line 3)",
         "13057"},
        {"CORAPI-D/1.0 200\r\nContent-length: 0\r\n\r\n", "No corvex element in response", "13011"},
    };
    for (const auto &c : cases) {
        call_outcome r = call_with_reply(c.reply);
        EXPECT_EQ(r.status, "failed");
        EXPECT_EQ(r.reason, c.reason) << c.reply;
        EXPECT_EQ(r.error_number, c.error_number) << c.reply;
    }
    // A body shorter than announced, then the peer closes: the parse fails.
    call_outcome r = call_with_reply(cut_body);
    EXPECT_EQ(r.reason.rfind("Parsing error in results: ", 0), 0u) << r.reason;
    EXPECT_EQ(r.error_number, "13001");
    // Blanks between the literal and the number are free; CR is optional.
    EXPECT_EQ(call_with_reply("CORAPI-D/1.0\t 200\nContent-length:" +
                              std::to_string(passed.size()) + "\n\n" + passed)
                  .status,
              "passed");
}

TEST(CxQsm, StatusOtherThan200LeavesTheRestUnread)
{
    paired_conn p(1000);
    p.send("CORAPI-D/1.0 401\r\nContent-length: 3\r\n\r\nabc");
    long length = 7;
    EXPECT_EQ(cx_qsm_read_reply_head(p.conn, &length), 401);
    EXPECT_EQ(length, 0);
    char rest[64] = "";
    EXPECT_EQ(read(p.conn->sock, rest, sizeof rest), 24);
    EXPECT_STREQ(rest, "Content-length: 3\r\n\r\nabc");

    // A line fills at most 128 bytes, its line feed included.
    p.send(std::string(126, 'a') + "\r\n" + std::string(128, 'b') + "\n");
    char line[CX_QSM_LINE_CAPACITY];
    EXPECT_EQ(cx_qsm_read_line(p.conn, line, sizeof line), 1);
    EXPECT_EQ(std::string(line), std::string(126, 'a'));
    EXPECT_EQ(cx_qsm_read_line(p.conn, line, sizeof line), 0);
    EXPECT_EQ(cx_qsm_read_reply_head(nullptr, &length), -22);
}

TEST(CxQsm, StalledAndTricklingServersEndWithinTheTimeout)
{
    fixture_server silent([](fixture_conn &c) {
        c.read_request();
        c.hold_open();
    });
    auto start = std::chrono::steady_clock::now();
    call_outcome r = call(silent.port(), 1);
    EXPECT_EQ(r.reason, "QSM - Can&apos;t read reply header (line 1)");
    EXPECT_GE(elapsed_ms(start), 900);
    EXPECT_LT(elapsed_ms(start), 5000);

    // Each byte of the head comes well within one read's time-out, but the
    // head as a whole does not come within the time-out.
    fixture_server trickling([](fixture_conn &c) {
        c.read_request();
        c.trickle(qsm_reply(200, passed), 1, 150);
    });
    start = std::chrono::steady_clock::now();
    r = call(trickling.port(), 1);
    EXPECT_EQ(r.error_number, "13057") << r.reason;
    EXPECT_LT(elapsed_ms(start), 1600);

    // A peer that never reads: neither the head nor the body can be written
    // whole, when either is beyond what the socket buffers hold.
    fixture_server deaf([](fixture_conn &c) { c.hold_open(); });
    const std::string huge(32 << 20, 'x');
    cx_server_t *s = open_qsm(deaf.port(), 1);
    cx_server_set_login(s, huge.c_str(), "secret");
    EXPECT_EQ(call_on(s).reason, "QSM - Can&apos;t write request headers");
    s = open_qsm(deaf.port(), 1);
    cx_elem_t *api = cx_elem_create("file-write-file");
    cx_elem_child_add_string(api, "data", huge.c_str());
    r = describe(cx_server_invoke_elem(s, api));
    EXPECT_EQ(r.reason, "QSM - Can&apos;t write request payload");
    EXPECT_EQ(r.error_number, "13011");
    cx_elem_free(api);
    cx_server_close(s);

    // The head comes, the body never does.
    fixture_server no_body([](fixture_conn &c) {
        c.read_request();
        c.send("CORAPI-D/1.0 200\r\nContent-length: 100\r\n\r\n");
        c.hold_open();
    });
    r = call(no_body.port(), 1);
    EXPECT_EQ(r.reason, "Timeout. Could not read API response.");
    EXPECT_EQ(r.error_number, "60");
}

TEST(CxQsm, OpeningFailures)
{
    fixture_server gone(answer_with(""));
    int port = gone.port();
    gone.stop();
    testing::internal::CaptureStdout();
    call_outcome r = call(port);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "cx_qsm_socket_open(): shttpc_connect() returns -1\n");
    EXPECT_EQ(r.reason, "QSM - Can&apos;t connect to host (10061)");
    EXPECT_EQ(r.error_number, "13055");

    // A name is looked up only when the handle allows it; a dotted address
    // never is.
    fixture_server server([](fixture_conn &c) {
        c.read_request();
        c.send(qsm_reply(200, passed));
    });
    testpoint_t *lookups = testpoint_define("^http_url$", "lookup", nullptr);
    testpoint_enable(1);
    r = call_on(open_qsm(server.port(), 5, "localhost"));
    EXPECT_EQ(r.reason, "QSM - Can&apos;t connect to host (2)");
    EXPECT_EQ(r.error_number, "13055");
    cx_server_t *s = open_qsm(server.port());
    s->resolve_names = 1;
    EXPECT_EQ(call_on(s).status, "passed");
    EXPECT_EQ(testpoint_evaluations(lookups), 0u);
    s = open_qsm(server.port(), 5, "localhost");
    s->resolve_names = 1;
    EXPECT_EQ(call_on(s).status, "passed");
    EXPECT_EQ(testpoint_evaluations(lookups), 1u);
    testpoint_clear();

    shttpc_t *conn = nullptr;
    EXPECT_EQ(cx_qsm_socket_open("u", "p", "127.0.0.1", 0, CX_TRANSPORT_QSM, 1, 1, nullptr), -22);
    EXPECT_EQ(cx_qsm_socket_open("u", "p", nullptr, 0, CX_TRANSPORT_QSM, 1, 1, &conn), -22);
}

TEST(CxQsm, LineBreaksInTheLoginAreRefusedBeforeConnecting)
{
    fixture_server server(answer_with(qsm_reply(200, passed)));
    const char *logins[][2] = {
        {"root\r\nContent-length: 1", "secret"}, {"root", "se\ncret"}, {"root", "secret\r"}};
    for (const auto &login : logins) {
        cx_server_t *s = open_qsm(server.port());
        cx_server_set_login(s, login[0], login[1]);
        call_outcome r = call_on(s);
        EXPECT_EQ(r.reason, "QSM - Can&apos;t encode request");
        EXPECT_EQ(r.error_number, "13011");
    }
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(cx_qsm_login_valid(nullptr, "x"), 1);
}

TEST(CxQsm, RawTraceAndDebugOutput)
{
    fixture_server server([](fixture_conn &c) {
        c.read_request();
        c.send(qsm_reply(200, passed));
    });
    cx_server_t *s = open_qsm(server.port());
    cx_server_set_trace(s, CX_TRACE_RAW);
    testing::internal::CaptureStdout();
    call_outcome r = call_on(s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.reason, "QSM - Call succeeded, but reply was consumed by debugging code");
    EXPECT_EQ(r.error_number, "13057");
    EXPECT_EQ(out.rfind("INPUT:\n<?xml version='1.0'", 0), 0u) << out;
    EXPECT_NE(out.find("</corvex>\n\nOUTPUT:\n" + passed + "\n"), std::string::npos) << out;

    // Other trace values skip parsing without printing the reply.
    s = open_qsm(server.port());
    cx_server_set_trace(s, 2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(call_on(s).error_number, "13057");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");

    setenv("XMLDEBUG", "1", 1);
    testing::internal::CaptureStderr();
    r = call(server.port());
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("XMLDEBUG");
    EXPECT_EQ(r.status, "passed");
    EXPECT_EQ(err.rfind("CX_SERVER_INVOKE_ELEM:\nXML=::<?xml", 0), 0u) << err;
    EXPECT_NE(err.find("::XML DEBUG BEGIN::\n"), std::string::npos);
    EXPECT_NE(err.find("::XML DEBUG END::\n"), std::string::npos);
}

TEST(CxQsm, AllocationFailureAtEveryStepStillGivesAResult)
{
    fixture_server server([](fixture_conn &c) {
        c.read_request();
        c.send(qsm_reply(200, passed));
    });
    cx_server_t *s = open_qsm(server.port());
    sweep_whole_call(s);
    cx_server_close(s);
}

TEST(CxQsm, ManyCallsLeaveNothingBehind)
{
    fixture_server server([](fixture_conn &c) {
        c.read_request();
        c.send(qsm_reply(200, passed));
    });
    cx_server_t *s = open_qsm(server.port());
    expect_many_calls_leave_nothing(s, [&] { return server.wait_idle(); });
    EXPECT_EQ(server.connections(), 1001); // a connection per call
    cx_server_close(s);
}

TEST(CxQsm, RepliesPastTheLimitFail)
{
    // Socket mode reads its body through the same reader as HTTP: parsed or
    // copied raw, a reply past the handle's limit ends the call.
    std::string big =
        corvex_reply("<results status=\"passed\"><v>" + std::string(5000, 'v') + "</v></results>");
    for (int trace : {CX_TRACE_OFF, CX_TRACE_RAW}) {
        fixture_server server(answer_with(qsm_reply(200, big)));
        cx_server_t *s = open_qsm(server.port());
        cx_server_set_reply_limit(s, 1000);
        cx_server_set_trace(s, trace);
        testing::internal::CaptureStdout();
        call_outcome r = call_on(s);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.reason, "The reply is larger than the limit of 1000 bytes.") << trace;
        EXPECT_EQ(r.error_number, "13011");
    }
}
