/*
 * UTF-8 and UTF-16 conversion, for the texts that cross the RPC entry.
 * Every code point converts, supplementary ones as surrogate pairs; what
 * is not well-formed becomes U+FFFD (one per maximal ill-formed part of a
 * UTF-8 sequence, one per unpaired surrogate), so nothing is dropped and
 * nothing read or written beyond the lengths given. Nothing here
 * allocates: measure first (out null), then convert into a buffer of that
 * size plus one for the terminator the caller adds.
 */
#ifndef VOVEDI_UTF16_H
#define VOVEDI_UTF16_H

#include <stddef.h>
#include <uchar.h>
#include "common.h"

VV_BEGIN_DECL

/*
 * Convert length bytes of UTF-8 text (a NUL byte is an ordinary
 * character). Returns the number of UTF-16 units the whole text needs;
 * when out is not null, writes the units of as many whole code points as
 * fit in capacity units. No terminator is written.
 */
size_t utf16_from_utf8(const char *text, size_t length, char16_t *out, size_t capacity);

/*
 * Convert length UTF-16 units to UTF-8. Returns the number of bytes the
 * whole text needs; when out is not null, writes the bytes of as many
 * whole code points as fit in capacity bytes. No terminator is written.
 */
size_t utf8_from_utf16(const char16_t *text, size_t length, char *out, size_t capacity);

/*
 * The number of units before the first NUL unit of text, looking at no
 * more than limit units; limit when there is no NUL among them (so a
 * result equal to limit means "not terminated within the bound").
 */
size_t utf16_length(const char16_t *text, size_t limit);

VV_END_DECL

#endif
