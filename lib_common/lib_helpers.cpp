/*
 * lib_helpers.cpp - time differences, string helpers and shell commands of
 * the lib_ family.
 */
#include "lib_helpers.h"
#include "trace.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The standard-conforming strerror_r; _GNU_SOURCE hides it behind the GNU
   form, which returns a pointer instead of filling the buffer. */
extern "C" int __xpg_strerror_r(int errnum, char *buf, size_t buflen);

enum {
    TWO_INT_WORK = 16,   /* work text of one part, terminator included */
    POPEN_LINE = 256,    /* line buffer of lib_popen2 */
    FIND_CMD_SIZE = 128, /* command text of lib_find_pid */
    FIND_NAME_MAX = 104, /* longest name that fits it */
    FIND_OUT_SIZE = 128, /* output read by lib_find_pid */
    STRERROR_SIZE = 128,
};

/* Microseconds from a to b, each given as seconds and a part below the
   second (already in microseconds); 0 when b is before a.  64-bit seconds
   can lie further apart than 64 bits of microseconds hold (292,000 years):
   such a span gives INT64_MAX, or 0 backwards. */
static int64_t usec_from_to(int64_t a_sec, int64_t a_us, int64_t b_sec, int64_t b_us)
{
    int64_t secs, us, part, total;
    if (__builtin_sub_overflow(b_sec, a_sec, &secs) || __builtin_mul_overflow(secs, 1000000, &us) ||
        __builtin_sub_overflow(b_us, a_us, &part) || __builtin_add_overflow(us, part, &total)) {
        bool forward = b_sec != a_sec ? b_sec > a_sec : b_us > a_us;
        return forward ? INT64_MAX : 0;
    }
    return total < 0 ? 0 : total;
}

/* The nanosecond difference is divided first, truncating toward zero. */
static int64_t usec_from_to_ns(int64_t a_sec, int64_t a_ns, int64_t b_sec, int64_t b_ns)
{
    int64_t ns;
    if (__builtin_sub_overflow(b_ns, a_ns, &ns))
        return usec_from_to(a_sec, a_ns / 1000, b_sec, b_ns / 1000);
    return usec_from_to(a_sec, 0, b_sec, ns / 1000);
}

extern "C" {

/* The forms for the caller's own time_t: 64 bits wide, as the library is
   built.  On a 32-bit target the header names them ..._time64. */
LC_API int64_t lib_common_diff_us(struct timeval a, struct timeval b)
{
    return usec_from_to(a.tv_sec, a.tv_usec, b.tv_sec, b.tv_usec);
}

LC_API int64_t lib_common_diff_msec(struct timeval a, struct timeval b)
{
    return usec_from_to(a.tv_sec, a.tv_usec, b.tv_sec, b.tv_usec) / 1000;
}

LC_API int64_t lib_common_diff_us_timespec(struct timespec a, struct timespec b)
{
    return usec_from_to_ns(a.tv_sec, a.tv_nsec, b.tv_sec, b.tv_nsec);
}

LC_API int64_t lib_common_diff_msec_timespec(struct timespec a, struct timespec b)
{
    return usec_from_to_ns(a.tv_sec, a.tv_nsec, b.tv_sec, b.tv_nsec) / 1000;
}

}  // extern "C"

#ifdef __USE_TIME_BITS64
/* A 32-bit target: programs built before 64-bit time_t pass two 32-bit
   words and call the plain names, which these serve. */
static_assert(sizeof(time_t) == 8, "the library is built with 64-bit time_t");
struct lc_timeval32 {
    int32_t tv_sec;
    int32_t tv_usec;
};
struct lc_timespec32 {
    int32_t tv_sec;
    int32_t tv_nsec;
};

extern "C" {

LC_API int64_t lc_diff_us_time32(lc_timeval32 a, lc_timeval32 b) __asm__("lib_common_diff_us");
LC_API int64_t lc_diff_msec_time32(lc_timeval32 a, lc_timeval32 b) __asm__("lib_common_diff_msec");
LC_API int64_t lc_diff_us_timespec_time32(lc_timespec32 a, lc_timespec32 b) __asm__("lib_common_diff_us_timespec");
LC_API int64_t lc_diff_msec_timespec_time32(lc_timespec32 a, lc_timespec32 b) __asm__("lib_common_diff_msec_timespec");

LC_API int64_t lc_diff_us_time32(lc_timeval32 a, lc_timeval32 b)
{
    return usec_from_to(a.tv_sec, a.tv_usec, b.tv_sec, b.tv_usec);
}

LC_API int64_t lc_diff_msec_time32(lc_timeval32 a, lc_timeval32 b)
{
    return usec_from_to(a.tv_sec, a.tv_usec, b.tv_sec, b.tv_usec) / 1000;
}

LC_API int64_t lc_diff_us_timespec_time32(lc_timespec32 a, lc_timespec32 b)
{
    return usec_from_to_ns(a.tv_sec, a.tv_nsec, b.tv_sec, b.tv_nsec);
}

LC_API int64_t lc_diff_msec_timespec_time32(lc_timespec32 a, lc_timespec32 b)
{
    return usec_from_to_ns(a.tv_sec, a.tv_nsec, b.tv_sec, b.tv_nsec) / 1000;
}

}  // extern "C"
#else
/* time_t has always been 64 bits wide here: the _time64 names, which
   programs of a 32-bit target call, are the same functions. */
