// The socket side of the platform layer: last error, error numbers and
// texts, the deadline clock, waiting on one socket, SIGPIPE-free transfers.

#include "vovedi/sockerr.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace
{

thread_local int last_error;

struct errno_mapping {
    int posix;
    int windows;
};

// POSIX errno to Windows Sockets numbers. EPIPE: this kit never shuts down
// its own sending side, so a broken pipe always means the peer has reset or
// closed the connection, which Windows reports as WSAECONNRESET (WSAESHUTDOWN
// would blame a local shutdown that never happened).
constexpr errno_mapping errno_table[] = {
    {EPERM, SOCKERR_EACCES},
    {EINTR, SOCKERR_EINTR},
    {EBADF, SOCKERR_EBADF},
    {EAGAIN, SOCKERR_EWOULDBLOCK},
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, SOCKERR_EWOULDBLOCK},
#endif
    {ENOMEM, SOCKERR_ENOBUFS},
    {EACCES, SOCKERR_EACCES},
    {EFAULT, SOCKERR_EFAULT},
    {EINVAL, SOCKERR_EINVAL},
    {ENFILE, SOCKERR_EMFILE},
    {EMFILE, SOCKERR_EMFILE},
    {EPIPE, SOCKERR_ECONNRESET},
    {ENAMETOOLONG, SOCKERR_ENAMETOOLONG},
    {ELOOP, SOCKERR_ELOOP},
    {EINPROGRESS, SOCKERR_EINPROGRESS},
    {EALREADY, SOCKERR_EALREADY},
    {ENOTSOCK, SOCKERR_ENOTSOCK},
    {EDESTADDRREQ, SOCKERR_EDESTADDRREQ},
    {EMSGSIZE, SOCKERR_EMSGSIZE},
    {EPROTOTYPE, SOCKERR_EPROTOTYPE},
    {ENOPROTOOPT, SOCKERR_ENOPROTOOPT},
    {EPROTONOSUPPORT, SOCKERR_EPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, SOCKERR_ESOCKTNOSUPPORT},
    {EOPNOTSUPP, SOCKERR_EOPNOTSUPP},
#if ENOTSUP != EOPNOTSUPP
    {ENOTSUP, SOCKERR_EOPNOTSUPP},
#endif
    {EPFNOSUPPORT, SOCKERR_EPFNOSUPPORT},
    {EAFNOSUPPORT, SOCKERR_EAFNOSUPPORT},
    {EADDRINUSE, SOCKERR_EADDRINUSE},
    {EADDRNOTAVAIL, SOCKERR_EADDRNOTAVAIL},
    {ENETDOWN, SOCKERR_ENETDOWN},
    {ENETUNREACH, SOCKERR_ENETUNREACH},
    {ENETRESET, SOCKERR_ENETRESET},
    {ECONNABORTED, SOCKERR_ECONNABORTED},
    {ECONNRESET, SOCKERR_ECONNRESET},
    {ENOBUFS, SOCKERR_ENOBUFS},
    {EISCONN, SOCKERR_EISCONN},
    {ENOTCONN, SOCKERR_ENOTCONN},
    {ESHUTDOWN, SOCKERR_ESHUTDOWN},
    {ETOOMANYREFS, SOCKERR_ETOOMANYREFS},
    {ETIMEDOUT, SOCKERR_ETIMEDOUT},
    {ECONNREFUSED, SOCKERR_ECONNREFUSED},
    {EHOSTDOWN, SOCKERR_EHOSTDOWN},
    {EHOSTUNREACH, SOCKERR_EHOSTUNREACH},
    {EUSERS, SOCKERR_EUSERS},
    {EDQUOT, SOCKERR_EDQUOT},
    {ESTALE, SOCKERR_ESTALE},
    {EREMOTE, SOCKERR_EREMOTE},
};

struct system_text {
    unsigned code;
    const char *text;
};

