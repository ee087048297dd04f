// corapi-sim, run as a child process: calls through the client library
// in-process (and through reqtool when it is built), raw bytes over plain
// sockets for malformed input, and signals for the orderly stop.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "corvex/cx_invoke.h"
#include "corvex/cx_server.h"
#include "elem_helpers.h"
#include "sim_acceptor.h"
#include "alloc_failure.h"
#include "tls_material.h"
#include "fixture_server.h"
#include "sim_process.h"
#include "vovedi/base64.h"
#include "vovedi/pool.h"

#ifndef CORAPI_SIM
#error "CORAPI_SIM must name the simulator program"
#endif

namespace
{

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Whether the simulator was built with a sanitizer that keeps memory back.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool under_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool under_sanitizer = true;
#else
constexpr bool under_sanitizer = false;
#endif
#else
constexpr bool under_sanitizer = false;
#endif

// The simulator as a child process, with a look at its threads and memory.
class simulator : public sim_process
{
  public:
    explicit simulator(std::vector<std::string> args = {})
        : sim_process(CORAPI_SIM, std::move(args))
    {
    }

    // A number from /proc/PID/status ("VmRSS" in KiB, "Threads"), -1 when absent.
    long status_value(const char *name) const
    {
        std::string status = file_text("/proc/" + std::to_string(pid()) + "/status");
        size_t at = status.find(std::string(name) + ":");
        return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(name) + 1);
    }

    // Wait until the process runs more than threads threads.
    bool wait_threads_above(long threads) const
    {
        auto deadline = clock_type::now() + 10s;
        while (status_value("Threads") <= threads && clock_type::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return status_value("Threads") > threads;
    }
};

// ---------------------------------------------------------------------------
// Calls through the client library

struct call_settings {
    std::string user = "root";
    std::string password = "secret";
    int major = 1;
    int minor = 0;
    const char *vslice = nullptr;
    int type = CX_TYPE_VAULT;
    std::string host = "127.0.0.1";
    bool tls = false;
    bool verify = false;           // check the server's certificate
    const char *ca_file = nullptr; // trusted authorities for the check
};

struct reply {
    std::string status, reason, error_number;
    elem_ptr results;

