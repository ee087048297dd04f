// The text builder sink of the XML writer.

#include "corvex/cx_xml_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "vovedi/pool.h"

int cx_xml_sink_reserve(cx_xml_sink_t *builder, size_t size)
{
    if (!builder) {
        errno = EINVAL;
        return 0;
    }
    if (size <= builder->capacity)
        return 1;
    // Growing to exactly the size asked for would resize the buffer for
    // nearly every element written, and every resize that has to move the
    // text copies all of it: quadratic in the size of the tree. Doubling
    // keeps writing linear; the text itself is the same.
    size_t capacity = size;
    if (builder->capacity <= SIZE_MAX / 2)
        capacity = std::max(size, 2 * builder->capacity);
    auto *grown = static_cast<char *>(VV_REALLOC(builder->buffer, capacity));
    if (!grown) {
        errno = ENOMEM;
        return 0;
    }
    if (!builder->buffer)
        grown[0] = '\0';
    builder->buffer = grown;
    builder->capacity = capacity;
    return 1;
}

int cx_xml_sink_append(const char *piece, void *context)
{
    auto *builder = static_cast<cx_xml_sink_t *>(context);
    if (!piece || !builder) {
        errno = EINVAL;
        return 0;
    }
    size_t k = strlen(piece);
    if (k >= SIZE_MAX - builder->length) {
        errno = ENOMEM;
        return 0;
    }
    if (builder->length + k >= builder->capacity &&
        !cx_xml_sink_reserve(builder, builder->length + k + 1))
        return 0;
    memcpy(builder->buffer + builder->length, piece, k + 1);
    builder->length += k;
    return 1;
}
