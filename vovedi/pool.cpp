// Tracked allocation: pools that record what was allocated in them, and the
// allocation idiom every library allocation goes through.

#include "vovedi/pool.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

#include "vovedi/log.h"
#include "vovedi/testpoint.h"
#include "vovedi/zthread.h"

namespace
{

struct record {
    const char *file; // the compiler's name for the file, not copied
    int line;
    void *object;
    vv_release_fn release;
    record *next;
    record *prev;
};

void heap_free(void *object)
{
    free(object);
}

std::atomic<long> live_blocks{0};

// Where the live blocks came from, kept while tests ask for it: an
// open-addressing table of block addresses (linear probing, deletion by
// shifting back), in plain heap memory so that keeping it never passes
// through the allocation it watches.
class site_table
{
  public:
    struct site {
        uintptr_t block; // 0: a free slot
        const char *file;
        int line;
        uint64_t serial;
    };

    bool on() const { return on_.load(std::memory_order_relaxed); }

    void switch_on(bool on)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!on) {
            free(slots_);
            slots_ = nullptr;
            capacity_ = used_ = 0;
        }
        on_.store(on, std::memory_order_relaxed);
    }

    uint64_t serial() const { return serial_.load(std::memory_order_relaxed); }

    void add(const void *block, const char *file, int line)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!on() || !room_for_one())
            return;
        site *s = slot_of(reinterpret_cast<uintptr_t>(block));
        if (!s->block)
            used_++;
        *s = {reinterpret_cast<uintptr_t>(block), file, line, serial_.fetch_add(1) + 1};
    }

    void remove(uintptr_t block)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!slots_)
            return;
        site *s = slot_of(block);
        if (!s->block)
            return;
        // Move later members of the probe run back into the hole.
        size_t hole = static_cast<size_t>(s - slots_);
        s->block = 0;
        used_--;
        for (size_t k = (hole + 1) & (capacity_ - 1); slots_[k].block;
             k = (k + 1) & (capacity_ - 1)) {
            size_t home = hash(slots_[k].block);
            bool stays = hole <= k ? (hole < home && home <= k) : (hole < home || home <= k);
            if (stays)
                continue;
            slots_[hole] = slots_[k];
            slots_[k].block = 0;
            hole = k;
        }
    }

    size_t each_since(uint64_t since, void (*each)(const char *, int, void *), void *context)
    {
        std::lock_guard<std::mutex> guard(lock_);
        size_t count = 0;
        for (size_t k = 0; k < capacity_; k++) {
            if (slots_[k].block && slots_[k].serial > since) {
                count++;
                if (each)
                    each(slots_[k].file, slots_[k].line, context);
            }
        }
        return count;
    }

  private:
    size_t hash(uintptr_t block) const
    {
        return (block >> 4) * 0x9e3779b97f4a7c15ull >> 20 & (capacity_ - 1);
    }

    site *slot_of(uintptr_t block)
    {
        size_t k = hash(block);
        while (slots_[k].block && slots_[k].block != block)
            k = (k + 1) & (capacity_ - 1);
        return &slots_[k];
    }

    // Keep the table at most half full, doubling it as needed.
    bool room_for_one()
    {
        if (slots_ && 2 * (used_ + 1) <= capacity_)
            return true;
        size_t capacity = capacity_ ? 2 * capacity_ : 1024;
        auto *grown = static_cast<site *>(calloc(capacity, sizeof(site)));
        if (!grown)
            return false;
        site *old = slots_;
        size_t old_capacity = capacity_;
        slots_ = grown;
        capacity_ = capacity;
        for (size_t k = 0; k < old_capacity; k++) {
            if (old[k].block)
                *slot_of(old[k].block) = old[k];
        }
        free(old);
        return true;
    }

    std::atomic<bool> on_{false};
    std::atomic<uint64_t> serial_{0};
    std::mutex lock_;
    site *slots_ = nullptr;
    size_t capacity_ = 0;
    size_t used_ = 0;
};

site_table &sites()
{
    static site_table table;
    return table;
}

void site_added(const void *block, const char *file, int line)
{
    if (sites().on())
        sites().add(block, file, line);
}

void site_removed(uintptr_t block)
{
    if (sites().on())
        sites().remove(block);
}

} // namespace

