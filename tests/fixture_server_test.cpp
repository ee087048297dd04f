// The fixture server is itself test code that other tests rely on: check
// that it captures requests and misbehaves as told.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fixture_server.h"

namespace
{

std::string read_all(int fd)
{
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

} // namespace

TEST(FixtureServer, CapturesRequestAndAnswers)
{
    fixture_server server(answer_with(http_reply(200, "OK", "<corvex/>")));
    ASSERT_TRUE(server.ok());
    int fd = connect_loopback(server.port());
    ASSERT_GE(fd, 0);
    std::string request = "POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    std::string reply = read_all(fd);
    close(fd);
    server.stop();
    EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 9\r\n\r\n"
                     "<corvex/>");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], request);
}

TEST(FixtureServer, TricklesAndStopsStalledHandlers)
{
    fixture_server server([](fixture_conn &c) {
        c.trickle("abcdef", 2, 5);
        c.stall(60000); // cut short by stop()
    });
    int fd = connect_loopback(server.port());
    char buf[6];
    size_t got = 0;
    while (got < 6) {
        ssize_t n = recv(fd, buf + got, sizeof buf - got, 0);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    server.stop();
    close(fd);
    EXPECT_EQ(server.connections(), 1);
}
