// The XML writer: an element tree as text, to a caller's sink piece by
// piece, into a text builder, or to a stream, the last two in runs of bytes.

#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>

#include "corvex/cx_elem.h"
#include "vovedi/pool.h"

namespace
{

// How a tree is written.
struct layout {
    const char *prefix; // before every element and attribute name
    size_t prefix_length;
    bool escape; // entities for contents and for what attribute values need
};

constexpr char spaces_text[] = "                                                                ";
constexpr size_t spaces_length = sizeof spaces_text - 1;

// The entity for a byte of escaped content, or null when it stands as it is.
const char *content_entity(unsigned char c)
{
    switch (c) {
    case '"':
        return "&quot;";
    case '&':
        return "&amp;";
    case '\'':
        return "&apos;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    default:
        return nullptr;
    }
}

// Bytes that end a run of content: the specials and the terminating NUL.
struct content_stops {
    bool stop[256] = {};
    constexpr content_stops()
    {
        for (char c : "\"&'<>")
            stop[static_cast<unsigned char>(c)] = true; // the string's NUL included
    }
};
constexpr content_stops content_stop;

bool is_legal_char(unsigned long c)
{
    return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff) ||
           (c >= 0xe000 && c <= 0xfffd) || (c >= 0x10000 && c <= 0x10ffff);
}

// The length of the reference that starts at p (an ampersand) when it
// stands for a character by itself: one of the five predefined entities,
// or a character reference to a character XML allows. 0 otherwise.
size_t reference_length(const char *p)
{
    for (const char *name : {"&amp;", "&lt;", "&gt;", "&apos;", "&quot;"}) {
        size_t n = strlen(name);
        if (strncmp(p, name, n) == 0)
            return n;
    }
    if (p[1] != '#')
        return 0;
    bool hex = p[2] == 'x';
    const char *digit = p + (hex ? 3 : 2);
    unsigned long value = 0;
    const char *q = digit;
    for (; *q != ';'; q++) {
        int d;
        if (*q >= '0' && *q <= '9')
            d = *q - '0';
        else if (hex && *q >= 'a' && *q <= 'f')
            d = *q - 'a' + 10;
        else if (hex && *q >= 'A' && *q <= 'F')
            d = *q - 'A' + 10;
        else
            return 0;
        value = value * (hex ? 16 : 10) + static_cast<unsigned long>(d);
        if (value > 0x10ffff)
            return 0;
    }
    return q > digit && is_legal_char(value) ? static_cast<size_t>(q + 1 - p) : 0;
}

// What an attribute value needs written in its place at p: an entity for
// a less-than sign, a double quote, or an ampersand that does not start a
// reference; null when the byte stands as it is. *skip is the length of a
// reference kept whole.
const char *attribute_entity(const char *p, size_t *skip)
{
    *skip = 0;
    switch (*p) {
    case '<':
        return "&lt;";
    case '"':
        return "&quot;";
    case '&':
        *skip = reference_length(p);
        return *skip ? nullptr : "&amp;";
    default:
        return nullptr;
    }
}

bool value_needs_entities(const char *value)
{
    size_t skip;
    for (const char *p = strpbrk(value, "<\"&"); p; p = strpbrk(p + (skip ? skip : 1), "<\"&")) {
        if (attribute_entity(p, &skip))
            return true;
    }
    return false;
}

// A caller's sink: the pieces it has always been given, each NUL-terminated:
// a name, the prefix or a piece of markup whole, content and indentation one
// byte at a time.
class piece_output
{
  public:
    piece_output(cx_xml_sink_fn sink, void *context) : sink_(sink), context_(context) {}

    // A NUL-terminated piece of length n, passed whole.
    bool text(const char *piece, size_t) { return sink_(piece, context_) != 0; }

    // Bytes of content: one piece each.
    bool bytes(const char *run, size_t n)
    {
        char one[2] = {0, 0};
        for (size_t k = 0; k < n; k++) {
            one[0] = run[k];
            if (!sink_(one, context_))
                return false;
        }
        return true;
    }

    bool spaces(int count)
    {
        for (int k = 0; k < count; k++) {
            if (!sink_(" ", context_))
                return false;
        }
        return true;
    }

