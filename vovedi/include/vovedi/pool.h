/*
 * Tracked allocation.
 *
 * Every block of library data comes from pool_malloc and its siblings,
 * carries the source file and line that asked for it, and passes the
 * "mem"/"alloc" test point. A pool records what was allocated in it so
 * that everything still recorded can be released in one step. Library code
 * allocates through the VV_MALLOC family below, never through these
 * functions directly.
 */
#ifndef VOVEDI_POOL_H
#define VOVEDI_POOL_H

#include <stddef.h>
#include <stdint.h>
#include "common.h"

VV_BEGIN_DECL

typedef struct pool_s pool_t;

/* The pool library code allocates in; null (no pool) unless one is set. */
pool_t *pool_current(void);

/*
 * A new, empty pool (not the default one), or null with errno ENOMEM.
 * It is released, pool object included, by pool_shutdown.
 */
pool_t *pool_new(void);

/* Allocation. Null on exhaustion; with a pool the block is recorded in it. */
void *pool_malloc(pool_t *pool, size_t size, const char *file, int line);
void *pool_calloc(pool_t *pool, size_t size, const char *file, int line);
void *pool_realloc(pool_t *pool, void *block, size_t size, const char *file, int line);
char *pool_strdup(pool_t *pool, const char *text, const char *file, int line);

/*
 * Release a block: its record, if any, is removed from the pool (the default
 * pool when none is given) and the block freed. A null block is ignored.
 */
void pool_free(pool_t *pool, void *block);

/* pool_free(pool_current(), block), for tables of release functions. */
void pool_release(void *block);

/* Record an object with its release function (default pool when none). */
void pool_register(pool_t *pool, vv_release_fn release, void *object, const char *file, int line);

/* 1 when a record for the object was found and removed, else 0. */
int pool_unregister(pool_t *pool, void *object);

/*
 * Release every recorded object in insertion order, drop the records and
 * the pool's mutex; a pool other than the default one is freed as well.
 * Release functions may call pool_free on the same pool.
 */
void pool_shutdown(pool_t *pool);

/* Set up a pool's mutex and list; runs once for the default pool. */
void pool_init(pool_t *pool);

/* Number of records a pool holds (the default pool when none is given). */
size_t pool_record_count(pool_t *pool);

/*
 * Blocks obtained from the tracked allocator and not yet released, over the
 * whole process; tests compare it before and after an operation.
 */
long pool_live_blocks(void);

/*
 * A hint for a fresh block that is about to be written whole: its pages are
 * made present in one step instead of a fault per page on first write. The
 * contents are not touched; where the system cannot, nothing happens.
 */
void pool_prefault(void *block, size_t size);

/*
 * Keeping the sites of live blocks, for tests that look for leaks: while it
 * is on, every block obtained from the tracked allocator is remembered with
 * the file and line that asked for it (and a serial number, rising) until
 * it is released. Off by default, when it costs one test per allocation;
 * switching it off forgets everything. Blocks obtained while it was off are
 * never listed.
 */
void pool_track_sites(int on);

/* The serial number of the latest block remembered; 0 before the first. */
uint64_t pool_site_serial(void);

/*
 * Call each (when not null) with the file and line of every live block
 * remembered with a serial number above since; returns how many there are.
 */
size_t pool_live_sites(uint64_t since, void (*each)(const char *file, int line, void *context),
                       void *context);

/*
 * The allocation idiom: the current pool, the caller's file and line, and
 * the "mem"/"alloc" test point. A test point that replaces the result
 * simulates exhaustion without leaking the block it replaced, and a
 * simulated failure of a resize leaves the old block untouched.
 */
void *vv_malloc_at(size_t size, const char *file, int line);
void *vv_calloc_at(size_t size, const char *file, int line);
void *vv_realloc_at(void *block, size_t size, const char *file, int line);
char *vv_strdup_at(const char *text, const char *file, int line);

#define VV_MALLOC(size) vv_malloc_at((size), __FILE__, __LINE__)
#define VV_CALLOC(size) vv_calloc_at((size), __FILE__, __LINE__)
#define VV_REALLOC(block, size) vv_realloc_at((block), (size), __FILE__, __LINE__)
#define VV_STRDUP(text) vv_strdup_at((text), __FILE__, __LINE__)
#define VV_FREE(block) pool_free(pool_current(), (block))

VV_END_DECL

#endif
