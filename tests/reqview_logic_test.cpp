// reqview's logic without a display: connection rules and settings, the
// request built from the form, the texts shown and copied, the history
// file and the XML colouring spans.

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include <fstream>
#include <sstream>

#include "call.h"
#include "connection.h"
#include "corvex/cx_server.h"
#include "history.h"
#include "xml_spans.h"

namespace
{

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const FunctionTable &table()
{
    static FunctionTable *t = [] {
        auto *loaded = new FunctionTable;
        ClearFunctionTable(*loaded);
        LoadFunctionTable(*loaded);
        return loaded;
    }();
    return *t;
}

FormState form(const std::string &function, std::array<std::string, kParamSlots> values = {})
{
    FormState f;
    f.host = "storage1";
    f.user = "admin";
    f.password = "s3cret";
    f.connectionType = "HTTP";
    f.function = function;
    f.values = values;
    return f;
}

std::string params_of(const CallRequest &r)
{
    std::string text;
    for (const CallParam &p : r.params)
        text += p.name + "=" + p.value + (p.secret ? "(secret)" : "") + ";";
    return text;
}

} // namespace

TEST(ReqviewLogic, ConnectionTypesPortsAndSettings)
{
    for (auto [text, enabled] : {std::pair{"HTTP", true},
                                 {"HTTPS", true},
                                 {"DCE/RPC", false},
                                 {"http", false},
                                 {"", false}})
        EXPECT_EQ(CredentialsEnabledFor(text), enabled) << text;
    struct route_case {
        const char *type;
        int style, transport, port;
        bool login;
    };
    for (const route_case &c : {route_case{"HTTP", CX_AUTH_LOGIN, CX_TRANSPORT_HTTP, 80, true},
                                {"HTTPS", CX_AUTH_LOGIN, CX_TRANSPORT_HTTPS, 443, true},
                                {"DCE/RPC", CX_AUTH_RPC, CX_TRANSPORT_HTTP, 80, false},
                                {"dce/rpc", CX_AUTH_LOGIN, CX_TRANSPORT_HTTP, 80, true},
                                {"Web", CX_AUTH_LOGIN, CX_TRANSPORT_HTTP, 80, true}}) {
        CallRoute r = RouteFor(c.type);
        EXPECT_EQ(r.authStyle, c.style) << c.type;
        EXPECT_EQ(r.transport, c.transport) << c.type;
        EXPECT_EQ(r.defaultPort, c.port) << c.type;
        EXPECT_EQ(r.sendsLogin, c.login) << c.type;
    }
    for (auto [text, port] :
         {std::pair{"", 0}, {"  ", 0}, {"8080", 8080}, {" 443 ", 443}, {"65535", 65535}, {"1", 1}})
        EXPECT_EQ(ParsePortField(text), port) << text;
    for (const char *bad : {"0", "65536", "99999999", "-1", "80a", "0x50", "8 0"})
        EXPECT_FALSE(ParsePortField(bad).has_value()) << bad;

    QTemporaryDir dir;
    QString path = dir.filePath("reqview.ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        ConnSettings none = ReadConnSettings(settings);
        EXPECT_TRUE(none.host.empty() && none.user.empty() && none.connectionType.empty() &&
                    none.port.empty());
        EXPECT_TRUE(WriteConnSettings(settings, {"storage1", "admin", "My type", ""}));
    }
    std::string text = read_file(path.toStdString());
    EXPECT_NE(text.find("[conndata]"), std::string::npos) << text;
    for (const char *line : {"vaultname=storage1", "username=admin", "conntype=My type", "port="})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    QSettings settings(path, QSettings::IniFormat);
    ConnSettings back = ReadConnSettings(settings);
    EXPECT_EQ(back.host, "storage1");
    EXPECT_EQ(back.connectionType, "My type");
}