struct pool_s {
    record *head;
    record *tail;
    size_t count;
    zthread_mutex_t *mutex;
    std::atomic<int> shutting_down;
};

namespace
{

pool_t default_pool;
zthread_once_t default_once = ZTHREAD_ONCE_INIT;

void shutdown_default_pool()
{
    pool_shutdown(&default_pool);
}

void default_pool_setup()
{
    pool_init(&default_pool);
}

// The pool an operation acts on: the given one, or the default pool, set up
// on first use.
pool_t *target_pool(pool_t *pool)
{
    zthread_once(&default_once, default_pool_setup);
    return pool ? pool : &default_pool;
}

// Locks the record list for one scope, except while the pool shuts down:
// then the shutting-down thread already holds the non-recursive lock and
// its release functions must not wait for it.
class list_guard
{
  public:
    explicit list_guard(pool_t *pool) : pool_(pool)
    {
        if (!pool_->shutting_down.load(std::memory_order_acquire))
            locked_ = zthread_mutex_lock(pool_->mutex) == 0;
    }
    ~list_guard()
    {
        if (locked_)
            zthread_mutex_unlock(pool_->mutex);
    }
    list_guard(const list_guard &) = delete;
    list_guard &operator=(const list_guard &) = delete;

  private:
    pool_t *pool_;
    bool locked_ = false;
};

void unlink_record(pool_t *pool, record *r)
{
    (r->prev ? r->prev->next : pool->head) = r->next;
    (r->next ? r->next->prev : pool->tail) = r->prev;
    pool->count--;
}

// Remove and free the first record of the object at address; the caller
// holds the list. Addresses are compared as numbers because the object may
// already be gone (a block that realloc moved).
bool remove_record(pool_t *pool, uintptr_t address)
{
    for (record *r = pool->head; r; r = r->next) {
        if (reinterpret_cast<uintptr_t>(r->object) == address) {
            unlink_record(pool, r);
            free(r);
            return true;
        }
    }
    return false;
}

void *note_block(pool_t *pool, void *block, const char *file, int line)
{
    if (!block)
        return nullptr;
    live_blocks.fetch_add(1, std::memory_order_relaxed);
    site_added(block, file, line);
    if (pool)
        pool_register(pool, heap_free, block, file, line);
    return block;
}

// Pass a fresh block through the allocation test point. A replaced block is
// released here so that a simulated exhaustion leaks nothing.
void *alloc_hook(void *block, const char *file, int line)
{
    void *result = testpoint_ptr(block, "mem", "alloc", file, line);
    if (result == block || !block)
        return result;
    // The replaced block was recorded nowhere when no pool is current; it is
    // released without touching the default pool, whose own set-up may be
    // the allocation that was made to fail.
    if (pool_t *pool = pool_current()) {
        pool_free(pool, block);
    } else {
        live_blocks.fetch_sub(1, std::memory_order_relaxed);
        site_removed(reinterpret_cast<uintptr_t>(block));
        free(block);
    }
    return result;
}

} // namespace

pool_t *pool_current(void)
{
    return nullptr;
}

void pool_init(pool_t *pool)
{
    pool->head = pool->tail = nullptr;
    pool->count = 0;
    pool->shutting_down.store(0);
    pool->mutex = zthread_mutex_new();
    if (pool == &default_pool && atexit(shutdown_default_pool) != 0)
        log_report(LOG_LEVEL_DEBUG, "Failed to register pool_shutdown() with atexit().\n");
}

pool_t *pool_new(void)
{
    void *memory = VV_CALLOC(sizeof(pool_t));
    if (!memory) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *pool = new (memory) pool_t();
    pool_init(pool);
    return pool;
}

void *pool_malloc(pool_t *pool, size_t size, const char *file, int line)
{
    return note_block(pool, malloc(size ? size : 1), file, line);
}

void *pool_calloc(pool_t *pool, size_t size, const char *file, int line)
{
    return note_block(pool, calloc(1, size ? size : 1), file, line);
}

char *pool_strdup(pool_t *pool, const char *text, const char *file, int line)
{
    if (!text) {
        errno = EINVAL;
        return nullptr;
    }
    return static_cast<char *>(note_block(pool, strdup(text), file, line));
}

