/*
 * timeval.cpp - arithmetic, comparisons and constants of the time values.
 */
#include "timeval.h"
#include "scheduler_internal.h"

#include <time.h>

enum { USEC_PER_SEC = 1000000 };

/* 32-bit two's complement arithmetic: a value near the end of time wraps
   instead of being undefined.  constexpr so that the constants below are
   built from each other at compile time, with no run-time initialisation
   and so no order between translation units. */
static constexpr int32_t add32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

static constexpr int32_t sub32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

static constexpr int32_t mul32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

static constexpr DelayInterval scaled(int16_t factor, const DelayInterval &arg)
{
    int32_t secs = mul32(factor, arg.seconds());
    int32_t usecs = mul32(factor, arg.useconds());
    int32_t carry = usecs / USEC_PER_SEC;
    return DelayInterval(add32(secs, carry), usecs - carry * USEC_PER_SEC);
}

/* Exported through their declarations in timeval.h; DELAY_FOREVER stays
   inside the library. */
constexpr DelayInterval DELAY_ZERO(0, 0);
constexpr DelayInterval DELAY_SECOND(1, 0);
constexpr DelayInterval DELAY_MINUTE = scaled(60, DELAY_SECOND);
constexpr DelayInterval DELAY_HOUR = scaled(60, DELAY_MINUTE);
constexpr DelayInterval DELAY_DAY = scaled(24, DELAY_HOUR);
constexpr DelayInterval DELAY_FOREVER(2147483647, 999999);
constexpr _EventTime THE_END_OF_TIME(2147483647u, 0u);

bool Timeval::operator>=(const Timeval &arg) const
{
    return fSeconds > arg.fSeconds || (fSeconds == arg.fSeconds && fUseconds >= arg.fUseconds);
}

bool Timeval::operator<(const Timeval &arg) const
{
    return !(*this >= arg);
}

bool Timeval::operator==(const Timeval &arg) const
{
    return *this >= arg && arg >= *this;
}

bool Timeval::operator!=(const Timeval &arg) const
{
    return !(*this == arg);
}

bool Timeval::operator>(const Timeval &arg) const
{
    return arg < *this;
}

void Timeval::operator+=(const DelayInterval &arg)
{
    fSeconds = add32(fSeconds, arg.seconds());
    fUseconds = add32(fUseconds, arg.useconds());
    if (fUseconds >= USEC_PER_SEC) {
        fUseconds -= USEC_PER_SEC;
        fSeconds = add32(fSeconds, 1);
    }
}

void Timeval::operator-=(const DelayInterval &arg)
{
    fSeconds = sub32(fSeconds, arg.seconds());
    fUseconds = sub32(fUseconds, arg.useconds());
    if (fUseconds < 0) {
        fUseconds = add32(fUseconds, USEC_PER_SEC);
        fSeconds = sub32(fSeconds, 1);
    }
    if (fSeconds < 0)
        fSeconds = fUseconds = 0;
}

LC_API DelayInterval operator-(const Timeval &later, const Timeval &earlier)
{
    int32_t secs = sub32(later.seconds(), earlier.seconds());
    int32_t usecs = sub32(later.useconds(), earlier.useconds());
    if (usecs < 0) {
        usecs = add32(usecs, USEC_PER_SEC);
        secs = sub32(secs, 1);
    }
    if (secs < 0)
        return DELAY_ZERO;
    return DelayInterval(secs, usecs);
}

LC_API DelayInterval operator*(int16_t factor, const DelayInterval &arg)
{
    return scaled(factor, arg);
}

LC_API _EventTime TimeNow()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return _EventTime(static_cast<uint32_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec / 1000));
}
