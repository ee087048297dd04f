/*
 * String table: text keys to text values, keys unique under case-insensitive
 * comparison and kept in the case under which they were first set. Used for
 * element attributes and HTTP header fields. A table costs what it holds: an
 * empty one is a few pointers, each key one allocation with its value.
 */
#ifndef VOVEDI_STAB_H
#define VOVEDI_STAB_H

#include "common.h"
#include "hash.h"

VV_BEGIN_DECL

#define STAB_BUCKETS 101

typedef struct stab_s stab_t;

/* Iteration cursor: the entry last returned. */
typedef struct stab_iter_s {
    void *entry;
} stab_iter_t;

/*
 * A new table holding the given name/value pairs; the list ends at a null
 * name (or a null value). Null with errno ENOMEM when memory runs out. Every
 * operation on the table holds its lock, so several threads may share it.
 */
stab_t *stab_new(const char *name, ...);

/*
 * A new empty table without a lock, for a table that one thread at a time
 * uses (an element's attributes). Null with errno ENOMEM.
 */
stab_t *stab_new_local(void);

/*
 * Set key to value: 0 on success; 3 when memory runs out (the table is
 * then unchanged); 22 when an argument is null. The lookup and the insertion
 * of a new key are one critical section.
 */
int stab_set(stab_t *table, const char *key, const char *value);

/* The stored value, or a shared empty text when the key is absent. */
const char *stab_get(stab_t *table, const char *key);

/* The stored value, or dflt when the table is null or the key absent. */
const char *stab_get_default(stab_t *table, const char *key, const char *dflt);

/* The value as a decimal integer (strtol, base 10), or dflt when absent. */
long stab_get_int(stab_t *table, const char *key, long dflt);

/* Number of keys in the table. */
size_t stab_count(stab_t *table);

/*
 * Iteration over keys: by ascending bucket (the key's hash_default modulo
 * STAB_BUCKETS), within a bucket the latest key first; null at the end (and
 * for a null table). Not to be mixed with setting new keys.
 */
const char *stab_first(stab_t *table, stab_iter_t *cursor);
const char *stab_next(stab_t *table, stab_iter_t *cursor);

/* The value of the entry the cursor stands on (valid after first/next). */
const char *stab_iter_value(const stab_iter_t *cursor);

/* Release the table and every entry; null is ignored. */
void stab_free(stab_t *table);

VV_END_DECL

#endif