void *pool_realloc(pool_t *pool, void *block, size_t size, const char *file, int line)
{
    if (!block)
        return pool_malloc(pool, size, file, line);
    // Only the old address is needed afterwards, as the key of its record.
    auto old_address = reinterpret_cast<uintptr_t>(block);
    void *moved = realloc(block, size ? size : 1);
    if (moved) {
        site_removed(old_address);
        site_added(moved, file, line);
    }
    if (!moved || reinterpret_cast<uintptr_t>(moved) == old_address || !pool)
        return moved;
    {
        pool_t *target = target_pool(pool);
        list_guard guard(target);
        remove_record(target, old_address);
    }
    pool_register(pool, heap_free, moved, file, line);
    return moved;
}

void pool_free(pool_t *pool, void *block)
{
    pool_t *target = target_pool(pool);
    if (!block)
        return;
    {
        list_guard guard(target);
        remove_record(target, reinterpret_cast<uintptr_t>(block));
    }
    live_blocks.fetch_sub(1, std::memory_order_relaxed);
    site_removed(reinterpret_cast<uintptr_t>(block));
    free(block);
}

void pool_release(void *block)
{
    pool_free(pool_current(), block);
}

void pool_register(pool_t *pool, vv_release_fn release, void *object, const char *file, int line)
{
    pool_t *target = target_pool(pool);
    auto *r = static_cast<record *>(calloc(1, sizeof(record)));
    if (!r)
        return;
    r->file = file;
    r->line = line;
    r->object = object;
    r->release = release;
    list_guard guard(target);
    r->prev = target->tail;
    (target->tail ? target->tail->next : target->head) = r;
    target->tail = r;
    target->count++;
}

int pool_unregister(pool_t *pool, void *object)
{
    pool_t *target = target_pool(pool);
    list_guard guard(target);
    return remove_record(target, reinterpret_cast<uintptr_t>(object)) ? 1 : 0;
}

void pool_shutdown(pool_t *pool)
{
    pool_t *target = target_pool(pool);
    zthread_mutex_lock(target->mutex);
    target->shutting_down.store(1, std::memory_order_release);
    // Each record leaves the list before its object is released, so a
    // release function that frees another recorded object removes that
    // record and nothing is released twice.
    while (record *r = target->head) {
        unlink_record(target, r);
        if (r->release)
            r->release(r->object);
        free(r);
    }
    zthread_mutex_t *mutex = target->mutex;
    target->mutex = nullptr;
    zthread_mutex_unlock(mutex);
    zthread_mutex_free(mutex);
    if (target != &default_pool)
        pool_free(nullptr, target);
}

size_t pool_record_count(pool_t *pool)
{
    pool_t *target = target_pool(pool);
    list_guard guard(target);
    return target->count;
}

long pool_live_blocks(void)
{
    return live_blocks.load(std::memory_order_relaxed);
}

void pool_prefault(void *block, size_t size)
{
#ifdef MADV_POPULATE_WRITE
    static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    auto start = reinterpret_cast<uintptr_t>(block);
    uintptr_t first = (start + page - 1) & ~(page - 1);
    uintptr_t end = (start + size) & ~(page - 1);
    if (block && end > first)
        (void)madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)size;
#endif
}

void pool_track_sites(int on)
{
    sites().switch_on(on != 0);
}

uint64_t pool_site_serial(void)
{
    return sites().serial();
}

size_t pool_live_sites(uint64_t since, void (*each)(const char *file, int line, void *context),
                       void *context)
{
    return sites().each_since(since, each, context);
}

void *vv_malloc_at(size_t size, const char *file, int line)
{
    return alloc_hook(pool_malloc(pool_current(), size, file, line), file, line);
}

void *vv_calloc_at(size_t size, const char *file, int line)
{
    return alloc_hook(pool_calloc(pool_current(), size, file, line), file, line);
}

char *vv_strdup_at(const char *text, const char *file, int line)
{
    return static_cast<char *>(
        alloc_hook(pool_strdup(pool_current(), text, file, line), file, line));
}

void *vv_realloc_at(void *block, size_t size, const char *file, int line)
{
    if (!block)
        return vv_malloc_at(size, file, line);
    // A resize may move the block and free the old one, so a simulated
    // failure is decided before the heap is touched: the caller keeps its
    // block intact, exactly as after a real failure.
    if (!testpoint_ptr(block, "mem", "alloc", file, line))
        return nullptr;
    return pool_realloc(pool_current(), block, size, file, line);
}
