#include "reqtool_catalog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fnmatch.h>
#include <strings.h>

#include "reqview/api_catalog.h"

namespace
{

// Room for any display name of the catalog's 64-byte fields.
constexpr size_t name_size = API_CATALOG_NAME_SIZE + 1;

bool case_blind_part(const char *name, const char *part)
{
    size_t length = strlen(part);
    for (const char *p = name; *p; p++) {
        if (strncasecmp(p, part, length) == 0)
            return true;
    }
    return length == 0;
}

bool matches(const char *name, const char *pattern)
{
    if (strpbrk(pattern, "*?["))
        return fnmatch(pattern, name, FNM_CASEFOLD) == 0;
    return case_blind_part(name, pattern);
}

const char *kind_text(const api_catalog_rec *param)
{
    switch (api_catalog_param_kind(param)) {
    case API_PARAM_REQUIRED:
        return "required";
    case API_PARAM_OPTIONAL:
        return "optional";
    default:
        return "";
    }
}

// Print the inputs or the outputs of an API in aligned columns.
void print_params(const api_catalog_rec *params, size_t count, bool outputs)
{
    int name_width = 0, type_width = 0;
    size_t shown = 0;
    for (size_t k = 0; k < count; k++) {
        if ((api_catalog_param_kind(&params[k]) == API_PARAM_OUTPUT) != outputs)
            continue;
        name_width = std::max(name_width, static_cast<int>(strnlen(params[k].name, 64)));
        type_width = std::max(type_width, static_cast<int>(strnlen(params[k].type, 64)));
        shown++;
    }
    printf("%s:%s\n", outputs ? "Outputs" : "Inputs", shown ? "" : " none");
    for (size_t k = 0; k < count; k++) {
        const api_catalog_rec &p = params[k];
        if ((api_catalog_param_kind(&p) == API_PARAM_OUTPUT) != outputs)
            continue;
        if (outputs)
            printf("  %-*.64s  %.64s\n", name_width, p.name, p.type);
        else
            printf("  %-*.64s  %-*.64s  %s%s\n", name_width, p.name, type_width, p.type,
                   kind_text(&p), p.attribute == API_ATTR_PASSWORD ? ", password" : "");
    }
}

} // namespace

int reqtool_catalog_list(char *const patterns[], int count)
{
    int shown = 0;
    for (const api_catalog_rec *api = api_catalog_first(api_catalog); api;
         api = api_catalog_next(api)) {
        char name[name_size];
        api_catalog_record_display_name(api, name, sizeof name);
        bool wanted = count == 0;
        for (int k = 0; k < count && !wanted; k++)
            wanted = matches(name, patterns[k]);
        if (wanted) {
            puts(name);
            shown++;
        }
    }
    if (shown > 0)
        return 0;
    if (count == 1)
        fprintf(stderr, "reqtool: no API name matches \"%s\"\n", patterns[0]);
    else
        fputs("reqtool: no API name matches the patterns\n", stderr);
    fputs("reqtool --list-apis alone lists every name.\n", stderr);
    return 1;
}

int reqtool_catalog_describe(const char *name)
{
    const api_catalog_rec *api = api_catalog_find(api_catalog, name);
    if (!api) {
        fprintf(stderr, "reqtool: the catalog has no API called \"%s\"\n", name);
        fprintf(stderr, "reqtool --list-apis %s lists the names holding that word.\n", name);
        return 1;
    }
    char display[name_size];
    api_catalog_record_display_name(api, display, sizeof display);
    printf("%s (%.64s)\n", display, api->name);
    size_t count = 0;
    const api_catalog_rec *params = api_catalog_params(api, &count);
    print_params(params, count, false);
    print_params(params, count, true);
    printf("Call:\n  reqtool HOST USER PASSWORD %s", display);
    for (size_t k = 0; k < count; k++) {
        if (api_catalog_param_kind(&params[k]) == API_PARAM_REQUIRED)
            printf(" %.64s VALUE", params[k].name);
    }
    printf("\n");
    return 0;
}
