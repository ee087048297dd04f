#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "alloc_failure.h"
#include "corvex/cx_request.h"
#include "corvex/cx_server.h"

TEST(CxServer, FreshHandleDefaults)
{
    errno = 0;
    EXPECT_EQ(cx_server_open(nullptr, 1, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);

    cx_server_t *s = cx_server_open("storage1", 1, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->host, "storage1");
    EXPECT_EQ(s->port, 80);
    EXPECT_EQ(cx_server_get_transport(s), CX_TRANSPORT_HTTP);
    EXPECT_EQ(s->auth_style, static_cast<uint32_t>(CX_AUTH_LOGIN));
    EXPECT_EQ(s->server_type, static_cast<uint32_t>(CX_TYPE_VAULT));
    EXPECT_EQ(cx_server_get_timeout(s), 0);
    EXPECT_EQ(s->user, nullptr);
    EXPECT_EQ(s->password, nullptr);
    EXPECT_STREQ(s->name_prefix, "");
    EXPECT_EQ(s->resolve_names, 1);
    EXPECT_STREQ(s->url_format, cx_request_url_format(CX_TYPE_VAULT));
    EXPECT_EQ(cx_server_close(s), 1);
    EXPECT_EQ(cx_server_close(nullptr), 0);
}

TEST(CxServer, LoginStoresCopiesAndEmptyMeansAbsent)
{
    cx_server_t *s = cx_server_open("h", 1, 0);
    char user[] = "root", password[] = "pw";
    EXPECT_EQ(cx_server_set_login(s, user, password), 1);
    user[0] = 'X';
    EXPECT_STREQ(s->user, "root");
    EXPECT_STREQ(s->password, "pw");
    EXPECT_EQ(cx_server_set_login(s, "", ""), 1);
    EXPECT_EQ(s->user, nullptr);
    EXPECT_EQ(s->password, nullptr);
    EXPECT_EQ(cx_server_set_login(s, nullptr, "x"), 0);
    EXPECT_EQ(errno, EINVAL);
    cx_server_close(s);
}

TEST(CxServer, TransportTimeoutAndPortRules)
{
    cx_server_t *s = cx_server_open("h", 1, 0);
    EXPECT_EQ(cx_server_set_timeout(s, 10), 1);
    EXPECT_EQ(cx_server_set_transport(s, CX_TRANSPORT_HTTPS), 0); // time-out first: refused
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(cx_server_set_timeout(s, 0), 1);
    EXPECT_EQ(cx_server_set_transport(s, CX_TRANSPORT_HTTPS), 1);
    EXPECT_EQ(cx_server_set_timeout(s, 10), 1); // the other order is accepted
    EXPECT_EQ(cx_server_set_timeout(s, -1), 0);
    EXPECT_EQ(cx_server_get_timeout(s), 10);
    EXPECT_EQ(cx_server_set_transport(s, 7), 0);

    EXPECT_EQ(cx_server_set_port(s, 0), 0);
    EXPECT_EQ(cx_server_set_port(s, 65536), 0);
    EXPECT_EQ(s->port, 80);
    EXPECT_EQ(cx_server_set_port(s, 65535), 1);

    EXPECT_EQ(cx_server_set_transport(s, CX_TRANSPORT_QSM), 1);
    EXPECT_EQ(s->port, 0);
    EXPECT_EQ(s->auth_style, static_cast<uint32_t>(CX_AUTH_QSM));
    EXPECT_EQ(s->resolve_names, 0);
    cx_server_close(s);

    // Style 3 is the same as choosing the socket-mode transport.
    s = cx_server_open("h", 1, 0);
    cx_server_set_auth_style(s, CX_AUTH_QSM);
    EXPECT_EQ(cx_server_get_transport(s), CX_TRANSPORT_QSM);
    EXPECT_EQ(s->port, 0);
    EXPECT_EQ(s->auth_style, static_cast<uint32_t>(CX_AUTH_QSM));
    cx_server_set_auth_style(s, 42); // stored unchecked
    EXPECT_EQ(s->auth_style, 42u);
    cx_server_close(s);
}

TEST(CxServer, TypeChoosesUrlAndBadTypeChangesNothing)
{
    cx_server_t *s = cx_server_open("h", 1, 0);
    EXPECT_EQ(cx_server_set_type(s, CX_TYPE_RELAY), 1);
    EXPECT_STREQ(s->url_format, "http://[%s]:%d/servlets/corvex.servlets.admin.XMLrequest");
    EXPECT_EQ(cx_server_set_type(s, 5), 0);
    EXPECT_EQ(cx_server_set_type(s, -1), 0);
    EXPECT_EQ(s->server_type, static_cast<uint32_t>(CX_TYPE_RELAY));
    EXPECT_STREQ(s->url_format, cx_request_url_format(CX_TYPE_RELAY));
    cx_server_close(s);
}

TEST(CxServer, VsliceNeedsVersionOnePointSeven)
{
    const char *name = "vs1";
    cx_server_t *old = cx_server_open("h", 1, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cx_server_set_vslice(old, name), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: CORAPI version must be at least 1.7 to send API to a vslice\n");
    EXPECT_EQ(old->vslice, nullptr);
    cx_server_close(old);

    for (auto [major, minor] : {std::pair{1, 7}, std::pair{2, 0}}) {
        cx_server_t *s = cx_server_open("h", major, minor);
        EXPECT_EQ(cx_server_set_vslice(s, name), 1);
        EXPECT_EQ(s->vslice, name); // borrowed, not copied
        cx_server_close(s);
    }
}

TEST(CxServer, OpenAndLoginLeakNothingWhenMemoryRunsOut)
{
    alloc_failure_sweep([] {
        cx_server_t *s = cx_server_open("storage1", 1, 0);
        if (!s)
            return false;
        bool ok = cx_server_set_login(s, "admin", "secret") == 1 &&
                  cx_server_set_app_name(s, "tool") == 1;
        if (!ok) {
            EXPECT_EQ(errno, ENOMEM);
        }
        cx_server_close(s);
        return ok;
    });
}
