// The history of calls, newest first, kept between runs in a JSON file
// under the user's data folder. An entry holds what is needed to make the
// call again, except secrets: the password is never part of a call's
// entry, and the values of password parameters are left out.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "call.h"

constexpr size_t kHistoryCap = 200;

struct HistoryEntry {
    std::string time; // local time, "2025-01-10 12:00:00"
    std::string host;
    std::string connectionType;
    std::string port; // as typed; empty for the default
    std::string api;
    std::vector<std::pair<std::string, std::string>> params; // name and value, in slot order
    std::string status;                                      // "passed" or "failed"
    double seconds = 0;
};

// The entry for a finished call made at time.
HistoryEntry HistoryEntryFor(const CallRequest &request, const CallOutcome &outcome,
                             std::string time);

// The one-line text of an entry in the history list.
std::string HistoryLine(const HistoryEntry &entry);

class History
{
  public:
    // A history kept in the file at path, holding at most cap entries.
    explicit History(std::string path, size_t cap = kHistoryCap);

    // The file under the user's data folder: reqview/history.json.
    static std::string DefaultPath();

    // Read the file; a missing or unreadable file gives an empty history
    // and false.
    bool Load();

    // Write the whole history (a temporary file renamed into place,
    // creating the folder); false when it could not be written.
    bool Save() const;

    // Put entry first, dropping the oldest beyond the cap.
    void Add(HistoryEntry entry);

    const std::vector<HistoryEntry> &Entries() const { return entries_; }

  private:
    std::string path_;
    size_t cap_;
    std::vector<HistoryEntry> entries_;
};
