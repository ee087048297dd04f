// Dynamic strings, splitting and replacing at regular expressions, XML escaping.

#include "vovedi/str.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string.h>
#include <regex.h>

#include "vovedi/log.h"
#include "vovedi/pool.h"

namespace
{

constexpr size_t first_format_size = 4096;
constexpr const char *default_separator = "([ \t]+)";

// Compiles pattern as an extended, case-insensitive expression and frees it
// at the end of the scope; a pattern that does not compile is logged.
class compiled_pattern
{
  public:
    explicit compiled_pattern(const char *pattern)
    {
        int rc = regcomp(&re_, pattern, REG_EXTENDED | REG_ICASE);
        if (rc != 0) {
            char why[256];
            regerror(rc, &re_, why, sizeof why);
            log_report(LOG_LEVEL_ERROR, "regcomp failed: %d: %s\n", rc, why);
            return;
        }
        ok_ = true;
    }
    ~compiled_pattern()
    {
        if (ok_)
            regfree(&re_);
    }
    compiled_pattern(const compiled_pattern &) = delete;
    compiled_pattern &operator=(const compiled_pattern &) = delete;
    bool ok() const { return ok_; }

    // Find the next non-empty match in text[from..]. Empty matches separate
    // nothing and are searched past, so callers always advance.
    bool find(const char *text, size_t from, int flags, size_t *start, size_t *end) const
    {
        size_t length = strlen(text);
        for (size_t at = from; at <= length;) {
            regmatch_t m[1];
            m[0].rm_so = static_cast<regoff_t>(at);
            m[0].rm_eo = static_cast<regoff_t>(length);
            if (regexec(&re_, text, 1, m, flags | REG_STARTEND | (at > 0 ? REG_NOTBOL : 0)) != 0)
                return false;
            if (m[0].rm_eo > m[0].rm_so) {
                *start = static_cast<size_t>(m[0].rm_so);
                *end = static_cast<size_t>(m[0].rm_eo);
                return true;
            }
            at = static_cast<size_t>(m[0].rm_so) + 1;
        }
        return false;
    }

  private:
    regex_t re_{};
    bool ok_ = false;
};

bool append_piece(array_t *pieces, const char *from, size_t n)
{
    char *piece = str_ndup(from, n);
    if (!piece)
        return false;
    if (array_append(pieces, piece) != 0) {
        VV_FREE(piece);
        return false;
    }
    return true;
}

// Size the buffer must double to so that `needed` more bytes fit after `used`.
size_t doubled_size(size_t size, size_t used, size_t needed)
{
    while (size - used - 1 <= needed) {
        if (size > SIZE_MAX / 2)
            return 0;
        size *= 2;
    }
    return size;
}

void drop_buffer(char **buffer, size_t *size)
{
    VV_FREE(*buffer);
    *buffer = nullptr;
    *size = 0;
}

} // namespace

void str_ensure(char **buffer, size_t *size, size_t n)
{
    if (*buffer && n < *size)
        return;
    char *grown = *buffer ? static_cast<char *>(VV_REALLOC(*buffer, n + 1))
                          : static_cast<char *>(VV_CALLOC(n + 1));
    if (!grown) {
        drop_buffer(buffer, size);
        return;
    }
    *buffer = grown;
    *size = n + 1;
}

char *str_vappend(char **buffer, size_t *size, const char *format, va_list args)
{
    str_ensure(buffer, size, first_format_size);
    if (!*buffer)
        return nullptr;
    size_t used = strlen(*buffer);
    for (;;) {
        size_t room = *size - used - 1;
        va_list again;
        va_copy(again, args);
        int n = vsnprintf(*buffer + used, room + 1, format, again);
        va_end(again);
        if (n < 0) {
            // A format the C library cannot render would never fit.
            drop_buffer(buffer, size);
            errno = EINVAL;
            return nullptr;
        }
        if (static_cast<size_t>(n) < room)
            return *buffer;
        size_t grown_size = doubled_size(*size, used, static_cast<size_t>(n));
        char *grown = grown_size ? static_cast<char *>(VV_REALLOC(*buffer, grown_size)) : nullptr;
        if (!grown) {
            log_nomem("str_vappend realloc");
            drop_buffer(buffer, size);
            errno = ENOMEM;
            return nullptr;
        }
        grown[used] = '\0';
        *buffer = grown;
        *size = grown_size;
    }
}

