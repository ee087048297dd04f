/*
 * Intrusive hash table with a fixed number of buckets. Entries carry a
 * hash_link_t at a known offset; each table has its own mutex, held by
 * every operation for its duration.
 */
#ifndef VOVEDI_HASH_H
#define VOVEDI_HASH_H

#include <stddef.h>
#include <stdint.h>
#include "common.h"
#include "zthread.h"

VV_BEGIN_DECL

typedef struct hash_link_s {
    uint16_t hash;
    struct hash_link_s *next;
} hash_link_t;

/* Key text to 16-bit hash. */
typedef uint16_t (*hash_fn)(const char *key);
/* Key text against an entry: 0 when equal. */
typedef int (*hash_compare_fn)(const char *key, const void *entry);

typedef struct hash_s {
    uint16_t bucket_count;
    size_t entry_count;
    hash_link_t *buckets; /* bucket_count chain heads */
    size_t link_offset;   /* position of the hash_link_t inside an entry */
    hash_fn hash;
    hash_compare_fn compare;
    vv_release_fn release;
    zthread_mutex_t *lock;
} hash_t;

typedef struct hash_iter_s {
    unsigned bucket;
    hash_link_t *entry; /* link of the current entry */
} hash_iter_t;

/*
 * The default hash: the first 128 bytes of the key, as signed bytes with
 * A-Z folded to lower case, weighted by position, summed modulo 65536.
 */
uint16_t hash_default(const char *key);

/*
 * The default comparison: case-insensitive ASCII comparison of the key with
 * the text an entry's first member points to.
 */
int hash_compare_default(const char *key, const void *entry);

/*
 * A new table, or null with errno ENOMEM. hash and compare may be null for
 * the defaults; release (or null) is applied to each entry by hash_free.
 */
hash_t *hash_new(uint16_t bucket_count, size_t link_offset, hash_fn hash, hash_compare_fn compare,
                 vv_release_fn release);

/* Put entry at the head of its bucket's chain. 0 on success. */
int hash_insert(hash_t *table, const char *key, void *entry);

/* The first entry of the key's bucket that compares equal, or null. */
void *hash_lookup(hash_t *table, const char *key);

/*
 * Iteration: buckets in ascending order, each chain from its head (the
 * latest insertion first). Null at the end. Not to be mixed with insertion.
 */
void *hash_first(hash_t *table, hash_iter_t *cursor);
void *hash_next(hash_t *table, hash_iter_t *cursor);

/* Release every entry with the table's release function, then the table. */
void hash_free(hash_t *table);

/* In-place set-up and tear-down, for records that embed a table. */
int hash_init(hash_t *table, uint16_t bucket_count, size_t link_offset, hash_fn hash,
              hash_compare_fn compare, vv_release_fn release);
void hash_destroy(hash_t *table);

VV_END_DECL

#endif