// The system's own English texts, line end included, for the codes the kit
// can meet: file and access errors, logon and RPC failures of the
// administration library, and the socket and resolver errors.
constexpr system_text system_texts[] = {
    {2, "The system cannot find the file specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {53, "The network path was not found.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {1326, "The user name or password is incorrect.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
    {1726, "The remote procedure call failed.\r\n"},
    {1727, "The remote procedure call failed and did not execute.\r\n"},
    {1753, "There are no more endpoints available from the endpoint mapper.\r\n"},
    {1783, "The stub received bad data.\r\n"},
    {10022, "An invalid argument was supplied.\r\n"},
    {10047, "An address incompatible with the requested protocol was used.\r\n"},
    {10051, "A socket operation was attempted to an unreachable network.\r\n"},
    {10054, "An existing connection was forcibly closed by the remote host.\r\n"},
    {10060, "A connection attempt failed because the connected party did not properly "
            "respond after a period of time, or established connection failed because "
            "connected host has failed to respond.\r\n"},
    {10061, "No connection could be made because the target machine actively refused it.\r\n"},
    {10065, "A socket operation was attempted to an unreachable host.\r\n"},
    {10109, "The specified class was not found.\r\n"},
    {11001, "No such host is known.\r\n"},
    {11002, "This is usually a temporary error during hostname resolution and means that "
            "the local server did not receive a response from an authoritative server.\r\n"},
    {11003, "A non-recoverable error occurred during a database lookup.\r\n"},
    {11004, "The requested name is valid, but no data of the requested type was found.\r\n"},
};

short poll_events(int want)
{
    short events = 0;
    if (want & SOCKERR_READABLE)
        events |= POLLIN;
    if (want & SOCKERR_WRITABLE)
        events |= POLLOUT;
    return events;
}

int readiness(short revents)
{
    int ready = 0;
    if (revents & POLLIN)
        ready |= SOCKERR_READABLE;
    if (revents & POLLOUT)
        ready |= SOCKERR_WRITABLE;
    if (revents & (POLLERR | POLLHUP | POLLNVAL))
        ready |= SOCKERR_EXCEPTION;
    return ready;
}

// Milliseconds poll may wait before the deadline; -1 when there is none.
int poll_budget(int64_t deadline_ms, int64_t now)
{
    if (deadline_ms < 0)
        return -1;
    int64_t left = deadline_ms - now;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

} // namespace

int sockerr_get(void)
{
    return last_error;
}

void sockerr_set(int code)
{
    last_error = code;
}

void sockerr_reset(void)
{
    last_error = 0;
}

int sockerr_from_errno(int posix_errno)
{
    for (const errno_mapping &entry : errno_table) {
        if (entry.posix == posix_errno)
            return entry.windows;
    }
    return posix_errno;
}

int sockerr_set_errno(int posix_errno)
{
    last_error = sockerr_from_errno(posix_errno);
    return last_error;
}

const char *sockerr_system_message(unsigned code)
{
    for (const system_text &entry : system_texts) {
        if (entry.code == code)
            return entry.text;
    }
    return nullptr;
}

int64_t sockerr_clock_ms(void)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int sockerr_wait(int fd, int want, int64_t deadline_ms, int *ready)
{
    if (fd < 0) { // poll would skip it and wait for nothing
        last_error = SOCKERR_ENOTSOCK;
        return -1;
    }
    pollfd entry{};
    entry.fd = fd;
    entry.events = poll_events(want);
    for (;;) {
        int64_t now = deadline_ms < 0 ? 0 : sockerr_clock_ms();
        if (deadline_ms >= 0 && now > deadline_ms)
            break;
        int count = poll(&entry, 1, poll_budget(deadline_ms, now));
        if (count > 0) {
            if (ready)
                *ready = readiness(entry.revents);
            return 1;
        }
        if (count == 0)
            break;
        if (errno != EINTR) {
            sockerr_set_errno(errno);
            return -1;
        }
    }
    last_error = SOCKERR_ETIMEDOUT;
    return 0;
}

int sockerr_send(int fd, const char *data, int length)
{
    if (length < 0) {
        last_error = SOCKERR_EINVAL;
        return -1;
    }
    for (;;) {
        ssize_t sent = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<int>(sent);
        if (errno != EINTR) {
            sockerr_set_errno(errno);
            return -1;
        }
    }
}

int sockerr_recv(int fd, char *buffer, int size)
{
    if (size < 0) {
        last_error = SOCKERR_EINVAL;
        return -1;
    }
    for (;;) {
        ssize_t got = recv(fd, buffer, static_cast<size_t>(size), 0);
        if (got >= 0)
            return static_cast<int>(got);
        if (errno != EINTR) {
            sockerr_set_errno(errno);
            return -1;
        }
    }
}

int sockerr_set_nonblocking(int fd, int nonblocking)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        flags = nonblocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
        if (fcntl(fd, F_SETFL, flags) == 0)
            return 0;
    }
    sockerr_set_errno(errno);
    return -1;
}

int sockerr_pending(int fd, int *code)
{
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &size) != 0) {
        sockerr_set_errno(errno);
        return -1;
    }
    if (code)
        *code = sockerr_from_errno(value);
    return 0;
}
