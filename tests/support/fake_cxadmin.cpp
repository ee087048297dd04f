// A stand-in administration library for the RPC tests, built as
// libcxadmin.so in a folder of its own: its entry answers as the test
// scripted it (an error code, a reply of any units, terminated or not) and
// keeps what it received.

#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

unsigned scripted_code;
std::u16string scripted_reply;
bool reply_given;
std::u16string last_host, last_document;
int calls;

} // namespace

extern "C" {

// Later calls return code, and when units is not null a reply of exactly
// count units copied from it (the test adds the terminator, or leaves it out).
__attribute__((visibility("default"))) void fake_cxadmin_script(unsigned code,
                                                                const char16_t *units, size_t count)
{
    scripted_code = code;
    reply_given = units != nullptr;
    scripted_reply.assign(units ? units : u"", units ? count : 0);
}

__attribute__((visibility("default"))) const char16_t *fake_cxadmin_last_host(void)
{
    return last_host.c_str();
}

__attribute__((visibility("default"))) const char16_t *fake_cxadmin_last_document(void)
{
    return last_document.c_str();
}

__attribute__((visibility("default"))) int fake_cxadmin_calls(void)
{
    return calls;
}

__attribute__((visibility("default"))) unsigned
RovaInvoke(const char16_t *host, const char16_t *document, char16_t **reply)
{
    calls++;
    last_host = host;
    last_document = document;
    if (reply_given) {
        size_t bytes = scripted_reply.size() * sizeof(char16_t);
        *reply = static_cast<char16_t *>(malloc(bytes ? bytes : 1));
        if (*reply)
            memcpy(*reply, scripted_reply.data(), bytes);
    }
    return scripted_code;
}
}
