/*
 * Once-only set-up and a simple non-recursive mutex.
 */
#ifndef VOVEDI_ZTHREAD_H
#define VOVEDI_ZTHREAD_H

#include "common.h"

VV_BEGIN_DECL

/* A once control: changed only atomically. Initialise with ZTHREAD_ONCE_INIT. */
typedef struct zthread_once_s {
    long counter;
    int done;
} zthread_once_t;

#define ZTHREAD_ONCE_INIT                                                                          \
    {                                                                                              \
        0, 0                                                                                       \
    }

/*
 * Run setup exactly once per process, even when several threads arrive
 * together; when this returns, setup has finished (whatever its outcome).
 */
void zthread_once(zthread_once_t *once, void (*setup)(void));

/* 1 when the thread module is usable, 0 if its one set-up failed. */
int zthread_init(void);

/* Exit handler: releases the thread module's state. Registered by zthread_init. */
void zthread_atexit(void);

typedef struct zthread_mutex_s zthread_mutex_t;

/* A new unlocked mutex, or null (the reason is logged). */
zthread_mutex_t *zthread_mutex_new(void);

/* 0 when locked, 1 when waiting failed (or the mutex is null). */
int zthread_mutex_lock(zthread_mutex_t *mutex);

/* Release the mutex if the calling thread holds it; otherwise nothing. */
int zthread_mutex_unlock(zthread_mutex_t *mutex);

/* Destroy the mutex; a null mutex is ignored. */
void zthread_mutex_free(zthread_mutex_t *mutex);

/* The calling thread's id as the kernel knows it. */
long zthread_self(void);

VV_END_DECL

#endif
