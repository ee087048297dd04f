// One CORAPI request document in, one reply document out.

#include "sim_corapi.h"

#include <charconv>
#include <map>
#include <memory>
#include <new>

#include "corvex/cx_elem.h"
#include "corvex/cx_invoke.h"
#include "corvex/cx_request.h"
#include "corvex/cx_xml.h"
#include "sim_apis.h"
#include "sim_error.h"
#include "vovedi/pool.h"
#include "vovedi/stab.h"

namespace sim
{

namespace
{

struct elem_deleter {
    void operator()(cx_elem_t *elem) const { cx_elem_free(elem); }
};
using elem_ptr = std::unique_ptr<cx_elem_t, elem_deleter>;

struct text_deleter {
    void operator()(char *text) const { VV_FREE(text); }
};
using text_ptr = std::unique_ptr<char, text_deleter>;

struct state_deleter {
    void operator()(cx_xml_state_t *state) const { cx_xml_request_state_free(state); }
};
using state_ptr = std::unique_ptr<cx_xml_state_t, state_deleter>;

// A kit call that returned null: only memory can be the cause here.
template <typename T>
T *checked(T *made)
{
    if (!made)
        throw std::bad_alloc();
    return made;
}

std::string trimmed(std::string text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

// The start tags in a document: no fewer than its elements, counted
// without building any.
size_t start_tags(std::string_view body)
{
    size_t count = 0;
    for (size_t at = body.find('<'); at != std::string_view::npos; at = body.find('<', at + 1)) {
        if (at + 1 < body.size() && body[at + 1] != '/' && body[at + 1] != '!' &&
            body[at + 1] != '?')
            count++;
    }
    return count;
}

// The root element of the request document.
elem_ptr parse_request(std::string_view body)
{
    if (body.find('\0') != std::string_view::npos)
        throw api_error(err_bad_request, "Unable to parse request: it holds a zero byte");
    // Every element costs memory in the tree; a request of many tiny ones
    // is refused before the tree is built.
    if (start_tags(body) > request_elements_max)
        throw api_error(err_bad_request, "Request holds more than " +
                                             std::to_string(request_elements_max) + " elements");
    state_ptr state(checked(cx_xml_request_state_new()));
    // The source only borrows the body: it is read through, never released.
    cx_xml_source_t source = {const_cast<char *>(body.data()), 0, body.size()};
    cx_xml_request_parse(state.get(), cx_xml_source_read, &source);
    if (state->error)
        throw api_error(err_bad_request, "Unable to parse request: " + trimmed(state->error));
    elem_ptr root(state->stack[0].element);
    state->stack[0].element = nullptr;
    if (!root)
        throw api_error(err_bad_request, "Unable to parse request: it holds no element");
    return root;
}

const char *attribute(const cx_elem_t *elem, const char *name)
{
    return stab_get_default(elem->attributes, name, nullptr);
}

struct api_version {
    int major = 0;
    int minor = 0;
    bool at_least(int a, int b) const { return major > a || (major == a && minor >= b); }
};

bool number_part(std::string_view text, int &out)
{
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && text.size() <= 4 && ec == std::errc() &&
           end == text.data() + text.size();
}

// The "version" attribute: "MAJOR.MINOR", from 1.0 up to the simulator's own.
api_version version_of(const cx_elem_t *root)
{
    const char *text = attribute(root, "version");
    if (!text)
        throw api_error(err_version, "Request has no version attribute");
    std::string_view v = text;
    size_t dot = v.find('.');
    api_version out;
    if (dot == std::string_view::npos || !number_part(v.substr(0, dot), out.major) ||
        !number_part(v.substr(dot + 1), out.minor))
        throw api_error(err_version, "Invalid version " + shown(v) + ": expected MAJOR.MINOR");
    if (!out.at_least(1, 0) || out.at_least(api_major, api_minor + 1))
        throw api_error(err_version, "Version " + shown(v) + " is not supported (1.0 to " +
                                         std::to_string(api_major) + "." +
                                         std::to_string(api_minor) + ")");
    return out;
}

// The simulated server has one vslice; calls may name it or none.
constexpr std::string_view known_vslice = "vslice0";

void check_vslice(const cx_elem_t *root, const api_version &version)
{
    const char *vslice = attribute(root, "vslice");
    if (!vslice || !*vslice)
        return;
    if (!version.at_least(1, 7))
        throw api_error(err_version, "A vslice needs version 1.7 or later");
    if (vslice != known_vslice)
        throw api_error(err_no_vslice, "Vslice " + shown(vslice) + " does not exist");
}

// The one API element inside the envelope.
const cx_elem_t *api_element(const cx_elem_t *root)
{
    const cx_elem_t *api = root->first_child;
    if (!api)
        throw api_error(err_bad_request, "Request holds no API element");
    if (api->next_sibling)
        throw api_error(err_bad_request, "Request holds more than one API element");
    return api;
}

// The inputs of the call: each one a parameter of the API, given once, as
// plain text; every required one present.
api_inputs inputs_of(const cx_elem_t *api, const api_def &def)
{
    std::map<std::string, std::string, std::less<>> values;
    for (const cx_elem_t *child = api->first_child; child; child = child->next_sibling) {
        std::string_view name = child->name;
        bool known = false;
        for (const param_def &p : def.inputs)
            known = known || p.name == name;
        if (!known)
            throw api_error(err_unexpected_input, "Unexpected input: " + shown(name));
        if (values.count(name))
            throw api_error(err_unexpected_input, "Input " + shown(name) + " given more than once");
        if (child->first_child)
            throw api_error(err_invalid_input, "Input " + shown(name) + " must be a plain value");
        values.emplace(name, child->content ? child->content : "");
    }
    for (const param_def &p : def.inputs) {
        if (p.required && !values.count(p.name))
            throw api_error(err_missing_input, "Missing input: " + std::string(p.name));
    }
    return api_inputs(std::move(values));
}

void add_outputs(cx_elem_t *parent, const outputs &list)
{
    for (const out_elem &out : list) {
        if (out.children.empty() && !out.text.empty()) {
            checked(cx_elem_child_add_string(parent, out.name.c_str(), out.text.c_str()));
            continue;
        }
        elem_ptr child(checked(cx_elem_create(out.name.c_str())));
        // An output with neither text nor children is an empty text.
        if (out.children.empty() && !cx_elem_set_content(child.get(), ""))
            throw std::bad_alloc();
        add_outputs(child.get(), out.children);
        cx_elem_child_add(parent, child.release());
    }
}

// The reply document around one results element.
std::string reply_document(elem_ptr results, const char *dtd_path)
{
    elem_ptr root(checked(cx_elem_create("corvex")));
    std::string version = std::to_string(api_major) + "." + std::to_string(api_minor);
    if (!cx_elem_attr_set(root.get(), "xmlns", CX_REQUEST_XMLNS) ||
        !cx_elem_attr_set(root.get(), "version", version.c_str()))
        throw std::bad_alloc();
    cx_elem_child_add(root.get(), results.release());
    text_ptr text(checked(cx_elem_sprintf(root.get(), -1, "")));
    return std::string("<?xml version='1.0' encoding='UTF-8' ?>\n<!DOCTYPE corvex SYSTEM '") +
           dtd_path + "'>\n" + text.get();
}

// Run the call; the outcome's api names it, or stays empty before it is known.
elem_ptr passed_results(std::string_view body, store &s, corapi_outcome &outcome)
{
    elem_ptr root = parse_request(body);
    if (std::string_view(root->name) != "corvex")
        throw api_error(err_bad_request,
                        "Request root element is " + shown(root->name) + ", not corvex");
    api_version version = version_of(root.get());
    const cx_elem_t *api = api_element(root.get());
    outcome.api = shown(api->name);
    check_vslice(root.get(), version);
    const api_def *def = api_find(api->name);
    if (!def)
        throw api_error(err_unknown_api, "Unable to find API: " + shown(api->name));
    outputs out = def->run(inputs_of(api, *def), s);
    elem_ptr results(checked(cx_results_new("passed", nullptr, -1)));
    add_outputs(results.get(), out);
    return results;
}

} // namespace

corapi_outcome corapi_answer(std::string_view body, store &s, const char *dtd_path)
{
    corapi_outcome outcome;
    try {
        elem_ptr results;
        try {
            results = passed_results(body, s, outcome);
            outcome.passed = true;
        } catch (const api_error &e) {
            if (outcome.api.empty())
                outcome.api = "(request)";
            outcome.error_number = e.number();
            outcome.reason = e.what();
            results.reset(checked(cx_results_new("failed", e.what(), e.number())));
        }
        outcome.document = reply_document(std::move(results), dtd_path);
    } catch (const std::exception &) {
        // Memory ran out, in the kit's calls or in the simulator's own.
        outcome.document.clear();
        outcome.passed = false;
        outcome.error_number = err_internal;
    }
    return outcome;
}

} // namespace sim
