// The simulator's administration library, called through its entry against
// a scripted server on a Unix domain socket.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{

using entry_fn = unsigned (*)(const char16_t *, const char16_t *, char16_t **);

entry_fn entry()
{
    static void *library = dlopen(CXADMIN_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library, nullptr) << dlerror();
    return library ? reinterpret_cast<entry_fn>(dlsym(library, "RovaInvoke")) : nullptr;
}

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::string reply_frame(uint32_t status, const std::string &payload)
{
    return "CXA1" + be32(status) + be32(static_cast<uint32_t>(payload.size())) + payload;
}

// A server at a fresh socket path (named by the environment variable the
// library reads) that answers each connection with the handler.
struct scripted_server {
    std::string path;
    int fd = -1;
    std::atomic<int> connections{0};
    std::string received; // of the last connection
    std::thread thread;

    explicit scripted_server(std::function<void(int, std::string &)> handler,
                             bool listen_now = true)
    {
        char dir[] = "/tmp/cxadmin-test-XXXXXX";
        path = std::string(mkdtemp(dir)) + "/rpc.sock";
        setenv("CORAPI_SIM_RPC_SOCKET", path.c_str(), 1);
        if (!listen_now)
            return;
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 4), 0);
        thread = std::thread([this, handler] {
            pollfd p{fd, POLLIN, 0};
            while (poll(&p, 1, 100) >= 0 && fd >= 0) {
                if (!(p.revents & POLLIN))
                    continue;
                int conn = accept(fd, nullptr, nullptr);
                if (conn < 0)
                    return;
                connections++;
                received.clear();
                handler(conn, received);
                close(conn);
            }
        });
    }
    ~scripted_server()
    {
        if (thread.joinable()) {
            shutdown(fd, SHUT_RDWR);
            int f = fd;
            fd = -1;
            thread.join();
            close(f);
        }
        unlink(path.c_str());
        rmdir(path.substr(0, path.rfind('/')).c_str());
        unsetenv("CORAPI_SIM_RPC_SOCKET");
    }
};

// Read one request frame into received, then send reply.
std::function<void(int, std::string &)> answer(const std::string &reply)
{
    return [reply](int conn, std::string &received) {
        char buf[4096];
        ssize_t n;
        auto whole = [&received] {
            if (received.size() < 8)
                return false;
            uint32_t length = 0;
            for (int i = 4; i < 8; i++)
                length = length << 8 | static_cast<unsigned char>(received[i]);
            return received.size() >= 8 + length;
        };
        while (!whole()) {
            if ((n = recv(conn, buf, sizeof buf, 0)) <= 0)
                break;
            received.append(buf, static_cast<size_t>(n));
        }
        send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
    };
}

struct call_result {
    unsigned code;
    std::u16string reply;
    bool has_reply;
};

call_result invoke(const char16_t *host, const char16_t *document = u"<corvex/>")
{
    char16_t *reply = nullptr;
    unsigned code = entry()(host, document, &reply);
    call_result r{code, reply ? std::u16string(reply) : u"", reply != nullptr};
    free(reply);
    return r;
}

} // namespace

TEST(Cxadmin, OnlyTheLocalMachineIsReached)
{
    scripted_server server(answer(reply_frame(0, "<corvex/>")));
    char own[256] = "";
    gethostname(own, sizeof own - 1);
    std::u16string own16(own, own + strlen(own)); // host names are ASCII
    const struct {
        std::u16string host;
        unsigned code;
    } cases[] = {{u"localhost", 0},   {u"LocalHost", 0},   {u"127.0.0.1", 0},
                 {u"127.3.2.1", 0},   {u"::1", 0},         {u"", 0},
                 {own16, 0},          {u"storage1", 1722}, {u"192.0.2.7", 1722},
                 {u"128.0.0.1", 1722}};
    int reached = 0;
    for (const auto &c : cases) {
        call_result r = invoke(c.host.c_str());
        EXPECT_EQ(r.code, c.code) << std::string(c.host.begin(), c.host.end());
        EXPECT_EQ(r.has_reply, c.code == 0);
        reached += c.code == 0;
    }
    EXPECT_EQ(server.connections, reached);
    EXPECT_EQ(entry()(nullptr, u"<corvex/>", nullptr), 87u);
}

TEST(Cxadmin, FramesBothWays)
{
    // The document goes out as UTF-8 behind its length; the reply comes back as UTF-16.
    scripted_server server(answer(reply_frame(0, "<corvex>caf\xC3\xA9 \xF0\x9F\x98\x80</corvex>")));
    call_result r = invoke(u"localhost", u"<a>\u00E9\u65E5</a>");
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.reply, u"<corvex>caf\u00E9 \U0001F600</corvex>");
    EXPECT_EQ(server.received, "CXA1" + be32(12) + "<a>\xC3\xA9\xE6\x97\xA5</a>");
}

TEST(Cxadmin, RefusalsAndBrokenReplies)
{
    const struct {
        std::string reply;
        unsigned code;
    } cases[] = {
        {reply_frame(5, ""), 5},                             // the simulator refused us
        {reply_frame(1783, ""), 1783},                       // it refused our frame
        {"", 1726},                                          // closed without a reply
        {"CXA2" + be32(0) + be32(2) + "<a", 1726},           // not a reply frame
        {"CXA1" + be32(0), 1726},                            // head cut short
        {"CXA1" + be32(0) + be32(10) + "<corvex/", 1726},    // payload cut short
        {"CXA1" + be32(0) + be32(0x7FFFFFFF), 1726},         // beyond any bound
        {reply_frame(0, std::string("<a>\0</a>", 8)), 1726}, // a NUL inside
    };
    for (const auto &c : cases) {
        scripted_server server(answer(c.reply));
        call_result r = invoke(u"127.0.0.1");
        EXPECT_EQ(r.code, c.code) << testing::PrintToString(c.reply);
        EXPECT_FALSE(r.has_reply);
    }
    scripted_server nobody(nullptr, false); // a path where nothing listens
    EXPECT_EQ(invoke(u"localhost").code, 1722u);
}
