/*
 * lib_helpers.h - the lib_ family: text trimming, time differences, string
 * and process helpers, and the crash report.
 */
#ifndef LC_LIB_HELPERS_H
#define LC_LIB_HELPERS_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/* Strips every character of `set` from both ends of s, in place, and
   returns s.  A null set means tab, line feed, vertical tab, form feed,
   carriage return, space and double quote.  A null s returns null. */
LC_API char *lib_trim(char *s, const char *set);

LC_END_DECLS

#endif /* LC_LIB_HELPERS_H */