char *str_append_printf(char **buffer, size_t *size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char *result = str_vappend(buffer, size, format, args);
    va_end(args);
    return result;
}

char *str_vprintf(const char *format, va_list args)
{
    char *buffer = nullptr;
    size_t size = 0;
    return str_vappend(&buffer, &size, format, args);
}

char *str_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char *result = str_vprintf(format, args);
    va_end(args);
    return result;
}

char *str_ndup(const char *text, size_t n)
{
    auto *copy = static_cast<char *>(VV_MALLOC(n + 1));
    if (!copy) {
        errno = ENOMEM;
        return nullptr;
    }
    memcpy(copy, text, n);
    copy[n] = '\0';
    return copy;
}

char *str_concat(const char *first, ...)
{
    size_t total = 0;
    va_list args;
    va_start(args, first);
    for (const char *t = first; t; t = va_arg(args, const char *))
        total += strlen(t);
    va_end(args);
    auto *joined = static_cast<char *>(VV_MALLOC(total + 1));
    if (!joined) {
        errno = ENOMEM;
        return nullptr;
    }
    char *at = joined;
    va_start(args, first);
    for (const char *t = first; t; t = va_arg(args, const char *)) {
        size_t n = strlen(t);
        memcpy(at, t, n);
        at += n;
    }
    va_end(args);
    *at = '\0';
    return joined;
}

array_t *str_split(const char *text, const char *pattern, int maximum)
{
    if (!text) {
        errno = EINVAL;
        return nullptr;
    }
    array_t *pieces = array_new(pool_release);
    if (!pieces)
        return nullptr;
    compiled_pattern re(pattern ? pattern : default_separator);
    if (!re.ok()) {
        array_free(pieces);
        errno = EINVAL;
        return nullptr;
    }
    size_t at = 0, start, end;
    if (re.find(text, 0, 0, &start, &end) && start == 0)
        at = end; // leading separators give no piece
    while ((maximum <= 0 || array_count(pieces) < maximum - 1) &&
           re.find(text, at, 0, &start, &end)) {
        if (!append_piece(pieces, text + at, start - at))
            goto fail;
        at = end;
    }
    if (text[at] && !append_piece(pieces, text + at, strlen(text + at)))
        goto fail;
    return pieces;
fail:
    array_free(pieces);
    errno = ENOMEM;
    return nullptr;
}

char *str_replace(const char *text, const char *pattern, const char *replacement)
{
    if (!text || !pattern || !replacement) {
        errno = EINVAL;
        return nullptr;
    }
    compiled_pattern re(pattern);
    if (!re.ok()) {
        errno = EINVAL;
        return nullptr;
    }
    size_t size = 0;
    char *result = nullptr;
    str_ensure(&result, &size, 9);
    size_t at = 0, start, end;
    while (result && re.find(text, at, REG_NOTBOL | REG_NOTEOL, &start, &end)) {
        str_append_printf(&result, &size, "%.*s%s", static_cast<int>(start - at), text + at,
                          replacement);
        at = end;
    }
    if (result && text[at])
        str_append_printf(&result, &size, "%s", text + at);
    if (!result)
        errno = ENOMEM;
    return result;
}

void str_free_secret(char *text)
{
    if (!text)
        return;
    explicit_bzero(text, strlen(text));
    VV_FREE(text);
}

char *xml_escape(const char *text)
{
    if (!text) {
        errno = EINVAL;
        return nullptr;
    }
    size_t n = 0;
    for (const char *p = text; *p; p++) {
        switch (*p) {
        case '&':
            n += 5;
            break;
        case '"':
        case '\'':
            n += 6;
            break;
        case '<':
        case '>':
            n += 4;
            break;
        default:
            n += 1;
            break;
        }
    }
    auto *escaped = static_cast<char *>(VV_MALLOC(n + 1));
    if (!escaped) {
        errno = ENOMEM;
        return nullptr;
    }
    char *out = escaped;
    for (const char *p = text; *p; p++) {
        const char *entity = nullptr;
        switch (*p) {
        case '&':
            entity = "&amp;";
            break;
        case '"':
            entity = "&quot;";
            break;
        case '\'':
            entity = "&apos;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        default:
            *out++ = *p;
            continue;
        }
        size_t len = strlen(entity);
        memcpy(out, entity, len);
        out += len;
    }
    *out = '\0';
    return escaped;
}
