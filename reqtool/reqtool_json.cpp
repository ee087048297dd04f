#include "reqtool_json.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "vovedi/pool.h"
#include "vovedi/stab.h"

size_t reqtool_utf8_sequence(const char *text, size_t length)
{
    if (length == 0)
        return 0;
    auto byte = [text](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    size_t need;
    unsigned low = 0x80, high = 0xbf; // allowed range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        need = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        need = 3;
        if (lead == 0xe0)
            low = 0xa0; // no overlong forms
        if (lead == 0xed)
            high = 0x9f; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        need = 4;
        if (lead == 0xf0)
            low = 0x90;
        if (lead == 0xf4)
            high = 0x8f; // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (length < need || byte(1) < low || byte(1) > high)
        return 0;
    for (size_t k = 2; k < need; k++) {
        if (byte(k) < 0x80 || byte(k) > 0xbf)
            return 0;
    }
    return need;
}

namespace
{

// The UTF-8 bytes of a code point; 0 for one XML cannot hold.
size_t encode(unsigned long code, char out[4])
{
    bool legal = code == 0x9 || code == 0xa || code == 0xd || (code >= 0x20 && code <= 0xd7ff) ||
                 (code >= 0xe000 && code <= 0xfffd) || (code >= 0x10000 && code <= 0x10ffff);
    if (!legal)
        return 0;
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<char>(0xc0 | (code >> 6));
        out[1] = static_cast<char>(0x80 | (code & 0x3f));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<char>(0xe0 | (code >> 12));
        out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out[2] = static_cast<char>(0x80 | (code & 0x3f));
        return 3;
    }
    out[0] = static_cast<char>(0xf0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out[3] = static_cast<char>(0x80 | (code & 0x3f));
    return 4;
}

// The reference at text ("&...;"): its character into out and the length
// of the reference; 0 when text starts no reference.
size_t reference(const char *text, char out[4], size_t *length)
{
    static constexpr struct {
        const char *name;
        char character;
    } named[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto &n : named) {
        size_t size = strlen(n.name);
        if (strncmp(text, n.name, size) == 0) {
            out[0] = n.character;
            *length = 1;
            return size;
        }
    }
    if (text[1] != '#')
        return 0;
    bool hex = text[2] == 'x';
    const char *digits = text + (hex ? 3 : 2);
    size_t count = strspn(digits, hex ? "0123456789abcdefABCDEF" : "0123456789");
    if (count == 0 || count > 8 || digits[count] != ';')
        return 0;
    unsigned long code = strtoul(digits, nullptr, hex ? 16 : 10);
    *length = encode(code, out);
    return *length ? static_cast<size_t>(digits + count + 1 - text) : 0;
}

} // namespace

const char *reqtool_attr_char(const char *text, char out[4], size_t *length)
{
    if (*text == '&') {
        if (size_t used = reference(text, out, length))
            return text + used;
    }
    size_t size = reqtool_utf8_sequence(text, strnlen(text, 4));
    if (size == 0)
        size = 1;
    memcpy(out, text, size);
    *length = size;
    return text + size;
}

bool reqtool_attr_starts_with(const char *value, const char *prefix)
{
    size_t wanted = strlen(prefix);
    size_t matched = 0;
    while (*value && matched < wanted) {
        char unit[4];
        size_t length;
        value = reqtool_attr_char(value, unit, &length);
        if (length > wanted - matched || memcmp(unit, prefix + matched, length) != 0)
            return false;
        matched += length;
    }
    return matched == wanted;
}

namespace
{

// JSON text to a stream; after the first refused write nothing more is tried.
class json_out
{
  public:
    explicit json_out(FILE *out) : out_(out) {}
    bool ok() const { return ok_; }
    void fail(int error)
    {
        if (ok_)
            errno = error;
        ok_ = false;
    }
    void put(const char *text)
    {
        if (ok_ && fputs(text, out_) == EOF)
            ok_ = false;
    }
    void put_char(char c)
    {
        if (ok_ && putc(c, out_) == EOF)
            ok_ = false;
    }
    void newline(int level)
    {
        put_char('\n');
        for (int i = 0; i < level; i++)
            put("  ");
    }
    // Start a member of an object on a line of its own, after a ',' unless
    // it is the first.
    void member(bool &first, int level)
    {
        if (!first)
            put_char(',');
        first = false;
        newline(level);
    }
    // Escape length bytes of text into the open string.
    void escaped(const char *text, size_t length);
    void string(const char *text)
    {
        put_char('"');
        escaped(text, strlen(text));
        put_char('"');
    }
    void attribute(const char *value);

  private:
    FILE *out_;
    bool ok_ = true;
};

void json_out::escaped(const char *text, size_t length)
{
    for (size_t at = 0; at < length && ok_;) {
        auto c = static_cast<unsigned char>(text[at]);
        size_t size = reqtool_utf8_sequence(text + at, length - at);
        if (c == '"' || c == '\\') {
            put_char('\\');
            put_char(static_cast<char>(c));
        } else if (c < 0x20) {
            static constexpr char short_forms[] = "btn\0fr";
            char escape[8];
            if (c >= '\b' && c <= '\r' && c != '\v')
                snprintf(escape, sizeof escape, "\\%c", short_forms[c - '\b']);
            else
                snprintf(escape, sizeof escape, "\\u%04x", c);
            put(escape);
        } else if (size == 0) {
            put("\xef\xbf\xbd"); // U+FFFD for a byte that is not UTF-8
            size = 1;
        } else if (ok_ && fwrite(text + at, 1, size, out_) != size) {
            ok_ = false;
        }
        at += size ? size : 1;
    }
}

void json_out::attribute(const char *value)
{
    put_char('"');
    while (*value && ok_) {
        char unit[4];
        size_t length;
        value = reqtool_attr_char(value, unit, &length);
        escaped(unit, length);
    }
    put_char('"');
}

// A child with its place among its siblings.
struct child_ref {
    const cx_elem_t *elem;
    size_t index;
};

int by_name_then_place(const void *a, const void *b)
{
    auto *x = static_cast<const child_ref *>(a);
    auto *y = static_cast<const child_ref *>(b);
    if (int order = strcmp(x->elem->name, y->elem->name))
        return order;
    return x->index < y->index ? -1 : x->index > y->index;
}

// Groups are runs of the sorted children; each is named by its first
// child, and groups go in the order in which their names first appear.
int by_first_place(const void *a, const void *b)
{
    auto *x = *static_cast<const child_ref *const *>(a);
    auto *y = *static_cast<const child_ref *const *>(b);
    return x->index < y->index ? -1 : x->index > y->index;
}

void write_value(json_out &out, const cx_elem_t *elem, int level);

// The children of elem, grouped by name, as members of the open object.
void write_children(json_out &out, const cx_elem_t *elem, size_t count, int level,
                    bool &first_member)
{
    auto *refs = static_cast<child_ref *>(VV_MALLOC(count * sizeof(child_ref)));
    auto *groups = static_cast<child_ref **>(VV_MALLOC(count * sizeof(child_ref *)));
    if (!refs || !groups) {
        VV_FREE(refs);
        VV_FREE(groups);
        out.fail(ENOMEM);
        return;
    }
    size_t k = 0;
    for (const cx_elem_t *c = elem->first_child; c; c = c->next_sibling, k++)
        refs[k] = {c, k};
    qsort(refs, count, sizeof *refs, by_name_then_place);
    size_t group_count = 0;
    bool alternate = false;
    for (size_t start = 0, end; start < count; start = end) {
        for (end = start + 1;
             end < count && strcmp(refs[end].elem->name, refs[start].elem->name) == 0;)
            end++;
        groups[group_count++] = &refs[start];
        alternate = alternate || refs[end - 1].index - refs[start].index != end - start - 1;
    }
    qsort(groups, group_count, sizeof *groups, by_first_place);
    for (size_t g = 0; g < group_count && out.ok(); g++) {
        const child_ref *first = groups[g];
        size_t members = 1;
        while (first + members < refs + count &&
               strcmp(first[members].elem->name, first->elem->name) == 0)
            members++;
        out.member(first_member, level + 1);
        out.string(first->elem->name);
        out.put(": ");
        if (members == 1) {
            write_value(out, first->elem, level + 1);
            continue;
        }
        out.put_char('[');
        for (size_t m = 0; m < members; m++) {
            out.put(m ? "," : "");
            out.newline(level + 2);
            write_value(out, first[m].elem, level + 2);
        }
        out.newline(level + 1);
        out.put_char(']');
    }
    if (alternate && out.ok()) {
        out.member(first_member, level + 1);
        out.put("\"#order\": [");
        for (const cx_elem_t *c = elem->first_child; c; c = c->next_sibling) {
            out.put(c == elem->first_child ? "" : ", ");
            out.string(c->name);
        }
        out.put_char(']');
    }
    VV_FREE(refs);
    VV_FREE(groups);
}

void write_value(json_out &out, const cx_elem_t *elem, int level)
{
    size_t children = 0;
    for (const cx_elem_t *c = elem->first_child; c; c = c->next_sibling)
        children++;
    size_t attributes = elem->attributes ? stab_count(elem->attributes) : 0;
    if (children == 0 && attributes == 0) {
        if (elem->content)
            out.string(elem->content);
        else
            out.put("null");
        return;
    }
    bool first = true;
    out.put_char('{');
    stab_iter_t cursor;
    for (const char *name = attributes ? stab_first(elem->attributes, &cursor) : nullptr; name;
         name = stab_next(elem->attributes, &cursor)) {
        out.member(first, level + 1);
        out.put("\"@");
        out.escaped(name, strlen(name));
        out.put("\": ");
        out.attribute(stab_iter_value(&cursor));
    }
    if (elem->content) {
        out.member(first, level + 1);
        out.put("\"#text\": ");
        out.string(elem->content);
    }
    if (children)
        write_children(out, elem, children, level, first);
    out.newline(level);
    out.put_char('}');
}

} // namespace

int reqtool_json_write(FILE *out, const cx_elem_t *elem)
{
    json_out json(out);
    json.put("{");
    json.newline(1);
    json.string(elem->name);
    json.put(": ");
    write_value(json, elem, 1);
    json.newline(0);
    json.put("}\n");
    if (fflush(out) == EOF || ferror(out))
        json.fail(errno);
    return json.ok() ? 0 : -1;
}
