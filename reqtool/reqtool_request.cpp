#include "reqtool_request.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "corvex/cx_invoke.h"
#include "corvex/cx_xml.h"
#include "reqtool_options.h"
#include "reqtool_script.h"
#include "reqtool_values.h"
#include "vovedi/pool.h"

namespace
{

struct elem_release {
    void operator()(cx_elem_t *elem) const { cx_elem_free(elem); }
};
using elem_ptr = std::unique_ptr<cx_elem_t, elem_release>;

struct text_release {
    void operator()(char *text) const { VV_FREE(text); }
};
using text_ptr = std::unique_ptr<char, text_release>;

int no_elem(const char *name)
{
    fprintf(stderr, "Error: couldn't create elem %s\n", name);
    return reqtool_status_no_elem;
}

// Values are separated by runs of these characters.
constexpr const char values_separators[] = ", ";

bool is_separator(char c)
{
    return c != '\0' && strchr(values_separators, c) != nullptr;
}

// Copy a values-array argument into copy (of reqtool_values_size bytes),
// without its closing brace. An argument too long for the copy is cut with a
// warning; a value that the cut falls into is left out rather than sent
// shortened.
void copy_values(char *copy, const char *argument)
{
    size_t length = strnlen(argument, reqtool_values_size - 1);
    memcpy(copy, argument, length);
    const char after = argument[length];
    if (after != '\0') {
        fputs("Warning: values array is too long\n", stderr);
        if (!is_separator(after) && after != '}') {
            while (length > 1 && !is_separator(copy[length - 1]))
                length--;
        }
    } else if (length > 1 && copy[length - 1] == '}') {
        length--;
    }
    copy[length] = '\0';
}

// Add one child "arg" per value in values. Only the first value may start
// with '}'; a later one ends the list.
bool add_values(cx_elem_t *array, char *values)
{
    bool first = true;
    for (char *cursor = values;;) {
        cursor += strspn(cursor, values_separators);
        if (*cursor == '\0' || (!first && *cursor == '}'))
            return true;
        char *end = cursor + strcspn(cursor, values_separators);
        const bool last = *end == '\0';
        *end = '\0';
        if (!cx_elem_child_add_string(array, "arg", cursor))
            return false;
        if (last)
            return true;
        first = false;
        cursor = end + 1;
    }
}

} // namespace

cx_elem_t *reqtool_values_array(const char *name, const char *argument)
{
    elem_ptr array(cx_elem_create(name));
    if (!array) {
        no_elem(name);
        return nullptr;
    }
    char copy[reqtool_values_size];
    copy_values(copy, argument);
    if (!add_values(array.get(), copy[0] ? copy + 1 : copy)) {
        no_elem("arg");
        return nullptr;
    }
    return array.release();
}

int reqtool_add_pair(cx_elem_t *api, const char *name, const char *argument)
{
    if (argument[0] == '{') {
        cx_elem_t *array = reqtool_values_array(name, argument);
        if (!array)
            return reqtool_status_no_elem;
        cx_elem_child_add(api, array);
        return 0;
    }
    cx_elem_t *child = argument[0] == '@'
                           ? cx_elem_child_add_encrypted(api, name, argument + 1, nullptr)
                           : cx_elem_child_add_string(api, name, argument);
    return child ? 0 : no_elem(name);
}

int reqtool_build_from_pairs(char *const operands[], int count, cx_elem_t **api)
{
    *api = nullptr;
    elem_ptr root(cx_elem_create(operands[0]));
    if (!root)
        return no_elem(operands[0]);
    for (int i = 1; i + 1 < count; i += 2) {
        if (int status = reqtool_add_pair(root.get(), operands[i], operands[i + 1]))
            return status;
    }
    *api = root.release();
    return 0;
}

