// corapi-sim's RPC listener, run as a child process, reached through the
// administration library: by reqtool, by callers of another user, and by
// raw frames.

#include <gtest/gtest.h>

#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "sim_process.h"

namespace
{

// A fresh folder for the socket, named to the simulator and the library by
// the environment variable both read.
struct socket_folder {
    std::string dir, path;
    socket_folder()
    {
        char name[] = "/tmp/sim-rpc-XXXXXX";
        dir = mkdtemp(name);
        chmod(dir.c_str(), 0755);
        path = dir + "/rpc.sock";
        setenv("CORAPI_SIM_RPC_SOCKET", path.c_str(), 1);
    }
    ~socket_folder()
    {
        unlink(path.c_str());
        rmdir(dir.c_str());
        unsetenv("CORAPI_SIM_RPC_SOCKET");
    }
};

program_run reqtool(std::vector<std::string> args)
{
    args.insert(args.begin(), REQTOOL);
    return run_program(args);
}

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// Send bytes over the Unix socket, optionally end the sending side, read until it closes.
std::string raw_exchange(const std::string &path, const std::string &bytes, bool end_sending)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return "(no connection)";
    }
    return exchange_on(fd, bytes, end_sending);
}

} // namespace

// One simulator serving HTTPS, socket mode and RPC: reqtool reaches the
// same store through each.
TEST(SimRpc, CallsThroughTheLibraryReachTheStoreOfEveryListener)
{
    socket_folder folder;
    sim_process sim(CORAPI_SIM, {"-s", "-q", "0", "-r"});
    ASSERT_EQ(sim.rpc_path(), folder.path);
    ASSERT_GT(sim.qsm_port(), 0);
    std::string https_port = std::to_string(sim.port());
    std::string qsm_port = std::to_string(sim.qsm_port());

    program_run r = reqtool({"-r", "127.0.0.1", "root", "secret", "system-get-version"});
    EXPECT_EQ(r.out.rfind("<results status=\"passed\">\n        <version>corapi-sim ", 0), 0u)
        << r.out << r.err;
    EXPECT_EQ(r.status, 0);

    // Created over RPC, seen over HTTP; text beyond ASCII travels unchanged.
    const std::string text = "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
    EXPECT_NE(reqtool({"-r", "localhost", "root", "secret", "volume-create", "volume", "vol0",
                       "size", "20m"})
                  .out.find("passed"),
              std::string::npos);
    EXPECT_NE(reqtool({"-r", "localhost", "root", "secret", "file-write-file", "path",
                       "/vol/vol0/a", "data", text, "offset", "0"})
                  .out.find("passed"),
              std::string::npos);
    r = reqtool({"-s", "-p", https_port, "127.0.0.1", "root", "secret", "volume-list-info"});
    EXPECT_NE(r.out.find("<name>vol0</name>"), std::string::npos) << r.out;
    for (const std::vector<std::string> &transport :
         {std::vector<std::string>{"-s", "-p", https_port},
          std::vector<std::string>{"-Q", "-p", qsm_port}, std::vector<std::string>{"-r"}}) {
        std::vector<std::string> args = transport;
        for (const char *a : {"127.0.0.1", "root", "secret", "file-read-file", "path",
                              "/vol/vol0/a", "offset", "0", "length", "100"})
            args.push_back(a);
        r = reqtool(args);
        EXPECT_NE(r.out.find("<data>" + text + "</data>"), std::string::npos) << r.out;
    }

    // Another machine is never reached.
    r = reqtool({"-r", "storage1", "root", "secret", "system-get-version"});
    EXPECT_EQ(r.out, "<results reason=\"RPC Error - The RPC server is unavailable. \" "
                     "status=\"failed\" errno=\"13011\"/>\n\n");

    // A second simulator at the same socket is refused at start and leaves
    // the first one's socket in place.
    sim_process second(CORAPI_SIM, {"-r"});
    EXPECT_EQ(second.wait_exit(std::chrono::seconds(10)), 1);
    EXPECT_NE(second.log().find("another server listens there"), std::string::npos) << second.log();
    r = reqtool({"-r", "localhost", "root", "secret", "system-get-version"});
    EXPECT_NE(r.out.find("passed"), std::string::npos) << r.out;

    EXPECT_EQ(sim.stop(), 0);
    std::string log = sim.log();
    EXPECT_NE(log.find(",uid:" + std::to_string(geteuid()) + " RPC volume-create passed\n"),
              std::string::npos)
        << log;
    // One read over each transport: HTTPS, socket mode and RPC.
    size_t reads = 0;
    for (size_t at = 0; (at = log.find(" file-read-file passed\n", at)) != std::string::npos; at++)
        reads++;
    EXPECT_EQ(reads, 3u) << log;
    EXPECT_NE(log.find(" QSM file-read-file passed\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" RPC file-read-file passed\n"), std::string::npos) << log;
    struct stat gone;
    EXPECT_NE(lstat(folder.path.c_str(), &gone), 0) << "the socket file goes with the simulator";
}

TEST(SimRpc, CallersOfAnotherUserAreRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the caller as another user";
    const passwd *nobody = getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no unprivileged user \"nobody\" on this machine";
    socket_folder folder;
    sim_process sim(CORAPI_SIM, {"-r"});
    program_run r =
        run_program({REQTOOL, "-r", "localhost", "root", "secret", "system-get-version"}, {},
                    nobody->pw_uid, nobody->pw_gid);
    if (r.status == 126)
        GTEST_SKIP() << "cannot switch to user nobody here";
    EXPECT_EQ(r.out, "<results reason=\"RPC Error - Access is denied. \" status=\"failed\" "
                     "errno=\"13011\"/>\n\n")
        << r.err;
    sim.stop();
    EXPECT_NE(sim.log().find("uid:" + std::to_string(nobody->pw_uid) +
                             " RPC error 5 (caller of user " + std::to_string(nobody->pw_uid) +
                             ", not 0)\n"),
              std::string::npos)
        << sim.log();
}

TEST(SimRpc, MalformedFramesAndSlowCallersAreRefused)
{
    socket_folder folder;
    sim_process sim(CORAPI_SIM, {"-r", "-m", "100", "-T", "1"});
    auto refusal = [](uint32_t code) { return "CXA1" + be32(code) + be32(0); };
    const struct {
        std::string request;
        bool end_sending;
        std::string reply;
        std::string logged;
    } cases[] = {
        {"CXA2" + be32(4) + "<a/>", false, refusal(1783),
         " RPC error 1783 (not a request frame)\n"},
        {"CXA1" + be32(101), false, refusal(1783),
         " RPC error 1783 (request of 101 bytes over the limit of 100)\n"},
        {"CXA1" + be32(3) + std::string("a\0b", 3), false, refusal(1783),
         " RPC error 1783 (a zero byte in the request document)\n"},
        {"CXA1" + be32(10) + "<a", true, "",
         " RPC dropped (closed early while reading the request document)\n"},
        {"CXA1", false, refusal(1460), " RPC error 1460 (timed out reading the request frame)\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(raw_exchange(folder.path, c.request, c.end_sending), c.reply) << c.logged;
    sim.stop();
    std::string log = sim.log();
    for (const auto &c : cases)
        EXPECT_NE(log.find(c.logged), std::string::npos) << c.logged << "\n" << log;
}