TEST(ReqviewLogic, RequestFromTheForm)
{
    CallRequest r;
    std::string error;
    ASSERT_TRUE(BuildCallRequest(table(), form("system-get-version"), r, error));
    EXPECT_EQ(r.api, "system-get-version");
    EXPECT_TRUE(r.params.empty());
    EXPECT_EQ(r.port, 0);

    // Empty fields are omitted; spaces are sent as typed; field 2 alone sends slot 2.
    ASSERT_TRUE(
        BuildCallRequest(table(), form("file-write-file", {"", "  ", "", "/vol/v/a"}), r, error));
    EXPECT_EQ(params_of(r), "offset=  ;path=/vol/v/a;");
    ASSERT_TRUE(BuildCallRequest(table(), form("volume-size", {"", "vol0"}), r, error));
    EXPECT_EQ(params_of(r), "volume=vol0;");
    // Password inputs are marked; values beyond an API's inputs are not read.
    ASSERT_TRUE(BuildCallRequest(table(), form("user-set-password", {"x", "p1", "admin", "extra"}),
                                 r, error));
    EXPECT_EQ(params_of(r), "old-password=x(secret);password=p1(secret);user-name=admin;");
    std::array<std::string, kParamSlots> all;
    all.fill("v");
    ASSERT_TRUE(BuildCallRequest(table(), form("auth-directory-set-config", all), r, error));
    EXPECT_EQ(r.params.size(), 8u);

    // A text that matches no entry: sent by name when it can be an element name.
    ASSERT_TRUE(BuildCallRequest(table(), form("system-get-future", {"x"}), r, error));
    EXPECT_EQ(r.api, "system-get-future");
    EXPECT_TRUE(r.params.empty());
    for (auto [text, message] : {std::pair{"", "Choose a function to test"},
                                 {"volume list", "No function is named \"volume list\""},
                                 {"a<b", "No function is named \"a<b\""}}) {
        EXPECT_FALSE(BuildCallRequest(table(), form(text), r, error)) << text;
        EXPECT_EQ(error, message);
    }
    FormState bad_port = form("system-get-version");
    bad_port.port = "80000";
    EXPECT_FALSE(BuildCallRequest(table(), bad_port, r, error));
    EXPECT_EQ(error, "Port 80000 is not a number from 1 to 65535");
}

TEST(ReqviewLogic, TextsShownAndCopied)
{
    EXPECT_EQ(CutErrorText(std::string(300, 'r')), std::string(255, 'r'));
    EXPECT_EQ(CutErrorText("short"), "short");
    std::string accents;
    for (int i = 0; i < 300; i++)
        accents += "\xc3\xa9"; // e with acute accent, two bytes
    EXPECT_EQ(CutErrorText(accents), accents.substr(0, 510));
    EXPECT_EQ(DisplayCopy("<a>\n\t<b/>\r\n</a>\n"), "<a>\n\t<b/>\n</a>");
    EXPECT_EQ(DisplayCopy("<a/>\r\n"), "<a/>");
    EXPECT_EQ(DisplayCopy("one line"), "one line");

    struct copy_case {
        std::string type, port;
        std::string function;
        std::array<std::string, kParamSlots> values;
        std::string command;
    };
    const std::vector<copy_case> cases{
        {"HTTP",
         "",
         "system-get-version",
         {},
         "reqtool storage1 admin '<password>' system-get-version"},
        {"HTTPS",
         "8443",
         "volume-create",
         {"20g", "vol 0"},
         "reqtool -s -p 8443 storage1 admin '<password>' volume-create size 20g volume 'vol 0'"},
        {"DCE/RPC",
         "",
         "quota-report",
         {"it's"},
         "reqtool -r storage1 '' '' quota-report volume 'it'\\''s'"},
        {"HTTP",
         "",
         "user-set-password",
         {"", "n3w", "admin"},
         "reqtool storage1 admin '<password>' user-set-password password '<password>' user-name "
         "admin"},
        {"HTTP",
         "",
         "file-write-file",
         {"{a,b}", "0", "", "/vol/vol0/f"},
         "reqtool --literal 'data={a,b}' storage1 admin '<password>' file-write-file offset 0 "
         "path /vol/vol0/f"},
        {"HTTP",
         "",
         "file-write-file",
         {"a<b&c", "0", "", "/vol/vol0/f"},
         "reqtool storage1 admin '<password>' file-write-file data 'a<b&c' offset 0 path "
         "/vol/vol0/f"},
        {"HTTP",
         "",
         "file-write-file",
         {"@x", "0", "", "/vol/vol0/f"},
         "reqtool --literal data=@x storage1 admin '<password>' file-write-file offset 0 path "
         "/vol/vol0/f"}};
    for (const copy_case &c : cases) {
        FormState f = form(c.function, c.values);
        f.connectionType = c.type;
        f.port = c.port;
        CallRequest r;
        std::string error;
        ASSERT_TRUE(BuildCallRequest(table(), f, r, error)) << error;
        EXPECT_EQ(ReqtoolCommand(r), c.command);
    }
}

