/*
 * Invocation: one API call over the transport a server handle selects, and
 * the result elements that stand for every failure.
 */
#ifndef CORVEX_CX_INVOKE_H
#define CORVEX_CX_INVOKE_H

#include <stddef.h>
#include "corvex/cx_elem.h"
#include "corvex/cx_server.h"
#include "corvex/cx_xml.h"
#include "vovedi/common.h"

VV_BEGIN_DECL

/* Error numbers of the failure results the library builds. */
enum {
    CX_ERR_INTERNAL = 13001,
    CX_ERR_AUTH = 13002,
    CX_ERR_RESPONSE = 13011,
    CX_ERR_CONNECT = 13055,
    CX_ERR_READ = 13057,
    CX_ERR_REPLY_NOMEM = 13922
};

/*
 * Perform one call: send api (wrapped in the request envelope) and return
 * the server's results element, or a failed results element with a reason
 * and an errno for every failure on the way. The caller owns the result
 * (cx_elem_free); api stays the caller's, unchanged. Null with errno EINVAL
 * for a null argument, and null when not even the failure result could be
 * allocated.
 */
cx_elem_t *cx_server_invoke_elem(cx_server_t *server, cx_elem_t *api);

/*
 * A new "results" element with "status" set to status, "reason" (stored
 * XML-escaped) when reason is given and not empty, and "errno" when
 * error_number is 0 or more. Null with EINVAL for a null status, or ENOMEM.
 */
cx_elem_t *cx_results_new(const char *status, const char *reason, int error_number);

/*
 * The failure text of a status code into buffer (size bytes):
 * "<transport> - <text>" for a known code, with " (<extra>)" when extra is
 * not 0, and "<transport> - failed, status code = <code>" for any other.
 * Returns buffer.
 */
char *cx_status_message(int code, const char *transport, int extra, char *buffer, size_t size);

/* The errno of the failure result for a status code. */
int cx_status_errno(int code);

/*
 * The result of a parsed reply: its results element (the whole corvex root
 * when that holds more than one child), taken out of entry so that
 * destroying the parse state leaves it alone; a failure result when the
 * reply holds no corvex root or no results element.
 */
cx_elem_t *cx_reply_decode(cx_xml_entry_t *entry);

/* The failure result for a reply that did not parse. */
cx_elem_t *cx_reply_parse_error(const cx_xml_state_t *state);

/*
 * The failure reason of a result in plain text (XML entities decoded), or
 * null for a passed result (and for a null one, with errno EINVAL). A
 * failed result without a reason gives "Unknown". The text belongs to the
 * result: its "reason" attribute is replaced by the decoded text.
 */
const char *cx_result_failure_text(cx_elem_t *result);

VV_END_DECL

#endif
