/**
 * \file
 * \defgroup lib_common_helpers lib_ helpers and the crash report
 * \ingroup lib_common_frame
 * lib_helpers.h - the lib_ family: text trimming, time differences, string
 * and process helpers, and the crash report.
 *
 * Bad input: null texts give null, 0 or -1 as stated below and write
 * nothing.  Where the input does not fit a fixed work text the call is
 * refused rather than cut: lib_get_two_int refuses a part longer than 15
 * characters (-1, its message, nothing stored) and lib_find_pid a name
 * longer than 104 characters (0, no command run).  lib_popen2 with a null
 * out and no tag reads nothing, as with outsize 0.
 *
 * These helpers keep no state (but for the crash report's file) and may be
 * called from any thread; the command helpers block their caller until the
 * command has ended, which from a command handler holds up the scheduler.
 * @{
 */
#ifndef LC_LIB_HELPERS_H
#define LC_LIB_HELPERS_H

#include "lc_defs.h"

#include <sys/time.h>
#include <time.h>

LC_BEGIN_DECLS

/** Strips every character of `set` from both ends of s, in place, and
    returns s.  A null set means tab, line feed, vertical tab, form feed,
    carriage return, space and double quote.  A null s returns null.

    Thread safety: any thread, on a text no other thread uses meanwhile. */
LC_API char *lib_trim(char *s, const char *set);

/* Time from a to b in milliseconds or microseconds; 0 when b is before a.
   The timespec forms truncate the nanosecond difference toward zero.

   Each exists in two forms on a 32-bit target, as glibc's own functions
   do: the plain name takes the old 32-bit time_t values, the _time64 name
   the 64-bit ones.  A program compiled with _TIME_BITS=64 (glibc then sets
   __USE_TIME_BITS64) calls the _time64 form through the same name below;
   where time_t has always been 64 bits wide both names do the same.  The
   reference documents the plain declarations. */
#ifdef __USE_TIME_BITS64
LC_API int64_t lib_common_diff_msec(struct timeval a, struct timeval b) __asm__("lib_common_diff_msec_time64");
LC_API int64_t lib_common_diff_us(struct timeval a, struct timeval b) __asm__("lib_common_diff_us_time64");
LC_API int64_t lib_common_diff_msec_timespec(struct timespec a,
                                             struct timespec b) __asm__("lib_common_diff_msec_timespec_time64");
LC_API int64_t lib_common_diff_us_timespec(struct timespec a,
                                           struct timespec b) __asm__("lib_common_diff_us_timespec_time64");
#else
/** Milliseconds from a to b (struct timeval); 0 when b is before a.  On a
    32-bit target a program built with _TIME_BITS=64 reaches
    `lib_common_diff_msec_time64` through this name.

    Thread safety: any thread, no lock. */
LC_API int64_t lib_common_diff_msec(struct timeval a, struct timeval b);
/** Microseconds from a to b (struct timeval); 0 when b is before a.  With
    _TIME_BITS=64 on a 32-bit target: `lib_common_diff_us_time64`.

    Thread safety: any thread, no lock. */
LC_API int64_t lib_common_diff_us(struct timeval a, struct timeval b);
/** Milliseconds from a to b (struct timespec), the nanosecond difference
    truncated toward zero; 0 when b is before a.  With _TIME_BITS=64 on a
    32-bit target: `lib_common_diff_msec_timespec_time64`.

    Thread safety: any thread, no lock. */
LC_API int64_t lib_common_diff_msec_timespec(struct timespec a, struct timespec b);
/** Microseconds from a to b (struct timespec), the nanosecond difference
    truncated toward zero; 0 when b is before a.  With _TIME_BITS=64 on a
    32-bit target: `lib_common_diff_us_timespec_time64`.

    Thread safety: any thread, no lock. */
LC_API int64_t lib_common_diff_us_timespec(struct timespec a, struct timespec b);
#endif

/** Heap copy of s (release with free); null for a null s or no memory.

    Thread safety: any thread. */
LC_API char *lib_strdup(const char *s);
/** As lib_strdup, leaving `reserved` more bytes after the terminator.

    Thread safety: any thread. */
LC_API char *lib_strdup_reserved_bytes(const char *s, uint32_t reserved);
/** strlen, 0 for a null s.

    Thread safety: any thread. */
LC_API uint32_t lib_strlen(const char *s);
/** n in decimal into out, which holds 12 bytes; a null out is ignored.

    Thread safety: any thread. */
LC_API void lib_itoa(int32_t n, char *out);
/** Splits `A<sep>B` into two numbers.  *first and *second get atoi of
    each part: 0, or -1 with the line "two int should be like A%cB." on
    standard output when sep is missing or a part is longer than 15
    characters.  -1 without a message for a null pointer.

    Thread safety: any thread. */
LC_API int lib_get_two_int(const char *text, int32_t *first, int32_t *second, char sep);
/** Kernel id of the calling thread (the process id in the main thread).

    Thread safety: any thread; each thread gets its own id. */
LC_API int32_t lib_getpid(void);
/** Traces `<what> errno:<n> <text>` at level 6 when errno is not 0.

    Thread safety: any thread; it reads the calling thread's errno. */
LC_API void lib_strerror(const char *what);

/** Runs cmd through the shell and waits for it.  With a tag each output
    line is traced as `<tag>:<line>`; otherwise the lines are collected
    into out, at most outsize - 2 characters and a terminator, cutting the
    first line that does not fit and dropping the rest.  0 once started,
    -1 for a null cmd or a command that cannot be started.

    Thread safety: any thread; it blocks the caller until the command ends
    (from a command handler, the scheduler with it). */
LC_API int lib_popen2(const char *cmd, char *out, uint32_t outsize, const char *tag);
/** Runs cmd through the shell, reads up to n bytes of its output into buf
    (no terminator) unless buf is null, and waits for it.  0 or -1 as above;
    the command's exit status is not looked at.

    Thread safety: as lib_popen2. */
LC_API int lib_popen(const char *cmd, void *buf, uint32_t n);
/** Runs cmd through the shell and waits for it, reading none of its output:
    lib_popen(cmd, NULL, 0).  0 once started, -1 as above.

    Thread safety: as lib_popen2. */
LC_API int lib_system(const char *cmd);
/** Id of the first process whose "ps" line contains name; 0 for none.

    Thread safety: as lib_popen2 (it runs ps). */
LC_API int32_t lib_find_pid(const char *name);

/** Appends a report of the calling process to "/dev/xel_core.file": thread
    and process status, descriptor count, 2048 bytes of the calling thread's
    stack (fewer if the stack ends sooner) and the memory map; then copies
    the file into common_profile.core_copy_dir when core_copy_enable is set
    (skipped when the command would not fit its 127-byte text).  Not safe in
    an asynchronous signal handler that may return.

    Thread safety: any thread, one at a time: the report file's descriptor
    is shared, so two threads reporting at once mix their reports.  It
    starts commands, allocates and formats, none of which is
    async-signal-safe; it suits a fatal-signal handler that runs once
    before the process ends, and nothing else in a signal handler. */
LC_API void printBackTrace(void);
/** Faults the calling thread with a store through a null pointer (to try
    the crash report).

    Thread safety: any thread; the process gets SIGSEGV. */
LC_API void lib_core_test(void);

LC_END_DECLS

/** @} */

#endif /* LC_LIB_HELPERS_H */
