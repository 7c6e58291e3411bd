/* A caller of the time differences, built with the target's old time_t and with _TIME_BITS=64 (LC_TIME_BITS says
   which): through the same names, each must get the right answers. */
#include "lib_common.h"

#include <stdio.h>

#define TV(s, us) ((struct timeval){(time_t)(s), (us)})
#define TS(s, ns) ((struct timespec){(time_t)(s), (ns)})

int main(void)
{
    const int64_t end32 = 2147483647; /* the last second a 32-bit time_t holds */
    const struct {
        const char *what;
        int64_t got, want;
    } cases[] = {
        {"bits of time_t", (int64_t)sizeof(time_t) * 8, LC_TIME_BITS},
        {"diff_msec", lib_common_diff_msec(TV(10, 0), TV(12, 500000)), 2500},
        {"diff_msec backwards", lib_common_diff_msec(TV(12, 500000), TV(10, 0)), 0},
        {"diff_us", lib_common_diff_us(TV(10, 0), TV(12, 500000)), 2500000},
        {"diff_us_timespec", lib_common_diff_us_timespec(TS(0, 0), TS(1, 1500)), 1000001},
        {"diff_msec_timespec", lib_common_diff_msec_timespec(TS(0, 0), TS(1, 1500)), 1000},
        {"diff_us_timespec backwards", lib_common_diff_us_timespec(TS(1, 1500), TS(0, 0)), 0},
        {"diff_us at the end of 32-bit time", lib_common_diff_us(TV(end32, 500000), TV(end32, 999999)), 499999},
#if LC_TIME_BITS == 64
        {"diff_msec past 2038", lib_common_diff_msec(TV(end32, 500000), TV(end32 + 3, 999999)), 3499},
        {"diff_us_timespec past 2106", lib_common_diff_us_timespec(TS(0, 0), TS(INT64_C(4294967297), 1500)),
         INT64_C(4294967297000001)},
#endif
    };
    int failures = 0;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++)
        if (cases[i].got != cases[i].want) {
            printf("%s: %lld, want %lld\n", cases[i].what, (long long)cases[i].got, (long long)cases[i].want);
            failures++;
        }
    printf("time_t of %d bits: %s\n", LC_TIME_BITS, failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
