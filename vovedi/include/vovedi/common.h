/*
 * Shared declarations for every public header of the kit: the C-linkage
 * guard, the printf-format checker and the release-function type.
 */
#ifndef VOVEDI_COMMON_H
#define VOVEDI_COMMON_H

#ifdef __cplusplus
#define VV_BEGIN_DECL extern "C" {
#define VV_END_DECL }
#else
#define VV_BEGIN_DECL
#define VV_END_DECL
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define VV_PRINTF(fmt_index, first_arg)
#endif

VV_BEGIN_DECL

/* A one-argument release function, as kept in tables of release functions. */
typedef void (*vv_release_fn)(void *object);

VV_END_DECL

#endif
