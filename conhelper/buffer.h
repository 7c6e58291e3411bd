/**
 * \file
 * \defgroup lib_common_buffer String buffer
 * \ingroup lib_common_text
 * buffer.h - growable string buffer, and the trim twin of lib_trim.
 *
 * A buffer builds strings or byte sequences for its caller; the library
 * keeps none of its own.  Conventions:
 *  - `used` counts the terminating NUL of a string: 'abc' is held with
 *    used 4, the empty string with used 1, and used 0 means no content.
 *    String appends write their first character over byte used - 1.
 *  - buffer_append_memory / buffer_copy_memory count raw bytes only and
 *    write no terminator; a later string append takes the last raw byte
 *    for the terminator and overwrites it.
 *  - Capacity is always a multiple of 64: a request of n bytes gets the
 *    smallest multiple of 64 strictly greater than n (0 -> 64, 64 -> 128).
 *  - buffer_reset keeps storage of up to 4096 bytes and gives back more.
 *
 * Results: 0 on success, -1 for a null buffer or data pointer (nothing
 * changes).  Running out of memory is not reported: the process stops with
 * an assertion failure naming "conhelper/buffer" and the operation.  A size
 * request so large that its rounded capacity cannot be represented counts as
 * running out of memory.  A buffer's own bytes may be appended to it (the
 * source may point into the buffer's storage).
 *
 * No locking: a buffer shared between threads is serialised by its users.
 * Different buffers are independent.
 * @{
 */
#ifndef LC_BUFFER_H
#define LC_BUFFER_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/** One buffer; fields in this order are part of the interface. */
typedef struct buffer {
    char *ptr;   /**< storage, owned by the buffer; null until first needed */
    size_t used; /**< bytes in use (with the terminator for strings) */
    size_t size; /**< capacity in bytes; 0: nothing allocated */
} buffer;

/** New buffer with all fields zero (release with buffer_free).

    Thread safety: any thread. */
LC_API buffer *buffer_init(void);
/** New buffer holding a copy of src's string; a null src gives an empty one.

    Thread safety: any thread; src must not change meanwhile. */
LC_API buffer *buffer_init_buffer(const buffer *src);
/** Releases storage and record; null is ignored.

    Thread safety: once no other thread uses the buffer. */
LC_API void buffer_free(buffer *b);
/** Empties b: used 0, an empty text where storage is kept; null is ignored.

    Thread safety: one thread at a time per buffer. */
LC_API void buffer_reset(buffer *b);

/** Room for n bytes of new content; old content is discarded, used 0.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_prepare_copy(buffer *b, size_t n);
/** Room for n more bytes after the content, which is kept.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_prepare_append(buffer *b, size_t n);

/** Replaces the content with the string s.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_copy_string(buffer *b, const char *s);
/** Replaces the content with len bytes of s as text, terminated.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_copy_string_len(buffer *b, const char *s, size_t len);
/** Replaces the content with src's string; a src with used 0 empties b (its
    storage stays).

    Thread safety: one thread at a time per buffer, src included. */
LC_API int32_t buffer_copy_string_buffer(buffer *b, const buffer *src);

/** Appends the string s.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_append_string(buffer *b, const char *s);
/** Appends n in decimal (as "%d" prints it).

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_append_int(buffer *b, int32_t n);
/** Appends len bytes of s as text and terminates; len 0 changes nothing.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_append_string_len(buffer *b, const char *s, size_t len);
/** Appends src's string; a src with used 0 changes nothing.

    Thread safety: one thread at a time per buffer, src included. */
LC_API int32_t buffer_append_string_buffer(buffer *b, const buffer *src);

/** Appends len raw bytes, no terminator; len 0 changes nothing.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_append_memory(buffer *b, const void *p, size_t len);
/** Replaces the content with len raw bytes, no terminator.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_copy_memory(buffer *b, const void *p, size_t len);

/** 1 when b is null or has no content at all (used 0), else 0.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_is_empty(const buffer *b);
/** 1 when b is null or holds at most a terminator (used below 2), else 0.

    Thread safety: one thread at a time per buffer. */
LC_API int32_t buffer_string_is_empty(const buffer *b);

/** Same as lib_trim: strips `set` (default: white space and '"') from both
    ends of s in place and returns s; a null s returns null.

    Thread safety: any thread, on a text no other thread uses meanwhile. */
LC_API char *trim(char *s, const char *set);

LC_END_DECLS

/** @} */

#endif /* LC_BUFFER_H */
