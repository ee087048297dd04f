/*
 * Dynamic strings: a buffer and its allocated size, kept by the caller.
 * Every text returned as new is released with pool_free (VV_FREE).
 */
#ifndef VOVEDI_STR_H
#define VOVEDI_STR_H

#include <stdarg.h>
#include <stddef.h>
#include "array.h"
#include "common.h"

VV_BEGIN_DECL

/*
 * Make the buffer hold at least n + 1 bytes: nothing when size > n already;
 * otherwise resize to exactly n + 1 (a new buffer holds the empty text).
 * On failure the buffer is released and becomes null, size 0.
 */
void str_ensure(char **buffer, size_t *size, size_t n);

/*
 * Append formatted text to the text in buffer, growing it (4097 bytes at
 * first, doubling as needed). Returns the buffer, or null when memory runs
 * out or the format cannot be rendered; the buffer is then released and
 * buffer and size are cleared.
 */
char *str_vappend(char **buffer, size_t *size, const char *format, va_list args) VV_PRINTF(3, 0);
char *str_append_printf(char **buffer, size_t *size, const char *format, ...) VV_PRINTF(3, 4);

/* New formatted text, or null with errno ENOMEM. */
char *str_vprintf(const char *format, va_list args) VV_PRINTF(1, 0);
char *str_printf(const char *format, ...) VV_PRINTF(1, 2);

/* New text of the first n bytes of text, NUL-terminated; null when out of memory. */
char *str_ndup(const char *text, size_t n);

/* New text joining all the texts in order, the list ending at a null. */
char *str_concat(const char *first, ...);

/*
 * Split text at the matches of a POSIX extended pattern (case ignored;
 * null means runs of blanks and tabs). Leading separators give no piece,
 * adjacent separators give an empty piece; with maximum m > 0 at most m
 * pieces result, the last holding the rest whole. Returns a new array of
 * new texts (released with array_free), or null when the pattern does not
 * compile (logged) or memory runs out.
 */
array_t *str_split(const char *text, const char *pattern, int maximum);

/*
 * New text with every match of the pattern replaced by the replacement;
 * null when an argument is null, the pattern does not compile or memory
 * runs out.
 */
char *str_replace(const char *text, const char *pattern, const char *replacement);

/*
 * Overwrite text with zero bytes up to its NUL, where no optimisation can
 * drop the writes, and release it (VV_FREE); for texts that hold a
 * password. Null is ignored.
 */
void str_free_secret(char *text);

/* New text with & " ' < > replaced by their XML entities; null on failure. */
char *xml_escape(const char *text);

VV_END_DECL

#endif
