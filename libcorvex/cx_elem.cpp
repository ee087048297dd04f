// Element tree: elements, children, attributes, content, encrypted values,
// and the XML writer that turns a tree back into text.

#include "corvex/cx_elem.h"

#include <cerrno>
#include <cstring>

#include "vovedi/pool.h"

namespace
{

// The key of encrypted values when the caller gives none.
constexpr unsigned char default_key[] = {0x5a, 0x71, 0x33, 0x6e, 0x48, 0x62, 0x37, 0x77,
                                         0x4b, 0x32, 0x05, 0x64, 0x52, 0x74, 0x39, 0x73};

constexpr char hex_digits[] = "0123456789abcdef";

// The RC4 stream cipher, keyed afresh for every value.
class rc4_stream
{
  public:
    rc4_stream(const unsigned char *key, size_t key_length)
    {
        for (unsigned k = 0; k < 256; k++)
            s_[k] = static_cast<unsigned char>(k);
        unsigned j = 0;
        for (unsigned k = 0; k < 256; k++) {
            j = (j + s_[k] + key[k % key_length]) & 0xff;
            swap(k, j);
        }
    }

    // The next byte of the key stream.
    unsigned char next()
    {
        i_ = (i_ + 1) & 0xff;
        j_ = (j_ + s_[i_]) & 0xff;
        swap(i_, j_);
        return s_[(s_[i_] + s_[j_]) & 0xff];
    }

  private:
    void swap(unsigned a, unsigned b)
    {
        unsigned char t = s_[a];
        s_[a] = s_[b];
        s_[b] = t;
    }

    unsigned char s_[256];
    unsigned i_ = 0;
    unsigned j_ = 0;
};

// New text of 2n lowercase hexadecimal digits: value encrypted under key.
char *encrypt_to_hex(const char *value, const unsigned char *key, size_t key_length)
{
    size_t n = strlen(value);
    if (n > (SIZE_MAX - 1) / 2) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *text = static_cast<char *>(VV_MALLOC(2 * n + 1));
    if (!text) {
        errno = ENOMEM;
        return nullptr;
    }
    rc4_stream stream(key, key_length);
    for (size_t k = 0; k < n; k++) {
        unsigned char out = static_cast<unsigned char>(value[k]) ^ stream.next();
        text[2 * k] = hex_digits[out >> 4];
        text[2 * k + 1] = hex_digits[out & 0x0f];
    }
    text[2 * n] = '\0';
    return text;
}

void append_child(cx_elem_t *parent, cx_elem_t *child)
{
    child->next_sibling = nullptr;
    if (parent->last_child)
        parent->last_child->next_sibling = child;
    else
        parent->first_child = child;
    parent->last_child = child;
}

} // namespace

cx_elem_t *cx_elem_create(const char *name)
{
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    auto *elem = static_cast<cx_elem_t *>(VV_CALLOC(sizeof(cx_elem_t)));
    if (!elem) {
        errno = ENOMEM;
        return nullptr;
    }
    elem->name = VV_STRDUP(name);
    if (!elem->name) {
        VV_FREE(elem);
        errno = ENOMEM;
        return nullptr;
    }
    return elem;
}

void cx_elem_free(cx_elem_t *elem)
{
    if (!elem)
        return;
    // Iterative, so that no tree is too deep to free: the elements still to
    // be freed form one list through their next-sibling links, and each
    // element's children join the front of that list before it goes.
    elem->next_sibling = nullptr;
    cx_elem_t *pending = elem;
    while (pending) {
        cx_elem_t *e = pending;
        pending = e->next_sibling;
        if (e->first_child) {
            e->last_child->next_sibling = pending;
            pending = e->first_child;
        }
        VV_FREE(e->name);
        stab_free(e->attributes);
        VV_FREE(e->content);
        memset(e, 0, sizeof *e);
        VV_FREE(e);
    }
}