TEST(ReqviewLogic, HistoryKeepsCallsButNeverAPassword)
{
    QTemporaryDir dir;
    std::string path = dir.filePath("sub/history.json").toStdString();
    History history(path, 3);
    EXPECT_FALSE(history.Load());
    CallRequest r;
    std::string error;
    ASSERT_TRUE(
        BuildCallRequest(table(), form("user-set-password", {"old1", "new2", "admin"}), r, error));
    CallOutcome failed;
    failed.seconds = 0.25;
    history.Add(HistoryEntryFor(r, failed, "2025-01-10 12:00:00"));
    for (int k = 0; k < 4; k++) {
        FormState f = form("volume-create", {"20g", "vol" + std::to_string(k)});
        f.port = "8580";
        ASSERT_TRUE(BuildCallRequest(table(), f, r, error));
        CallOutcome passed;
        passed.passed = true;
        history.Add(HistoryEntryFor(r, passed, "2025-01-10 12:00:0" + std::to_string(k + 1)));
    }
    ASSERT_TRUE(history.Save());
    std::string text = read_file(path);
    for (const char *secret : {"s3cret", "old1", "new2"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;

    History again(path, 3);
    ASSERT_TRUE(again.Load());
    ASSERT_EQ(again.Entries().size(), 3u);
    const HistoryEntry &newest = again.Entries()[0];
    EXPECT_EQ(newest.api, "volume-create");
    EXPECT_EQ(newest.params, (std::vector<std::pair<std::string, std::string>>{
                                 {"size", "20g"}, {"volume", "vol3"}}));
    EXPECT_EQ(newest.port, "8580");
    EXPECT_EQ(again.Entries()[2].params[1].second, "vol1");
    EXPECT_EQ(HistoryLine(newest),
              "2025-01-10 12:00:04  volume-create  passed  storage1:8580  HTTP  0.00 s");

    std::ofstream(path) << "[{\"api\": broken";
    EXPECT_FALSE(again.Load());
    EXPECT_TRUE(again.Entries().empty());
}

TEST(ReqviewLogic, XmlColourSpans)
{
    using K = XmlKind;
    struct span_case {
        std::u16string line;
        int state_in, state_out;
        std::vector<XmlSpan> spans;
    };
    const std::vector<span_case> cases{
        {u"<results status=\"passed\">",
         kXmlText,
         kXmlText,
         {{0, 1, K::Bracket},
          {1, 7, K::TagName},
          {9, 6, K::AttributeName},
          {16, 8, K::AttributeValue},
          {24, 1, K::Bracket}}},
        {u"\t<name>a &lt; b</name>",
         kXmlText,
         kXmlText,
         {{1, 1, K::Bracket},
          {2, 4, K::TagName},
          {6, 1, K::Bracket},
          {9, 4, K::Entity},
          {15, 2, K::Bracket},
          {17, 4, K::TagName},
          {21, 1, K::Bracket}}},
        {u"<e a='x/>",
         kXmlText,
         kXmlInSingleValue,
         {{0, 1, K::Bracket},
          {1, 1, K::TagName},
          {3, 1, K::AttributeName},
          {5, 4, K::AttributeValue}}},
        {u"y' b=\"2\"/> tail",
         kXmlInSingleValue,
         kXmlText,
         {{0, 2, K::AttributeValue},
          {3, 1, K::AttributeName},
          {5, 3, K::AttributeValue},
          {8, 2, K::Bracket}}},
        {u"<?xml version='1.0'?><!-- open",
         kXmlText,
         kXmlInComment,
         {{0, 21, K::Declaration}, {21, 4, K::Comment}, {25, 5, K::Comment}}},
        {u"still --> <a/>",
         kXmlInComment,
         kXmlText,
         {{0, 9, K::Comment}, {10, 1, K::Bracket}, {11, 1, K::TagName}, {12, 2, K::Bracket}}},
        {u"plain & text", kXmlText, kXmlText, {}},
        {u"", kXmlInTag, kXmlInTag, {}},
        {u"<b", 99, kXmlInTag, {{0, 1, K::Bracket}, {1, 1, K::TagName}}}};
    for (const span_case &c : cases) {
        std::vector<XmlSpan> spans;
        EXPECT_EQ(XmlLineSpans(c.line, c.state_in, spans), c.state_out)
            << std::string(c.line.begin(), c.line.end());
        EXPECT_EQ(spans, c.spans) << std::string(c.line.begin(), c.line.end());
    }
}
