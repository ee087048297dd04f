#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

#include "alloc_failure.h"
#include "corvex/http_url.h"
#include "vovedi/sockerr.h"

namespace
{

// A split URL as plain values, "<null>" for a missing text.
struct parts {
    int rc = 0;
    std::string host, path, user, password;
    int port = -1;
    int tls = -1;
};

std::string text_of(const char *text)
{
    return text ? text : "<null>";
}

parts split(const char *url)
{
    http_url_t record;
    parts result;
    result.rc = http_url_split(url, &record);
    result.host = text_of(record.host);
    result.path = text_of(record.path);
    result.user = text_of(record.user);
    result.password = text_of(record.password);
    result.port = record.port;
    result.tls = record.tls;
    http_url_free(&record);
    return result;
}

} // namespace

TEST(HttpUrl, SchemeKindsIgnoreCase)
{
    EXPECT_EQ(http_url_scheme("http://[::1]/"), 1);
    EXPECT_EQ(http_url_scheme("https://[::1]/"), 2);
    EXPECT_EQ(http_url_scheme("http://host/"), 3);
    EXPECT_EQ(http_url_scheme("https://host/"), 4);
    EXPECT_EQ(http_url_scheme("HTTPS://host/"), 4);
    EXPECT_EQ(http_url_scheme("Http://[x]"), 1);
    EXPECT_EQ(http_url_scheme("ftp://host/"), 0);
    EXPECT_EQ(http_url_scheme("http:/host"), 0);
    EXPECT_EQ(http_url_scheme(""), 0);
    EXPECT_EQ(http_url_scheme(nullptr), 0);
}

TEST(HttpUrl, SplitsHostPortAndPath)
{
    parts p = split("http://srv/servlet/x");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.host, "srv");
    EXPECT_EQ(p.port, 80);
    EXPECT_EQ(p.path, "servlet/x");
    EXPECT_EQ(p.user, "<null>");
    EXPECT_EQ(p.password, "<null>");
    EXPECT_EQ(p.tls, 0);

    p = split("HTTPS://host/x");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.port, 443);
    EXPECT_EQ(p.tls, 1);
    EXPECT_EQ(p.path, "x");

    p = split("http://host");
    EXPECT_EQ(p.host, "host");
    EXPECT_EQ(p.path, "");
    p = split("http://host:8080");
    EXPECT_EQ(p.port, 8080);
    EXPECT_EQ(p.path, "");
    p = split("http://host:/p");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.port, 80) << "an empty port keeps the default";
    p = split("http://host:00443/p");
    EXPECT_EQ(p.port, 443);
    p = split("http://host/a@b/c");
    EXPECT_EQ(p.host, "host") << "an @ in the path is not a user part";
    EXPECT_EQ(p.path, "a@b/c");
    EXPECT_EQ(p.user, "<null>");
}

TEST(HttpUrl, SplitsBracketedAddresses)
{
    parts p = split("http://[fe80::1]:8080/p");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.host, "fe80::1");
    EXPECT_EQ(p.port, 8080);
    EXPECT_EQ(p.path, "p");
    p = split("https://[fe80::1]/p");
    EXPECT_EQ(p.host, "fe80::1");
    EXPECT_EQ(p.port, 443);
    EXPECT_EQ(p.tls, 1);
    p = split("http://[fe80::1]/p");
    EXPECT_EQ(p.port, 80);
    p = split("http://[srv.example]:8443/servlets/x");
    EXPECT_EQ(p.host, "srv.example");
    EXPECT_EQ(p.port, 8443);
    EXPECT_EQ(p.path, "servlets/x");
    p = split("http://[::1]");
    EXPECT_EQ(p.host, "::1");
    EXPECT_EQ(p.path, "");
    p = split("http://user:pw@[::1]:81/x");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.user, "user");
    EXPECT_EQ(p.password, "pw");
    EXPECT_EQ(p.host, "::1");
    EXPECT_EQ(p.port, 81);
}

TEST(HttpUrl, SplitsCredentials)
{
    parts p = split("https://admin:s3cr:et@storage1:8443/p");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.user, "admin");
    EXPECT_EQ(p.password, "s3cr:et");
    EXPECT_EQ(p.host, "storage1");
    EXPECT_EQ(p.port, 8443);
    EXPECT_EQ(p.path, "p");
    EXPECT_EQ(p.tls, 1);

    p = split("http://admin@storage1/p");
    EXPECT_EQ(p.user, "admin");
    EXPECT_EQ(p.password, "<null>");
    p = split("http://admin:@storage1/p");
    EXPECT_EQ(p.password, "");
}

