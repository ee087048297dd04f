#include "reqtool_values.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "reqtool_json.h"
#include "reqtool_options.h"
#include "vovedi/pool.h"

const char *reqtool_value_refusal(const char *text, size_t length, size_t *at)
{
    for (size_t k = 0; k < length;) {
        *at = k;
        auto c = static_cast<unsigned char>(text[k]);
        if (c == '\0')
            return "a zero byte, which ends a text";
        if (c == '\r')
            return "a carriage return, which the server would read as a line feed";
        if (c < 0x20 && c != '\t' && c != '\n')
            return "a control character, which XML cannot hold";
        size_t size = reqtool_utf8_sequence(text + k, length - k);
        if (size == 0)
            return "not UTF-8 text";
        if (size == 3 && memcmp(text + k, "\xef\xbf", 2) == 0 &&
            (text[k + 2] == '\xbe' || text[k + 2] == '\xbf'))
            return "the start of U+FFFE or U+FFFF, which XML cannot hold";
        k += size;
    }
    return nullptr;
}

char *reqtool_file_text(const char *path, size_t *length)
{
    *length = 0;
    FILE *in = fopen(path, "rb");
    if (!in) {
        fprintf(stderr, "reqtool: cannot open %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    size_t size = 4096, used = 0;
    char *text = static_cast<char *>(VV_MALLOC(size));
    while (text) {
        used += fread(text + used, 1, size - used - 1, in);
        if (used + 1 < size || ferror(in) || feof(in))
            break;
        char *grown =
            size <= SIZE_MAX / 2 ? static_cast<char *>(VV_REALLOC(text, 2 * size)) : nullptr;
        if (!grown)
            VV_FREE(text);
        text = grown;
        size *= 2;
    }
    int error = ferror(in) ? errno : 0;
    fclose(in);
    if (!text || error) {
        fprintf(stderr, "reqtool: cannot read %s: %s\n", path, strerror(text ? error : ENOMEM));
        VV_FREE(text);
        return nullptr;
    }
    text[used] = '\0';
    *length = used;
    return text;
}

namespace
{

// Add one NAME=VALUE parameter whose value is value (length bytes).
int add_value(cx_elem_t *api, const char *option, const char *argument, const char *value,
              size_t length)
{
    const char *equals = strchr(argument, '=');
    size_t at;
    if (const char *why = reqtool_value_refusal(value, length, &at)) {
        fprintf(stderr, "reqtool: %s %s: byte %zu (0x%02x) is %s\n", option, argument, at,
                static_cast<unsigned char>(value[at]), why);
        fputs("Only such values can be sent as they stand; encode the others, for example in "
              "base64.\n",
              stderr);
        return 1;
    }
    char name[256];
    size_t name_length = static_cast<size_t>(equals - argument);
    if (name_length >= sizeof name) {
        fprintf(stderr, "reqtool: %s %s: the name is too long\n", option, argument);
        return 1;
    }
    memcpy(name, argument, name_length);
    name[name_length] = '\0';
    if (!cx_elem_child_add_string(api, name, value)) {
        fprintf(stderr, "Error: couldn't create elem %s\n", name);
        return 1;
    }
    return 0;
}

} // namespace

int reqtool_values_add(cx_elem_t *api, const reqtool_long_settings &settings)
{
    reqtool_scanner scanner;
    int letter;
    while ((letter = reqtool_parse_options(scanner, settings.argc, settings.argv,
                                           reqtool_optstring)) != -1) {
        if (letter != REQTOOL_LONG_OPTION)
            continue;
        const char *argument;
        int id = reqtool_long_take(scanner, settings.argc, settings.argv, &argument);
        if (id == REQTOOL_LONG_LITERAL) {
            const char *value = strchr(argument, '=') + 1;
            if (add_value(api, "--literal", argument, value, strlen(value)))
                return 1;
        } else if (id == REQTOOL_LONG_VALUE_FILE) {
            size_t length;
            char *text = reqtool_file_text(strchr(argument, '=') + 1, &length);
            int status = text ? add_value(api, "--value-file", argument, text, length) : 1;
            VV_FREE(text);
            if (status)
                return status;
        }
    }
    return 0;
}
