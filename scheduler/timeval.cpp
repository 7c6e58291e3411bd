/*
 * timeval.cpp - arithmetic, comparisons and constants of the time values.
 */
#include "timeval.h"
#include "scheduler_internal.h"
#include "timeval_internal.h"

#include <time.h>

/* constexpr so that the constants below are built from each other at
   compile time, with no run-time initialisation and so no order between
   translation units. */
static constexpr DelayInterval scaled(int16_t factor, const DelayInterval &arg)
{
    int32_t secs = lc_time::mul32(factor, arg.seconds());
    int32_t usecs = lc_time::mul32(factor, arg.useconds());
    int32_t carry = usecs / lc_time::USEC_PER_SEC;
    return DelayInterval(lc_time::add32(secs, carry), usecs - carry * lc_time::USEC_PER_SEC);
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
    return lc_time::ge(*this, arg);
}

bool Timeval::operator<(const Timeval &arg) const
{
    return !lc_time::ge(*this, arg);
}

bool Timeval::operator==(const Timeval &arg) const
{
    return lc_time::eq(*this, arg);
}

bool Timeval::operator!=(const Timeval &arg) const
{
    return !lc_time::eq(*this, arg);
}

bool Timeval::operator>(const Timeval &arg) const
{
    return !lc_time::ge(arg, *this);
}

void Timeval::operator+=(const DelayInterval &arg)
{
    lc_time::add(*this, arg);
}

void Timeval::operator-=(const DelayInterval &arg)
{
    lc_time::sub(*this, arg);
}

LC_API DelayInterval operator-(const Timeval &later, const Timeval &earlier)
{
    return lc_time::diff(later, earlier);
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
