// One call from the dialog, and the texts around it.

#include "call.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <memory>

#include "connection.h"
#include "corvex/cx_elem.h"
#include "corvex/cx_invoke.h"
#include "corvex/cx_server.h"
#include "vovedi/pool.h"

namespace
{

constexpr size_t kErrorCharacters = 255;
constexpr const char *kPasswordPlaceholder = "<password>";

bool IsNameStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// Letters, digits, "-", "_" and ".", starting with a letter or "_": a name
// that can go out as an element without breaking the request.
bool IsElementName(std::string_view text)
{
    if (text.empty() || !IsNameStart(text[0]))
        return false;
    for (char c : text) {
        if (!IsNameStart(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.')
            return false;
    }
    return true;
}

struct ServerCloser {
    void operator()(cx_server_t *server) const { cx_server_close(server); }
};
struct ElemFreer {
    void operator()(cx_elem_t *elem) const { cx_elem_free(elem); }
};
struct TextFreer {
    void operator()(char *text) const { VV_FREE(text); }
};
using ServerPtr = std::unique_ptr<cx_server_t, ServerCloser>;
using ElemPtr = std::unique_ptr<cx_elem_t, ElemFreer>;
using TextPtr = std::unique_ptr<char, TextFreer>;

// The handle for a request: style, credentials, transport and port.
ServerPtr OpenServer(const CallRequest &request)
{
    ServerPtr server(cx_server_open(request.host.c_str(), 1, 1));
    if (!server)
        return nullptr;
    CallRoute route = RouteFor(request.connectionType);
    cx_server_set_auth_style(server.get(), route.authStyle);
    if (route.sendsLogin &&
        !cx_server_set_login(server.get(), request.user.c_str(), request.password.c_str()))
        return nullptr;
    if (route.transport != CX_TRANSPORT_HTTP &&
        !cx_server_set_transport(server.get(), route.transport))
        return nullptr;
    if (!cx_server_set_port(server.get(), request.port ? request.port : route.defaultPort))
        return nullptr;
    return server;
}

ElemPtr RequestElement(const CallRequest &request)
{
    ElemPtr api(cx_elem_create(request.api.c_str()));
    if (!api)
        return nullptr;
    for (const CallParam &p : request.params) {
        if (!cx_elem_child_add_string(api.get(), p.name.c_str(), p.value.c_str()))
            return nullptr;
    }
    return api;
}

// Values reqtool would read as an array ("{") or an encrypted value ("@")
// when given as an operand; --literal sends them as they are.
bool NeedsLiteral(const CallParam &p)
{
    return !p.secret && !p.value.empty() && (p.value[0] == '{' || p.value[0] == '@');
}

// The API and its parameters as reqtool's operands, password parameters as
// placeholders; the values NeedsLiteral picks are left to the options.
std::string CommandOperands(const CallRequest &request)
{
    std::string command = " " + ShellQuote(request.api);
    for (const CallParam &p : request.params) {
        if (!NeedsLiteral(p))
            command += " " + ShellQuote(p.name) + " " +
                       ShellQuote(p.secret ? "<" + p.name + ">" : p.value);
    }
    return command;
}

} // namespace

bool BuildCallRequest(const FunctionTable &table, const FormState &form, CallRequest &request,
                      std::string &error)
{
    request = CallRequest{};
    std::optional<int> port = ParsePortField(form.port);
    if (!port) {
        error = "Port " + form.port + " is not a number from 1 to 65535";
        return false;
    }
    request.host = form.host;
    request.user = form.user;
    request.password = form.password;
    request.connectionType = form.connectionType;
    request.port = *port;
    const FunctionEntry *entry = FindFunction(table, form.function);
    if (!entry) {
        if (form.function.empty())
            error = "Choose a function to test";
        else if (!IsElementName(form.function))
            error = "No function is named \"" + form.function + "\"";
        else
            request.api = form.function;
        return !request.api.empty();
    }
    request.api = entry->name;
    for (int k = 0; k < entry->inputCount && k < kParamSlots; k++) {
        if (!form.values[k].empty())
            request.params.push_back(
                CallParam{entry->params[k].name, form.values[k], entry->params[k].secret != 0});
    }
    return true;
}

CallOutcome RunCall(const CallRequest &request)
{
    CallOutcome outcome;
    auto start = std::chrono::steady_clock::now();
    ServerPtr server = OpenServer(request);
    ElemPtr api = server ? RequestElement(request) : nullptr;
    ElemPtr result(api ? cx_server_invoke_elem(server.get(), api.get()) : nullptr);
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result) {
        outcome.errorText = "Out of memory: the call could not be made";
        return outcome;
    }
    const char *reason = cx_result_failure_text(result.get());
    outcome.passed = reason == nullptr;
    if (reason)
        outcome.errorText = CutErrorText(reason);
    TextPtr text(cx_elem_to_string(result.get()));
    if (!text) {
        outcome.errorText = "Out of memory: the result cannot be shown";
        return outcome;
    }
    outcome.resultBytes = strlen(text.get());
    outcome.outputText = DisplayCopy(text.get());
    return outcome;
}

std::string CutErrorText(std::string_view reason)
{
    size_t characters = 0;
    for (size_t i = 0; i < reason.size(); i++) {
        bool starts_character = (static_cast<unsigned char>(reason[i]) & 0xC0) != 0x80;
        if (starts_character && characters++ == kErrorCharacters)
            return std::string(reason.substr(0, i));
    }
    return std::string(reason);
}

std::string DisplayCopy(std::string_view text)
{
    // The last line's end ends it; it does not start another line.
    if (text.ends_with("\r\n"))
        text.remove_suffix(2);
    else if (text.ends_with('\n'))
        text.remove_suffix(1);
    std::string copy;
    copy.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        copy += text[i];
    }
    return copy;
}

std::string ShellQuote(std::string_view text)
{
    bool plain = !text.empty();
    for (char c : text) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::string_view("-_./:=@,+%").find(c) != std::string_view::npos;
        plain = plain && safe;
    }
    if (plain)
        return std::string(text);
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string ReqtoolCommand(const CallRequest &request)
{
    CallRoute route = RouteFor(request.connectionType);
    bool login = route.sendsLogin;
    std::string command = "reqtool";
    if (route.authStyle == CX_AUTH_RPC)
        command += " -r";
    if (route.transport == CX_TRANSPORT_HTTPS)
        command += " -s";
    if (request.port)
        command += " -p " + std::to_string(request.port);
    for (const CallParam &p : request.params) {
        if (NeedsLiteral(p))
            command += " --literal " + ShellQuote(p.name + "=" + p.value);
    }
    command += " " + ShellQuote(request.host);
    command += " " + ShellQuote(login ? request.user : "");
    command += " " + ShellQuote(login && !request.password.empty() ? kPasswordPlaceholder : "");
    return command + CommandOperands(request);
}
