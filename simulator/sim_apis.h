// The APIs the simulator answers: their inputs and what each does with the
// store. Handlers receive inputs already checked for presence and
// uniqueness, convert and check the values, and return the API's outputs;
// every failure is thrown as api_error.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim_store.h"

namespace sim
{

// One output element: text content, or children (a list or a record).
struct out_elem {
    std::string name;
    std::string text;
    std::vector<out_elem> children;
};
using outputs = std::vector<out_elem>;

// The inputs of one call, by name, as plain texts.
class api_inputs
{
  public:
    explicit api_inputs(std::map<std::string, std::string, std::less<>> values)
        : values_(std::move(values))
    {
    }
    std::optional<std::string> get(std::string_view name) const;
    // A required input: present, since the dispatcher checked it.
    const std::string &at(std::string_view name) const;

  private:
    std::map<std::string, std::string, std::less<>> values_;
};

struct param_def {
    std::string_view name;
    bool required;
};

struct api_def {
    std::string_view name;
    std::vector<param_def> inputs;
    outputs (*run)(const api_inputs &in, store &s);
};

// The API of that name, or null.
const api_def *api_find(std::string_view name);

// Every API the simulator answers, in order of name.
std::span<const api_def> api_all();

// The API version the simulated server speaks; requests may ask for any
// version from 1.0 up to it.
constexpr int api_major = 1;
constexpr int api_minor = 20;

} // namespace sim
