// Installation paths: the root of the installation tree and the standard
// directories under it.

#include "vovedi/path.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "vovedi/array.h"
#include "vovedi/pool.h"
#include "vovedi/str.h"

namespace
{

constexpr const char *slot_names[PATH_DIR_COUNT] = {
    "/",     "/bin/",           "/web/cgi-bin/", "/conf/",      "/data/",          "/misc/",
    "/lib/", "/libexec/",       "/log/",         "/misc/",      "/plugins/relay/", "/sbin/",
    "/web/", "/plugins/vault/", "/reports/",     "/dataExport/"};

// Directories whose parent names the installation root, in the order tried.
constexpr const char *root_markers[] = {"/bin/", "/sbin/", "/web/cgi-bin/"};

constexpr std::string_view release_suffix = "/release/nt";

std::atomic<bool> initialised{false};
char *root;
// Slots are filled on demand, possibly by a log line on another thread or
// by a nested call on this one: each is installed only if still empty.
std::atomic<char *> table[PATH_DIR_COUNT];

bool is_directory(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

void build_table()
{
    const char *base = path_root();
    for (int i = 0; i < PATH_DIR_COUNT; i++) {
        if (table[i].load(std::memory_order_acquire))
            continue;
        char *text = str_concat(base, slot_names[i], nullptr);
        char *expected = nullptr;
        if (text && !table[i].compare_exchange_strong(expected, text, std::memory_order_acq_rel))
            VV_FREE(text);
    }
}

void clear_table()
{
    for (auto &slot : table) {
        if (char *text = slot.exchange(nullptr, std::memory_order_acq_rel))
            VV_FREE(text);
    }
}

// Release function of the record kept in the default pool.
void release_paths(void *)
{
    clear_table();
    if (root)
        VV_FREE(root);
    root = nullptr;
}

// "<dir>/release/nt" for the directory two levels above the program's own,
// when it exists; null otherwise, with *failed set when memory ran out.
char *release_root(const char *program, bool *failed)
{
    int seen = 0;
    for (size_t i = strlen(program); i-- > 0;) {
        if (program[i] != '/' || ++seen < 3)
            continue;
        if (i == 0)
            return nullptr;
        auto *candidate = static_cast<char *>(VV_MALLOC(i + release_suffix.size() + 1));
        if (!candidate) {
            *failed = true;
            return nullptr;
        }
        memcpy(candidate, program, i);
        memcpy(candidate + i, release_suffix.data(), release_suffix.size() + 1);
        if (is_directory(candidate))
            return candidate;
        VV_FREE(candidate);
        return nullptr;
    }
    return nullptr;
}

// The current directory with "/" separators, into buffer; false when it
// cannot be had.
bool current_directory(char *buffer, size_t size)
{
    if (!getcwd(buffer, size))
        return false;
    path_slashes(buffer, '/');
    return true;
}

// The existing file "<entry>/<name>" as new text, or null (with *failed set
// when memory ran out). "." and an empty entry stand for the current
// directory, ".." for its parent.
char *existing_candidate(const char *entry, const char *name, bool *failed)
{
    char cwd[PATH_MAX];
    bool here = entry[0] == '\0' || strcmp(entry, ".") == 0;
    bool parent = strcmp(entry, "..") == 0;
    if (here || parent) {
        if (!current_directory(cwd, sizeof cwd))
            return nullptr;
        if (parent)
            *strrchr(cwd, '/') = '\0';
        entry = cwd;
    }
    char candidate[PATH_MAX];
    size_t entry_length = strlen(entry);
    size_t name_length = strlen(name);
    if (entry_length + 1 + name_length >= sizeof candidate)
        return nullptr;
    memcpy(candidate, entry, entry_length);
    candidate[entry_length] = '/';
    memcpy(candidate + entry_length + 1, name, name_length + 1);
    if (!exists(candidate))
        return nullptr;
    char *copy = VV_STRDUP(candidate);
    if (!copy)
        *failed = true;
    return copy;
}

// Search the PATH entries, then ".". Sets *failed when memory ran out.
char *search_path_entries(const char *path_variable, const char *name, bool *failed)
{
    char *separated = VV_STRDUP(path_variable);
    if (!separated) {
        *failed = true;
        return nullptr;
    }
    path_slashes(separated, '/');
    array_t *entries = str_split(separated, ":", 0);
    VV_FREE(separated);
    if (!entries) {
        *failed = true;
        return nullptr;
    }
    char *found = nullptr;
    int cursor;
    for (void *e = array_first(entries, &cursor); !found && !*failed && e != ARRAY_EMPTY;
         e = array_next(entries, &cursor))
        found = existing_candidate(static_cast<const char *>(e), name, failed);
    array_free(entries);
    if (!found && !*failed)
        found = existing_candidate(".", name, failed);
    return found;
}

// The root derived from where the running program lives, or null.
char *root_from_running_program()
{
    char program[1025];
    ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof program - 1)
        return nullptr; // unknown, or cut short: no root rather than a wrong one
    program[n] = '\0';
    path_slashes(program, '/');
    // A full name (a drive letter elsewhere, a leading "/" here) is used as is.
    if (strchr(program, ':') || program[0] == '/')
        return path_root_from_program(program);
    char *located;
    if (strncmp(program, "./", 2) != 0) {
        located = path_search(program);
    } else {
        char cwd[PATH_MAX];
        if (!current_directory(cwd, sizeof cwd))
            return nullptr;
        located = str_concat(cwd, program + 1, nullptr);
    }
    if (!located)
        return nullptr;
    char *derived = path_root_from_program(located);
    VV_FREE(located);
    return derived;
}

const char *non_empty_variable(const char *name)
{
    const char *value = getenv(name);
    return value && value[0] ? value : nullptr;
}

} // namespace