    // Content of the child at a path of names below results, "" when absent.
    std::string at(std::initializer_list<const char *> path) const
    {
        const cx_elem_t *e = results.get();
        for (const char *name : path)
            e = e ? cx_elem_child_get(e, name) : nullptr;
        return e && e->content ? e->content : "";
    }
};

reply call(int port, cx_elem_t *api, const call_settings &s = {})
{
    cx_server_t *server = cx_server_open(s.host.c_str(), s.major, s.minor);
    cx_server_set_login(server, s.user.c_str(), s.password.c_str());
    if (s.tls)
        cx_server_set_transport(server, CX_TRANSPORT_HTTPS);
    if (s.verify)
        cx_server_set_tls_verify(server, s.ca_file);
    cx_server_set_port(server, port);
    cx_server_set_timeout(server, 20);
    cx_server_set_type(server, s.type);
    if (s.vslice)
        cx_server_set_vslice(server, s.vslice);
    reply r;
    r.results.reset(cx_server_invoke_elem(server, api));
    cx_server_close(server);
    cx_elem_free(api);
    if (r.results) {
        r.status = stab_get(r.results->attributes, "status");
        r.reason = stab_get(r.results->attributes, "reason");
        r.error_number = stab_get(r.results->attributes, "errno");
    }
    return r;
}

// ---------------------------------------------------------------------------
// Raw bytes over a plain socket

// Everything the server sends until it closes (or timeout passes).
std::string read_all(int fd, std::chrono::milliseconds timeout = 10s)
{
    std::string got;
    auto deadline = clock_type::now() + timeout;
    char buf[65536];
    while (true) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// Send bytes, optionally end the sending side, and read the whole answer.
std::string raw_exchange(int port, const std::string &bytes, bool end_sending = false)
{
    int fd = connect_loopback(port);
    if (fd < 0)
        return "(no connection)";
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (end_sending)
        shutdown(fd, SHUT_WR);
    std::string got = read_all(fd);
    close(fd);
    return got;
}

std::string basic(const std::string &login)
{
    char *encoded = base64_encode(login.c_str());
    std::string out = encoded;
    VV_FREE(encoded);
    return out;
}

const char vault_path[] = "/servlets/corvex.servlets.admin.XMLrequest_vault";

// A POST of body to the vault endpoint with good credentials.
std::string post(const std::string &body, const std::string &path = vault_path)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + "Authorization: Basic " +
           basic("root:secret") + "\r\n" + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string status_line(const std::string &reply)
{
    return reply.substr(0, reply.find("\r\n"));
}

// The failed result of a raw reply: "errno reason".
std::string failure_of(const std::string &reply)
{
    size_t e = reply.find("errno=\"");
    size_t r = reply.find("reason=\"");
    if (e == std::string::npos || r == std::string::npos)
        return "(no failure in: " + reply + ")";
    std::string number = reply.substr(e + 7, reply.find('"', e + 7) - e - 7);
    return number + " " + reply.substr(r + 8, reply.find('"', r + 8) - r - 8);
}

bool answers_version(int port)
{
    return call(port, api("system-get-version")).status == "passed";
}

} // namespace

TEST(Simulator, VersionAndAuthorisation)
{
    simulator sim;
    ASSERT_GT(sim.port(), 0);

    reply ok = call(sim.port(), api("system-get-version"));
    EXPECT_EQ(ok.status, "passed");
    EXPECT_NE(ok.at({"version"}).find("corapi-sim"), std::string::npos);
    EXPECT_NE(ok.at({"version"}).find(", API 1.20"), std::string::npos);

    for (auto login : {std::pair{"root", "wrong"}, std::pair{"admin", "secret"}}) {
        call_settings s;
        s.user = login.first;
        s.password = login.second;
        reply denied = call(sim.port(), api("system-get-version"), s);
        EXPECT_EQ(denied.status, "failed");
        EXPECT_EQ(denied.reason, "HTTP POST - Authorization failed");
        EXPECT_EQ(denied.error_number, "13002");
    }

    // Other credentials by option; every endpoint of every server type answers.
    simulator other({"-u", "admin", "-w", "pa:ss"});
    call_settings s;
    s.user = "admin";
    s.password = "pa:ss";
    for (int type : {CX_TYPE_VAULT, CX_TYPE_RELAY, CX_TYPE_SENTRY, CX_TYPE_FLEET, CX_TYPE_RING}) {
        s.type = type;
        EXPECT_EQ(call(other.port(), api("system-get-version"), s).status, "passed") << type;
    }

    EXPECT_EQ(sim.stop(), 0);
    std::string log = sim.log();
    EXPECT_NE(log.find("127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(" system-get-version passed\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" HTTP 401 (wrong user or password for user admin)"), std::string::npos)
        << log;
}

TEST(Simulator, OneServerTypeAnswersOnlyAtItsEndpoint)
{
    simulator sim({"-t", "sentry"});
    call_settings s;
    s.type = CX_TYPE_SENTRY;
    EXPECT_EQ(call(sim.port(), api("system-get-version"), s).status, "passed");
    s.type = CX_TYPE_VAULT;
    reply wrong = call(sim.port(), api("system-get-version"), s);
    EXPECT_EQ(wrong.reason, "HTTP POST - URL not found");
    EXPECT_EQ(wrong.error_number, "13011");
    std::string raw =
        raw_exchange(sim.port(), post("<corvex version='1.0'><system-get-version/></corvex>",
                                      "/apis/XMLrequest"));
    EXPECT_NE(raw.find("<!DOCTYPE corvex SYSTEM 'file:/etc/corvex_sentry.dtd'>"), std::string::npos)
        << raw;
}

TEST(Simulator, VolumesCreateListResizeDestroy)
{
    simulator sim;
    int port = sim.port();
    EXPECT_EQ(call(port, api("volume-create", {{"volume", "vol0"}, {"size", "10m"}})).status,
              "passed");
    EXPECT_EQ(call(port, api("volume-create", {{"volume", "vol1"}, {"size", "2097152"}})).status,
              "passed");

    reply list = call(port, api("volume-list-info"));
    ASSERT_EQ(list.status, "passed");
    const cx_elem_t *volumes = cx_elem_child_get(list.results.get(), "volumes");
    ASSERT_NE(volumes, nullptr);
    EXPECT_EQ(child_names(volumes), (std::vector<std::string>{"volume-info", "volume-info"}));
    EXPECT_EQ(list.at({"volumes", "volume-info", "name"}), "vol0");
    EXPECT_EQ(list.at({"volumes", "volume-info", "size-total"}), "10485760");
    EXPECT_EQ(list.at({"volumes", "volume-info", "state"}), "online");

    reply again = call(port, api("volume-create", {{"volume", "vol0"}, {"size", "1g"}}));
    EXPECT_EQ(again.error_number, "14003");
    EXPECT_EQ(again.reason, "Volume vol0 already exists");

    reply resized = call(port, api("volume-size", {{"volume", "vol0"}, {"new-size", "20m"}}));
    EXPECT_EQ(resized.at({"volume-size"}), "20971520");
    EXPECT_EQ(call(port, api("volume-size", {{"volume", "vol0"}})).at({"volume-size"}), "20971520");
    reply one = call(port, api("volume-list-info", {{"volume", "vol0"}}));
    EXPECT_EQ(one.at({"volumes", "volume-info", "size-total"}), "20971520");

    EXPECT_EQ(call(port, api("volume-destroy", {{"volume", "vol0"}})).status, "passed");
    reply after = call(port, api("volume-list-info"));
    EXPECT_EQ(after.at({"volumes", "volume-info", "name"}), "vol1");
    for (cx_elem_t *gone : {api("volume-destroy", {{"volume", "vol0"}}),
                            api("volume-size", {{"volume", "vol0"}, {"new-size", "5m"}}),
                            api("volume-list-info", {{"volume", "vol0"}})}) {
        reply r = call(port, gone);
        EXPECT_EQ(r.error_number, "14002");
        EXPECT_EQ(r.reason, "Volume vol0 does not exist");
    }
}

TEST(Simulator, FilesWriteReadAndQuotas)
{
    simulator sim;
    int port = sim.port();
    call(port, api("volume-create", {{"volume", "v"}, {"size", "1m"}}));

    auto write = [&](const std::string &data, const char *offset, const char *overwrite = nullptr) {
        cx_elem_t *e = api("file-write-file",
                           {{"path", "/vol/v/dir/a.txt"}, {"data", data}, {"offset", offset}});
        if (overwrite)
            cx_elem_child_add_string(e, "overwrite", overwrite);
        return call(port, e);
    };
    auto read = [&](const char *offset, const char *length, const char *path = "/vol/v/dir/a.txt") {
        return call(
            port, api("file-read-file", {{"path", path}, {"offset", offset}, {"length", length}}));
    };

    EXPECT_EQ(write("hello <world> & all", "0").at({"length"}), "19");
    reply piece = read("6", "7");
    EXPECT_EQ(piece.at({"data"}), "<world>");
    EXPECT_EQ(piece.at({"length"}), "7");
    EXPECT_EQ(read("0", "1000").at({"data"}), "hello <world> & all");
    EXPECT_EQ(write("!", "-1").at({"length"}), "1");
    EXPECT_EQ(write("H", "0").status, "passed");
    EXPECT_EQ(read("0", "100").at({"data"}), "Hello <world> & all!");
    EXPECT_EQ(write("new", "0", "true").status, "passed");
    EXPECT_EQ(read("0", "100").at({"data"}), "new");
    reply at_end = read("3", "10");
    EXPECT_EQ(at_end.status, "passed");
    EXPECT_EQ(at_end.at({"length"}), "0");
    // A read never splits a character: "é" is two bytes.
    write("caf\xc3\xa9", "0", "true");
    EXPECT_EQ(read("0", "4").at({"data"}), "caf");
    EXPECT_EQ(read("4", "1").error_number, "13116");

    reply quota = call(port, api("quota-report", {{"volume", "v"}}));
    EXPECT_EQ(quota.at({"quotas", "quota", "volume"}), "v");
    EXPECT_EQ(quota.at({"quotas", "quota", "disk-used"}), "5");
    EXPECT_EQ(quota.at({"quotas", "quota", "disk-limit"}), "1048576");
    EXPECT_EQ(quota.at({"quotas", "quota", "files-used"}), "1");

    reply gap = write("x", "99");
    EXPECT_EQ(gap.error_number, "13116");
    EXPECT_EQ(gap.reason, "Offset 99 is beyond the end of file /vol/v/dir/a.txt (5 bytes)");
    EXPECT_EQ(read("0", "1", "/vol/v/none").error_number, "14005");
    EXPECT_EQ(read("0", "1", "/vol/w/a").error_number, "14002");
    EXPECT_EQ(read("0", "1", "/vol/v/../a").error_number, "13116");
    EXPECT_EQ(write("x", "0", "maybe").error_number, "13116");
    reply full = write(std::string(1100000, 'z'), "0");
    EXPECT_EQ(full.error_number, "14004");
    EXPECT_EQ(full.reason, "Not enough space on Volume v for 1100000 bytes");
    reply shrink = call(port, api("volume-size", {{"volume", "v"}, {"new-size", "1m"}}));
    EXPECT_EQ(shrink.status, "passed");

    // A write may neither start nor end inside a character that stays: the
    // file must stay readable as text. "é" is two bytes.
    write("\xc3\xa9\xc3\xa9", "0", "true");
    reply inside = write("x", "1");
    EXPECT_EQ(inside.error_number, "13116");
    EXPECT_EQ(inside.reason, "Offset 1 falls inside a multi-byte character");
    reply ends_inside = write("x", "0");
    EXPECT_EQ(ends_inside.reason,
              "Data written at offset 0 would end inside a multi-byte character");
    EXPECT_EQ(write("\xc3\xa8", "2").status, "passed"); // a whole character for a whole one
    EXPECT_EQ(write("x", "4").status, "passed");
    EXPECT_EQ(read("0", "100").at({"data"}), "\xc3\xa9\xc3\xa8x");

    // Request values echoed in reasons are cut to 64 bytes.
    std::string long_path = "/vol/v/" + std::string(3000, 'p');
    EXPECT_EQ(read("0", "1", long_path.c_str()).reason,
              "Invalid path: " + long_path.substr(0, 64) + "...");
    std::string missing = "/vol/v/" + std::string(1000, 'm');
    EXPECT_EQ(read("0", "1", missing.c_str()).reason,
              "File " + missing.substr(0, 64) + "... does not exist");
}

TEST(Simulator, EnvelopeAndInputFailures)
{
    simulator sim;
    int port = sim.port();
    struct failure_case {
        cx_elem_t *request;
        call_settings settings;
        const char *error_number;
        const char *reason;
    };
    call_settings old_version, new_version, vslice_ok, vslice_bad, vslice_old;
    old_version.minor = 0;
    old_version.major = 0;
    new_version.minor = 21;
    vslice_ok.minor = vslice_bad.minor = 7;
    vslice_ok.vslice = "vslice0";
    vslice_bad.vslice = "vslice9";
    failure_case cases[] = {
        {api("volume-create", {{"volume", "a"}}), {}, "13115", "Missing input: size"},
        {api("no-such-api"), {}, "13005", "Unable to find API: no-such-api"},
        {api("system-get-version"), old_version, "13001",
         "Version 0.0 is not supported (1.0 to 1.20)"},
        {api("system-get-version"), new_version, "13001",
         "Version 1.21 is not supported (1.0 to 1.20)"},
        {api("system-get-version"), vslice_bad, "14001", "Vslice vslice9 does not exist"},
        {api("volume-create", {{"volume", "a"}, {"size", "12q"}}),
         {},
         "13116",
         "Invalid size for size: 12q"},
        {api("volume-create", {{"volume", "a"}, {"size", "1"}}),
         {},
         "13116",
         "Size 1 of size out of range (1m to 16t)"},
        {api("volume-create", {{"volume", "9a"}, {"size", "1g"}}),
         {},
         "13116",
         "Invalid volume name for volume: 9a"},
        {api("file-read-file", {{"path", "/vol/a/b"}, {"offset", "x1"}, {"length", "1"}}),
         {},
         "13116",
         "Invalid integer for offset: x1"},
        {api("volume-destroy", {{"volume", "a"}, {"color", "red"}}),
         {},
         "13117",
         "Unexpected input: color"},
        {api("volume-destroy", {{"volume", "a"}, {"volume", "b"}}),
         {},
         "13117",
         "Input volume given more than once"},
    };
    for (failure_case &c : cases) {
        reply r = call(port, c.request, c.settings);
        EXPECT_EQ(r.status, "failed") << c.reason;
        EXPECT_EQ(r.error_number, c.error_number) << c.reason;
        EXPECT_EQ(r.reason, c.reason);
    }
    EXPECT_EQ(call(port, api("system-get-version"), vslice_ok).status, "passed");

    // What the client library never sends, sent raw.
    EXPECT_EQ(failure_of(raw_exchange(port, post("<corvex><system-get-version/></corvex>"))),
              "13001 Request has no version attribute");
    EXPECT_EQ(failure_of(
                  raw_exchange(port, post("<corvex version='one'><system-get-version/></corvex>"))),
              "13001 Invalid version one: expected MAJOR.MINOR");
    EXPECT_EQ(
        failure_of(raw_exchange(
            port, post("<corvex version='1.0' vslice='vslice0'><system-get-version/></corvex>"))),
        "13001 A vslice needs version 1.7 or later");
    EXPECT_EQ(failure_of(raw_exchange(
                  port, post("<request version='1.0'><system-get-version/></request>"))),
              "13006 Request root element is request, not corvex");
    EXPECT_EQ(failure_of(raw_exchange(port, post("<corvex version='1.0'/>"))),
              "13006 Request holds no API element");
    EXPECT_EQ(failure_of(raw_exchange(port, post("<corvex version='1.0'><a/><b/></corvex>"))),
              "13006 Request holds more than one API element");
    std::string bad_xml =
        raw_exchange(port, post("<corvex version='1.0'><system-get-version></corvex>"));
    EXPECT_EQ(status_line(bad_xml), "HTTP/1.1 200 OK");
    EXPECT_EQ(failure_of(bad_xml).substr(0, 31), "13006 Unable to parse request: ") << bad_xml;
    EXPECT_EQ(failure_of(raw_exchange(port, post(std::string("<corvex\0>", 9)))),
              "13006 Unable to parse request: it holds a zero byte");
    // The elements of a request are bounded before any is built.
    auto with_elements = [](size_t count) {
        std::string inputs;
        for (size_t i = 0; i < count; i++)
            inputs += "<e a=''/>";
        return "<corvex version='1.0'><system-get-version>" + inputs +
               "</system-get-version></corvex>";
    };
    EXPECT_EQ(failure_of(raw_exchange(port, post(with_elements(19998)))),
              "13117 Unexpected input: e");
    EXPECT_EQ(failure_of(raw_exchange(port, post(with_elements(19999)))),
              "13006 Request holds more than 20000 elements");
}

TEST(Simulator, MalformedCutAndHugeRequests)
{
    simulator sim({"-m", "1048576"});
    int port = sim.port();
    const std::string auth = "Authorization: Basic " + basic("root:secret") + "\r\n";
    const std::string doc = "<corvex version='1.0'><system-get-version/></corvex>";
    struct raw_case {
        std::string bytes;
        const char *status;
    };
    raw_case cases[] = {
        {"\x01\x02garbage\r\n\r\n", ""}, // no request line: closed without an answer
        {"POST / HTTP/1.1\r\nHost: x\r\nbad header\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"POST /nowhere HTTP/1.1\r\nHost: x\r\n" + auth + "Content-Length: 0\r\n\r\n",
         "HTTP/1.1 404 Not Found"},
        {std::string("GET ") + vault_path + " HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed"},
        {std::string("POST ") + vault_path + " HTTP/2.0\r\nHost: x\r\n\r\n",
         "HTTP/1.1 505 HTTP Version Not Supported"},
        {std::string("POST ") + vault_path + " HTTP/1.1\r\n" + auth + "Content-Length: 1\r\n\r\nx",
         "HTTP/1.1 400 Bad Request"},
        {std::string("POST ") + vault_path +
             " HTTP/1.1\r\nHost: x\r\nAuthorization: Basic !!!\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 401 Unauthorized"},
        {std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n",
         "HTTP/1.1 411 Length Required"},
        {std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\n" + auth +
             "Content-Length: -5\r\n\r\n",
         "HTTP/1.1 400 Bad Request"},
        // A refused body is read and dropped before the answer.
        {std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\n" + auth +
             "Content-Length: 1048577\r\n\r\n" + std::string(1048577, 'x'),
         "HTTP/1.1 413 Content Too Large"},
        {std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\n" + auth +
             "Content-Length: 99999999999999999999999\r\n\r\n",
         "HTTP/1.1 413 Content Too Large"},
        {std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\n" + auth +
             "Transfer-Encoding: gzip\r\n\r\n",
         "HTTP/1.1 501 Not Implemented"},
        {std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\n" + auth +
             "Transfer-Encoding: chunked\r\n\r\nzz\r\n",
         "HTTP/1.1 400 Bad Request"},
        {std::string("POST ") + vault_path +
             " HTTP/1.1\r\nHost: x\r\nX: " + std::string(20000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\n" + auth +
             "Expect: 100-continue\r\nContent-Length: " + std::to_string(doc.size()) + "\r\n\r\n" +
             doc,
         "HTTP/1.1 100 Continue"},
    };
    for (const raw_case &c : cases) {
        std::string got = raw_exchange(port, c.bytes);
        EXPECT_EQ(status_line(got), c.status) << c.bytes.substr(0, 200);
        // Every answer carries the exact length of its body.
        size_t head_end = got.rfind("\r\n\r\n");
        size_t length_at = got.find("Content-Length: ");
        if (head_end != std::string::npos && length_at != std::string::npos) {
            EXPECT_EQ(std::to_string(got.size() - head_end - 4),
                      got.substr(length_at + 16, got.find("\r\n", length_at) - length_at - 16));
        }
    }

    // A chunked body is put together; a cut head or body gets no answer.
    std::string chunked_head = std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\n" +
                               auth + "Transfer-Encoding: chunked\r\n\r\n";
    char rest_size[16];
    snprintf(rest_size, sizeof rest_size, "%zx", doc.size() - 16);
    std::string chunked =
        raw_exchange(port, chunked_head + "10\r\n" + doc.substr(0, 16) + "\r\n" + rest_size +
                               ";ext=1\r\n" + doc.substr(16) + "\r\n0\r\nTrailer: x\r\n\r\n");
    EXPECT_NE(chunked.find("<results status=\"passed\"><version>"), std::string::npos) << chunked;
    EXPECT_EQ(raw_exchange(port, chunked_head + "ff\r\n" + doc + "\r\n", true), "");
    EXPECT_EQ(raw_exchange(port, "POST " + std::string(vault_path) + " HTTP/1.1\r\nHo", true), "");
    EXPECT_EQ(raw_exchange(port, post(doc).substr(0, post(doc).size() - 10), true), "");
    EXPECT_EQ(raw_exchange(port, "", true), "");

    // A body over the bound sent in full by the client library.
    reply huge = call(
        port, api("file-write-file",
                  {{"path", "/vol/v/a"}, {"data", std::string(2 << 20, 'x')}, {"offset", "0"}}));
    EXPECT_EQ(huge.reason, "HTTP POST - Request entity too large");
    EXPECT_EQ(huge.error_number, "13011");

    EXPECT_TRUE(answers_version(port));
    std::string log = sim.log();
    EXPECT_NE(log.find("dropped (request head cut short)"), std::string::npos) << log;
    EXPECT_NE(log.find("dropped (request cut short in the request body)"), std::string::npos)
        << log;
    EXPECT_NE(log.find("dropped (no request line: closed"), std::string::npos) << log;
    EXPECT_NE(log.find("dropped (request cut short in the chunked body)"), std::string::npos)
        << log;
    EXPECT_EQ(sim.stop(), 0);
}

TEST(Simulator, SlowClientsTimeOutWithoutBlockingOthers)
{
    simulator sim({"-T", "1", "-c", "2"});
    int port = sim.port();
    // One client trickles its head a byte at a time, never idle for long;
    // another sends nothing.
    int slow = connect_loopback(port);
    int silent = connect_loopback(port);
    std::thread trickler([&] {
        std::string head = std::string("POST ") + vault_path + " HTTP/1.1\r\nHost: x\r\nX: ";
        head += std::string(200, 'a');
        for (char c : head) {
            if (send(slow, &c, 1, MSG_NOSIGNAL) != 1)
                break;
            std::this_thread::sleep_for(50ms);
        }
    });
    auto started = clock_type::now();
    // Both slots are taken: this call waits in the queue until one frees.
    EXPECT_TRUE(answers_version(port));
    // Past the deadline a connection is closed without an answer, however
    // busy it keeps.
    EXPECT_EQ(read_all(silent), "");
    EXPECT_EQ(read_all(slow), "");
    EXPECT_LT(clock_type::now() - started, 5s);
    shutdown(slow, SHUT_RDWR);
    trickler.join();
    close(slow);
    close(silent);
    EXPECT_TRUE(answers_version(port));
    EXPECT_NE(sim.log().find("dropped (timed out while reading the request head)"),
              std::string::npos)
        << sim.log();
}

TEST(Simulator, ManySequentialAndConcurrentCallsWithFlatMemory)
{
    simulator sim;
    int port = sim.port();
    call(port, api("volume-create", {{"volume", "v"}, {"size", "1g"}}));
    // Each client writes its own files, then reads back what it wrote.
    auto one_round = [&](int client, int k) {
        std::string path = "/vol/v/c" + std::to_string(client) + "-f" + std::to_string(k % 16);
        bool ok = call(port, api("file-write-file", {{"path", path},
                                                     {"data", "data " + std::to_string(k)},
                                                     {"offset", "0"},
                                                     {"overwrite", "true"}}))
                      .status == "passed";
        ok = ok &&
             call(port, api("file-read-file", {{"path", path}, {"offset", "0"}, {"length", "100"}}))
                     .at({"data"}) == "data " + std::to_string(k);
        return ok;
    };
    auto concurrent = [&](int clients, int rounds) {
        std::atomic<int> good{0};
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; c++)
            threads.emplace_back([&, c] {
                for (int k = 0; k < rounds; k++)
                    good += one_round(c, k) ? 1 : 0;
            });
        for (std::thread &t : threads)
            t.join();
        return good.load();
    };

    // Warm up: every kind of call, and as many threads at once as later.
    for (int k = 0; k < 100; k++)
        one_round(0, k);
    EXPECT_EQ(concurrent(8, 10), 80);
    long before = sim.status_value("VmRSS");

    int passed = 0;
    for (int k = 0; k < 500; k++)
        passed += one_round(0, k) ? 1 : 0;
    EXPECT_EQ(passed, 500); // 1,000 calls, one after the other
    EXPECT_EQ(concurrent(8, 50), 400);
    long after = sim.status_value("VmRSS");

    ASSERT_GT(before, 0);
    // Allocators under the sanitizers hold freed memory back on purpose;
    // there the leak check at exit (status 0 below) stands in.
    if (!under_sanitizer) {
        EXPECT_LT(after - before, 4096)
            << "VmRSS grew from " << before << " to " << after << " KiB";
    }
    EXPECT_EQ(sim.stop(), 0);
}

TEST(Simulator, StopsCleanlyOnSignals)
{
    {
        simulator sim;
        EXPECT_TRUE(answers_version(sim.port()));
        auto started = clock_type::now();
        EXPECT_EQ(sim.stop(SIGTERM), 0);
        EXPECT_LT(clock_type::now() - started, 3s);
        EXPECT_NE(sim.log().find("stopped"), std::string::npos);
    }
    {
        // A request still being received holds the stop back only briefly.
        simulator sim;
        long idle_threads = sim.status_value("Threads");
        int slow = connect_loopback(sim.port());
        send(slow, "POST ", 5, MSG_NOSIGNAL);
        ASSERT_TRUE(sim.wait_threads_above(idle_threads)); // the connection is being served
        auto started = clock_type::now();
        EXPECT_EQ(sim.stop(SIGINT), 0);
        EXPECT_LT(clock_type::now() - started, 6s);
        close(slow);
        EXPECT_NE(sim.log().find("dropped (server stopping while reading the request head)"),
                  std::string::npos)
            << sim.log();
    }
}

TEST(Simulator, RefusesBadOptionsAndBusyPorts)
{
    simulator first;
    ASSERT_GT(first.port(), 0);
    auto run = [](std::vector<std::string> args) {
        std::string command = std::string(CORAPI_SIM);
        for (const std::string &a : args)
            command += " " + a;
        command += " >/dev/null 2>&1";
        int status = system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run({"-p", std::to_string(first.port())}), 1);
    EXPECT_EQ(run({"-p", "70000"}), 2);
    EXPECT_EQ(run({"-t", "nas"}), 2);
    EXPECT_EQ(run({"-x"}), 2);
    EXPECT_EQ(run({"--help"}), 0);
}

// HTTPS: the same calls over TLS, with a certificate made at start or given.
TEST(Simulator, HttpsWithMadeAndGivenCertificates)
{
    simulator made({"-s"});
    call_settings tls;
    tls.tls = true;
    reply r = call(made.port(), api("system-get-version"), tls);
    EXPECT_EQ(r.status, "passed") << r.reason;
    EXPECT_NE(r.at({"version"}).find("corapi-sim"), std::string::npos);
    // Plain HTTP on the HTTPS port gets no answer.
    EXPECT_EQ(call(made.port(), api("system-get-version")).reason,
              "HTTP POST - Unable to send the API request(err=0).");

    const tls_material &files = tls_files();
    ASSERT_TRUE(files.ok);
    simulator given({"-C", files.server_cert, "-k", files.server_key});
    EXPECT_EQ(call(given.port(), api("system-get-version"), tls).status, "passed");
    EXPECT_EQ(made.stop(), 0);
    EXPECT_EQ(given.stop(), 0);

    // A key that is not the certificate's is refused at start.
    simulator mismatched({"-C", files.server_cert, "-k", files.other_key});
    EXPECT_EQ(mismatched.port(), 0);
    EXPECT_EQ(mismatched.wait_exit(10s), 1);
}

// With the check asked for, the server's certificate must lead to a trusted
// authority and name the host; each refusal says why.
TEST(Simulator, CertificateChecksOnRequest)
{
    const tls_material &files = tls_files();
    ASSERT_TRUE(files.ok);
    simulator self_signed({"-s"});
    simulator signed_for_localhost({"-C", files.server_cert, "-k", files.server_key});
    simulator signed_for_other({"-C", files.other_cert, "-k", files.other_key});
    const std::string refused = "Can't connect to host (err=1): the server's certificate was "
                                "refused: ";
    struct check_case {
        const simulator &server;
        const char *host;
        const char *ca_file; // null: the system's store
        std::string reason;  // empty: passed
    } cases[] = {
        {signed_for_localhost, "localhost", files.ca.c_str(), ""},
        {signed_for_localhost, "127.0.0.1", files.ca.c_str(), ""},
        {self_signed, "127.0.0.1", files.ca.c_str(),
         refused + "it is self-signed, and not one of the trusted certificates."},
        {self_signed, "localhost", nullptr,
         refused + "it is self-signed, and not one of the trusted certificates."},
        {signed_for_other, "localhost", files.ca.c_str(),
         refused + "it is for another host than localhost."},
        {signed_for_localhost, "localhost", files.stranger_ca.c_str(),
         refused + "its issuer is unknown: no trusted authority signed it."},
        {signed_for_localhost, "localhost", "/nonexistent/ca.pem",
         "Can't connect to host (err=10061): the trusted certificates cannot be loaded from "
         "/nonexistent/ca.pem."},
    };
    for (const check_case &c : cases) {
        call_settings s;
        s.tls = s.verify = true;
        s.host = c.host;
        s.ca_file = c.ca_file;
        reply r = call(c.server.port(), api("system-get-version"), s);
        SCOPED_TRACE(std::string(c.host) + " " + (c.ca_file ? c.ca_file : "system"));
        EXPECT_EQ(r.status, c.reason.empty() ? "passed" : "failed");
        // Reasons are stored escaped, as the writer needs them.
        std::string escaped = c.reason;
        for (size_t at = 0; (at = escaped.find('\'', at)) != std::string::npos; at += 6)
            escaped.replace(at, 1, "&apos;");
        EXPECT_EQ(r.reason, escaped);
    }
    // A call that fails before it connects says nothing of certificates.
    call_settings no_host;
    no_host.tls = no_host.verify = true;
    no_host.host = "";
    EXPECT_EQ(call(self_signed.port(), api("system-get-version"), no_host).reason,
              "Can&apos;t connect to host (err=22).");

    // Unchecked, any certificate is taken, as appliances' own are self-signed.
    call_settings unchecked;
    unchecked.tls = true;
    unchecked.host = "localhost";
    EXPECT_EQ(call(signed_for_other.port(), api("system-get-version"), unchecked).status, "passed");
}

TEST(Simulator, AllocationFailureAtEveryStepOfAnHttpsCall)
{
    const tls_material &files = tls_files();
    ASSERT_TRUE(files.ok);
    simulator sim({"-C", files.server_cert, "-k", files.server_key});
    cx_server_t *server = cx_server_open("localhost", 1, 0);
    cx_server_set_login(server, "root", "secret");
    cx_server_set_transport(server, CX_TRANSPORT_HTTPS);
    cx_server_set_port(server, sim.port());
    cx_server_set_timeout(server, 20);
    cx_server_set_tls_verify(server, files.ca.c_str());
    cx_elem_t *request = api("volume-list-info");
    auto runs = alloc_failure_sweep([&] {
        cx_elem_t *result = cx_server_invoke_elem(server, request);
        bool passed = result && strcmp(stab_get(result->attributes, "status"), "passed") == 0;
        EXPECT_NE(result, nullptr);
        cx_elem_free(result);
        return passed;
    });
    EXPECT_GT(runs.failing_runs, 10);
    cx_elem_free(request);
    cx_server_close(server);
}

// The accepting machinery for the simulator's own protocols, driven
// directly: a bound on connections served at once (the rest wait in the
// listen queue), one log line per connection, and a stop that ends every
// running handler at once.
TEST(Simulator, AcceptorBoundsConnectionsAndStopsRunningOnes)
{
    char log_name[] = "/tmp/corapi-acceptor-log-XXXXXX";
    int log_fd = mkstemp(log_name);
    ASSERT_GE(log_fd, 0);
    int saved_stderr = dup(STDERR_FILENO);
    dup2(log_fd, STDERR_FILENO);

    // Each connection: answer its first byte with "ok", then wait until the
    // peer closes or the acceptor stops.
    sim::acceptor::settings settings;
    settings.max_connections = 2;
    sim::acceptor acc(settings, [](int fd, int abort_fd) {
        char c;
        pollfd p[2] = {{fd, POLLIN, 0}, {abort_fd, POLLIN, 0}};
        poll(p, 2, 10000);
        bool stopped = p[1].revents != 0;
        if (!stopped && recv(fd, &c, 1, 0) == 1) {
            send(fd, "ok", 2, MSG_NOSIGNAL);
            poll(p, 2, 10000);
            stopped = p[1].revents != 0;
        }
        close(fd);
        return std::string(stopped ? "ended by the stop" : "served");
    });
    std::string error;
    ASSERT_TRUE(acc.start(error)) << error;
    int port = atoi(acc.endpoint().c_str() + acc.endpoint().rfind(':') + 1);

    // The answer of one connection, or "" when none comes within timeout.
    auto answer = [](int fd, std::chrono::milliseconds timeout) {
        pollfd p{fd, POLLIN, 0};
        char got[2];
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0 ||
            recv(fd, got, 2, MSG_WAITALL) != 2)
            return std::string();
        return std::string(got, 2);
    };
    int a = connect_loopback(port), b = connect_loopback(port), c = connect_loopback(port);
    for (int fd : {a, b, c})
        send(fd, "x", 1, MSG_NOSIGNAL);
    EXPECT_EQ(answer(a, 2s), "ok");
    EXPECT_EQ(answer(b, 2s), "ok");
    EXPECT_EQ(answer(c, 300ms), ""); // at the bound: still in the listen queue
    EXPECT_EQ(acc.running(), 2u);
    close(a);
    EXPECT_EQ(answer(c, 2s), "ok"); // a slot freed
    auto started = clock_type::now();
    acc.stop();
    EXPECT_LT(clock_type::now() - started, 2s);
    EXPECT_EQ(acc.running(), 0u);
    close(b);
    close(c);

    dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    std::string log = file_text(log_name);
    unlink(log_name);
    close(log_fd);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_NE(log.find(" served\n"), std::string::npos) << log;
    size_t first = log.find(" ended by the stop\n");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(" ended by the stop\n", first + 1), std::string::npos) << log;
}

#ifdef REQTOOL
namespace
{

// reqtool's standard output and exit status.
std::pair<std::string, int> run_reqtool(int port, const std::string &operands,
                                        const std::string &options = "")
{
    std::string command = std::string(REQTOOL) + " " + options + " -p " + std::to_string(port) +
                          " 127.0.0.1 " + operands;
    FILE *out = popen(command.c_str(), "r");
    std::string text;
    char buf[4096];
    size_t n;
    while (out && (n = fread(buf, 1, sizeof buf, out)) > 0)
        text.append(buf, n);
    int status = out ? pclose(out) : -1;
    return {text, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

} // namespace

// reqtool -s: the same output over HTTPS as over HTTP, plain and with the
// request shown; with CORVEX_CA_FILE the server's certificate is checked.
TEST(Simulator, HttpsThroughReqtool)
{
    simulator plain;
    simulator tls({"-s"});
    for (const char *options : {"", "-x"}) {
        auto [over_http, http_status] =
            run_reqtool(plain.port(), "root secret system-get-version", options);
        auto [over_https, https_status] =
            run_reqtool(tls.port(), "root secret system-get-version", std::string("-s ") + options);
        EXPECT_EQ(https_status, 0);
        EXPECT_NE(over_https.find("status=\"passed\""), std::string::npos) << over_https;
        auto without_port = [](std::string text) {
            return text.substr(text.find('\n') + 1); // "Port used : N" comes first
        };
        EXPECT_EQ(without_port(over_https), without_port(over_http));
    }
    const tls_material &files = tls_files();
    ASSERT_TRUE(files.ok);
    setenv("CORVEX_CA_FILE", files.ca.c_str(), 1);
    std::string refused = run_reqtool(tls.port(), "root secret system-get-version", "-s").first;
    unsetenv("CORVEX_CA_FILE");
    EXPECT_NE(refused.find("reason=\"Can&apos;t connect to host (err=1): the server&apos;s "
                           "certificate was refused: it is self-signed"),
              std::string::npos)
        << refused;
}

TEST(Simulator, ThroughReqtool)
{
    simulator sim;
    auto [version, status] = run_reqtool(sim.port(), "root secret system-get-version");
    EXPECT_EQ(status, 0);
    EXPECT_NE(version.find("status=\"passed\""), std::string::npos) << version;
    EXPECT_NE(version.find("<version>corapi-sim "), std::string::npos) << version;

    auto [denied, denied_status] = run_reqtool(sim.port(), "root wrong system-get-version");
    EXPECT_EQ(denied_status, 0);
    EXPECT_NE(denied.find("reason=\"HTTP POST - Authorization failed\" status=\"failed\" "
                          "errno=\"13002\""),
              std::string::npos)
        << denied;

    EXPECT_NE(run_reqtool(sim.port(), "root secret volume-create volume vol0 size 20m")
                  .first.find("status=\"passed\""),
              std::string::npos);
    // Each step of a volume's life shows in the next listing.
    std::string listed = run_reqtool(sim.port(), "root secret volume-list-info").first;
    EXPECT_NE(listed.find("<name>vol0</name>"), std::string::npos) << listed;
    EXPECT_NE(listed.find("<size-total>20971520</size-total>"), std::string::npos) << listed;
    std::string resized =
        run_reqtool(sim.port(), "root secret volume-size volume vol0 new-size 40m").first;
    EXPECT_NE(resized.find("<volume-size>41943040</volume-size>"), std::string::npos) << resized;
    listed = run_reqtool(sim.port(), "root secret volume-list-info").first;
    EXPECT_NE(listed.find("<size-total>41943040</size-total>"), std::string::npos) << listed;
    EXPECT_NE(run_reqtool(sim.port(), "root secret volume-destroy volume vol0")
                  .first.find("status=\"passed\""),
              std::string::npos);
    listed = run_reqtool(sim.port(), "root secret volume-list-info").first;
    EXPECT_EQ(listed.find("vol0"), std::string::npos) << listed;
    run_reqtool(sim.port(), "root secret volume-create volume vol0 size 20m");

    auto [quota, quota_status] = run_reqtool(sim.port(), "root secret quota-report volume vol0");
    EXPECT_EQ(quota_status, 0);
    EXPECT_NE(quota.find("<disk-limit>20971520</disk-limit>"), std::string::npos) << quota;
    auto [missing, missing_status] =
        run_reqtool(sim.port(), "root secret quota-report volume vol1");
    EXPECT_EQ(missing_status, 0);
    EXPECT_NE(missing.find("reason=\"Volume vol1 does not exist\" status=\"failed\" "
                           "errno=\"14002\""),
              std::string::npos)
        << missing;
}
#endif
