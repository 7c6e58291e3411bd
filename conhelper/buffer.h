/*
 * buffer.h - growable string buffer, and the trim twin of lib_trim.
 */
#ifndef LC_BUFFER_H
#define LC_BUFFER_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/* Same as lib_trim: strips `set` (default: white space and '"') from both
   ends of s in place and returns s; a null s returns null. */
LC_API char *trim(char *s, const char *set);

LC_END_DECLS

#endif /* LC_BUFFER_H */
