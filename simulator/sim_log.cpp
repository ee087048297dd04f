// The simulator's log.

#include "sim_log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <netinet/in.h>
#include <unistd.h>

namespace sim
{

namespace
{

std::string timestamp()
{
    auto now = std::chrono::system_clock::now();
    time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    struct tm local;
    localtime_r(&seconds, &local);
    char date[32], zone[8];
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    strftime(zone, sizeof zone, "%z", &local);
    char text[64];
    snprintf(text, sizeof text, "%s.%03d%s", date, static_cast<int>(ms.count()), zone);
    return text;
}

} // namespace

void log_line(const std::string &peer, const std::string &text)
{
    std::string line = timestamp() + " " + peer + " " + text;
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    line += "\n";
    const char *p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string address_text(const sockaddr *address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (!address)
        return "?";
    if (address->sa_family == AF_INET6) {
        const auto *a6 = reinterpret_cast<const sockaddr_in6 *>(address);
        inet_ntop(AF_INET6, &a6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(a6->sin6_port));
    }
    if (address->sa_family != AF_INET)
        return "?";
    const auto *a4 = reinterpret_cast<const sockaddr_in *>(address);
    inet_ntop(AF_INET, &a4->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a4->sin_port));
}

} // namespace sim
