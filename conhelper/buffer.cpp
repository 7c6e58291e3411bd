/*
 * buffer.cpp - growable string buffer (conhelper/buffer).
 */
#include "buffer.h"
#include "common_internal.h"

#include <assert.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* glibc's assertion reporter: prints "<prog>: <file>:<line>: <function>:
   Assertion `<expr>' failed." and aborts.  Declared here because <assert.h>
   hides it when NDEBUG is set, and the failure must be reported in every
   build. */
extern "C" void __assert_fail(const char *assertion, const char *file, unsigned int line, const char *function) noexcept
    __attribute__((noreturn));

/* Out of memory is not a result of this family: the process stops.  The
   source name is fixed so that the message does not carry a build path. */
#define BUFFER_FAIL(expr, op) __assert_fail(expr, "conhelper/buffer", __LINE__, op)

static const size_t not_inside = SIZE_MAX;

/* Smallest multiple of 64 strictly above n; false when that overflows. */
static bool round_capacity(size_t n, size_t *cap)
{
    if (n >= SIZE_MAX - 63)
        return false;
    *cap = (n & ~static_cast<size_t>(63)) + 64;
    return true;
}

/* a + b, or SIZE_MAX when the sum does not fit (which then fails to round). */
static size_t add_saturated(size_t a, size_t b)
{
    return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

/* Offset of p within b's storage, or not_inside: lets a buffer take its own
   bytes as a source even when growing moves the storage. */
static size_t offset_inside(const buffer *b, const void *p)
{
    if (b->ptr == nullptr)
        return not_inside;
    uintptr_t base = reinterpret_cast<uintptr_t>(b->ptr);
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    return at >= base && at - base < b->size ? static_cast<size_t>(at - base) : not_inside;
}

/* Replaces the storage by an empty one for n bytes; the old bytes go. */
static void fresh_storage(buffer *b, size_t n, const char *op)
{
    size_t cap = 0;
    if (!round_capacity(n, &cap))
        BUFFER_FAIL("b->ptr", op);
    free(b->ptr);
    b->ptr = static_cast<char *>(malloc(cap));
    if (b->ptr == nullptr)
        BUFFER_FAIL("b->ptr", op);
    b->size = cap;
    b->used = 0;
}

/* Resizes the storage to hold at least n bytes, keeping the content. */
static void grow_storage(buffer *b, size_t n, const char *op)
{
    size_t cap = 0;
    if (!round_capacity(n, &cap))
        BUFFER_FAIL("b->ptr", op);
    char *p = static_cast<char *>(realloc(b->ptr, cap));
    if (p == nullptr)
        BUFFER_FAIL("b->ptr", op);
    b->ptr = p;
    b->size = cap;
}

extern "C" LC_API buffer *buffer_init(void)
{
    buffer *b = static_cast<buffer *>(calloc(1, sizeof(buffer)));
    if (b == nullptr)
        BUFFER_FAIL("b", "buffer_init");
    return b;
}

extern "C" LC_API buffer *buffer_init_buffer(const buffer *src)
{
    buffer *b = buffer_init();
    if (src != nullptr)
        buffer_copy_string_buffer(b, src);
    return b;
}

extern "C" LC_API void buffer_free(buffer *b)
{
    if (b == nullptr)
        return;
    free(b->ptr);
    free(b);
}

/* Keeps up to 4096 bytes for reuse; a buffer that once held a large text
   gives it back. */
extern "C" LC_API void buffer_reset(buffer *b)
{
    if (b == nullptr)
        return;
    if (b->size > 4096) {
        free(b->ptr);
        b->ptr = nullptr;
        b->size = 0;
    } else if (b->size != 0) {
        b->ptr[0] = '\0';
    }
    b->used = 0;
}

/* The old content is discarded, so storage that is too small is replaced
   rather than resized (no copy of bytes nobody wants). */
extern "C" LC_API int32_t buffer_prepare_copy(buffer *b, size_t n)
{
    if (b == nullptr)
        return -1;
    if (b->size != 0 && n <= b->size) {
        b->used = 0;
        return 0;
    }
    fresh_storage(b, n, "buffer_prepare_copy");
    return 0;
}

/* Growth adds the request to the old capacity (not to `used`), so a run of
   appends reallocates rarely. */
extern "C" LC_API int32_t buffer_prepare_append(buffer *b, size_t n)
{
    if (b == nullptr)
        return -1;
    if (b->size == 0)
        fresh_storage(b, n, "buffer_prepare_append");
    else if (b->used > b->size || n > b->size - b->used)
        grow_storage(b, add_saturated(b->size, n), "buffer_prepare_append");
    return 0;
}

extern "C" LC_API int32_t buffer_copy_string_len(buffer *b, const char *s, size_t len)
{
    if (b == nullptr || s == nullptr)
        return -1;
    size_t n = add_saturated(len, 1);
    size_t off = offset_inside(b, s);
    if (off != not_inside && n > b->size) {
        /* The source lives in the storage a prepare-copy would release. */
        grow_storage(b, n, "buffer_prepare_copy");
        b->used = 0;
    } else {
        buffer_prepare_copy(b, n);
    }
    if (off != not_inside)
        s = b->ptr + off;
    memmove(b->ptr, s, len);
    b->ptr[len] = '\0';
    b->used = len + 1;
    return 0;
}

extern "C" LC_API int32_t buffer_copy_string(buffer *b, const char *s)
{
    if (b == nullptr || s == nullptr)
        return -1;
    return buffer_copy_string_len(b, s, strlen(s));
}

extern "C" LC_API int32_t buffer_copy_string_buffer(buffer *b, const buffer *src)
{
    if (b == nullptr || src == nullptr)
        return -1;
    if (src->used == 0 || src->ptr == nullptr) {
        b->used = 0;
        return 0;
    }
    return buffer_copy_string_len(b, src->ptr, src->used - 1);
}

/* Appends len bytes as text: the first one goes over the terminator (an
   empty buffer counts as holding the empty string), then a new NUL. */
static void append_text(buffer *b, const char *s, size_t len)
{
    size_t off = offset_inside(b, s);
    buffer_prepare_append(b, add_saturated(len, 1));
    if (off != not_inside)
        s = b->ptr + off;
    if (b->used == 0)
        b->used = 1;
    assert(b->used <= b->size);
    assert(len <= b->size - b->used);
    memmove(b->ptr + b->used - 1, s, len);
    b->used += len;
    b->ptr[b->used - 1] = '\0';
}

extern "C" LC_API int32_t buffer_append_string(buffer *b, const char *s)
{
    if (b == nullptr || s == nullptr)
        return -1;
    append_text(b, s, strlen(s));
    return 0;
}

extern "C" LC_API int32_t buffer_append_int(buffer *b, int32_t n)
{
    char text[64];
    snprintf(text, sizeof text, "%d", static_cast<int>(n));
    return buffer_append_string(b, text);
}

extern "C" LC_API int32_t buffer_append_string_len(buffer *b, const char *s, size_t len)
{
    if (b == nullptr || s == nullptr)
        return -1;
    if (len != 0)
        append_text(b, s, len);
    return 0;
}

extern "C" LC_API int32_t buffer_append_string_buffer(buffer *b, const buffer *src)
{
    if (b == nullptr || src == nullptr)
        return -1;
    if (src->used == 0 || src->ptr == nullptr)
        return 0;
    return buffer_append_string_len(b, src->ptr, src->used - 1);
}

extern "C" LC_API int32_t buffer_append_memory(buffer *b, const void *p, size_t len)
{
    if (b == nullptr || p == nullptr)
        return -1;
    if (len == 0)
        return 0;
    size_t off = offset_inside(b, p);
    buffer_prepare_append(b, len);
    if (off != not_inside)
        p = b->ptr + off;
    assert(b->used <= b->size);
    assert(len <= b->size - b->used);
    memmove(b->ptr + b->used, p, len);
    b->used += len;
    return 0;
}

extern "C" LC_API int32_t buffer_copy_memory(buffer *b, const void *p, size_t len)
{
    if (b == nullptr || p == nullptr)
        return -1;
    b->used = 0;
    return buffer_append_memory(b, p, len);
}

extern "C" LC_API int32_t buffer_is_empty(const buffer *b)
{
    return b == nullptr || b->used == 0;
}

extern "C" LC_API int32_t buffer_string_is_empty(const buffer *b)
{
    return b == nullptr || b->used < 2;
}

extern "C" LC_API char *trim(char *s, const char *set)
{
    return lc_strip(s, set);
}
