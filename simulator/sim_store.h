// The simulated storage: volumes and the files in them, held in memory for
// the life of the process. Every operation takes the store's lock, so calls
// from several connections see each other's changes whole. Failures are
// thrown as api_error with the number and reason a server would give.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim
{

// Bounds of volume sizes and of the bytes all files may hold together.
constexpr uint64_t volume_size_min = uint64_t{1} << 20;   // 1 MiB
constexpr uint64_t volume_size_max = uint64_t{16} << 40;  // 16 TiB
constexpr uint64_t store_bytes_max = uint64_t{256} << 20; // 256 MiB of file data in all
constexpr uint64_t read_length_max = uint64_t{1} << 20;   // 1 MiB per file-read-file
constexpr size_t volume_name_max = 64;
constexpr size_t file_path_max = 1024;

struct volume_info {
    std::string name;
    uint64_t size = 0;  // bytes
    uint64_t used = 0;  // bytes held by its files
    uint64_t files = 0; // number of files
};

// What a file read gave back.
struct file_piece {
    std::string data;
    uint64_t file_size = 0;
};

class store
{
  public:
    void volume_create(const std::string &name, uint64_t size);
    void volume_destroy(const std::string &name);
    // Set the size; returns the new size. Shrinking below the bytes in use fails.
    uint64_t volume_resize(const std::string &name, uint64_t size);
    volume_info volume_get(const std::string &name) const;
    // Every volume, in ascending order of name.
    std::vector<volume_info> volume_list() const;

    // Write data at offset (-1: at the end) into the file at path, creating
    // it; with overwrite the old contents are dropped first. Returns the
    // number of bytes written.
    uint64_t file_write(const std::string &path, std::string_view data, int64_t offset,
                        bool overwrite);
    // Up to length bytes from offset; fewer at the end of the file, and never
    // a part of a multi-byte character.
    file_piece file_read(const std::string &path, uint64_t offset, uint64_t length) const;

  private:
    struct volume {
        uint64_t size = 0;
        uint64_t used = 0;
        std::map<std::string, std::string> files; // by the path inside the volume
    };
    volume &find(const std::string &name);
    const volume &find(const std::string &name) const;
    static volume_info info_of(const std::string &name, const volume &v);

    mutable std::mutex lock_;
    std::map<std::string, volume> volumes_;
    uint64_t stored_bytes_ = 0; // file bytes over all volumes
};

// A volume name: a letter or "_", then letters, digits and "_", at most 64 in all.
bool volume_name_valid(std::string_view name);

// A file path "/vol/<volume>/<name>[/<name>...]" split into the volume and
// the rest; throws err_invalid_input for any other form (empty parts, "."
// or "..", over 1024 bytes).
struct file_path {
    std::string volume;
    std::string inside;
};
file_path file_path_split(std::string_view path);

} // namespace sim
