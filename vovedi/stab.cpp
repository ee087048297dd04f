// String table: case-insensitive text keys to text values.

#include "vovedi/stab.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "vovedi/pool.h"

namespace
{

constexpr size_t inline_size = 32;

// One key and its value; texts shorter than 32 bytes live inline.
struct entry {
    char *key;
    char key_inline[inline_size];
    char *value;
    char value_inline[inline_size];
    hash_link_t link;
};

const char empty_text[] = "";

// Store text in the inline area when it fits, else as a separate copy.
// Returns the pointer to use, or null when the copy fails.
char *hold_text(char *inline_area, const char *text)
{
    size_t n = strlen(text);
    if (n < inline_size) {
        memcpy(inline_area, text, n + 1);
        return inline_area;
    }
    return VV_STRDUP(text);
}

void drop_value(entry *e)
{
    if (e->value && e->value != e->value_inline)
        VV_FREE(e->value);
    e->value_inline[0] = '\0';
    e->value = e->value_inline;
}

void entry_free(void *object)
{
    auto *e = static_cast<entry *>(object);
    drop_value(e);
    if (e->key != e->key_inline)
        VV_FREE(e->key);
    VV_FREE(e);
}

entry *entry_new(const char *key)
{
    auto *e = static_cast<entry *>(VV_CALLOC(sizeof(entry)));
    if (!e)
        return nullptr;
    e->key = hold_text(e->key_inline, key);
    if (!e->key) {
        VV_FREE(e);
        return nullptr;
    }
    e->value = e->value_inline;
    return e;
}

entry *entry_at(const stab_iter_t *cursor)
{
    if (!cursor->entry)
        return nullptr;
    return reinterpret_cast<entry *>(reinterpret_cast<char *>(cursor->entry) -
                                     offsetof(entry, link));
}

} // namespace

struct stab_s {
    hash_t hash;
};

static_assert(offsetof(entry, key) == 0, "the default comparison reads the key first");

stab_t *stab_new(const char *name, ...)
{
    auto *table = static_cast<stab_t *>(VV_MALLOC(sizeof(stab_t)));
    if (!table) {
        errno = ENOMEM;
        return nullptr;
    }
    if (hash_init(&table->hash, STAB_BUCKETS, offsetof(entry, link), nullptr, nullptr,
                  entry_free) != 0) {
        VV_FREE(table);
        errno = ENOMEM;
        return nullptr;
    }
    va_list args;
    va_start(args, name);
    for (const char *key = name; key; key = va_arg(args, const char *)) {
        const char *value = va_arg(args, const char *);
        if (!value)
            break;
        if (stab_set(table, key, value) != 0) {
            va_end(args);
            stab_free(table);
            errno = ENOMEM;
            return nullptr;
        }
    }
    va_end(args);
    // A table created while a pool is current is released with that pool.
    if (pool_t *pool = pool_current())
        pool_register(pool, reinterpret_cast<vv_release_fn>(stab_free), table, __FILE__, __LINE__);
    return table;
}

int stab_set(stab_t *table, const char *key, const char *value)
{
    if (!table || !key || !value)
        return EINVAL;
    // A long value is copied before the table is touched, so that running
    // out of memory leaves the table exactly as it was: no key without its
    // value, no old value lost.
    size_t n = strlen(value);
    char *copy = nullptr;
    if (n >= inline_size) {
        copy = VV_STRDUP(value);
        if (!copy)
            return 3;
    }
    auto *e = static_cast<entry *>(hash_lookup(&table->hash, key));
    if (!e) {
        e = entry_new(key);
        if (!e) {
            VV_FREE(copy);
            return 3;
        }
        hash_insert(&table->hash, key, e);
    }
    // The new value is in place before the old one is released, so a value
    // that points into the old one is copied intact.
    char *old = e->value;
    if (copy) {
        e->value = copy;
    } else {
        memmove(e->value_inline, value, n + 1);
        e->value = e->value_inline;
    }
    if (old != e->value_inline && old != e->value)
        VV_FREE(old);
    return 0;
}

const char *stab_get(stab_t *table, const char *key)
{
    return stab_get_default(table, key, empty_text);
}

const char *stab_get_default(stab_t *table, const char *key, const char *dflt)
{
    if (!table || !key)
        return dflt;
    auto *e = static_cast<entry *>(hash_lookup(&table->hash, key));
    return e ? e->value : dflt;
}

long stab_get_int(stab_t *table, const char *key, long dflt)
{
    const char *value = stab_get_default(table, key, nullptr);
    return value ? strtol(value, nullptr, 10) : dflt;
}

size_t stab_count(stab_t *table)
{
    return table ? table->hash.entry_count : 0;
}

const char *stab_first(stab_t *table, stab_iter_t *cursor)
{
    auto *e = static_cast<entry *>(hash_first(&table->hash, cursor));
    return e ? e->key : nullptr;
}

const char *stab_next(stab_t *table, stab_iter_t *cursor)
{
    auto *e = static_cast<entry *>(hash_next(&table->hash, cursor));
    return e ? e->key : nullptr;
}

const char *stab_iter_value(const stab_iter_t *cursor)
{
    entry *e = entry_at(cursor);
    return e ? e->value : nullptr;
}

void stab_free(stab_t *table)
{
    if (!table)
        return;
    hash_destroy(&table->hash);
    VV_FREE(table);
}
