// corapi-sim's socket-mode listener, run as a child process: the same calls
// give the same results as over HTTP, through the client library and
// through reqtool; refusals come as the three-line head.

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <vector>

#include "corvex/cx_invoke.h"
#include "elem_helpers.h"
#include "fixture_server.h"
#include "sim_process.h"

namespace
{

// One call to port over HTTP or in socket mode, its result written as XML.
std::string call(int port, bool socket_mode, cx_elem_t *request)
{
    cx_server_t *s = cx_server_open("127.0.0.1", 1, 0);
    cx_server_set_login(s, "root", "secret");
    if (socket_mode)
        cx_server_set_transport(s, CX_TRANSPORT_QSM);
    cx_server_set_port(s, port);
    cx_server_set_timeout(s, 20);
    elem_ptr result(cx_server_invoke_elem(s, request));
    cx_elem_free(request);
    cx_server_close(s);
    return written(result.get());
}

// Send bytes to port, optionally end the sending side, and read until the server closes.
std::string raw_exchange(int port, const std::string &bytes, bool end_sending)
{
    return exchange_on(connect_loopback(port), bytes, end_sending);
}

std::string head(const std::string &user, const std::string &password, const std::string &length)
{
    return "CORAPI-D/1.0\r\nUser: " + user + "\r\nPassword: " + password +
           "\r\nContent-length: " + length + "\r\n\r\n";
}

} // namespace

TEST(SimQsm, VolumesAndFilesGiveTheSameResultsAsOverHttp)
{
    sim_process over_http(CORAPI_SIM), over_qsm(CORAPI_SIM, {"-q", "0"});
    ASSERT_NE(over_qsm.qsm_port(), 0);
    const std::string text = "h\xC3\xA9llo \xE6\x97\xA5\xE6\x9C\xAC";
    auto sequence = [&](int port, bool socket_mode) {
        return std::vector<std::string>{
            call(port, socket_mode, api("volume-create", {{"volume", "vol0"}, {"size", "20m"}})),
            call(port, socket_mode, api("volume-list-info")),
            call(port, socket_mode, api("volume-size", {{"volume", "vol0"}, {"new-size", "40m"}})),
            call(
                port, socket_mode,
                api("file-write-file", {{"path", "/vol/vol0/a"}, {"data", text}, {"offset", "0"}})),
            call(port, socket_mode,
                 api("file-read-file",
                     {{"path", "/vol/vol0/a"}, {"offset", "0"}, {"length", "100"}})),
            call(port, socket_mode, api("volume-destroy", {{"volume", "vol0"}})),
            call(port, socket_mode, api("volume-list-info")),
            call(port, socket_mode, api("volume-create", {{"volume", "vol1"}})),
        };
    };
    std::vector<std::string> http = sequence(over_http.port(), false);
    std::vector<std::string> qsm = sequence(over_qsm.qsm_port(), true);
    EXPECT_EQ(qsm, http);
    EXPECT_NE(http[1].find("<name>vol0</name>"), std::string::npos) << http[1];
    EXPECT_NE(http[2].find("<volume-size>41943040</volume-size>"), std::string::npos) << http[2];
    EXPECT_NE(http[4].find("<data>" + text + "</data>"), std::string::npos) << http[4];
    EXPECT_EQ(http[6].find("vol0"), std::string::npos) << http[6];
    EXPECT_NE(http[7].find("errno=\"13115\""), std::string::npos) << http[7];

    program_run tool = run_program({REQTOOL, "-Q", "-p", std::to_string(over_qsm.qsm_port()),
                                    "localhost", "root", "secret", "system-get-version"});
    EXPECT_NE(tool.out.find("<results status=\"passed\">"), std::string::npos) << tool.out;
    EXPECT_EQ(tool.status, 0);

    // One log line per socket-mode connection, marked as such.
    over_qsm.stop();
    std::string log = over_qsm.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 11) << log; // 9 calls, 2 stop lines
    EXPECT_NE(log.find(" QSM volume-create failed errno=13115 (Missing input: size)\n"),
              std::string::npos)
        << log;
}

TEST(SimQsm, RefusalsComeAsTheThreeLineHead)
{
    sim_process sim(CORAPI_SIM, {"-q", "0", "-m", "100", "-T", "1"});
    const std::string document = "<corvex version=\"1.0\"><system-get-version/></corvex>";
    const struct {
        std::string request;
        bool end_sending;
        std::string reply; // its start
        std::string logged;
    } cases[] = {
        {head("root", "secret", std::to_string(document.size())) + document, false,
         "CORAPI-D/1.0 200\r\nContent-length: ", " QSM system-get-version passed\n"},
        {head("root", "wrong", "5") + "<a/>x", false,
         "CORAPI-D/1.0 401\r\nContent-length: 0\r\n\r\n",
         " QSM 401 (wrong user or password for user root)\n"},
        {"POST / HTTP/1.1\r\n\r\n", false, "CORAPI-D/1.0 400\r\nContent-length: 0\r\n\r\n",
         " QSM 400 (not a socket-mode request: POST / HTTP/1.1)\n"},
        {"CORAPI-D/1.0\r\nUser: root\r\nPassword: secret\r\n\r\n", false, "CORAPI-D/1.0 400\r\n",
         " QSM 400 (no Content-length)\n"},
        {head("root", "secret", "12x"), false, "CORAPI-D/1.0 400\r\n",
         " QSM 400 (bad Content-length 12x)\n"},
        {head("root", "secret", "101"), false, "CORAPI-D/1.0 413\r\nContent-length: 0\r\n\r\n",
         " QSM 413 (body of 101 bytes over the limit of 100)\n"},
        {"CORAPI-D/1.0\r\nUser: root\r\n", false, "CORAPI-D/1.0 408\r\n",
         " QSM 408 (timed out reading the request head)\n"},
        {head("root", "secret", "50") + "<corvex>", true, "",
         " QSM dropped (request cut short in the request body)\n"},
    };
    for (const auto &c : cases) {
        std::string reply = raw_exchange(sim.qsm_port(), c.request, c.end_sending);
        EXPECT_EQ(reply.substr(0, c.reply.size()), c.reply) << c.request;
        if (c.reply.empty()) {
            EXPECT_EQ(reply, "");
        }
    }
    sim.stop();
    std::string log = sim.log();
    for (const auto &c : cases)
        EXPECT_NE(log.find(c.logged), std::string::npos) << c.logged << "\n" << log;
}
