/**
 * \file
 * \defgroup lib_common_timeval Time values (C++)
 * \ingroup lib_common_scheduler
 * timeval.h - time values on the monotonic clock (C++ only).
 *
 * Timeval is a two-word value (seconds, microseconds, each a signed 32-bit
 * word) passed and returned by value.  DelayInterval holds a duration,
 * _EventTime a point in time as read by TimeNow().
 *
 * Nothing normalises a value: the constructor stores both words as given.
 * The arithmetic keeps the microseconds within 0..999999 as long as its
 * operands are within that range; a value built un-normalised, such as
 * (0, 1500000), stays so until an addition carries it once.  Subtraction
 * never goes below zero: a negative result becomes (0, 0).
 *
 * Values are copied, not shared: any thread may use its own.  The constants
 * are read-only and may be read from any thread at any time.
 * @{
 */
#ifndef LC_TIMEVAL_H
#define LC_TIMEVAL_H

#include "lc_defs.h"

#ifdef __cplusplus

class DelayInterval;

/** A time value of two signed 32-bit words, seconds and microseconds.

    Thread safety: a value; one object written by one thread while another
    uses it needs a lock of the caller's. */
class LC_API Timeval {
public:
    /** Stores both words as given (nothing is normalised). */
    constexpr Timeval(int32_t seconds, int32_t useconds) : fSeconds(seconds), fUseconds(useconds) {}

    /** The seconds word. */
    constexpr int32_t seconds() const { return fSeconds; }
    /** The seconds word. */
    constexpr int32_t seconds() { return fSeconds; }
    /** The microseconds word. */
    constexpr int32_t useconds() const { return fUseconds; }
    /** The microseconds word. */
    constexpr int32_t useconds() { return fUseconds; }
    /** The seconds word, writable. */
    int32_t &secs() { return fSeconds; }
    /** The microseconds word, writable. */
    int32_t &usecs() { return fUseconds; }

    /** Later than or equal to arg: seconds first, then microseconds.  >= is
        the primary comparison; the others derive from it. */
    bool operator>=(const Timeval &arg) const;
    /** Earlier than arg. */
    bool operator<(const Timeval &arg) const;
    /** Both words equal. */
    bool operator==(const Timeval &arg) const;
    /** Some word differs. */
    bool operator!=(const Timeval &arg) const;
    /** Later than arg. */
    bool operator>(const Timeval &arg) const;

    /** Adds arg, with one carry of the microseconds at most. */
    void operator+=(const DelayInterval &arg);
    /** Subtracts arg, with one borrow at most; a negative result becomes
        (0, 0). */
    void operator-=(const DelayInterval &arg);

private:
    int32_t fSeconds;
    int32_t fUseconds;
};

/** A duration.

    Thread safety: a value, as Timeval. */
class LC_API DelayInterval : public Timeval {
public:
    /** Stores both words as given. */
    constexpr DelayInterval(int32_t seconds, int32_t useconds) : Timeval(seconds, useconds) {}
};

/** A point in time on the monotonic clock, as TimeNow() reads it.

    Thread safety: a value, as Timeval. */
class LC_API _EventTime : public Timeval {
public:
    /** Stores both words as given (unsigned here; kept in the signed words). */
    constexpr _EventTime(uint32_t seconds = 0, uint32_t useconds = 0)
        : Timeval(static_cast<int32_t>(seconds), static_cast<int32_t>(useconds))
    {
    }
};

/* The processes share these values with the library: two 32-bit words. */
static_assert(sizeof(Timeval) == 8 && sizeof(DelayInterval) == 8 && sizeof(_EventTime) == 8,
              "a time value is two signed 32-bit words");

/** Duration from `earlier` to `later`; DELAY_ZERO when later is earlier.

    Thread safety: any thread (values). */
LC_API DelayInterval operator-(const Timeval &later, const Timeval &earlier);

/** Both words times `factor` (32-bit arithmetic), microseconds carried.

    Thread safety: any thread (values). */
LC_API DelayInterval operator*(int16_t factor, const DelayInterval &arg);

/** Now, on the monotonic clock (not moved by wall-clock changes).

    Thread safety: any thread. */
LC_API _EventTime TimeNow();

extern LC_API const DelayInterval DELAY_ZERO;   /**< (0, 0) */
extern LC_API const DelayInterval DELAY_SECOND; /**< (1, 0) */
extern LC_API const DelayInterval DELAY_MINUTE; /**< (60, 0) */
extern LC_API const DelayInterval DELAY_HOUR;   /**< (3600, 0) */
extern LC_API const DelayInterval DELAY_DAY;    /**< (86400, 0) */
extern LC_API const _EventTime THE_END_OF_TIME; /**< (2147483647, 0) */

/** @} */

#endif /* __cplusplus */

#endif /* LC_TIMEVAL_H */
