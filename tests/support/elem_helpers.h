// Helpers for tests of element trees: owning pointers and written forms.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "corvex/cx_elem.h"
#include "vovedi/pool.h"

struct elem_deleter {
    void operator()(cx_elem_t *elem) const { cx_elem_free(elem); }
};
using elem_ptr = std::unique_ptr<cx_elem_t, elem_deleter>;

// The tree written by cx_elem_sprintf, or "(null)" when writing failed.
inline std::string written(const cx_elem_t *elem, int level = 0, const char *prefix = "")
{
    char *text = cx_elem_sprintf(elem, level, prefix);
    if (!text)
        return "(null)";
    std::string out = text;
    VV_FREE(text);
    return out;
}

// Names of the direct children, in order.
inline std::vector<std::string> child_names(const cx_elem_t *elem)
{
    std::vector<std::string> names;
    cx_elem_iter_t it = cx_elem_child_iter(elem);
    while (cx_elem_t *child = cx_elem_iter_next(&it))
        names.emplace_back(child->name);
    return names;
}

// Attribute names in iteration order, each with its value: "name=value".
inline std::vector<std::string> attribute_pairs(const cx_elem_t *elem)
{
    std::vector<std::string> pairs;
    if (!elem->attributes)
        return pairs;
    stab_iter_t cursor;
    for (const char *name = stab_first(elem->attributes, &cursor); name;
         name = stab_next(elem->attributes, &cursor))
        pairs.push_back(std::string(name) + "=" + stab_iter_value(&cursor));
    return pairs;
}

// An API element with name/value children.
inline cx_elem_t *api(const char *name,
                      std::initializer_list<std::pair<const char *, std::string>> inputs = {})
{
    cx_elem_t *e = cx_elem_create(name);
    for (const auto &[key, value] : inputs)
        cx_elem_child_add_string(e, key, value.c_str());
    return e;
}