static_assert(sizeof(time_t) == 8, "a target without __USE_TIME_BITS64 has 64-bit time_t");

extern "C" {

LC_API int64_t lc_diff_us_time64(struct timeval a, struct timeval b) __asm__("lib_common_diff_us_time64");
LC_API int64_t lc_diff_msec_time64(struct timeval a, struct timeval b) __asm__("lib_common_diff_msec_time64");
LC_API int64_t lc_diff_us_timespec_time64(struct timespec a,
                                          struct timespec b) __asm__("lib_common_diff_us_timespec_time64");
LC_API int64_t lc_diff_msec_timespec_time64(struct timespec a,
                                            struct timespec b) __asm__("lib_common_diff_msec_timespec_time64");

LC_API int64_t lc_diff_us_time64(struct timeval a, struct timeval b)
{
    return lib_common_diff_us(a, b);
}

LC_API int64_t lc_diff_msec_time64(struct timeval a, struct timeval b)
{
    return lib_common_diff_msec(a, b);
}

LC_API int64_t lc_diff_us_timespec_time64(struct timespec a, struct timespec b)
{
    return lib_common_diff_us_timespec(a, b);
}

LC_API int64_t lc_diff_msec_timespec_time64(struct timespec a, struct timespec b)
{
    return lib_common_diff_msec_timespec(a, b);
}

}  // extern "C"
#endif

extern "C" {

LC_API char *lib_strdup_reserved_bytes(const char *s, uint32_t reserved)
{
    if (s == nullptr)
        return nullptr;
    size_t len = strlen(s);
    /* Refuse sizes that would wrap around instead of allocating too little
       (only a 32-bit size_t can: the target's; the host's tests never
       get here). */
    if (len + 1 + static_cast<size_t>(reserved) < len + 1)
        return nullptr;
    char *copy = static_cast<char *>(malloc(len + 1 + reserved));
    if (copy != nullptr)
        memcpy(copy, s, len + 1);
    return copy;
}

LC_API char *lib_strdup(const char *s)
{
    return lib_strdup_reserved_bytes(s, 0);
}

LC_API uint32_t lib_strlen(const char *s)
{
    return s == nullptr ? 0 : static_cast<uint32_t>(strlen(s));
}

LC_API void lib_itoa(int32_t n, char *out)
{
    if (out == nullptr)
        return;
    /* The magnitude as unsigned: -INT32_MIN does not fit a signed word. */
    uint32_t mag = static_cast<uint32_t>(n);
    if (n < 0) {
        *out++ = '-';
        mag = 0u - mag;
    }
    uint32_t power = 1;
    while (mag / power >= 10)
        power *= 10;
    for (; power > 0; power /= 10) {
        *out++ = static_cast<char>('0' + mag / power);
        mag %= power;
    }
    *out = '\0';
}

}  // extern "C"

/* atoi of the len characters at p through a 16-byte work text; false when
   they do not fit it. */
static bool convert_part(const char *p, size_t len, int32_t *value)
{
    char work[TWO_INT_WORK];
    if (len >= sizeof work)
        return false;
    memcpy(work, p, len);
    work[len] = '\0';
    *value = atoi(work);
    return true;
}

