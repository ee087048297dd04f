// RPC transport: the request through the administration library's entry,
// UTF-16 on the way in and out, its system errors as failure documents.

#include "corvex/cx_rpc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "corvex/cx_invoke.h"
#include "corvex/cx_request.h"
#include "corvex/cx_startup.h"
#include "corvex/cx_xml.h"
#include "vovedi/pool.h"
#include "vovedi/sockerr.h"
#include "vovedi/str.h"
#include "vovedi/testpoint.h"
#include "vovedi/utf16.h"

namespace
{

constexpr int errno_nomem = 12;
constexpr const char failure_template[] = "<corvex version='1.1'><results status=\"failed\" "
                                          "reason=\"RPC Error - %s\" errno=\"%d\"></results>"
                                          "</corvex>";
constexpr const char no_message[] = "FormatMessage failed to create error message";
constexpr const char document_end[] = "</corvex>";

// A new NUL-terminated UTF-16 copy of a UTF-8 text; null when out of memory.
char16_t *wide_copy(const char *text)
{
    size_t length = strlen(text);
    size_t units = utf16_from_utf8(text, length, nullptr, 0);
    auto *wide = static_cast<char16_t *>(VV_MALLOC((units + 1) * sizeof(char16_t)));
    if (!wide)
        return nullptr;
    utf16_from_utf8(text, length, wide, units);
    wide[units] = u'\0';
    return wide;
}

// The entry's reply as a new UTF-8 text; null for no reply, one without a
// terminator within the limit, or no memory.
char *narrow_copy(const char16_t *reply)
{
    if (!reply)
        return nullptr;
    int limit = testpoint_int(CX_RPC_REPLY_LIMIT, "rpc", "reply-limit", __FILE__, __LINE__);
    size_t units = utf16_length(reply, static_cast<size_t>(limit));
    if (units == static_cast<size_t>(limit))
        return nullptr;
    size_t bytes = utf8_from_utf16(reply, units, nullptr, 0);
    auto *text = static_cast<char *>(VV_MALLOC(bytes + 1));
    if (!text)
        return nullptr;
    utf8_from_utf16(reply, units, text, bytes);
    text[bytes] = '\0';
    return text;
}

// A reply that starts a corvex document and ends with its closing tag.
bool is_complete_document(const char *text)
{
    size_t length = strlen(text);
    size_t tail = sizeof document_end - 1;
    return length > tail && strstr(text, "<corvex") &&
           strcmp(text + length - tail, document_end) == 0;
}

// The reply for a system error: a failure document with the error's text,
// escaped so that any text keeps the document well-formed; or, for an
// error without a text, the entry's own reply when that is a complete
// document.
char *error_document(unsigned code, const char16_t *reply)
{
    const char *text = sockerr_system_message(code);
    text = static_cast<const char *>(
        testpoint_ptr(const_cast<char *>(text), "rpc", "message", __FILE__, __LINE__));
    if (!text) {
        text = no_message;
        char *converted = narrow_copy(reply);
        if (converted && is_complete_document(converted))
            return converted;
        VV_FREE(converted);
    }
    char *escaped = xml_escape(text);
    if (!escaped)
        return nullptr;
    char *document = str_printf(failure_template, escaped, CX_ERR_RESPONSE);
    VV_FREE(escaped);
    return document;
}

cx_elem_t *failure(const char *reason, int error_number)
{
    return cx_results_new("failed", reason, error_number);
}

// The result of a reply document, parsed as a server reply.
cx_elem_t *decode_reply(const char *reply)
{
    cx_xml_state_t *state = xml_create();
    if (!state)
        return failure("Unable to allocate memory in xml_create.", errno_nomem);
    cx_elem_t *result;
    if (!xml_parse_string(reply, state))
        result = failure("Unable to allocate memory in xml_parse_string.", errno_nomem);
    else if (state->error)
        result = cx_reply_parse_error(state);
    else
        result = cx_reply_decode(&state->stack[0]);
    xml_destroy(state);
    return result;
}

} // namespace

char *cx_rpc_call(const char *host, const char *document)
{
    cx_rpc_entry_fn entry = cx_rpc_entry();
    if (!entry || !host || !document)
        return nullptr;
    char16_t *wide_host = wide_copy(host);
    char16_t *wide_document = wide_host ? wide_copy(document) : nullptr;
    char *result = nullptr;
    if (wide_document) {
        char16_t *reply = nullptr;
        unsigned code = entry(wide_host, wide_document, &reply);
        result = code == 0 ? narrow_copy(reply) : error_document(code, reply);
        free(reply); // the entry's own allocation
    }
    VV_FREE(wide_document);
    VV_FREE(wide_host);
    return result;
}

cx_elem_t *cx_invoke_rpc(cx_server_t *server, cx_elem_t *api)
{
    if (!server || !api) {
        errno = EINVAL;
        return nullptr;
    }
    char *document = nullptr;
    const char *dtd = cx_request_dtd_path(CX_TYPE_VAULT);
    if (cx_request_document(server, api, 1, dtd, &document) != CX_REQUEST_OK)
        return failure(nullptr, CX_ERR_INTERNAL);
    if (!cx_rpc_entry()) {
        VV_FREE(document);
        return failure("Failed to load cxadmin.dll", CX_ERR_RESPONSE);
    }
    char *reply = cx_rpc_call(server->host, document);
    VV_FREE(document);
    if (!reply)
        return failure("Error in RovaInvoke RPC", CX_ERR_RESPONSE);
    cx_elem_t *result;
    if (server->trace == CX_TRACE_RAW) {
        printf("\nOUTPUT:\n%s\n", reply);
        fflush(stdout);
        result = failure("debugging bypassed xml parsing", CX_ERR_RESPONSE);
    } else {
        result = decode_reply(reply);
    }
    VV_FREE(reply);
    return result;
}
