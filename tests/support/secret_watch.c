/*
 * A free() shim for child processes under test, loaded with LD_PRELOAD:
 * every block released while it still holds the text of SECRET_WATCH (or of
 * SECRET_WATCH_TOO) is reported on standard error, so that a test sees
 * whether a program wipes its passwords before it releases them.
 */
#define _GNU_SOURCE
#include <malloc.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void __libc_free(void *block);

static const char *secrets[2];

__attribute__((constructor)) static void secret_watch_init(void)
{
    secrets[0] = getenv("SECRET_WATCH");
    secrets[1] = getenv("SECRET_WATCH_TOO");
}

void free(void *block)
{
    if (block) {
        size_t size = malloc_usable_size(block);
        for (int k = 0; k < 2; k++) {
            if (secrets[k] && *secrets[k] && memmem(block, size, secrets[k], strlen(secrets[k]))) {
                static const char message[] = "secret left in a released block\n";
                ssize_t ignored = write(2, message, sizeof message - 1);
                (void)ignored;
            }
        }
    }
    __libc_free(block);
}
