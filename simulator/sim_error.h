// Error numbers and the failure of one API call: what the simulator puts in
// the "errno" and "reason" attributes of a failed results element.
#pragma once

#include <stdexcept>
#include <string>

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

} // namespace sim