char *reqtool_read_stream(FILE *in)
{
    // The buffer starts at 512 bytes and doubles, so that a long input is
    // copied a few times in all, not once per 512 bytes.
    size_t size = 512;
    text_ptr buffer(static_cast<char *>(VV_MALLOC(size)));
    if (!buffer) {
        fputs("Unable to allocate memory for buffer\n", stderr);
        return nullptr;
    }
    size_t length = 0;
    int c;
    while ((c = getc(in)) != EOF) {
        if (length + 1 >= size) {
            auto *grown = size <= SIZE_MAX / 2
                              ? static_cast<char *>(VV_REALLOC(buffer.get(), 2 * size))
                              : nullptr;
            if (!grown) {
                fputs("Fatal logic error, buffp shouldn't be NULL!\n", stderr);
                return nullptr;
            }
            (void)buffer.release();
            buffer.reset(grown);
            size *= 2;
        }
        buffer.get()[length++] = static_cast<char>(c);
    }
    if (ferror(in)) {
        fprintf(stderr, "Unable to read standard input: %s\n", strerror(errno));
        return nullptr;
    }
    buffer.get()[length] = '\0';
    return buffer.release();
}

char *reqtool_read_stdin(void)
{
    return reqtool_read_stream(stdin);
}

cx_elem_t *cx_request_from_xml(const char *xml)
{
    cx_xml_source_t *source = cx_xml_source_new(xml);
    cx_xml_state_t *state = source ? cx_xml_request_state_new() : nullptr;
    cx_elem_t *root = nullptr;
    if (!state) {
        fprintf(stderr, "Parse error: %s\n", strerror(ENOMEM));
    } else {
        cx_xml_request_parse(state, cx_xml_source_read, source);
        if (state->error) {
            fprintf(stderr, "Parse error: %s\n", state->error);
        } else if (!state->stack[0].element) {
            fputs("No elements in API request\n", stderr);
        } else {
            root = state->stack[0].element;
            state->stack[0].element = nullptr;
        }
    }
    cx_xml_request_state_free(state);
    cx_xml_source_free(source);
    return root;
}

namespace
{

int build_request(char *const operands[], int count, int input_mode, cx_elem_t **api)
{
    *api = nullptr;
    if (input_mode == REQTOOL_INPUT_XML_ARG) {
        *api = cx_request_from_xml(operands[0]);
    } else if (input_mode == REQTOOL_INPUT_XML_STDIN) {
        text_ptr text(reqtool_read_stdin());
        if (text)
            *api = cx_request_from_xml(text.get());
    } else {
        return reqtool_build_from_pairs(operands, count, api);
    }
    return *api ? 0 : 1;
}

// Print heading and the element written with indentation, then a line
// end, straight to standard output. 0; 1 after a message on standard error
// when standard output cannot be written.
int print_elem(const char *heading, const cx_elem_t *elem)
{
    fputs(heading, stdout);
    cx_xml_stream_t out;
    if (!cx_xml_stream_open(&out, stdout)) {
        fputs("Memory allocation error in cx_elem_to_string\n", stdout);
        return 0;
    }
    bool written = cx_elem_write_stream(elem, 0, "", &out) && cx_xml_stream_write(&out, "\n", 1);
    if (cx_xml_stream_close(&out) && written)
        return 0;
    fprintf(stderr, "reqtool: cannot write the result: %s\n", strerror(errno));
    return 1;
}

} // namespace

int reqtool_build_and_invoke(cx_server_t *server, char *const operands[], int count, int print_mode,
                             int input_mode, const reqtool_long_settings *longs)
{
    if (print_mode == REQTOOL_PRINT_RAW)
        cx_server_set_trace(server, CX_TRACE_RAW);
    cx_elem_t *built;
    if (int status = build_request(operands, count, input_mode, &built))
        return status;
    elem_ptr api(built);
    if (longs && longs->values && reqtool_values_add(api.get(), *longs) != 0)
        return 1;
    if (longs && longs->output != REQTOOL_OUTPUT_PLAIN)
        return reqtool_script_call(server, api.get(), print_mode, *longs);
    const bool fail = longs && longs->fail;
    // Without a place to print the result, the call is not made.
    if (print_mode == REQTOOL_PRINT_HEADED && print_elem("INPUT:\n", api.get()) != 0)
        return REQTOOL_EXIT_USAGE;
    elem_ptr result(cx_server_invoke_elem(server, api.get()));
    if (!result) {
        fputs("Memory allocation error in cx_server_invoke_elem\n", stdout);
        return fail ? REQTOOL_EXIT_NO_RESULT : 0;
    }
    if (print_elem(print_mode == REQTOOL_PRINT_HEADED ? "OUTPUT:\n" : "", result.get()) != 0)
        return REQTOOL_EXIT_USAGE;
    return fail ? reqtool_outcome(result.get()) : 0;
}
