// Library start-up and shut-down.

#include "corvex/cx_startup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

#include "corvex/cx_xml.h"
#include "vovedi/path.h"

namespace
{

// Process-wide, set by the main thread before other threads use the library.
bool started;
cx_rpc_entry_fn rpc_entry;

constexpr const char *rpc_library = "libcxadmin.so";
constexpr const char *rpc_symbol = "RovaInvoke";

// Find the RPC entry when the administration library is installed. The
// library stays loaded for the life of the process.
void load_rpc_entry()
{
    void *library = dlopen(rpc_library, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return;
    rpc_entry = reinterpret_cast<cx_rpc_entry_fn>(dlsym(library, rpc_symbol));
}

} // namespace

int cx_startup(char *message, size_t size)
{
    if (!message) {
        errno = EINVAL;
        return 0;
    }
    if (started) {
        snprintf(message, size, "cx_startup failed: already in use");
        return 0;
    }
    started = true;
    path_init(0);
    cx_xml_init();
    if (!rpc_entry)
        load_rpc_entry();
    if (atexit(cx_shutdown) != 0) {
        snprintf(message, size, "Failed to register cx_shutdown with atexit.");
        return 0;
    }
    return 1;
}

void cx_shutdown(void)
{
    if (!started)
        return;
    cx_xml_cleanup();
    started = false;
}

cx_rpc_entry_fn cx_rpc_entry(void)
{
    return rpc_entry;
}
