// Once-only set-up and a simple semaphore-based mutex.

#include "vovedi/zthread.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "vovedi/array.h"
#include "vovedi/log.h"
#include "vovedi/pool.h"

struct zthread_mutex_s {
    sem_t semaphore;         // count 1, at most 1
    std::atomic<long> owner; // thread holding the mutex, 0 when free
};

namespace
{

// The thread module's process-wide state: a lock and a registry of threads.
// Nothing in the kit creates threads; the registry is kept for callers that
// do, and both are released at exit.
struct {
    alignas(std::mutex) unsigned char lock_storage[sizeof(std::mutex)];
    std::mutex *lock;
    array_t *registry;
    bool ready;
} module;

zthread_once_t module_once = ZTHREAD_ONCE_INIT;

void module_setup()
{
    module.lock = new (module.lock_storage) std::mutex();
    module.registry = array_new(nullptr);
    if (!module.registry)
        return;
    if (atexit(zthread_atexit) != 0) {
        log_report(LOG_LEVEL_ERROR, "Failed to register zthread_atexit() with atexit()\n");
        return;
    }
    module.ready = true;
}

} // namespace

void zthread_once(zthread_once_t *once, void (*setup)(void))
{
    std::atomic_ref<int> done(once->done);
    if (done.load(std::memory_order_acquire))
        return;
    std::atomic_ref<long> counter(once->counter);
    if (counter.fetch_add(1, std::memory_order_acq_rel) == 0) {
        setup();
        done.store(1, std::memory_order_release);
        return;
    }
    while (!done.load(std::memory_order_acquire))
        sched_yield();
}

int zthread_init(void)
{
    zthread_once(&module_once, module_setup);
    return module.ready ? 1 : 0;
}

void zthread_atexit(void)
{
    if (module.registry) {
        array_free(module.registry);
        module.registry = nullptr;
    }
    if (module.lock) {
        module.lock->~mutex();
        module.lock = nullptr;
    }
    module.ready = false;
}

namespace
{

// The kernel's id of this thread, asked once per thread: every lock and
// unlock needs it, and a system call each time would dominate them. A
// forked child asks again, since its thread has a new id.
thread_local long cached_thread_id;
zthread_once_t fork_once = ZTHREAD_ONCE_INIT;

void forget_thread_id()
{
    cached_thread_id = 0;
}

void register_fork_handler()
{
    pthread_atfork(nullptr, nullptr, forget_thread_id);
}

} // namespace

long zthread_self(void)
{
    if (cached_thread_id == 0) {
        zthread_once(&fork_once, register_fork_handler);
        cached_thread_id = static_cast<long>(syscall(SYS_gettid));
    }
    return cached_thread_id;
}

zthread_mutex_t *zthread_mutex_new(void)
{
    if (!zthread_init()) {
        log_report(LOG_LEVEL_ERROR, "zthread_init failed\n");
        return nullptr;
    }
    auto *mutex = static_cast<zthread_mutex_t *>(VV_CALLOC(sizeof(zthread_mutex_t)));
    if (!mutex) {
        log_nomem("zthread_mutex_s");
        return nullptr;
    }
    new (&mutex->owner) std::atomic<long>(0);
    if (sem_init(&mutex->semaphore, 0, 1) != 0) {
        VV_FREE(mutex);
        return nullptr;
    }
    return mutex;
}

int zthread_mutex_lock(zthread_mutex_t *mutex)
{
    if (!mutex)
        return 1;
    int rc;
    while ((rc = sem_wait(&mutex->semaphore)) != 0 && errno == EINTR)
        ;
    if (rc != 0)
        return 1;
    mutex->owner.store(zthread_self(), std::memory_order_relaxed);
    return 0;
}

int zthread_mutex_unlock(zthread_mutex_t *mutex)
{
    if (!mutex || mutex->owner.load(std::memory_order_relaxed) != zthread_self())
        return 1;
    mutex->owner.store(0, std::memory_order_relaxed);
    sem_post(&mutex->semaphore);
    return 0;
}

void zthread_mutex_free(zthread_mutex_t *mutex)
{
    if (!mutex)
        return;
    sem_destroy(&mutex->semaphore);
    mutex->owner.~atomic();
    VV_FREE(mutex);
}
