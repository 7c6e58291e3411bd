/*
 * trace.cpp - the one trace output of the library.
 *
 * Texts are built in a stack buffer and handed to output_hook when one is
 * installed, otherwise to syslog in records of at most 160 characters.
 */
#include "trace.h"
#include "common_internal.h"
#include "lc_modules_internal.h"
#include "reply_internal.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <syslog.h>

enum {
    TRACE_BUF_SIZE = 1024, /* at most 1023 characters of text */
    SYSLOG_PIECE = 160,    /* characters per syslog record */
    STAMP_LEN = 6,         /* "ss.mmm" */
    RAW_MAX_BYTES = 32,    /* bytes listed by xel_traceout_raw */
};

extern "C" {

LC_API dbgout_profile_t dbgout_profile = {
    6,       6, 6, 6, 6, 6, 6, 6, /* the eight levels */
    0,                            /* time_enable */
    nullptr,                      /* output_hook */
};
}

#define LC_MODULE_ROW(name, letter) {#name, (letter)[0], &dbgout_profile.name##_level},
const lc_module lc_modules[LC_MODULE_COUNT] = {LC_MODULES(LC_MODULE_ROW)};
#undef LC_MODULE_ROW

/* Writes "ss.mmm" (second of the minute, millisecond) at buf; returns the
   number of characters written, 0 when the clock cannot be read. */
static int write_stamp(char *buf)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        return 0;
    unsigned sec = (unsigned)(tv.tv_sec % 60);
    unsigned msec = (unsigned)(tv.tv_usec / 1000) % 1000;
    buf[0] = (char)('0' + sec / 10);
    buf[1] = (char)('0' + sec % 10);
    buf[2] = '.';
    buf[3] = (char)('0' + msec / 100);
    buf[4] = (char)('0' + msec / 10 % 10);
    buf[5] = (char)('0' + msec % 10);
    return STAMP_LEN;
}

/* Sends text of length len to syslog in pieces of at most 160 characters.
   A last piece of a single character (normally the final newline) is not
   sent on its own. */
static void send_to_syslog(int32_t level, char *text, size_t len)
{
    size_t pos = 0;
    do {
        size_t end = pos + SYSLOG_PIECE < len ? pos + SYSLOG_PIECE : len;
        char saved = text[end];
        text[end] = '\0';
        syslog(level, "%s", text + pos);
        text[end] = saved;
        pos = end;
    } while (len > pos + 1);
}

extern "C" LC_API int32_t xel_traceout(int32_t level, const char *fmt, ...)
{
    if (fmt == nullptr)
        return 0;
    char buf[TRACE_BUF_SIZE];
    int n = 0;
    if (__atomic_load_n(&dbgout_profile.time_enable, __ATOMIC_RELAXED))
        n = write_stamp(buf);

    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(buf + n, sizeof buf - (size_t)n, fmt, ap);
    va_end(ap);
    if (len < 0)
        len = 0;
    size_t total = (size_t)n + (size_t)len;
    if (total > TRACE_BUF_SIZE - 1)
        total = TRACE_BUF_SIZE - 1;
    buf[total] = '\0';

    xel_output_hook hook = __atomic_load_n(&dbgout_profile.output_hook, __ATOMIC_RELAXED);
    if (hook != nullptr)
        hook(level, buf);
    else
        send_to_syslog(level, buf, total);
    /* Copies for lcctl; with nothing attached, one load and one compare. */
    if (__atomic_load_n(&lc_reply_attached, __ATOMIC_RELAXED) != 0)
        lc_reply_copy(level, buf, total);
    return 0;
}

void lc_escape(char *out, size_t size, const char *text, size_t len)
{
    static const char hex[] = "0123456789abcdef";
    size_t pos = 0;
    for (size_t i = 0; i < len; i++) {
        const unsigned char c = (unsigned char)text[i];
        const bool plain = c >= 0x20 && c != 0x7f && c != '\\';
        if (pos + (plain ? 1 : 4) >= size)
            break;
        if (plain) {
            out[pos++] = (char)c;
            continue;
        }
        out[pos++] = '\\';
        out[pos++] = 'x';
        out[pos++] = hex[c >> 4];
        out[pos++] = hex[c & 0xf];
    }
    if (size > 0)
        out[pos] = '\0';
}

extern "C" LC_API void xel_traceout_raw(int32_t level, const char *title, const void *data, int32_t length)
{
    static const char hex[] = "0123456789abcdef";
    char list[256];
    static_assert(RAW_MAX_BYTES * 5 < sizeof list, "every byte listed as 0xNN, and the terminator");
    size_t pos = 0;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    int32_t shown = (bytes == nullptr || length < 0) ? 0 : length;
    if (shown > RAW_MAX_BYTES)
        shown = RAW_MAX_BYTES;
    for (int32_t i = 0; i < shown; i++) {
        list[pos++] = '0';
        list[pos++] = 'x';
        list[pos++] = hex[bytes[i] >> 4];
        list[pos++] = hex[bytes[i] & 0xf];
        list[pos++] = ',';
    }
    list[pos] = '\0';
    xel_traceout(level, "%s [len:%d],data:%s", title ? title : "", (int)length, list);
}
