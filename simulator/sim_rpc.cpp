// The RPC side of the simulator.

#include "sim_rpc.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "cxadmin/cxadmin_frame.h"
#include "sim_stream.h"

namespace sim
{

namespace
{

using namespace cxadmin;

// Whether a simulator answers at address; a refused connect means the
// socket file was left behind.
bool someone_listens(const sockaddr_un &address)
{
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return true; // cannot tell: leave the file alone
    bool live = connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ||
                errno != ECONNREFUSED;
    close(probe);
    return live;
}

std::string reply_frame(uint32_t status, const std::string &document)
{
    unsigned char head[reply_head_size];
    memcpy(head, magic, sizeof magic);
    put_u32(head + 4, status);
    put_u32(head + 8, static_cast<uint32_t>(document.size()));
    return std::string(reinterpret_cast<char *>(head), sizeof head) + document;
}

class exchange
{
  public:
    exchange(int fd, int abort_fd, const http_settings &settings, const http_handler &handler)
        : conn_(fd, abort_fd), settings_(settings), handler_(handler)
    {
    }

    std::string run()
    {
        conn_.deadline_in(settings_.timeout);
        if (check_caller() && read_request())
            answer();
        conn_.finish();
        return log_;
    }

  private:
    // Answer with a system error code; always false, to end the exchange.
    bool refuse(uint32_t code, const std::string &detail)
    {
        log_ = "RPC error " + std::to_string(code) + " (" + detail + ")";
        deliver(code, "");
        return false;
    }

    bool drop(const std::string &why)
    {
        log_ = "RPC dropped (" + why + ")";
        return false;
    }

    bool read_failed(const std::string &what)
    {
        if (conn_.timed_out())
            return refuse(error_timeout, "timed out reading the " + what);
        return drop(conn_.why() + " while reading the " + what);
    }

    void deliver(uint32_t status, const std::string &document)
    {
        conn_.deadline_in(settings_.timeout);
        if (!conn_.send_all(reply_frame(status, document)))
            log_ += "; reply not delivered: " + conn_.why();
    }

    bool check_caller()
    {
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(conn_.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
            return refuse(error_access_denied, "caller unknown");
        if (peer.uid != geteuid())
            return refuse(error_access_denied, "caller of user " + std::to_string(peer.uid) +
                                                   ", not " + std::to_string(geteuid()));
        return true;
    }

    bool read_request()
    {
        std::string head;
        if (!conn_.read_bytes(head, request_head_size))
            return read_failed("request frame");
        if (memcmp(head.data(), magic, sizeof magic) != 0)
            return refuse(rpc_bad_stub_data, "not a request frame");
        uint32_t size = get_u32(reinterpret_cast<const unsigned char *>(head.data()) + 4);
        if (size > settings_.max_body || size > payload_limit)
            return refuse(rpc_bad_stub_data, "request of " + std::to_string(size) +
                                                 " bytes over the limit of " +
                                                 std::to_string(settings_.max_body));
        if (!conn_.read_bytes(document_, size))
            return read_failed("request document");
        if (document_.find('\0') != std::string::npos)
            return refuse(rpc_bad_stub_data, "a zero byte in the request document");
        return true;
    }

    void answer()
    {
        http_answer a = handler_(document_);
        log_ = "RPC " + a.summary;
        if (a.status == 200)
            deliver(0, a.body);
        else
            deliver(a.status == 500 ? error_not_enough_memory : rpc_call_failed, "");
    }

    stream conn_;
    const http_settings &settings_;
    const http_handler &handler_;
    std::string document_;
    std::string log_;
};

} // namespace

int rpc_listen(const std::string &path, std::string &error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "RPC socket path " + path + ": empty or too long";
        return -1;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat status;
    if (lstat(path.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            error = "RPC socket " + path + ": a file that is not a socket is in the way";
            return -1;
        }
        if (someone_listens(address)) {
            error = "RPC socket " + path + ": another server listens there";
            return -1;
        }
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (!bound || chmod(path.c_str(), 0666) != 0 || listen(fd, 128) != 0) {
        error = "RPC socket " + path + ": " + strerror(errno);
        if (bound)
            unlink(path.c_str());
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

std::string rpc_peer_name(int fd)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return "pid:?,uid:?";
    return "pid:" + std::to_string(peer.pid) + ",uid:" + std::to_string(peer.uid);
}

std::string rpc_serve(int fd, int abort_fd, const http_settings &settings,
                      const http_handler &handler)
{
    exchange x(fd, abort_fd, settings, handler);
    return x.run();
}

} // namespace sim