TEST(HttpUrl, RefusesWhatCannotBeConnectedTo)
{
    const char *bad[] = {
        "ftp://host/x",
        "",
        "http://host:abc/",
        "http://host:80x/",
        "http://host:0/",
        "http://host:65536/",
        "http://host:-1/",
        "http://host: 80/",
        "http:///p",
        "http://:80/",
        "http://user@/p",
        "http://[]/p",
        "http://[::1/p",
        "http://[::1]x/p",
        "http://[::1]:99999/p",
    };
    for (const char *url : bad) {
        http_url_t record;
        record.text = reinterpret_cast<char *>(&record); // must be cleared
        EXPECT_EQ(http_url_split(url, &record), -22) << url;
        EXPECT_EQ(record.text, nullptr) << url;
        EXPECT_EQ(record.host, nullptr) << url;
        http_url_free(&record);
    }
    http_url_t record;
    EXPECT_EQ(http_url_split(nullptr, &record), -22);
    EXPECT_EQ(http_url_split("http://host/", nullptr), -22);
    http_url_free(nullptr);

    EXPECT_EQ(split("http://host:65535/").port, 65535);
    EXPECT_EQ(split("http://host:1/").port, 1);
}

TEST(HttpUrl, LongUrlsAreSplitWhole)
{
    std::string host(70000, 'h');
    std::string path(100000, 'p');
    std::string url = "http://" + host + ":8080/" + path;
    parts p = split(url.c_str());
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.host, host);
    EXPECT_EQ(p.port, 8080);
    EXPECT_EQ(p.path, path);
}

TEST(HttpUrl, OutOfMemoryGivesMinus12)
{
    alloc_failure_sweep([] {
        http_url_t record;
        int rc = http_url_split("https://u:p@[::1]:8443/p", &record);
        if (rc != 0) {
            EXPECT_EQ(rc, -12);
            EXPECT_EQ(record.text, nullptr);
            return false;
        }
        bool ok = std::string(record.host) == "::1" && record.port == 8443;
        http_url_free(&record);
        return ok;
    });
}

TEST(HttpUrl, ResolverGivesWindowsSocketsNumbers)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    ASSERT_EQ(http_url_getaddrinfo("127.0.0.1", "8080", &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->ai_family, AF_INET);
    auto *first = reinterpret_cast<sockaddr_in *>(list->ai_addr);
    EXPECT_EQ(ntohs(first->sin_port), 8080);
    EXPECT_EQ(ntohl(first->sin_addr.s_addr), INADDR_LOOPBACK);
    http_url_freeaddrinfo(list);

    hints.ai_flags = AI_NUMERICHOST; // no name service is asked
    list = reinterpret_cast<addrinfo *>(&hints);
    sockerr_reset();
    EXPECT_EQ(http_url_getaddrinfo("not-an-address", "80", &hints, &list), SOCKERR_HOST_NOT_FOUND);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(sockerr_get(), SOCKERR_HOST_NOT_FOUND);

    EXPECT_EQ(http_url_getaddrinfo("127.0.0.1", "80", &hints, nullptr), SOCKERR_EINVAL);
    http_url_freeaddrinfo(nullptr);
}

TEST(HttpUrl, Ipv4LookupTakesDottedFormsAsWritten)
{
    uint32_t address = 0;
    EXPECT_EQ(http_url_ipv4_lookup("127.0.0.1", 0, &address), 0);
    EXPECT_EQ(ntohl(address), 0x7f000001u);
    EXPECT_EQ(http_url_ipv4_lookup("127.1", 0, &address), 0);
    EXPECT_EQ(ntohl(address), 0x7f000001u);
    EXPECT_EQ(http_url_ipv4_lookup("0x7f.0.0.2", 0, &address), 0);
    EXPECT_EQ(ntohl(address), 0x7f000002u);
    EXPECT_EQ(http_url_ipv4_lookup("255.255.255.255", 0, &address), 0);
    EXPECT_EQ(address, 0xffffffffu);

    EXPECT_EQ(http_url_ipv4_lookup("localhost", 0, &address), -2) << "lookup not allowed";
    EXPECT_EQ(http_url_ipv4_lookup("127.0.0.1 x", 0, &address), -2);
    EXPECT_EQ(http_url_ipv4_lookup("1.2.3.4.5", 0, &address), -2);
    EXPECT_EQ(http_url_ipv4_lookup("", 0, &address), -2);
    EXPECT_EQ(http_url_ipv4_lookup(nullptr, 1, &address), -22);
    EXPECT_EQ(http_url_ipv4_lookup("127.0.0.1", 1, nullptr), -22);

    address = 0;
    EXPECT_EQ(http_url_ipv4_lookup("localhost", 1, &address), 0);
    EXPECT_EQ(ntohl(address), 0x7f000001u);
}
