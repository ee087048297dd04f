// Growable array of pointers.

#include "vovedi/array.h"

#include <cerrno>

#include "vovedi/pool.h"

namespace
{

constexpr int first_capacity = 16;

// Make room for slot index (== capacity): max(index + 1, 16) slots at first,
// then the next multiple of the present capacity. The array is untouched
// when memory runs out.
bool grow(array_t *array, int index)
{
    int wanted = index + 1;
    int capacity = array->capacity == 0
                       ? (wanted > first_capacity ? wanted : first_capacity)
                       : (wanted + array->capacity - 1) / array->capacity * array->capacity;
    auto *slots = static_cast<void **>(VV_REALLOC(array->slots, sizeof(void *) * capacity));
    if (!slots)
        return false;
    for (int i = array->capacity; i < capacity; i++)
        slots[i] = ARRAY_EMPTY;
    array->slots = slots;
    array->capacity = capacity;
    return true;
}

} // namespace

array_t *array_new(vv_release_fn release)
{
    auto *array = static_cast<array_t *>(VV_CALLOC(sizeof(array_t)));
    if (!array) {
        errno = ENOMEM;
        return nullptr;
    }
    array->release = release;
    return array;
}

int array_set(array_t *array, int index, void *element)
{
    if (index < 0 || index > array->count)
        return 1;
    if (index == array->capacity && !grow(array, index))
        return 3;
    void *old = array->slots[index];
    if (old != ARRAY_EMPTY && array->release)
        array->release(old);
    array->slots[index] = element;
    if (index == array->count)
        array->count++;
    return 0;
}

int array_append(array_t *array, void *element)
{
    return array_set(array, array->count, element);
}

void *array_get(const array_t *array, int index)
{
    if (!array || index < 0 || index >= array->count)
        return ARRAY_EMPTY;
    return array->slots[index];
}

int array_count(const array_t *array)
{
    return array ? array->count : 0;
}

void *array_first(const array_t *array, int *cursor)
{
    *cursor = -1;
    return array_next(array, cursor);
}

void *array_next(const array_t *array, int *cursor)
{
    if (*cursor < array_count(array))
        ++*cursor;
    return array_get(array, *cursor);
}

void array_free(array_t *array)
{
    if (!array)
        return;
    for (int i = 0; i < array->capacity; i++) {
        if (array->slots[i] != ARRAY_EMPTY && array->release)
            array->release(array->slots[i]);
    }
    VV_FREE(array->slots);
    VV_FREE(array);
}