void path_slashes(char *text, char separator)
{
    if (!text)
        return;
    for (char *c = text; *c; c++) {
        if (*c == '/' || *c == '\\')
            *c = separator;
    }
}

void path_init(int look_at_program)
{
    if (initialised.exchange(true))
        return;
    char *found = nullptr;
    if (const char *dir = non_empty_variable("CORVEX_DIR")) {
        // The copy is converted; the environment stays as the user set it.
        found = VV_STRDUP(dir);
        path_slashes(found, '/');
    } else if (const char *script = non_empty_variable("SCRIPT_FILENAME")) {
        found = path_root_from_program(script);
    } else if (look_at_program) {
        found = root_from_running_program();
    }
    clear_table();
    if (root)
        VV_FREE(root);
    root = found;
    build_table();
    pool_register(nullptr, release_paths, nullptr, __FILE__, __LINE__);
}

const char *path_root(void)
{
    return root ? root : "/";
}

const char *path_dir(int index)
{
    if (index < 0 || index >= PATH_DIR_COUNT)
        return path_root();
    if (!table[index].load(std::memory_order_acquire))
        build_table();
    return table[index].load(std::memory_order_acquire);
}

const char *path_dir_name(int index)
{
    if (index < 0 || index >= PATH_DIR_COUNT)
        return nullptr;
    return slot_names[index];
}

char *path_root_from_program(const char *program)
{
    if (!program) {
        errno = EINVAL;
        return nullptr;
    }
    for (const char *marker : root_markers) {
        const char *hit = strstr(program, marker);
        if (hit)
            return hit == program ? VV_STRDUP("/") : str_ndup(program, hit - program);
    }
    bool failed = false;
    if (char *release = release_root(program, &failed))
        return release;
    if (failed) {
        errno = ENOMEM;
        return nullptr;
    }
    return VV_STRDUP("/");
}

char *path_search(const char *name)
{
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    const char *path_variable = getenv("PATH");
    if (path_variable) {
        bool failed = false;
        char *found = search_path_entries(path_variable, name, &failed);
        if (failed) {
            errno = ENOMEM;
            return nullptr;
        }
        if (found)
            return found;
    }
    return VV_STRDUP(name);
}
