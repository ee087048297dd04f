#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "vovedi/sockerr.h"

namespace
{

struct socket_pair {
    int fd[2] = {-1, -1};
    socket_pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~socket_pair()
    {
        for (int one : fd) {
            if (one >= 0)
                close(one);
        }
    }
};

long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

} // namespace

TEST(Sockerr, MapsPosixErrorsToWindowsSocketsNumbers)
{
    const std::pair<int, int> expected[] = {
        {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061}, {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},          {EINPROGRESS, 10036},  {EAFNOSUPPORT, 10047},
        {ENETUNREACH, 10051},     {ECONNRESET, 10054},   {EHOSTUNREACH, 10065},
        {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
        {EFAULT, 10014},          {EINVAL, 10022},       {EMFILE, 10024},
        {EALREADY, 10037},        {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},
        {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},   {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045},   {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},     {ENETRESET, 10052},
        {ECONNABORTED, 10053},    {ENOBUFS, 10055},      {EISCONN, 10056},
        {ENOTCONN, 10057},        {ESHUTDOWN, 10058},    {EHOSTDOWN, 10064},
        {EPIPE, 10054},
    };
    for (auto [posix, windows] : expected)
        EXPECT_EQ(sockerr_from_errno(posix), windows) << strerror(posix);
    EXPECT_EQ(sockerr_from_errno(0), 0);
    EXPECT_EQ(sockerr_from_errno(EIO), EIO) << "no counterpart: unchanged";

    EXPECT_EQ(sockerr_set_errno(ECONNREFUSED), SOCKERR_ECONNREFUSED);
    EXPECT_EQ(sockerr_get(), 10061);
    sockerr_reset();
    EXPECT_EQ(sockerr_get(), 0);
}

TEST(Sockerr, LastErrorBelongsToEachThread)
{
    sockerr_set(SOCKERR_ETIMEDOUT);
    int seen_by_other = -1;
    std::thread other([&] {
        seen_by_other = sockerr_get();
        sockerr_set(SOCKERR_ECONNRESET);
    });
    other.join();
    EXPECT_EQ(seen_by_other, 0);
    EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
    sockerr_reset();
}

TEST(Sockerr, SystemMessagesEndLikeTheSystemsOwn)
{
    for (unsigned code : {2u, 5u, 53u, 1326u, 1722u, 1753u, 1783u, 10060u, 10061u, 11001u}) {
        const char *text = sockerr_system_message(code);
        ASSERT_NE(text, nullptr) << code;
        std::string message = text;
        ASSERT_GE(message.size(), 3u);
        EXPECT_EQ(message.substr(message.size() - 2), "\r\n") << code;
        EXPECT_EQ(message.find("\r\n"), message.size() - 2) << "one line only: " << code;
    }
    EXPECT_STREQ(sockerr_system_message(5), "Access is denied.\r\n");
    EXPECT_STREQ(sockerr_system_message(1722), "The RPC server is unavailable.\r\n");
    EXPECT_EQ(sockerr_system_message(0), nullptr);
    EXPECT_EQ(sockerr_system_message(123456), nullptr);
}

TEST(Sockerr, ClockIsMonotonicMilliseconds)
{
    int64_t first = sockerr_clock_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    int64_t second = sockerr_clock_ms();
    EXPECT_GE(second - first, 25);
    EXPECT_LT(second - first, 5000);
}

TEST(Sockerr, WaitHonoursTheDeadline)
{
    socket_pair pair;
    int ready = -1;

    auto start = std::chrono::steady_clock::now();
    sockerr_reset();
    EXPECT_EQ(sockerr_wait(pair.fd[0], SOCKERR_READABLE, sockerr_clock_ms() - 1, &ready), 0);
    EXPECT_EQ(sockerr_get(), SOCKERR_ETIMEDOUT);
    EXPECT_LT(elapsed_ms(start), 50) << "a passed deadline does not wait";

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(sockerr_wait(pair.fd[0], SOCKERR_READABLE, sockerr_clock_ms() + 60, &ready), 0);
    EXPECT_GE(elapsed_ms(start), 55);

    EXPECT_EQ(sockerr_wait(pair.fd[0], SOCKERR_WRITABLE, -1, &ready), 1);
    EXPECT_EQ(ready, SOCKERR_WRITABLE);

    EXPECT_EQ(sockerr_wait(-1, SOCKERR_READABLE, -1, &ready), -1) << "never waits for nothing";
    EXPECT_EQ(sockerr_get(), SOCKERR_ENOTSOCK);

    ASSERT_EQ(write(pair.fd[1], "x", 1), 1);
    EXPECT_EQ(sockerr_wait(pair.fd[0], SOCKERR_READABLE, sockerr_clock_ms() + 1000, &ready), 1);
    EXPECT_TRUE(ready & SOCKERR_READABLE);
}

TEST(Sockerr, SendToAGonePeerFailsWithoutSigpipe)
{
    socket_pair pair;
    close(pair.fd[1]);
    pair.fd[1] = -1;
    sockerr_reset();
    EXPECT_EQ(sockerr_send(pair.fd[0], "abc", 3), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_ECONNRESET);
    char byte;
    EXPECT_EQ(sockerr_recv(pair.fd[0], &byte, 1), 0);
}

TEST(Sockerr, NonBlockingModeAndPendingError)
{
    socket_pair pair;
    ASSERT_EQ(sockerr_set_nonblocking(pair.fd[0], 1), 0);
    char byte;
    EXPECT_EQ(sockerr_recv(pair.fd[0], &byte, 1), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_EWOULDBLOCK);
    int code = -1;
    EXPECT_EQ(sockerr_pending(pair.fd[0], &code), 0);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(sockerr_set_nonblocking(-1, 1), -1);
    EXPECT_EQ(sockerr_get(), SOCKERR_EBADF);
    EXPECT_EQ(sockerr_pending(-1, &code), -1);
}
