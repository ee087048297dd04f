// String table: case-insensitive text keys to text values.
//
// A table costs what it holds. Its entries form one list in iteration order:
// by ascending bucket (the key's hash modulo STAB_BUCKETS), and within a
// bucket the latest key first. Each entry is one allocation holding the key
// and, after it, the value it was created with. A small table is searched
// along that list; a table that grows past a few keys gets an index of the
// first entry of each bucket. Only tables that may be shared between threads
// carry a lock.

#include "vovedi/stab.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "vovedi/pool.h"
#include "vovedi/zthread.h"

namespace
{

// Tables with more keys than this get a bucket index.
constexpr size_t small_table_limit = 8;

// One key and its value. The key text follows the record's fixed part,
// and after its NUL the inline value area, which holds the value the entry
// was created with, or a shorter one set later.
struct entry {
    entry *next;    // the following entry in iteration order
    char *value;    // the inline value area, or a separate copy
    uint8_t bucket; // STAB_BUCKETS fits in a byte
};

constexpr size_t key_offset = offsetof(entry, bucket) + 1;
static_assert(STAB_BUCKETS <= UINT8_MAX, "a bucket number fits in a byte");

const char empty_text[] = "";

char *key_of(entry *e)
{
    return reinterpret_cast<char *>(e) + key_offset;
}

char *inline_value(entry *e)
{
    char *key = key_of(e);
    return key + strlen(key) + 1;
}

// The value of a key set anew is written over the inline area when it fits
// in the text that area was last given; the area is never touched while the
// value lives elsewhere, so that its length stays the area's size.
bool fits_inline(entry *e, size_t n)
{
    return n <= strlen(inline_value(e));
}

void release_value(entry *e)
{
    if (e->value != inline_value(e))
        VV_FREE(e->value);
}

unsigned bucket_of(const char *key)
{
    return hash_default(key) % STAB_BUCKETS;
}

entry *entry_new(const char *key, const char *value, unsigned bucket)
{
    size_t k = strlen(key), v = strlen(value);
    size_t size = key_offset + k + 1 + v + 1;
    auto *e = static_cast<entry *>(VV_MALLOC(size < sizeof(entry) ? sizeof(entry) : size));
    if (!e)
        return nullptr;
    e->next = nullptr;
    e->bucket = static_cast<uint8_t>(bucket);
    char *text = key_of(e);
    memcpy(text, key, k + 1);
    e->value = text + k + 1;
    memcpy(e->value, value, v + 1);
    return e;
}

// Locks a table for one scope when it has a lock.
class table_lock
{
  public:
    explicit table_lock(zthread_mutex_t *mutex) : mutex_(mutex)
    {
        if (mutex_)
            zthread_mutex_lock(mutex_);
    }
    ~table_lock()
    {
        if (mutex_)
            zthread_mutex_unlock(mutex_);
    }
    table_lock(const table_lock &) = delete;
    table_lock &operator=(const table_lock &) = delete;

  private:
    zthread_mutex_t *mutex_;
};

} // namespace

struct stab_s {
    zthread_mutex_t *lock; // null for a table one thread uses at a time
    entry *head;           // the first entry in iteration order
    entry **index;         // null, or the first entry of each bucket
};