int cx_elem_set_content(cx_elem_t *elem, const char *text)
{
    if (!elem || !text) {
        errno = EINVAL;
        return 0;
    }
    char *copy = VV_STRDUP(text);
    if (!copy) {
        errno = ENOMEM;
        return 0;
    }
    VV_FREE(elem->content);
    elem->content = copy;
    return 1;
}

int cx_elem_attr_set(cx_elem_t *elem, const char *name, const char *value)
{
    if (!elem || !name || !value) {
        errno = EINVAL;
        return 0;
    }
    bool table_is_new = false;
    if (!elem->attributes) {
        elem->attributes = stab_new(nullptr);
        if (!elem->attributes) {
            errno = ENOMEM;
            return 0;
        }
        table_is_new = true;
    }
    int rc = stab_set(elem->attributes, name, value);
    if (rc == 0)
        return 1;
    if (table_is_new) {
        stab_free(elem->attributes);
        elem->attributes = nullptr;
    }
    errno = rc == 3 ? ENOMEM : rc;
    return 0;
}

cx_elem_t *cx_elem_child_add(cx_elem_t *parent, cx_elem_t *child)
{
    if (!parent || !child || parent == child) {
        errno = EINVAL;
        return nullptr;
    }
    append_child(parent, child);
    return child;
}

cx_elem_t *cx_elem_child_add_string(cx_elem_t *parent, const char *name, const char *value)
{
    if (!parent || !name || !value) {
        errno = EINVAL;
        return nullptr;
    }
    cx_elem_t *child = cx_elem_create(name);
    if (!child)
        return nullptr;
    if (!cx_elem_set_content(child, value)) {
        cx_elem_free(child);
        return nullptr;
    }
    append_child(parent, child);
    return child;
}

cx_elem_t *cx_elem_child_add_encrypted(cx_elem_t *parent, const char *name, const char *value,
                                       const char *key)
{
    // The key length is that of the key text, so an empty key would leave
    // nothing to schedule the cipher with.
    if (!parent || !name || !value || (key && !*key)) {
        errno = EINVAL;
        return nullptr;
    }
    const auto *key_bytes = key ? reinterpret_cast<const unsigned char *>(key) : default_key;
    size_t key_length = key ? strlen(key) : sizeof default_key;
    cx_elem_t *child = cx_elem_create(name);
    if (!child)
        return nullptr;
    child->content = encrypt_to_hex(value, key_bytes, key_length);
    if (!child->content) {
        cx_elem_free(child);
        return nullptr;
    }
    append_child(parent, child);
    return child;
}

cx_elem_t *cx_elem_child_get(const cx_elem_t *elem, const char *name)
{
    if (!elem || !name) {
        errno = EINVAL;
        return nullptr;
    }
    for (cx_elem_t *child = elem->first_child; child; child = child->next_sibling) {
        if (strcmp(child->name, name) == 0)
            return child;
    }
    return nullptr;
}

cx_elem_t *cx_elem_child_remove(cx_elem_t *parent, cx_elem_t *child)
{
    if (!parent || !child) {
        errno = EINVAL;
        return nullptr;
    }
    cx_elem_t *previous = nullptr;
    for (cx_elem_t *e = parent->first_child; e; previous = e, e = e->next_sibling) {
        if (e != child)
            continue;
        if (previous)
            previous->next_sibling = e->next_sibling;
        else
            parent->first_child = e->next_sibling;
        if (parent->last_child == e)
            parent->last_child = previous;
        e->next_sibling = nullptr;
        return e;
    }
    return nullptr;
}

cx_elem_iter_t cx_elem_child_iter(const cx_elem_t *elem)
{
    return elem ? elem->first_child : nullptr;
}

cx_elem_t *cx_elem_iter_next(cx_elem_iter_t *iter)
{
    if (!iter || !*iter)
        return nullptr;
    cx_elem_t *current = *iter;
    *iter = current->next_sibling;
    return current;
}

// ---------------------------------------------------------------------------
// Writer

