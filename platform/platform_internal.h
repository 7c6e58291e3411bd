/*
 * platform_internal.h - helpers shared by the library's own files.
 * Not installed; nothing here is exported.
 */
#ifndef LC_PLATFORM_INTERNAL_H
#define LC_PLATFORM_INTERNAL_H

#include <stddef.h>

/* Writes all len bytes to fd, going on after short writes; stops quietly
   at the first error (callers do not report write errors). */
void lc_write_all(int fd, const void *buf, size_t len);

#endif /* LC_PLATFORM_INTERNAL_H */
