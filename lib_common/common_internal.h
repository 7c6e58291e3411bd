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

/* A part of LIB_COMMON_LEVELS that was not applied: its text and why. */
struct lc_levels_part {
    const char *text = nullptr; /* null: the part was applied */
    size_t len = 0;
    const char *why = nullptr;
};

/* Takes the next comma-separated part of a LIB_COMMON_LEVELS text at *text
   ("all=info", "lib=7", "cc=debug", "time=1"; levels 0..7, err, info or
   debug) and applies it to dbgout_profile; *text moves past it.  False
   when no part is left.  A part it cannot apply is left alone and named in
   *bad; empty parts are skipped. */
bool lc_levels_next(const char **text, lc_levels_part *bad);

/* Copies len bytes of untrusted text into out (size bytes, NUL-terminated,
   cut to fit), each control byte and backslash written as \xNN, so that
   the text cannot forge lines or terminal commands where it is shown. */
void lc_escape(char *out, size_t size, const char *text, size_t len);

#endif /* LC_COMMON_INTERNAL_H */
