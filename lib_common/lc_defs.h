/*
 * lc_defs.h - export and linkage macros shared by every public header.
 *
 * Symbols of the library are hidden by default; LC_API marks the ones that
 * make up the exported interface.  Plain functions have C linkage so that
 * C programs can call them; LC_BEGIN_DECLS / LC_END_DECLS wrap them.
 */
#ifndef LC_DEFS_H
#define LC_DEFS_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define LC_API __attribute__((visibility("default")))
#define LC_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define LC_API
#define LC_PRINTF(fmt_index, first_arg)
#endif

#ifdef __cplusplus
#define LC_BEGIN_DECLS extern "C" {
#define LC_END_DECLS }
#else
#define LC_BEGIN_DECLS
#define LC_END_DECLS
#endif

/* A check that holds at compile time in C and in C++. */
#ifdef __cplusplus
#define LC_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define LC_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* The task function of the pool and the scheduler: one untyped argument,
   the result (if any) is ignored. */
typedef void (*lc_task_fn)(void *arg);

#endif /* LC_DEFS_H */
