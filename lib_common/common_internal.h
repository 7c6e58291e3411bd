/*
 * common_internal.h - declarations shared between the library's own files.
 * Not installed; nothing here is exported.
 */
#ifndef LC_COMMON_INTERNAL_H
#define LC_COMMON_INTERNAL_H

#include <stddef.h>

/* Sets the process-wide trace limiter to 10 messages per 5 seconds. */
void lc_trace_ratelimit_setup(void);

/* Strips the characters of `set` (the default white space and '"' when set
   is null) from both ends of s in place; returns s.  Serves lib_trim and
   trim, which only differ in name. */
char *lc_strip(char *s, const char *set);

/* Takes the next comma-separated part of a LIB_COMMON_LEVELS text at *text
   ("lib=7", "cc=debug", "all=info", "time=1"; levels 0..7, err, info or
   debug) and applies it to dbgout_profile; *text moves past it.  False
   when no part is left.  A part it cannot apply is left alone and named by
   *bad and *bad_len (otherwise null and 0); empty parts are skipped. */
bool lc_levels_next(const char **text, const char **bad, int *bad_len);

#endif /* LC_COMMON_INTERNAL_H */
