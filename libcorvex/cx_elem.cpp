// Element tree: elements, children, attributes, content and encrypted
// values. The writer is in cx_elem_write.cpp.

#include "corvex/cx_elem.h"
#include "cx_elem_detail.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

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

// An element is one block: the record, a two-byte tag, its name, then
// either its content (an element made whole by the reader) or one spare
// byte. The content is in the block exactly when it starts right after the
// name's NUL; a content of its own can never start there, since that byte
// belongs to the block.
//
// The tag tells where the block lives: 0 for a block of its own; otherwise
// the block lies in a slab of the reader, at (tag - 1) * 8 bytes from the
// slab's first element. A slab counts the elements still in it, plus one
// while the reader still fills it, and goes when the count reaches zero.
using elem_tag = uint16_t;

// Slabs start small, so that a small reply costs little, and double up to
// the largest, so that a big one costs few blocks.
constexpr size_t first_slab_bytes = 4 * 1024;
constexpr size_t last_slab_bytes = 64 * 1024 - 64;
constexpr size_t slab_align = 8;
// Elements bigger than this get a block of their own.
constexpr size_t largest_slab_element = first_slab_bytes / 4;

struct slab {
    std::atomic<long> held;
    size_t bytes; // the size of the whole slab
    alignas(std::max_align_t) char elements[1];
};

constexpr size_t slab_header = offsetof(slab, elements);
static_assert(last_slab_bytes / slab_align < UINT16_MAX, "a slab offset fits in a tag");

elem_tag *tag_of(const cx_elem_t *elem)
{
    return reinterpret_cast<elem_tag *>(const_cast<cx_elem_t *>(elem) + 1);
}

char *after_name(const cx_elem_t *elem)
{
    return elem->name + strlen(elem->name) + 1;
}

void release_content(cx_elem_t *elem)
{
    if (elem->content && elem->content != after_name(elem))
        VV_FREE(elem->content);
    elem->content = nullptr;
}

void slab_release(slab *s)
{
    if (s && s->held.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        s->~slab();
        VV_FREE(s);
    }
}

// Release an element's block: its own, or its place in a slab.
void release_block(cx_elem_t *elem)
{
    elem_tag tag = *tag_of(elem);
    if (tag == 0) {
        VV_FREE(elem);
        return;
    }
    char *first = reinterpret_cast<char *>(elem) - (tag - 1) * slab_align;
    slab_release(reinterpret_cast<slab *>(first - slab_header));
}

// Room for an element of size bytes in the reader's current slab (or a new
// one): the block and its tag; null when memory runs out.
void *slab_place(cx_detail::elem_slab *cursor, size_t size, elem_tag *tag)
{
    size = (size + slab_align - 1) / slab_align * slab_align;
    auto *current = static_cast<slab *>(cursor->slab);
    if (!current || cursor->used + size > current->bytes - slab_header) {
        size_t bytes = current ? std::min(2 * current->bytes, last_slab_bytes) : first_slab_bytes;
        void *memory = VV_MALLOC(bytes);
        if (!memory)
            return nullptr;
        // The reader fills every slab it takes: its pages come in one step.
        pool_prefault(memory, bytes);
        slab_release(current);
        current = new (memory) slab{{1}, bytes, {}};
        cursor->slab = current;
        cursor->used = 0;
    }
    void *place = current->elements + cursor->used;
    *tag = static_cast<elem_tag>(cursor->used / slab_align + 1);
    cursor->used += size;
    current->held.fetch_add(1, std::memory_order_relaxed);
    return place;
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

cx_elem_t *cx_detail::elem_new(const char *name, size_t name_length, const char *content,
                               size_t content_length, elem_slab *cursor)
{
    // Name and content sizes come from texts in memory, so the sum cannot wrap.
    size_t size =
        sizeof(cx_elem_t) + sizeof(elem_tag) + name_length + 1 + (content ? content_length : 0) + 1;
    elem_tag tag = 0;
    void *block =
        cursor && size <= largest_slab_element ? slab_place(cursor, size, &tag) : VV_MALLOC(size);
    if (!block) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *elem = new (block) cx_elem_t{};
    *tag_of(elem) = tag;
    elem->name = reinterpret_cast<char *>(tag_of(elem) + 1);
    memcpy(elem->name, name, name_length);
    elem->name[name_length] = '\0';
    char *after = elem->name + name_length + 1;
    if (content) {
        elem->content = after;
        memcpy(after, content, content_length);
        after += content_length;
    }
    *after = '\0';
    return elem;
}

void cx_detail::elem_slab_done(elem_slab *cursor)
{
    slab_release(static_cast<slab *>(cursor->slab));
    cursor->slab = nullptr;
    cursor->used = 0;
}

void cx_detail::elem_append(cx_elem_t *parent, cx_elem_t *child)
{
    append_child(parent, child);
}

cx_elem_t *cx_elem_create(const char *name)
{
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    return cx_detail::elem_new(name, strlen(name), nullptr, 0, nullptr);
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
        stab_free(e->attributes);
        release_content(e);
        memset(e, 0, sizeof *e);
        release_block(e);
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
    release_content(elem);
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
        elem->attributes = stab_new_local();
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