    // An attribute value: whole when nothing in it needs an entity.
    template <class Escaper>
    bool attribute_value(const char *value, bool escape, Escaper escaped)
    {
        if (!escape || !value_needs_entities(value))
            return text(value, 0);
        return escaped(*this);
    }

  private:
    cx_xml_sink_fn sink_;
    void *context_;
};

// A buffer that takes runs of bytes in one step; when a run does not fit,
// the owner's slow path makes room (growing the buffer or writing it out).
class run_output
{
  public:
    // make_room(context, at, n) gets the position reached and a run of n
    // bytes that does not fit; it takes the run and returns the new free
    // space through at and end, or false on failure.
    using slow_path = bool (*)(void *owner, char **at, char **end, const char *run, size_t n);

    run_output(char *at, char *end, slow_path slow, void *owner)
        : at_(at), end_(end), slow_(slow), owner_(owner)
    {
    }

    bool text(const char *run, size_t n) { return bytes(run, n); }

    bool bytes(const char *run, size_t n)
    {
        if (static_cast<size_t>(end_ - at_) >= n) {
            memcpy(at_, run, n);
            at_ += n;
            return true;
        }
        return slow_(owner_, &at_, &end_, run, n);
    }

    bool spaces(int count)
    {
        for (auto left = static_cast<size_t>(count > 0 ? count : 0); left > 0;) {
            size_t n = left < spaces_length ? left : spaces_length;
            if (!bytes(spaces_text, n))
                return false;
            left -= n;
        }
        return true;
    }

    template <class Escaper>
    bool attribute_value(const char *value, bool escape, Escaper escaped)
    {
        return escape ? escaped(*this) : bytes(value, strlen(value));
    }

    char *at() const { return at_; }

  private:
    char *at_;
    char *end_;
    slow_path slow_;
    void *owner_;
};

template <class Output>
bool put_name(Output &out, const layout &l, const char *name)
{
    return out.text(l.prefix, l.prefix_length) && out.text(name, strlen(name));
}

template <class Output>
bool put_content(Output &out, const layout &l, const char *content)
{
    if (!l.escape)
        return out.bytes(content, strlen(content));
    for (const char *p = content;;) {
        const char *run = p;
        while (!content_stop.stop[static_cast<unsigned char>(*p)])
            p++;
        if (p > run && !out.bytes(run, static_cast<size_t>(p - run)))
            return false;
        if (!*p)
            return true;
        const char *entity = content_entity(static_cast<unsigned char>(*p++));
        if (!out.text(entity, strlen(entity)))
            return false;
    }
}

// An attribute value with entities where it needs them: runs of bytes that
// stand as they are, references kept whole, entities for the rest.
template <class Output>
bool put_escaped_value(Output &out, const char *value)
{
    const char *run = value;
    for (const char *p = value; *p;) {
        size_t skip;
        const char *entity = attribute_entity(p, &skip);
        if (!entity) {
            p += skip ? skip : 1;
            continue;
        }
        if ((p > run && !out.bytes(run, static_cast<size_t>(p - run))) ||
            !out.text(entity, strlen(entity)))
            return false;
        run = ++p;
    }
    return !*run || out.bytes(run, strlen(run));
}

template <class Output>
bool put_attributes(Output &out, const layout &l, const cx_elem_t *elem)
{
    if (!elem->attributes)
        return true;
    stab_iter_t cursor;
    for (const char *name = stab_first(elem->attributes, &cursor); name;
         name = stab_next(elem->attributes, &cursor)) {
        const char *value = stab_iter_value(&cursor);
        if (!out.text(" ", 1) || !put_name(out, l, name) || !out.text("=\"", 2) ||
            !out.attribute_value(value, l.escape,
                                 [value](Output &o) { return put_escaped_value(o, value); }) ||
            !out.text("\"", 1))
            return false;
    }
    return true;
}

template <class Output>
bool put_line_end(Output &out, int level)
{
    return level < 0 || out.text("\n", 1);
}

