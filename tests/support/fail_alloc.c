/*
 * A malloc shim for child processes under test, loaded with LD_PRELOAD: the
 * first malloc of exactly FAIL_ALLOC_SIZE bytes fails with ENOMEM, every
 * other allocation goes to the C library. It lets a test provoke a genuine
 * allocation failure in an unmodified program.
 */
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);

static size_t fail_size;
static int fired;

__attribute__((constructor)) static void fail_alloc_init(void)
{
    const char *size = getenv("FAIL_ALLOC_SIZE");
    if (size)
        fail_size = (size_t)strtoul(size, NULL, 10);
}

void *malloc(size_t size)
{
    if (fail_size != 0 && size == fail_size && !__atomic_exchange_n(&fired, 1, __ATOMIC_SEQ_CST)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}
