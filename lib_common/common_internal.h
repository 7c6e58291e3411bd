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

#endif /* LC_COMMON_INTERNAL_H */
