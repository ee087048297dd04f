#include <gtest/gtest.h>

#include <string>

#include "alloc_failure.h"
#include "corvex/cx_request.h"
#include "vovedi/pool.h"

namespace
{

struct handle {
    cx_server_t *s;
    explicit handle(int major = 1, int minor = 0) : s(cx_server_open("storage1", major, minor)) {}
    ~handle() { cx_server_close(s); }
};

std::string document_of(const cx_server_t *s, cx_elem_t *api, int with_vslice = 1,
                        int type = CX_TYPE_VAULT)
{
    char *doc = nullptr;
    EXPECT_EQ(cx_request_document(s, api, with_vslice, cx_request_dtd_path(type), &doc),
              CX_REQUEST_OK);
    std::string text = doc ? doc : "";
    VV_FREE(doc);
    return text;
}

const std::string declaration = "<?xml version='1.0' encoding='utf-8' ?>\n";

} // namespace

TEST(CxRequest, DocumentOfAnEmptyApiElement)
{
    handle h;
    cx_elem_t *api = cx_elem_create("system-get-version");
    EXPECT_EQ(document_of(h.s, api), declaration +
                                         "<!DOCTYPE corvex SYSTEM 'file:/etc/corvex_vault.dtd'>\n"
                                         "<corvex xmlns=\"" CX_REQUEST_XMLNS
                                         "\" version=\"1.0\"><system-get-version/></corvex>");
    // The caller gets its element back unwrapped and unchanged.
    EXPECT_EQ(api->first_child, nullptr);
    EXPECT_EQ(api->attributes, nullptr);
    cx_elem_free(api);
}

TEST(CxRequest, ContentIsEscapedAndVersionWritten)
{
    handle h(1, 7);
    cx_elem_t *api = cx_elem_create("volume-create");
    cx_elem_child_add_string(api, "name", "a<b&c");
    std::string doc = document_of(h.s, api);
    EXPECT_NE(doc.find("version=\"1.7\""), std::string::npos);
    EXPECT_NE(doc.find("<volume-create><name>a&lt;b&amp;c</name></volume-create>"),
              std::string::npos);
    EXPECT_EQ(std::count(doc.begin(), doc.end(), '\n'), 2); // exactly three lines
    cx_elem_free(api);
}

TEST(CxRequest, CorvexRootIsSentItselfButCorvexCaseDiffersIsWrapped)
{
    handle h;
    cx_elem_t *root = cx_elem_create("corvex");
    cx_elem_child_add(root, cx_elem_create("a"));
    std::string doc = document_of(h.s, root);
    EXPECT_NE(doc.find("\"1.0\"><a/></corvex>"), std::string::npos);
    EXPECT_STREQ(stab_get(root->attributes, "version"), "1.0"); // keeps the attributes
    cx_elem_free(root);

    cx_elem_t *other = cx_elem_create("Corvex");
    EXPECT_NE(document_of(h.s, other).find("\"1.0\"><Corvex/></corvex>"), std::string::npos);
    cx_elem_free(other);
}

TEST(CxRequest, VsliceOnlyWhenAskedAndEscapedValues)
{
    handle h(1, 7);
    const char *vslice = "vs&<\"1";
    ASSERT_EQ(cx_server_set_vslice(h.s, vslice), 1);
    ASSERT_EQ(cx_server_set_app_name(h.s, "app'x"), 1);
    cx_elem_t *api = cx_elem_create("x");
    std::string with = document_of(h.s, api, 1);
    EXPECT_NE(with.find("<corvex vslice=\"vs&amp;&lt;&quot;1\" app-name=\"app&apos;x\" xmlns="),
              std::string::npos)
        << with;
    std::string without = document_of(h.s, api, 0);
    EXPECT_EQ(without.find("vslice"), std::string::npos);
    cx_elem_free(api);
}

TEST(CxRequest, DtdAndUrlPerServerType)
{
    handle h;
    cx_server_set_port(h.s, 8080);
    char url[2048];
    struct {
        int type;
        const char *dtd;
        const char *path;
    } cases[] = {
        {CX_TYPE_VAULT, "corvex_vault.dtd", "/servlets/corvex.servlets.admin.XMLrequest_vault"},
        {CX_TYPE_RELAY, "corvex.dtd", "/servlets/corvex.servlets.admin.XMLrequest"},
        {CX_TYPE_SENTRY, "corvex_sentry.dtd", "/apis/XMLrequest"},
        {CX_TYPE_FLEET, "corvex_fleet.dtd", "/apis/XMLrequest"},
        {CX_TYPE_RING, "corvex_ring.dtd", "/servlets/corvex.servlets.admin.XMLrequest_vault"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(cx_server_set_type(h.s, c.type), 1);
        EXPECT_EQ(std::string(cx_request_dtd_path(c.type)), std::string("file:/etc/") + c.dtd);
        EXPECT_EQ(std::string(cx_request_url(h.s, url, sizeof url)),
                  std::string("http://[storage1]:8080") + c.path);
    }
    cx_server_t *v6 = cx_server_open("fe80::1", 1, 0);
    EXPECT_STREQ(cx_request_url(v6, url, sizeof url),
                 "http://[fe80::1]:80/servlets/corvex.servlets.admin.XMLrequest_vault");
    cx_server_close(v6);
    // A host too long for the buffer is cut, never overrun.
    std::string long_host(3000, 'h');
    cx_server_t *big = cx_server_open(long_host.c_str(), 1, 0);
    EXPECT_EQ(strlen(cx_request_url(big, url, sizeof url)), sizeof url - 1);
    cx_server_close(big);
}

TEST(CxRequest, AllocationFailuresLeaveTheApiElementIntact)
{
    handle h;
    cx_elem_t *api = cx_elem_create("volume-list");
    cx_elem_child_add_string(api, "verbose", "true");
    alloc_failure_sweep([&] {
        char *doc = nullptr;
        int rc = cx_request_document(h.s, api, 1, cx_request_dtd_path(CX_TYPE_VAULT), &doc);
        EXPECT_TRUE(rc == CX_REQUEST_OK || rc == CX_REQUEST_ENCODE_FAILED ||
                    rc == CX_REQUEST_NOMEM);
        EXPECT_EQ(rc == CX_REQUEST_OK, doc != nullptr);
        VV_FREE(doc);
        // Whatever happened, the caller's element is back as it was.
        EXPECT_STREQ(api->first_child->name, "verbose");
        EXPECT_EQ(api->first_child->next_sibling, nullptr);
        return rc == CX_REQUEST_OK;
    });
    cx_elem_free(api);
}
