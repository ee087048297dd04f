// The simulated storage: volumes and their files in memory.

#include "sim_store.h"

#include <algorithm>

#include "sim_error.h"

namespace sim
{

namespace
{

bool is_name_start(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_name_char(char c)
{
    return is_name_start(c) || (c >= '0' && c <= '9');
}

// A byte that continues a multi-byte UTF-8 character.
bool is_continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::string quoted_volume(const std::string &name)
{
    return "Volume " + name;
}

} // namespace

bool volume_name_valid(std::string_view name)
{
    if (name.empty() || name.size() > volume_name_max || !is_name_start(name[0]))
        return false;
    return std::all_of(name.begin(), name.end(), is_name_char);
}

file_path file_path_split(std::string_view path)
{
    auto invalid = [&]() { return api_error(err_invalid_input, "Invalid path: " + shown(path)); };
    constexpr std::string_view root = "/vol/";
    if (path.size() > file_path_max || path.substr(0, root.size()) != root)
        throw invalid();
    std::string_view rest = path.substr(root.size());
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        throw invalid();
    file_path out{std::string(rest.substr(0, slash)), std::string(rest.substr(slash + 1))};
    if (!volume_name_valid(out.volume))
        throw invalid();
    // Every part of the name inside the volume is a real name.
    std::string_view inside = out.inside;
    while (true) {
        size_t end = inside.find('/');
        std::string_view part = inside.substr(0, end);
        if (part.empty() || part == "." || part == ".." ||
            part.find('\0') != std::string_view::npos)
            throw invalid();
        if (end == std::string_view::npos)
            break;
        inside.remove_prefix(end + 1);
    }
    return out;
}

store::volume &store::find(const std::string &name)
{
    auto it = volumes_.find(name);
    if (it == volumes_.end())
        throw api_error(err_no_volume, quoted_volume(name) + " does not exist");
    return it->second;
}

const store::volume &store::find(const std::string &name) const
{
    return const_cast<store *>(this)->find(name);
}

volume_info store::info_of(const std::string &name, const volume &v)
{
    return volume_info{name, v.size, v.used, v.files.size()};
}

void store::volume_create(const std::string &name, uint64_t size)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (volumes_.count(name))
        throw api_error(err_volume_exists, quoted_volume(name) + " already exists");
    volumes_[name].size = size;
}

void store::volume_destroy(const std::string &name)
{
    std::lock_guard<std::mutex> guard(lock_);
    volume &v = find(name);
    stored_bytes_ -= v.used;
    volumes_.erase(name);
}

uint64_t store::volume_resize(const std::string &name, uint64_t size)
{
    std::lock_guard<std::mutex> guard(lock_);
    volume &v = find(name);
    if (size < v.used)
        throw api_error(err_no_space, "New size " + std::to_string(size) + " of " +
                                          quoted_volume(name) + " is below the " +
                                          std::to_string(v.used) + " bytes in use");
    v.size = size;
    return size;
}

volume_info store::volume_get(const std::string &name) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return info_of(name, find(name));
}

std::vector<volume_info> store::volume_list() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<volume_info> out;
    for (const auto &[name, v] : volumes_)
        out.push_back(info_of(name, v));
    return out;
}

uint64_t store::file_write(const std::string &path, std::string_view data, int64_t offset,
                           bool overwrite)
{
    file_path where = file_path_split(path);
    std::lock_guard<std::mutex> guard(lock_);
    volume &v = find(where.volume);
    auto it = v.files.find(where.inside);
    uint64_t old_size = it == v.files.end() ? 0 : it->second.size();
    uint64_t kept = overwrite ? 0 : old_size;
    uint64_t at = offset < 0 ? kept : static_cast<uint64_t>(offset);
    // Writes never leave a gap: a file holds only bytes that were written.
    if (at > kept)
        throw api_error(err_invalid_input, "Offset " + std::to_string(at) +
                                               " is beyond the end of file " + shown(path) + " (" +
                                               std::to_string(kept) + " bytes)");
    // A file stays readable as text: a write may neither start nor end
    // inside a character it leaves standing (kept is 0 when nothing stays).
    if (at < kept && is_continuation(it->second[at]))
        throw api_error(err_invalid_input,
                        "Offset " + std::to_string(at) + " falls inside a multi-byte character");
    if (at + data.size() < kept && is_continuation(it->second[at + data.size()]))
        throw api_error(err_invalid_input, "Data written at offset " + std::to_string(at) +
                                               " would end inside a multi-byte character");
    uint64_t new_size = std::max<uint64_t>(kept, at + data.size());
    uint64_t growth = new_size > old_size ? new_size - old_size : 0;
    if (v.used + growth > v.size)
        throw api_error(err_no_space, "Not enough space on " + quoted_volume(where.volume) +
                                          " for " + std::to_string(data.size()) + " bytes");
    if (stored_bytes_ + growth > store_bytes_max)
        throw api_error(err_no_space, "The simulator's file store is full (" +
                                          std::to_string(store_bytes_max) + " bytes)");
    std::string &contents = v.files[where.inside];
    if (overwrite)
        contents.clear();
    contents.resize(new_size);
    std::copy(data.begin(), data.end(), contents.begin() + static_cast<ptrdiff_t>(at));
    v.used = v.used - old_size + new_size;
    stored_bytes_ = stored_bytes_ - old_size + new_size;
    return data.size();
}

file_piece store::file_read(const std::string &path, uint64_t offset, uint64_t length) const
{
    file_path where = file_path_split(path);
    std::lock_guard<std::mutex> guard(lock_);
    const volume &v = find(where.volume);
    auto it = v.files.find(where.inside);
    if (it == v.files.end())
        throw api_error(err_no_file, "File " + shown(path) + " does not exist");
    const std::string &contents = it->second;
    file_piece piece;
    piece.file_size = contents.size();
    if (offset >= contents.size())
        return piece;
    // The reply is XML text, so it may neither start nor end inside a
    // character: an offset inside one is refused, an end inside one moves
    // back to the character's start.
    if (is_continuation(contents[offset]))
        throw api_error(err_invalid_input, "Offset " + std::to_string(offset) +
                                               " falls inside a multi-byte character");
    uint64_t end = std::min<uint64_t>(contents.size(), offset + length);
    while (end < contents.size() && end > offset && is_continuation(contents[end]))
        end--;
    piece.data = contents.substr(offset, end - offset);
    return piece;
}

} // namespace sim
