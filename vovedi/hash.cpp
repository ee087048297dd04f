// Intrusive hash table with fixed buckets and a lock per table.

#include "vovedi/hash.h"

#include <cerrno>
#include <strings.h>

#include "vovedi/pool.h"

namespace
{

// Position weights of the default hash, repeated to cover 128 bytes.
constexpr int weights[16] = {1, 3, 7, 11, 13, 17, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61};
constexpr int hashed_bytes = 128;

void *entry_of(const hash_t *table, hash_link_t *link)
{
    return link ? reinterpret_cast<char *>(link) - table->link_offset : nullptr;
}

hash_link_t *link_of(const hash_t *table, void *entry)
{
    return reinterpret_cast<hash_link_t *>(static_cast<char *>(entry) + table->link_offset);
}

class table_lock
{
  public:
    explicit table_lock(hash_t *table) : mutex_(table->lock) { zthread_mutex_lock(mutex_); }
    ~table_lock() { zthread_mutex_unlock(mutex_); }
    table_lock(const table_lock &) = delete;
    table_lock &operator=(const table_lock &) = delete;

  private:
    zthread_mutex_t *mutex_;
};

// The first entry at or after bucket, along the chains; the caller holds the lock.
hash_link_t *scan_from(const hash_t *table, unsigned bucket, hash_iter_t *cursor)
{
    for (; bucket < table->bucket_count; bucket++) {
        if (table->buckets[bucket].next) {
            cursor->bucket = bucket;
            cursor->entry = table->buckets[bucket].next;
            return cursor->entry;
        }
    }
    cursor->bucket = table->bucket_count;
    cursor->entry = nullptr;
    return nullptr;
}

} // namespace

uint16_t hash_default(const char *key)
{
    unsigned sum = 0;
    for (int i = 0; i < hashed_bytes && key[i]; i++) {
        int c = static_cast<signed char>(key[i]);
        if (c >= 'A' && c <= 'Z')
            c += 'a' - 'A';
        sum += static_cast<unsigned>(c * weights[i % 16]);
    }
    return static_cast<uint16_t>(sum);
}

int hash_compare_default(const char *key, const void *entry)
{
    return strcasecmp(key, *static_cast<const char *const *>(entry));
}

int hash_init(hash_t *table, uint16_t bucket_count, size_t link_offset, hash_fn hash,
              hash_compare_fn compare, vv_release_fn release)
{
    *table = hash_t{};
    if (bucket_count == 0)
        return EINVAL;
    table->buckets = static_cast<hash_link_t *>(VV_CALLOC(sizeof(hash_link_t) * bucket_count));
    if (!table->buckets)
        return ENOMEM;
    table->lock = zthread_mutex_new();
    if (!table->lock) {
        VV_FREE(table->buckets);
        table->buckets = nullptr;
        return ENOMEM;
    }
    table->bucket_count = bucket_count;
    table->link_offset = link_offset;
    table->hash = hash ? hash : hash_default;
    table->compare = compare ? compare : hash_compare_default;
    table->release = release;
    return 0;
}

hash_t *hash_new(uint16_t bucket_count, size_t link_offset, hash_fn hash, hash_compare_fn compare,
                 vv_release_fn release)
{
    auto *table = static_cast<hash_t *>(VV_MALLOC(sizeof(hash_t)));
    if (!table) {
        errno = ENOMEM;
        return nullptr;
    }
    int rc = hash_init(table, bucket_count, link_offset, hash, compare, release);
    if (rc != 0) {
        VV_FREE(table);
        errno = rc;
        return nullptr;
    }
    return table;
}

int hash_insert(hash_t *table, const char *key, void *entry)
{
    hash_link_t *link = link_of(table, entry);
    link->hash = table->hash(key);
    table_lock lock(table);
    hash_link_t *head = &table->buckets[link->hash % table->bucket_count];
    link->next = head->next;
    head->next = link;
    table->entry_count++;
    return 0;
}

void *hash_lookup(hash_t *table, const char *key)
{
    uint16_t hash = table->hash(key);
    table_lock lock(table);
    for (hash_link_t *link = table->buckets[hash % table->bucket_count].next; link;
         link = link->next) {
        void *entry = entry_of(table, link);
        if (table->compare(key, entry) == 0)
            return entry;
    }
    return nullptr;
}

void *hash_first(hash_t *table, hash_iter_t *cursor)
{
    table_lock lock(table);
    return entry_of(table, scan_from(table, 0, cursor));
}

void *hash_next(hash_t *table, hash_iter_t *cursor)
{
    if (!cursor->entry)
        return nullptr;
    if (cursor->entry->next) {
        cursor->entry = cursor->entry->next;
        return entry_of(table, cursor->entry);
    }
    table_lock lock(table);
    return entry_of(table, scan_from(table, cursor->bucket + 1, cursor));
}

void hash_destroy(hash_t *table)
{
    if (!table->buckets)
        return;
    hash_iter_t cursor;
    void *entry = hash_first(table, &cursor);
    while (entry) {
        void *next = hash_next(table, &cursor);
        if (table->release)
            table->release(entry);
        entry = next;
    }
    VV_FREE(table->buckets);
    table->buckets = nullptr;
    zthread_mutex_free(table->lock);
    table->lock = nullptr;
    table->entry_count = 0;
}

void hash_free(hash_t *table)
{
    if (!table)
        return;
    hash_destroy(table);
    VV_FREE(table);
}
