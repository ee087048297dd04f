// The APIs the simulator answers.

#include "sim_apis.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

#include "sim_error.h"

#ifndef CORAPI_SIM_VERSION
#define CORAPI_SIM_VERSION "0.0.0"
#endif

namespace sim
{

std::optional<std::string> api_inputs::get(std::string_view name) const
{
    auto it = values_.find(name);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

const std::string &api_inputs::at(std::string_view name) const
{
    auto it = values_.find(name);
    if (it == values_.end())
        throw api_error(err_missing_input, "Missing input: " + std::string(name));
    return it->second;
}

namespace
{

api_error invalid(std::string_view what, std::string_view name, std::string_view value)
{
    return api_error(err_invalid_input, "Invalid " + std::string(what) + " for " +
                                            std::string(name) + ": " + shown(value));
}

// A decimal integer in [minimum, maximum], the whole text and nothing else.
int64_t integer_value(const api_inputs &in, std::string_view name, int64_t minimum, int64_t maximum)
{
    const std::string &text = in.at(name);
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        throw invalid("integer", name, text);
    if (value < minimum || value > maximum)
        throw api_error(err_invalid_input, "Value of " + std::string(name) + " out of range (" +
                                               std::to_string(minimum) + " to " +
                                               std::to_string(maximum) + "): " + shown(text));
    return value;
}

// A size: decimal bytes, or a number followed by k, m, g or t (powers of
// 1024), within the bounds of a volume.
uint64_t size_value(const api_inputs &in, std::string_view name)
{
    const std::string &text = in.at(name);
    std::string_view digits = text;
    unsigned shift = 0;
    if (!digits.empty()) {
        constexpr std::string_view units = "kmgt";
        size_t unit =
            units.find(static_cast<char>(tolower(static_cast<unsigned char>(digits.back()))));
        if (unit != std::string_view::npos) {
            shift = 10 * static_cast<unsigned>(unit + 1);
            digits.remove_suffix(1);
        }
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
        throw invalid("size", name, text);
    if (value > (std::numeric_limits<uint64_t>::max() >> shift))
        value = std::numeric_limits<uint64_t>::max();
    else
        value <<= shift;
    if (value < volume_size_min || value > volume_size_max)
        throw api_error(err_invalid_input, "Size " + shown(text) + " of " + std::string(name) +
                                               " out of range (1m to 16t)");
    return value;
}

bool boolean_value(const api_inputs &in, std::string_view name, bool absent)
{
    std::optional<std::string> text = in.get(name);
    if (!text)
        return absent;
    if (*text == "true")
        return true;
    if (*text == "false")
        return false;
    throw invalid("boolean", name, *text);
}

std::string volume_value(const std::string &text, std::string_view name)
{
    if (!volume_name_valid(text))
        throw invalid("volume name", name, text);
    return text;
}

out_elem leaf(std::string name, std::string text)
{
    return out_elem{std::move(name), std::move(text), {}};
}

out_elem number(std::string name, uint64_t value)
{
    return leaf(std::move(name), std::to_string(value));
}

// ---------------------------------------------------------------------------
// Handlers

outputs system_get_version(const api_inputs &, store &)
{
    return {leaf("version", "corapi-sim " CORAPI_SIM_VERSION ": simulated storage server, API " +
                                std::to_string(api_major) + "." + std::to_string(api_minor))};
}

outputs volume_create(const api_inputs &in, store &s)
{
    std::string name = volume_value(in.at("volume"), "volume");
    s.volume_create(name, size_value(in, "size"));
    return {};
}

outputs volume_destroy(const api_inputs &in, store &s)
{
    s.volume_destroy(volume_value(in.at("volume"), "volume"));
    return {};
}

outputs volume_size(const api_inputs &in, store &s)
{
    std::string name = volume_value(in.at("volume"), "volume");
    if (!in.get("new-size"))
        return {number("volume-size", s.volume_get(name).size)};
    return {number("volume-size", s.volume_resize(name, size_value(in, "new-size")))};
}

out_elem volume_record(const volume_info &v)
{
    return out_elem{"volume-info",
                    {},
                    {leaf("name", v.name), leaf("state", "online"), number("size-total", v.size),
                     number("size-used", v.used), number("size-available", v.size - v.used),
                     number("files-used", v.files)}};
}

// The volumes named by the optional input "volume", or all of them.
std::vector<volume_info> chosen_volumes(const api_inputs &in, store &s)
{
    std::optional<std::string> name = in.get("volume");
    if (!name)
        return s.volume_list();
    return {s.volume_get(volume_value(*name, "volume"))};
}

outputs volume_list_info(const api_inputs &in, store &s)
{
    out_elem list{"volumes", {}, {}};
    for (const volume_info &v : chosen_volumes(in, s))
        list.children.push_back(volume_record(v));
    return {list};
}

outputs quota_report(const api_inputs &in, store &s)
{
    out_elem list{"quotas", {}, {}};
    for (const volume_info &v : chosen_volumes(in, s))
        list.children.push_back(
            out_elem{"quota",
                     {},
                     {leaf("volume", v.name), number("disk-limit", v.size),
                      number("disk-used", v.used), number("files-used", v.files)}});
    return {list};
}

outputs file_write_file(const api_inputs &in, store &s)
{
    int64_t offset = integer_value(in, "offset", -1, std::numeric_limits<int64_t>::max());
    bool overwrite = boolean_value(in, "overwrite", false);
    uint64_t written = s.file_write(in.at("path"), in.at("data"), offset, overwrite);
    return {number("length", written)};
}

outputs file_read_file(const api_inputs &in, store &s)
{
    int64_t offset = integer_value(in, "offset", 0, std::numeric_limits<int64_t>::max());
    int64_t length = integer_value(in, "length", 1, static_cast<int64_t>(read_length_max));
    file_piece piece =
        s.file_read(in.at("path"), static_cast<uint64_t>(offset), static_cast<uint64_t>(length));
    uint64_t got = piece.data.size();
    return {leaf("data", std::move(piece.data)), number("length", got)};
}

const std::array<api_def, 8> apis = {{
    {"file-read-file", {{"length", true}, {"offset", true}, {"path", true}}, file_read_file},
    {"file-write-file",
     {{"data", true}, {"offset", true}, {"overwrite", false}, {"path", true}},
     file_write_file},
    {"quota-report", {{"volume", false}}, quota_report},
    {"system-get-version", {}, system_get_version},
    {"volume-create", {{"size", true}, {"volume", true}}, volume_create},
    {"volume-destroy", {{"volume", true}}, volume_destroy},
    {"volume-list-info", {{"volume", false}}, volume_list_info},
    {"volume-size", {{"new-size", false}, {"volume", true}}, volume_size},
}};

} // namespace

std::span<const api_def> api_all()
{
    return apis;
}

const api_def *api_find(std::string_view name)
{
    auto it = std::find_if(apis.begin(), apis.end(),
                           [&](const api_def &api) { return api.name == name; });
    return it == apis.end() ? nullptr : &*it;
}

} // namespace sim
