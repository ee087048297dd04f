// One "Test Function" call: the request built from what the dialog shows,
// the call itself through the client library, the texts shown afterwards,
// and the reqtool command line that makes the same call.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "function_table.h"

// The texts of the dialog's controls when the button is pressed.
struct FormState {
    std::string host;
    std::string user;
    std::string password;
    std::string connectionType;
    std::string port;
    std::string function; // the chosen item or the typed text of the function box
    std::array<std::string, kParamSlots> values;
};

struct CallParam {
    std::string name;
    std::string value;
    bool secret = false; // carries a password
};

struct CallRequest {
    std::string host;
    std::string user;
    std::string password;
    std::string connectionType;
    int port = 0; // 0: the connection type's default
    std::string api;
    std::vector<CallParam> params; // the filled fields, in slot order
};

// The request for a form: the function's entry names the API and its slots
// the parameters, one per non-empty field, sent as typed. A text that
// matches no entry is sent as an API of that name without parameters when
// it is a valid element name. Returns false with a message for the error
// box for an empty or invalid function text or a bad port.
bool BuildCallRequest(const FunctionTable &table, const FormState &form, CallRequest &request,
                      std::string &error);

struct CallOutcome {
    bool passed = false;
    std::string errorText;  // the failure reason, cut to 255 characters; empty when passed
    std::string outputText; // the result element as indented XML, in lines
    double seconds = 0;     // how long the call took
    size_t resultBytes = 0; // size of the result element's text
};

// Perform the call with a fresh server handle and release everything it
// took. Safe to run on any thread; every failure comes back as an outcome.
CallOutcome RunCall(const CallRequest &request);

// The first 255 characters of a failure reason (UTF-8 characters, never
// cut inside one).
std::string CutErrorText(std::string_view reason);

// The result text as the output box shows it: one line per line of text,
// whether the lines end in "\n" or "\r\n"; the last line's end is dropped.
std::string DisplayCopy(std::string_view text);

// The reqtool command line for the same call, every word quoted for a POSIX
// shell, with the password ("<password>") and every password parameter
// ("<name>") left as placeholders. Values reqtool would read as arrays or
// encrypted values ("{", "@") are passed with --literal.
std::string ReqtoolCommand(const CallRequest &request);

// text quoted for a POSIX shell when it needs quoting.
std::string ShellQuote(std::string_view text);
