/*
 * timeval_internal.h - the arithmetic of the time values, inline.
 * Not installed.
 *
 * The exported operators of timeval.h are defined on these; the delay
 * queue calls them directly, because a call to an exported function from
 * inside the library goes through the PLT and cannot be inlined, and the
 * queue's walks are made of little else.
 */
#ifndef LC_TIMEVAL_INTERNAL_H
#define LC_TIMEVAL_INTERNAL_H

#include "timeval.h"

namespace lc_time {

enum { USEC_PER_SEC = 1000000 };

/* 32-bit two's complement arithmetic: a value near the end of time wraps
   instead of being undefined. */
constexpr int32_t add32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

constexpr int32_t sub32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

constexpr int32_t mul32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

/* a >= b: seconds first, then microseconds (signed). */
inline bool ge(const Timeval &a, const Timeval &b)
{
    return a.seconds() > b.seconds() || (a.seconds() == b.seconds() && a.useconds() >= b.useconds());
}

inline bool eq(const Timeval &a, const Timeval &b)
{
    return a.seconds() == b.seconds() && a.useconds() == b.useconds();
}

/* a += d with one carry at most. */
inline void add(Timeval &a, const Timeval &d)
{
    a.secs() = add32(a.seconds(), d.seconds());
    a.usecs() = add32(a.useconds(), d.useconds());
    if (a.useconds() >= USEC_PER_SEC) {
        a.usecs() -= USEC_PER_SEC;
        a.secs() = add32(a.seconds(), 1);
    }
}

/* a -= d with one borrow at most; a negative result becomes (0, 0). */
inline void sub(Timeval &a, const Timeval &d)
{
    a.secs() = sub32(a.seconds(), d.seconds());
    a.usecs() = sub32(a.useconds(), d.useconds());
    if (a.useconds() < 0) {
        a.usecs() = add32(a.useconds(), USEC_PER_SEC);
        a.secs() = sub32(a.seconds(), 1);
    }
    if (a.seconds() < 0)
        a.secs() = a.usecs() = 0;
}

/* The duration from earlier to later; (0, 0) when later is earlier. */
inline DelayInterval diff(const Timeval &later, const Timeval &earlier)
{
    int32_t secs = sub32(later.seconds(), earlier.seconds());
    int32_t usecs = sub32(later.useconds(), earlier.useconds());
    if (usecs < 0) {
        usecs = add32(usecs, USEC_PER_SEC);
        secs = sub32(secs, 1);
    }
    return secs < 0 ? DelayInterval(0, 0) : DelayInterval(secs, usecs);
}

}  // namespace lc_time

#endif /* LC_TIMEVAL_INTERNAL_H */
