/**
 * \file
 * \defgroup lib_common_defs Export macros and the task function type
 * \ingroup lib_common_frame
 * lc_defs.h - export and linkage macros shared by every public header.
 *
 * Symbols of the library are hidden by default; LC_API marks the ones that
 * make up the exported interface.  Plain functions have C linkage so that
 * C programs can call them; LC_BEGIN_DECLS / LC_END_DECLS wrap them.
 * lib_common.h includes this header; a program includes lib_common.h.
 * @{
 */
#ifndef LC_DEFS_H
#define LC_DEFS_H

#include <stddef.h>
#include <stdint.h>

/** \def LC_API
    Marks a declaration as part of the exported interface (default symbol
    visibility with GCC and Clang); empty for other compilers. */
/** \def LC_PRINTF
    Lets GCC and Clang check the arguments of a printf-like function against
    its format: `fmt_index` is the format's position among the parameters,
    `first_arg` the first argument's. */
#if defined(__GNUC__)
#define LC_API __attribute__((visibility("default")))
#define LC_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define LC_API
#define LC_PRINTF(fmt_index, first_arg)
#endif

/** \def LC_BEGIN_DECLS
    Opens a block of declarations with C linkage (`extern "C" {` in C++,
    nothing in C). */
/** \def LC_END_DECLS
    Closes the block that LC_BEGIN_DECLS opened. */
#ifdef __cplusplus
#define LC_BEGIN_DECLS extern "C" {
#define LC_END_DECLS }
#else
#define LC_BEGIN_DECLS
#define LC_END_DECLS
#endif

/** \def LC_STATIC_ASSERT
    A check that holds at compile time in C and in C++: `cond` must be a
    constant expression, `msg` a string literal reported when it is false. */
#ifdef __cplusplus
#define LC_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define LC_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/** The task function of the pool and the scheduler: one untyped argument,
    the result (if any) is ignored.  It runs on a worker of the pool it was
    given to (for timed tasks, gpool), never with a lock of the library held,
    so it may call any function of the library that a task function may
    call (see each function's thread-safety line).  The argument stays the
    caller's: the library never reads or frees it. */
typedef void (*lc_task_fn)(void *arg);

/** @} */

#endif /* LC_DEFS_H */
