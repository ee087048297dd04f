// Walking the API catalog: headers, parameters and display names.

#include "reqview/api_catalog.h"

#include <cstddef>
#include <cstring>

static_assert(sizeof(api_catalog_rec) == 140, "a catalog record is 140 bytes");
static_assert(offsetof(api_catalog_rec, type) == 64 && offsetof(api_catalog_rec, role) == 128 &&
                  offsetof(api_catalog_rec, attribute) == 132 &&
                  offsetof(api_catalog_rec, reserved) == 136,
              "catalog record fields sit at their offsets");

namespace
{

bool is_end(const api_catalog_rec *record)
{
    return record->name[0] == '\0';
}

bool is_header(const api_catalog_rec *record)
{
    return !is_end(record) && record->role == API_ROLE_HEADER;
}

// The record after the parameters of api: the next header or the terminator.
const api_catalog_rec *after_params(const api_catalog_rec *api)
{
    const api_catalog_rec *record = api + 1;
    while (!is_end(record) && record->role != API_ROLE_HEADER)
        record++;
    return record;
}

size_t count_params(const api_catalog_rec *api, bool outputs)
{
    if (!api)
        return 0;
    size_t count = 0;
    const api_catalog_rec *end = after_params(api);
    for (const api_catalog_rec *p = api + 1; p != end; p++)
        count += (p->role == API_ROLE_OUTPUT) == outputs;
    return count;
}

} // namespace

const api_catalog_rec *api_catalog_first(const api_catalog_rec *catalog)
{
    if (!catalog)
        return nullptr;
    // A well-formed catalog starts with a header; skip stray parameters anyway.
    const api_catalog_rec *record = catalog;
    while (!is_end(record) && !is_header(record))
        record++;
    return is_end(record) ? nullptr : record;
}

const api_catalog_rec *api_catalog_next(const api_catalog_rec *api)
{
    if (!api || is_end(api))
        return nullptr;
    const api_catalog_rec *record = after_params(api);
    return is_end(record) ? nullptr : record;
}

size_t api_catalog_count(const api_catalog_rec *catalog)
{
    size_t count = 0;
    for (const api_catalog_rec *api = api_catalog_first(catalog); api; api = api_catalog_next(api))
        count++;
    return count;
}

const api_catalog_rec *api_catalog_find(const api_catalog_rec *catalog, const char *name)
{
    if (!name)
        return nullptr;
    char display[API_CATALOG_NAME_SIZE + 1];
    for (const api_catalog_rec *api = api_catalog_first(catalog); api;
         api = api_catalog_next(api)) {
        if (strncmp(api->name, name, API_CATALOG_NAME_SIZE) == 0 &&
            strlen(name) == strnlen(api->name, API_CATALOG_NAME_SIZE))
            return api;
        api_catalog_record_display_name(api, display, sizeof display);
        if (strcmp(display, name) == 0)
            return api;
    }
    return nullptr;
}

const api_catalog_rec *api_catalog_params(const api_catalog_rec *api, size_t *count)
{
    size_t n = api && !is_end(api) ? static_cast<size_t>(after_params(api) - (api + 1)) : 0;
    if (count)
        *count = n;
    return n ? api + 1 : nullptr;
}

size_t api_catalog_input_count(const api_catalog_rec *api)
{
    return count_params(api, false);
}

size_t api_catalog_output_count(const api_catalog_rec *api)
{
    return count_params(api, true);
}

api_param_kind api_catalog_param_kind(const api_catalog_rec *param)
{
    if (param->role == API_ROLE_OUTPUT)
        return API_PARAM_OUTPUT;
    return param->role == API_ROLE_OPTIONAL ? API_PARAM_OPTIONAL : API_PARAM_REQUIRED;
}

namespace
{

size_t display_name(const char *name, size_t length, char *buffer, size_t size)
{
    constexpr char prefix[] = "rova_";
    constexpr size_t prefix_length = sizeof prefix - 1;
    // "_" and "-" both become "-", so the prefix test can look at the source.
    size_t skip = 0;
    if (length >= prefix_length && strncmp(name, "rova", 4) == 0 &&
        (name[4] == '_' || name[4] == '-'))
        skip = prefix_length;
    size_t out = 0;
    for (size_t i = skip; i < length; i++, out++) {
        if (out + 1 < size)
            buffer[out] = name[i] == '_' ? '-' : name[i];
    }
    if (size > 0)
        buffer[out < size ? out : size - 1] = '\0';
    return out;
}

} // namespace

size_t api_catalog_display_name(const char *name, char *buffer, size_t size)
{
    if (!name) {
        if (buffer && size > 0)
            buffer[0] = '\0';
        return 0;
    }
    return display_name(name, strlen(name), buffer, buffer ? size : 0);
}

size_t api_catalog_record_display_name(const api_catalog_rec *record, char *buffer, size_t size)
{
    if (!record)
        return api_catalog_display_name(nullptr, buffer, size);
    return display_name(record->name, strnlen(record->name, API_CATALOG_NAME_SIZE), buffer,
                        buffer ? size : 0);
}
