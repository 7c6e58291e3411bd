/* A caller of the time differences, built once with the target's old
   time_t and once with _TIME_BITS=64 (on a 64-bit target both are 64 bits
   wide).  Through the same names, each must get the right answers.
   LC_TIME_BITS says which time_t this build is meant to have. */
#include "lib_common.h"

#include <stdio.h>

static int failures;

static void check(const char *what, int64_t got, int64_t want)
{
    if (got != want) {
        printf("%s: %lld, want %lld\n", what, (long long)got, (long long)want);
        failures++;
    }
}

int main(void)
{
    struct timeval a = {10, 0}, b = {12, 500000};
    struct timespec c = {0, 0}, d = {1, 1500};

    if (sizeof(time_t) * 8 != LC_TIME_BITS) {
        printf("time_t has %u bits, want %d\n", (unsigned)(sizeof(time_t) * 8), LC_TIME_BITS);
        return 1;
    }
    check("diff_msec", lib_common_diff_msec(a, b), 2500);
    check("diff_msec backwards", lib_common_diff_msec(b, a), 0);
    check("diff_us", lib_common_diff_us(a, b), 2500000);
    check("diff_us_timespec", lib_common_diff_us_timespec(c, d), 1000001);
    check("diff_msec_timespec", lib_common_diff_msec_timespec(c, d), 1000);
    check("diff_us_timespec backwards", lib_common_diff_us_timespec(d, c), 0);
    a.tv_sec = 2147483647; /* the last second a 32-bit time_t holds */
    a.tv_usec = 500000;
    b.tv_sec = 2147483647;
    b.tv_usec = 999999;
    check("diff_us at the end of 32-bit time", lib_common_diff_us(a, b), 499999);
#if LC_TIME_BITS == 64
    b.tv_sec = (time_t)2147483647 + 3; /* 2038-01-19, past 03:14:07 */
    check("diff_msec past 2038", lib_common_diff_msec(a, b), 3499);
    d.tv_sec = (time_t)4294967296 + 1; /* 2106 */
    check("diff_us_timespec past 2106", lib_common_diff_us_timespec(c, d), INT64_C(4294967297000001));
#endif
    printf("time_t of %d bits: %s\n", LC_TIME_BITS, failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
