// Fuzz target: arbitrary bytes through the reply parser and the request
// parser. Every tree that parses is written back out, indented and compact,
// and what is written must parse again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "corvex/cx_elem.h"
#include "corvex/cx_xml.h"
#include "vovedi/pool.h"

namespace
{

// The tree the reply parser makes of text, or null (freed by the caller).
cx_elem_t *reply_tree(const char *text)
{
    cx_xml_state_t *state = xml_create();
    cx_elem_t *root = nullptr;
    if (state && xml_parse_string(text, state) && !state->error) {
        root = state->stack[0].element;
        state->stack[0].element = nullptr;
    }
    xml_destroy(state);
    return root;
}

// The written forms of a parsed tree parse again.
void round_trip(const cx_elem_t *root)
{
    for (int level : {0, -1}) {
        char *text = cx_elem_sprintf(root, level, "");
        if (!text)
            abort();
        cx_elem_t *again = reply_tree(text);
        if (!again)
            abort(); // the writer wrote what the reader cannot read
        cx_elem_free(again);
        VV_FREE(text);
    }
    VV_FREE(cx_elem_sprintf(root, -1, "ns:"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The parsers take NUL-terminated text, as their callers hand it over.
    std::string text(reinterpret_cast<const char *>(data), size);

    cx_elem_t *root = reply_tree(text.c_str());
    if (root)
        round_trip(root);
    cx_elem_free(root);

    cx_xml_state_t *request = cx_xml_request_state_new();
    cx_xml_source_t *source = cx_xml_source_new(text.c_str());
    if (request && source) {
        cx_xml_request_parse(request, cx_xml_source_read, source);
        if (!request->error && request->stack[0].element)
            VV_FREE(cx_elem_to_string(request->stack[0].element));
    }
    cx_xml_source_free(source);
    cx_xml_request_state_free(request);
    return 0;
}
