/*
 * Growable array of pointers. Free slots and the end of iteration are
 * marked by ARRAY_EMPTY. Not locked: an array belongs to one thread at a time.
 */
#ifndef VOVEDI_ARRAY_H
#define VOVEDI_ARRAY_H

#include <stdint.h>
#include "common.h"

VV_BEGIN_DECL

#define ARRAY_EMPTY ((void *)(uintptr_t)0x80818283u)

typedef struct array_s {
    int capacity;          /* slots allocated, 0 until the first element */
    int count;             /* elements occupy slots 0 .. count-1 */
    void **slots;          /* capacity pointers; free slots hold ARRAY_EMPTY */
    vv_release_fn release; /* applied to released and overwritten elements, or null */
} array_t;

/* A new empty array, or null with errno ENOMEM. */
array_t *array_new(vv_release_fn release);

/* Store element at index count: 0 on success, 3 when memory runs out. */
int array_append(array_t *array, void *element);

/*
 * Store element at index: 1 when index is negative or above the count, 3
 * when memory runs out (the array is unchanged), 0 on success. An element
 * already in the slot is released first.
 */
int array_set(array_t *array, int index, void *element);

/* Element at index, or ARRAY_EMPTY outside 0 .. count-1. */
void *array_get(const array_t *array, int index);

/* Number of elements (0 for a null array). */
int array_count(const array_t *array);

/* Iteration: elements 0 .. count-1 in order, then ARRAY_EMPTY. */
void *array_first(const array_t *array, int *cursor);
void *array_next(const array_t *array, int *cursor);

/* Release every element, the slots and the array; null is ignored. */
void array_free(array_t *array);

VV_END_DECL

#endif
