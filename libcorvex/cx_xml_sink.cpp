// The text builder sink of the XML writer.

#include "corvex/cx_xml_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "vovedi/pool.h"

namespace
{

// Growth from this size on asks for its pages in one step.
constexpr size_t prefault_size = 256 * 1024;

} // namespace

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
    // The text fills what it grew into: a big new part comes in one step.
    if (capacity - builder->capacity >= prefault_size)
        pool_prefault(grown + builder->capacity, capacity - builder->capacity);
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
    return cx_xml_sink_append_run(builder, piece, strlen(piece));
}

int cx_xml_sink_append_run(cx_xml_sink_t *builder, const char *bytes, size_t n)
{
    if (!builder || (!bytes && n > 0)) {
        errno = EINVAL;
        return 0;
    }
    if (n >= SIZE_MAX - builder->length) {
        errno = ENOMEM;
        return 0;
    }
    if (builder->length + n >= builder->capacity &&
        !cx_xml_sink_reserve(builder, builder->length + n + 1))
        return 0;
    if (n > 0)
        memcpy(builder->buffer + builder->length, bytes, n);
    builder->length += n;
    builder->buffer[builder->length] = '\0';
    return 1;
}

namespace
{

constexpr size_t stream_buffer_size = 64 * 1024;

// Write bytes to the stream's file; false with the errno kept on failure.
bool stream_put(cx_xml_stream_t *stream, const char *bytes, size_t n)
{
    if (n == 0 || fwrite(bytes, 1, n, stream->file) == n)
        return true;
    stream->error = errno ? errno : EIO;
    return false;
}

bool stream_flush(cx_xml_stream_t *stream)
{
    size_t n = stream->length;
    stream->length = 0;
    return stream_put(stream, stream->buffer, n);
}

} // namespace

int cx_xml_stream_open(cx_xml_stream_t *stream, FILE *file)
{
    if (!stream || !file) {
        errno = EINVAL;
        return 0;
    }
    *stream = cx_xml_stream_t{file, nullptr, 0, 0, 0};
    stream->buffer = static_cast<char *>(VV_MALLOC(stream_buffer_size));
    if (!stream->buffer) {
        errno = ENOMEM;
        return 0;
    }
    stream->capacity = stream_buffer_size;
    return 1;
}

int cx_xml_stream_write(cx_xml_stream_t *stream, const char *bytes, size_t n)
{
    if (!stream || !stream->buffer || (!bytes && n > 0)) {
        errno = EINVAL;
        return 0;
    }
    if (stream->error) {
        errno = stream->error;
        return 0;
    }
    if (n > stream->capacity - stream->length) {
        // Bigger than the room left: out with the buffer, and a run bigger
        // than the whole buffer goes straight through.
        if (!stream_flush(stream) || (n > stream->capacity && !stream_put(stream, bytes, n))) {
            errno = stream->error;
            return 0;
        }
        if (n > stream->capacity)
            return 1;
    }
    memcpy(stream->buffer + stream->length, bytes, n);
    stream->length += n;
    return 1;
}

int cx_xml_stream_close(cx_xml_stream_t *stream)
{
    if (!stream) {
        errno = EINVAL;
        return 0;
    }
    if (stream->buffer && !stream->error && stream_flush(stream) && fflush(stream->file) != 0)
        stream->error = errno ? errno : EIO;
    VV_FREE(stream->buffer);
    stream->buffer = nullptr;
    stream->length = stream->capacity = 0;
    if (stream->error) {
        errno = stream->error;
        return 0;
    }
    return 1;
}
