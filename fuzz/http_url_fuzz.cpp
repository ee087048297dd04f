// Fuzz target: arbitrary text through the URL splitter. A URL that splits
// has a host, a port and a path; one of ordinary parts is put together again
// from them, and that must split into the same parts.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "corvex/http_url.h"

namespace
{

bool same(const char *a, const char *b)
{
    return (!a && !b) || (a && b && strcmp(a, b) == 0);
}

// Letters, digits and the given characters only.
bool ordinary(const char *text, const char *also)
{
    for (const char *p = text; *p; p++) {
        if (!isalnum(static_cast<unsigned char>(*p)) && !strchr(also, *p))
            return false;
    }
    return true;
}

// The URL again from its parts, the host in brackets when asked.
std::string rebuilt(const http_url_t &u, bool bracketed)
{
    std::string text = u.tls ? "https://" : "http://";
    if (u.user) {
        text += u.user;
        if (u.password)
            text += std::string(":") + u.password;
        text += "@";
    }
    text += bracketed ? "[" + std::string(u.host) + "]" : std::string(u.host);
    text += ":" + std::to_string(u.port) + "/" + u.path;
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    http_url_scheme(text.c_str());
    http_url_t url;
    if (http_url_split(text.c_str(), &url) != 0) {
        if (url.text || url.host || url.path)
            abort(); // a failed split leaves the record cleared
        return 0;
    }
    if (!url.host || !*url.host || !url.path || url.port == 0 || (url.password && !url.user))
        abort();
    // A URL of ordinary parts, put together again, splits into the same
    // parts (an address with colons goes in brackets).
    if (ordinary(url.host, ".-:%") && (!url.user || ordinary(url.user, ".-_")) &&
        (!url.password || ordinary(url.password, ".-_:"))) {
        http_url_t again;
        if (http_url_split(rebuilt(url, strchr(url.host, ':') != nullptr).c_str(), &again) != 0 ||
            !same(url.host, again.host) || url.port != again.port || !same(url.path, again.path) ||
            !same(url.user, again.user) || !same(url.password, again.password) ||
            url.tls != again.tls)
            abort();
        http_url_free(&again);
    }
    http_url_free(&url);
    return 0;
}
