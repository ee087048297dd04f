/*
 * Base64 encoding (RFC 4648 alphabet, "=" padding, one line).
 */
#ifndef VOVEDI_BASE64_H
#define VOVEDI_BASE64_H

#include <stddef.h>
#include "common.h"

VV_BEGIN_DECL

/* Bytes needed for the encoding of n bytes, terminating NUL included. */
size_t base64_encoded_size(size_t n);

/*
 * Encode n bytes of input into out, which holds base64_encoded_size(n)
 * bytes; returns the bytes written, terminating NUL included.
 */
size_t base64_encode_raw(char *out, const unsigned char *input, size_t n);

/* New text encoding the bytes of text; null when memory runs out. */
char *base64_encode(const char *text);

VV_END_DECL

#endif
