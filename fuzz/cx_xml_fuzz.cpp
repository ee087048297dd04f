// Fuzz target: arbitrary bytes through the reply parser and the request
// parser; every tree that parses is written back out.

#include <cstddef>
#include <cstdint>
#include <string>

#include "corvex/cx_elem.h"
#include "corvex/cx_xml.h"
#include "vovedi/pool.h"

namespace
{

void write_back(cx_xml_state_t *state)
{
    if (state->error || !state->stack[0].element)
        return;
    char *text = cx_elem_to_string(state->stack[0].element);
    VV_FREE(text);
    text = cx_elem_sprintf(state->stack[0].element, -1, "ns:");
    VV_FREE(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The parsers take NUL-terminated text, as their callers hand it over.
    std::string text(reinterpret_cast<const char *>(data), size);

    cx_xml_state_t *reply = xml_create();
    if (reply && xml_parse_string(text.c_str(), reply))
        write_back(reply);
    xml_destroy(reply);

    cx_xml_state_t *request = cx_xml_request_state_new();
    cx_xml_source_t *source = cx_xml_source_new(text.c_str());
    if (request && source) {
        cx_xml_request_parse(request, cx_xml_source_read, source);
        write_back(request);
    }
    cx_xml_source_free(source);
    cx_xml_request_state_free(request);
    return 0;
}
