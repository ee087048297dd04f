// Error numbers and the failure of one API call: what the simulator puts in
// the "errno" and "reason" attributes of a failed results element.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace sim
{

enum error_number : int {
    err_version = 13001,          // "version" attribute missing, malformed or unsupported
    err_unknown_api = 13005,      // no such API
    err_bad_request = 13006,      // request document not XML, not corvex, no single API element
    err_missing_input = 13115,    // a required input is absent
    err_invalid_input = 13116,    // a value that is not a number, name, path or boolean
    err_unexpected_input = 13117, // an input the API does not take, or one given twice
    err_no_vslice = 14001,        // the vslice named by the request does not exist
    err_no_volume = 14002,        // the volume does not exist
    err_volume_exists = 14003,    // a volume of that name exists already
    err_no_space = 14004,         // the volume has not enough free space
    err_no_file = 14005,          // the file does not exist
    err_internal = 14999          // the simulator itself failed (memory)
};

// A failed API call; thrown by input checks and store operations, caught
// where the results element is built. reason is plain text.
class api_error : public std::runtime_error
{
  public:
    api_error(int number, const std::string &reason) : std::runtime_error(reason), number_(number)
    {
    }
    int number() const { return number_; }

  private:
    int number_;
};

// The text of a request value for a failure reason: cut to 64 bytes with
// "...", before a whole character so that the reason stays valid UTF-8.
inline std::string shown(std::string_view value)
{
    constexpr size_t limit = 64;
    if (value.size() <= limit)
        return std::string(value);
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80)
        cut--;
    return std::string(value.substr(0, cut)) + "...";
}

} // namespace sim