extern "C" {

LC_API int lib_get_two_int(const char *text, int32_t *first, int32_t *second, char sep)
{
    if (text == nullptr || first == nullptr || second == nullptr)
        return -1;
    const char *at = strchr(text, sep);
    /* strchr finds the terminator for sep '\0': no separator either. */
    if (at == nullptr || sep == '\0') {
        printf("two int should be like A%cB.\n", sep);
        return -1;
    }
    int32_t a, b;
    if (!convert_part(text, static_cast<size_t>(at - text), &a) || !convert_part(at + 1, strlen(at + 1), &b)) {
        printf("two int should be like A%cB.\n", sep);
        return -1;
    }
    *first = a;
    *second = b;
    return 0;
}

LC_API int32_t lib_getpid(void)
{
    return static_cast<int32_t>(syscall(SYS_gettid));
}

LC_API void lib_strerror(const char *what)
{
    int err = errno;
    if (err == 0)
        return;
    char text[STRERROR_SIZE];
    memset(text, 0, sizeof text);
    __xpg_strerror_r(err, text, sizeof text - 1);
    XEL_TRACE(lib, 6, "%s errno:%d %s\n", what != nullptr ? what : "", err, text);
}

}  // extern "C"

/* Reports a command that could not be started, with popen's errno (the
   start trace may have changed errno since); -1. */
static int start_failed(const char *cmd, int err)
{
    errno = err;
    lib_strerror(cmd);
    return -1;
}

/* Appends the output lines of pipe to out, cutting the first line that
   does not fit and dropping the lines after it. */
static void collect_lines(FILE *pipe, char *out, uint32_t outsize)
{
    char line[POPEN_LINE];
    size_t room = outsize;
    bool full = false;
    while (fgets(line, sizeof line, pipe) != nullptr) {
        if (full)
            continue;
        size_t len = strlen(line);
        size_t bound = room - 1; /* terminator included */
        if (len < bound) {
            memcpy(out, line, len + 1);
            out += len;
            room -= len;
        } else {
            if (bound > 0) {
                memcpy(out, line, bound - 1);
                out[bound - 1] = '\0';
            }
            full = true;
        }
    }
}

extern "C" {

LC_API int lib_popen2(const char *cmd, char *out, uint32_t outsize, const char *tag)
{
    if (cmd == nullptr)
        return -1;
    FILE *pipe = popen(cmd, "r");
    const int err = errno;
    XEL_TRACE(lib, 6, "popen:%s\n", cmd);
    if (pipe == nullptr)
        return start_failed(cmd, err);
    if (tag != nullptr) {
        char line[POPEN_LINE];
        while (fgets(line, sizeof line, pipe) != nullptr)
            xel_traceout(6, "%s:%s", tag, line);
    } else if (out != nullptr && outsize > 0) {
        collect_lines(pipe, out, outsize);
    }
    pclose(pipe);
    return 0;
}

LC_API int lib_popen(const char *cmd, void *buf, uint32_t n)
{
    if (cmd == nullptr)
        return -1;
    FILE *pipe = popen(cmd, "r");
    const int err = errno;
    XEL_TRACE(lib, 6, "popen:%s\n", cmd);
    if (pipe == nullptr)
        return start_failed(cmd, err);
    /* fread keeps reading until n bytes or the end of the output. */
    if (buf != nullptr && n > 0)
        (void)fread(buf, 1, n, pipe);
    pclose(pipe);
    return 0;
}

/* Its start is traced by lib_popen, in lib_popen's name. */
LC_API int lib_system(const char *cmd)
{
    return lib_popen(cmd, nullptr, 0);
}

LC_API int32_t lib_find_pid(const char *name)
{
    if (name == nullptr || strlen(name) > FIND_NAME_MAX)
        return 0;
    char cmd[FIND_CMD_SIZE];
    snprintf(cmd, sizeof cmd, "ps|grep \"%s\"|grep -v grep", name);

    FILE *pipe = popen(cmd, "r");
    if (pipe == nullptr) {
        fprintf(stderr, "DBG_ERR:%s %s[%04d] fopen %s failed\n", "lib_common", __func__, __LINE__, cmd);
        fflush(stderr);
        return 0;
    }
    char res[FIND_OUT_SIZE];
    memset(res, 0, sizeof res);
    if (fread(res, 1, sizeof res - 1, pipe) == 0) {
        fprintf(stderr, "DBG_ERR:%s %s[%04d] fread %s failed\n", "lib_common", __func__, __LINE__, cmd);
        fflush(stderr);
        pclose(pipe);
        return 0;
    }
    XEL_TRACE(cc, 6, "popen res:%s\n\n", res);
    pclose(pipe);

    int32_t pid = 0;
    const char *digit = strpbrk(res, "0123456789");
    if (digit != nullptr) {
        char word[FIND_OUT_SIZE];
        if (sscanf(digit, "%127[^ ]", word) == 1)
            pid = atoi(word);
    }
    XEL_TRACE(cc, 6, "find pid: %s:%d\n\n", name, pid);
    return pid;
}

}  // extern "C"