namespace
{

// One run of the writer: where the pieces go and how names are written.
struct writer {
    cx_xml_sink_fn sink;
    void *context;
    const char *prefix;
    size_t prefix_length;
    bool escape;
    cx_xml_sink_t *builder; // pre-sized before each element when the sink is the text builder
};

bool put(const writer &w, const char *piece)
{
    return w.sink(piece, w.context) != 0;
}

bool put_spaces(const writer &w, int count)
{
    for (int k = 0; k < count; k++) {
        if (!put(w, " "))
            return false;
    }
    return true;
}

// The entity that stands for byte c in escaped content, or null.
const char *entity_of(char c)
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

bool put_content(const writer &w, const char *content)
{
    char single[2] = {0, 0};
    for (const char *p = content; *p; p++) {
        const char *piece = w.escape ? entity_of(*p) : nullptr;
        if (!piece) {
            single[0] = *p;
            piece = single;
        }
        if (!put(w, piece))
            return false;
    }
    return true;
}

bool put_name(const writer &w, const char *name)
{
    return put(w, w.prefix) && put(w, name);
}

bool put_attributes(const writer &w, const cx_elem_t *elem)
{
    if (!elem->attributes)
        return true;
    stab_iter_t cursor;
    for (const char *name = stab_first(elem->attributes, &cursor); name;
         name = stab_next(elem->attributes, &cursor)) {
        if (!put(w, " ") || !put_name(w, name) || !put(w, "=\"") ||
            !put(w, stab_iter_value(&cursor)) || !put(w, "\""))
            return false;
    }
    return true;
}

// Room for the element's tags, its content and its indentation, so that
// most of its pieces are appended without growing the buffer.
bool presize(const writer &w, const cx_elem_t *elem, int level)
{
    cx_xml_sink_t *b = w.builder;
    size_t needed = b->length + 6 + 2 * strlen(elem->name) + 2 * w.prefix_length;
    if (elem->content)
        needed += strlen(elem->content);
    if (level >= 0)
        needed += static_cast<size_t>(level);
    else
        needed -= static_cast<size_t>(-static_cast<long>(level));
    return needed <= b->capacity || cx_xml_sink_reserve(b, needed);
}

bool write_element(const writer &w, const cx_elem_t *elem, int level)
{
    if (w.builder && !presize(w, elem, level))
        return false;
    if (!put_spaces(w, level) || !put(w, "<") || !put_name(w, elem->name) ||
        !put_attributes(w, elem))
        return false;
    if (!elem->content && !elem->first_child)
        return put(w, "/>") && (level < 0 || put(w, "\n"));
    if (!put(w, ">"))
        return false;
    if (elem->content && !put_content(w, elem->content))
        return false;
    bool children_alone = elem->first_child && !elem->content;
    if (children_alone && level >= 0 && !put(w, "\n"))
        return false;
    int child_level = level >= 0 ? level + 8 : -1;
    for (const cx_elem_t *child = elem->first_child; child; child = child->next_sibling) {
        if (!write_element(w, child, child_level))
            return false;
    }
    if (children_alone && !put_spaces(w, level))
        return false;
    return put(w, "</") && put_name(w, elem->name) && put(w, ">") && (level < 0 || put(w, "\n"));
}

char *write_to_text(const cx_elem_t *elem, int level, const char *prefix)
{
    if (!elem || !prefix) {
        errno = EINVAL;
        return nullptr;
    }
    cx_xml_sink_t builder = {nullptr, 0, 0};
    writer w = {cx_xml_sink_append, &builder, prefix, strlen(prefix), true, &builder};
    if (!write_element(w, elem, level)) {
        VV_FREE(builder.buffer);
        errno = ENOMEM;
        return nullptr;
    }
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
    writer w = {sink, context, prefix, strlen(prefix), escape != 0, nullptr};
    return write_element(w, elem, level) ? 1 : 0;
}

char *cx_elem_sprintf(const cx_elem_t *elem, int level, const char *prefix)
{
    return write_to_text(elem, level, prefix);
}

char *cx_elem_to_string(const cx_elem_t *elem)
{
    return write_to_text(elem, 0, "");
}