namespace
{

entry *find(const stab_t *table, const char *key, unsigned bucket)
{
    entry *e = table->index ? table->index[bucket] : table->head;
    for (; e && e->bucket <= bucket; e = e->next) {
        if (e->bucket == bucket && strcasecmp(key, key_of(e)) == 0)
            return e;
    }
    return nullptr;
}

// The entry after which a new key of the bucket goes (null: at the head).
entry *predecessor(const stab_t *table, unsigned bucket)
{
    entry *before = nullptr;
    entry *e = table->head;
    if (table->index) {
        // Start at the run of the nearest bucket below that holds keys.
        e = nullptr;
        for (unsigned b = bucket; b-- > 0 && !e;)
            e = table->index[b];
    }
    for (; e && e->bucket < bucket; e = e->next)
        before = e;
    return before;
}

// Give a table that has outgrown the small form its bucket index. Without
// memory for it the table just stays small.
void index_if_large(stab_t *table)
{
    size_t count = 0;
    for (entry *e = table->head; e; e = e->next)
        count++;
    if (count <= small_table_limit)
        return;
    auto **index = static_cast<entry **>(VV_CALLOC(STAB_BUCKETS * sizeof(entry *)));
    if (!index)
        return;
    for (entry *e = table->head; e; e = e->next) {
        if (!index[e->bucket])
            index[e->bucket] = e;
    }
    table->index = index;
}

void insert(stab_t *table, entry *e)
{
    entry *before = predecessor(table, e->bucket);
    entry **link = before ? &before->next : &table->head;
    e->next = *link;
    *link = e;
    if (table->index)
        table->index[e->bucket] = e;
    else
        index_if_large(table);
}

// Replace the value of an existing entry: 0, or 3 when no copy can be made
// (the old value then stays).
int replace_value(entry *e, const char *value)
{
    size_t n = strlen(value);
    char *old = e->value;
    if (fits_inline(e, n)) {
        // The value may be a part of the old one: it moves before the old
        // one is released.
        memmove(inline_value(e), value, n + 1);
        e->value = inline_value(e);
    } else {
        char *copy = VV_STRDUP(value);
        if (!copy)
            return 3;
        e->value = copy;
    }
    if (old != e->value && old != inline_value(e))
        VV_FREE(old);
    return 0;
}

stab_t *table_new(bool locked)
{
    auto *table = static_cast<stab_t *>(VV_CALLOC(sizeof(stab_t)));
    if (!table) {
        errno = ENOMEM;
        return nullptr;
    }
    if (locked && !(table->lock = zthread_mutex_new())) {
        VV_FREE(table);
        errno = ENOMEM;
        return nullptr;
    }
    return table;
}

// A table created while a pool is current is released with that pool.
stab_t *registered(stab_t *table)
{
    if (pool_t *pool = pool_current())
        pool_register(pool, reinterpret_cast<vv_release_fn>(stab_free), table, __FILE__, __LINE__);
    return table;
}

} // namespace

stab_t *stab_new(const char *name, ...)
{
    stab_t *table = table_new(true);
    if (!table)
        return nullptr;
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
    return registered(table);
}

stab_t *stab_new_local(void)
{
    stab_t *table = table_new(false);
    return table ? registered(table) : nullptr;
}

int stab_set(stab_t *table, const char *key, const char *value)
{
    if (!table || !key || !value)
        return EINVAL;
    unsigned bucket = bucket_of(key);
    // One critical section from the lookup to the insertion, so that two
    // threads setting the same new key cannot both insert it.
    table_lock lock(table->lock);
    if (entry *e = find(table, key, bucket))
        return replace_value(e, value);
    entry *e = entry_new(key, value, bucket);
    if (!e)
        return 3;
    insert(table, e);
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
    unsigned bucket = bucket_of(key);
    table_lock lock(table->lock);
    entry *e = find(table, key, bucket);
    return e ? e->value : dflt;
}

long stab_get_int(stab_t *table, const char *key, long dflt)
{
    const char *value = stab_get_default(table, key, nullptr);
    return value ? strtol(value, nullptr, 10) : dflt;
}

size_t stab_count(stab_t *table)
{
    if (!table)
        return 0;
    table_lock lock(table->lock);
    size_t count = 0;
    for (entry *e = table->head; e; e = e->next)
        count++;
    return count;
}

const char *stab_first(stab_t *table, stab_iter_t *cursor)
{
    cursor->entry = nullptr;
    if (!table)
        return nullptr;
    table_lock lock(table->lock);
    auto *e = table->head;
    cursor->entry = e;
    return e ? key_of(e) : nullptr;
}

const char *stab_next(stab_t *table, stab_iter_t *cursor)
{
    auto *e = static_cast<entry *>(cursor->entry);
    if (!table || !e)
        return nullptr;
    table_lock lock(table->lock);
    e = e->next;
    cursor->entry = e;
    return e ? key_of(e) : nullptr;
}

const char *stab_iter_value(const stab_iter_t *cursor)
{
    auto *e = static_cast<entry *>(cursor->entry);
    return e ? e->value : nullptr;
}

void stab_free(stab_t *table)
{
    if (!table)
        return;
    entry *e = table->head;
    while (e) {
        entry *next = e->next;
        release_value(e);
        VV_FREE(e);
        e = next;
    }
    VV_FREE(table->index);
    zthread_mutex_free(table->lock);
    VV_FREE(table);
}