// One element and its subtree. A level of 0 or more is the indentation of
// the element's own tags; a negative one writes everything on one line.
template <class Output>
bool write_element(Output &out, const layout &l, const cx_elem_t *elem, int level)
{
    if (!out.spaces(level) || !out.text("<", 1) || !put_name(out, l, elem->name) ||
        !put_attributes(out, l, elem))
        return false;
    if (!elem->content && !elem->first_child)
        return out.text("/>", 2) && put_line_end(out, level);
    if (!out.text(">", 1))
        return false;
    if (elem->content && !put_content(out, l, elem->content))
        return false;
    bool children_alone = elem->first_child && !elem->content;
    if (children_alone && !put_line_end(out, level))
        return false;
    int child_level = level < 0 ? -1 : level > INT_MAX - 8 ? INT_MAX : level + 8;
    for (const cx_elem_t *child = elem->first_child; child; child = child->next_sibling) {
        if (!write_element(out, l, child, child_level))
            return false;
    }
    if (children_alone && !out.spaces(level))
        return false;
    return out.text("</", 2) && put_name(out, l, elem->name) && out.text(">", 1) &&
           put_line_end(out, level);
}

// The text builder's slow path: grow the buffer (keeping room for the
// terminating NUL) and take the run.
bool builder_grow(void *owner, char **at, char **end, const char *run, size_t n)
{
    auto *b = static_cast<cx_xml_sink_t *>(owner);
    b->length = b->buffer ? static_cast<size_t>(*at - b->buffer) : 0;
    if (!cx_xml_sink_append_run(b, run, n))
        return false;
    *at = b->buffer + b->length;
    *end = b->buffer + b->capacity - 1;
    return true;
}

// The stream's slow path: write out what is buffered, then buffer the run
// (or write it straight through when it is bigger than the buffer).
bool stream_drain(void *owner, char **at, char **end, const char *run, size_t n)
{
    auto *s = static_cast<cx_xml_stream_t *>(owner);
    s->length = static_cast<size_t>(*at - s->buffer);
    if (!cx_xml_stream_write(s, run, n))
        return false;
    *at = s->buffer + s->length;
    *end = s->buffer + s->capacity;
    return true;
}

layout layout_of(const char *prefix, bool escape)
{
    return {prefix, strlen(prefix), escape};
}

char *write_to_text(const cx_elem_t *elem, int level, const char *prefix)
{
    if (!elem || !prefix) {
        errno = EINVAL;
        return nullptr;
    }
    cx_xml_sink_t builder = {nullptr, 0, 0};
    run_output out(nullptr, nullptr, builder_grow, &builder);
    bool written = write_element(out, layout_of(prefix, true), elem, level) &&
                   // The terminating NUL, also for a text that never grew.
                   (builder.buffer || cx_xml_sink_reserve(&builder, 1));
    if (!written) {
        VV_FREE(builder.buffer);
        errno = ENOMEM;
        return nullptr;
    }
    builder.length = out.at() ? static_cast<size_t>(out.at() - builder.buffer) : 0;
    builder.buffer[builder.length] = '\0';
    return builder.buffer;
}

} // namespace

int cx_elem_write(const cx_elem_t *elem, int level, const char *prefix, cx_xml_sink_fn sink,
                  void *context, int escape)
{
    if (!elem || !prefix || !sink) {
        errno = EINVAL;
        return 0;
    }
    piece_output out(sink, context);
    return write_element(out, layout_of(prefix, escape != 0), elem, level) ? 1 : 0;
}

int cx_elem_write_stream(const cx_elem_t *elem, int level, const char *prefix,
                         cx_xml_stream_t *stream)
{
    if (!elem || !prefix || !stream || !stream->buffer) {
        errno = EINVAL;
        return 0;
    }
    run_output out(stream->buffer + stream->length, stream->buffer + stream->capacity, stream_drain,
                   stream);
    bool written = write_element(out, layout_of(prefix, true), elem, level);
    stream->length = static_cast<size_t>(out.at() - stream->buffer);
    return written ? 1 : 0;
}

char *cx_elem_sprintf(const cx_elem_t *elem, int level, const char *prefix)
{
    return write_to_text(elem, level, prefix);
}

char *cx_elem_to_string(const cx_elem_t *elem)
{
    return write_to_text(elem, 0, "");
}
