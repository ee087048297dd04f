// The administration library that goes with corapi-sim: its entry
// RovaInvoke hands a request document to a simulator on this machine over
// a Unix domain socket (cxadmin_frame.h) and returns the reply document.
// The simulator knows the caller from the socket's peer credentials, so no
// password travels. Plain C style inside: nothing here may throw into the
// caller, and the reply is the caller's to release with free().

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "cxadmin_frame.h"
#include "vovedi/utf16.h"

namespace
{

using namespace cxadmin;

// One call may take this long in all before it is given up.
constexpr int exchange_timeout_ms = 60000;

int64_t now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A new NUL-terminated UTF-8 copy (malloc) of a UTF-16 text; null without memory.
char *utf8_copy(const char16_t *text)
{
    size_t units = utf16_length(text, static_cast<size_t>(-1));
    size_t bytes = utf8_from_utf16(text, units, nullptr, 0);
    auto *copy = static_cast<char *>(malloc(bytes + 1));
    if (!copy)
        return nullptr;
    utf8_from_utf16(text, units, copy, bytes);
    copy[bytes] = '\0';
    return copy;
}

// A new NUL-terminated UTF-16 copy (malloc) of a UTF-8 text; null without memory.
char16_t *utf16_copy(const char *text)
{
    size_t length = strlen(text);
    size_t units = utf16_from_utf8(text, length, nullptr, 0);
    auto *copy = static_cast<char16_t *>(malloc((units + 1) * sizeof(char16_t)));
    if (!copy)
        return nullptr;
    utf16_from_utf8(text, length, copy, units);
    copy[units] = u'\0';
    return copy;
}

// This machine: no name, "localhost", a loopback address, or its own name.
bool is_local_host(const char *host)
{
    if (!*host || strcasecmp(host, "localhost") == 0 || strcmp(host, "::1") == 0 ||
        strcmp(host, "[::1]") == 0)
        return true;
    in_addr address{};
    if (inet_pton(AF_INET, host, &address) == 1)
        return (ntohl(address.s_addr) >> 24) == 127;
    char own[256] = "";
    return gethostname(own, sizeof own - 1) == 0 && strcasecmp(host, own) == 0;
}

// Wait until fd is ready for events, at most until deadline.
uint32_t wait_for(int fd, short events, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0)
            return error_timeout;
        pollfd entry{fd, events, 0};
        int rc = poll(&entry, 1, static_cast<int>(left));
        if (rc > 0)
            return 0;
        if (rc < 0 && errno != EINTR)
            return rpc_call_failed;
    }
}

uint32_t send_all(int fd, const void *data, size_t size, int64_t deadline)
{
    const auto *at = static_cast<const unsigned char *>(data);
    while (size > 0) {
        ssize_t n = send(fd, at, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            at += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (uint32_t rc = wait_for(fd, POLLOUT, deadline))
                return rc;
        } else {
            return rpc_call_failed;
        }
    }
    return 0;
}

uint32_t receive_all(int fd, void *data, size_t size, int64_t deadline)
{
    auto *at = static_cast<unsigned char *>(data);
    while (size > 0) {
        ssize_t n = recv(fd, at, size, MSG_DONTWAIT);
        if (n > 0) {
            at += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (uint32_t rc = wait_for(fd, POLLIN, deadline))
                return rc;
        } else {
            return rpc_call_failed; // ended early, or broken
        }
    }
    return 0;
}

// Connect to the simulator of this user (or of the superuser) at the
// socket's path: 0 with *fd, or the error code.
uint32_t connect_simulator(int *fd)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!socket_path(address.sun_path, sizeof address.sun_path))
        return rpc_server_unavailable;
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return errno == ENOMEM || errno == ENOBUFS ? error_not_enough_memory
                                                   : rpc_server_unavailable;
    if (connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        int error = errno;
        close(sock);
        return error == EACCES || error == EPERM ? error_access_denied : rpc_server_unavailable;
    }
    // Whoever else listens at that path is not the server this user meant.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        (peer.uid != geteuid() && peer.uid != 0)) {
        close(sock);
        return rpc_server_unavailable;
    }
    *fd = sock;
    return 0;
}

// Read the reply frame: 0 with the document in *text (malloc), or the
// status the simulator sent, or the error code of a broken exchange.
uint32_t receive_reply(int fd, int64_t deadline, char **text)
{
    unsigned char head[reply_head_size];
    if (uint32_t rc = receive_all(fd, head, sizeof head, deadline))
        return rc;
    if (memcmp(head, magic, sizeof magic) != 0)
        return rpc_call_failed;
    uint32_t status = get_u32(head + 4);
    uint32_t size = get_u32(head + 8);
    if (status != 0)
        return status;
    if (size > payload_limit)
        return rpc_call_failed;
    auto *document = static_cast<char *>(malloc(size + 1));
    if (!document)
        return error_not_enough_memory;
    uint32_t rc = receive_all(fd, document, size, deadline);
    document[size] = '\0';
    if (rc == 0 && strlen(document) != size)
        rc = rpc_call_failed; // a NUL inside is no document
    if (rc != 0) {
        free(document);
        return rc;
    }
    *text = document;
    return 0;
}

// Send the request frame and read the reply frame.
uint32_t exchange(int fd, const char *request, char **reply)
{
    size_t length = strlen(request);
    if (length > payload_limit)
        return rpc_bad_stub_data;
    int64_t deadline = now_ms() + exchange_timeout_ms;
    unsigned char head[request_head_size];
    memcpy(head, magic, sizeof magic);
    put_u32(head + 4, static_cast<uint32_t>(length));
    uint32_t sent = send_all(fd, head, sizeof head, deadline);
    if (sent == 0)
        sent = send_all(fd, request, length, deadline);
    // A refusal may already be waiting even when sending broke off.
    uint32_t received = receive_reply(fd, deadline, reply);
    return sent != 0 && received == rpc_call_failed ? sent : received;
}

} // namespace

extern "C" __attribute__((visibility("default"))) unsigned
RovaInvoke(const char16_t *host, const char16_t *document, char16_t **reply)
{
    if (!host || !document || !reply)
        return error_invalid_parameter;
    *reply = nullptr;
    char *host_text = utf8_copy(host);
    if (!host_text)
        return error_not_enough_memory;
    bool local = is_local_host(host_text);
    free(host_text);
    if (!local)
        return rpc_server_unavailable;
    char *request = utf8_copy(document);
    if (!request)
        return error_not_enough_memory;
    int fd = -1;
    char *answer = nullptr;
    uint32_t rc = connect_simulator(&fd);
    if (rc == 0) {
        rc = exchange(fd, request, &answer);
        close(fd);
    }
    free(request);
    if (rc == 0) {
        *reply = utf16_copy(answer);
        rc = *reply ? 0 : error_not_enough_memory;
    }
    free(answer);
    return rc;
}
