/*
 * reply.cpp - the sinks of lcctl's answers.  While the serving thread
 * handles a request, every trace it makes is copied into the requester's
 * connection; a follower's connection gets every thread's traces.
 *
 * Nothing here may block or slow a tracing thread on a reader: every send
 * is non-blocking, a record that does not fit is dropped and counted, and
 * the count is sent as a marker where room is found again.  An answer
 * keeps room for its closing records, so it always ends properly.
 */
#include "reply_internal.h"
#include "reply_protocol_internal.h"
#include "lc_lock_internal.h"
#include <errno.h>
#include <pthread.h>

#include <assert.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

enum {
    SLOTS = 1 + LC_CTL_FOLLOWERS, /* the one answer being served, and the followers */
    /* The kernel charges a record to the socket's send buffer with its
       bookkeeping; this bounds that on every target. */
    RECORD_OVERHEAD = 1024,
    RECORD_MAX = LC_REPLY_TEXT_MAX + 2,           /* type byte, text, NUL */
    RESERVE = 3 * (RECORD_MAX + RECORD_OVERHEAD), /* an answer's marker, status and end */
};

namespace {
struct Sink {
    bool used;
    bool follow;
    int fd;          /* -1 once the reader has gone */
    pthread_t owner; /* an answer's thread: only its traces are copied */
    int capacity;    /* the send buffer's limit, as the kernel counts it */
    unsigned lost;   /* records dropped since the last that went in */
};
}  // namespace

int lc_reply_attached;

static Sink sinks[SLOTS];
/* Guards sinks; taken by tracing threads only while something is attached. */
static lc_mutex sink_lock = LC_MUTEX_INITIALIZER;

/* sink_lock for a scope.  Nothing under it traces: a trace would take it
   again. */
static lc_lock_guard hold_sinks(void)
{
    assert(!sink_lock.owner.mine());
    return lc_lock_guard(sink_lock);
}

#ifndef NDEBUG
bool lc_reply_sinks_mine(void)
{
    return sink_lock.owner.mine();
}
#endif

/* Whether a record of len text bytes, and `keep` bytes more, fit into the
   send buffer now.  Caller holds sink_lock. */
static bool has_room(const Sink &s, size_t len, size_t keep)
{
    assert(sink_lock.owner.mine());
    int queued = 0;
    if (ioctl(s.fd, SIOCOUTQ, &queued) != 0)
        return true; /* the send itself will tell */
    return (size_t)queued + len + 2 + RECORD_OVERHEAD + keep <= (size_t)s.capacity;
}

/* Sends one record; false when it did not go in.  An answer's traces and
   rows leave RESERVE bytes free (keep_room).  A reader that has gone, or a
   record cut by the kernel (the stream would be garbled), ends the sink's
   connection.  Caller holds sink_lock. */
static bool put_record(Sink &s, char type, const char *text, size_t len, bool keep_room)
{
    assert(sink_lock.owner.mine());
    if (s.fd < 0)
        return false;
    if (len > LC_REPLY_TEXT_MAX)
        len = LC_REPLY_TEXT_MAX;
    if (keep_room && !has_room(s, len, RESERVE))
        return false;
    char record[RECORD_MAX];
    record[0] = type;
    memcpy(record + 1, text, len);
    record[len + 1] = '\0';
    const size_t size = len + 2;
    const ssize_t n = send(s.fd, record, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == (ssize_t)size)
        return true;
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        close(s.fd);
        s.fd = -1;
    }
    return false;
}

/* Sends the count of dropped records, if any, as a marker record; false
   when it did not go in.  Caller holds sink_lock. */
static bool put_lost(Sink &s, bool keep_room)
{
    assert(sink_lock.owner.mine());
    if (s.lost == 0)
        return true;
    char count[16];
    const int n = snprintf(count, sizeof count, "%u", s.lost);
    if (!put_record(s, LC_REC_CUT, count, (size_t)n, keep_room))
        return false;
    s.lost = 0;
    return true;
}

/* One record into s, after the count of what was dropped before it; the
   count goes in only together with the record, so that a full buffer does
   not fill up with markers.  Caller holds sink_lock. */
static void put_counted(Sink &s, char type, const char *text, size_t len)
{
    assert(sink_lock.owner.mine());
    const bool keep_room = !s.follow;
    if (s.fd >= 0 && s.lost != 0 && !has_room(s, len, RECORD_MAX + RECORD_OVERHEAD + (keep_room ? RESERVE : 0))) {
        s.lost++;
        return;
    }
    if (!put_lost(s, keep_room) || !put_record(s, type, text, len, keep_room))
        s.lost++;
}

/* Frees a slot and closes its connection.  Caller holds sink_lock. */
static void release(Sink &s)
{
    assert(sink_lock.owner.mine());
    assert(s.used);
    if (s.fd >= 0)
        close(s.fd);
    s = Sink();
    s.fd = -1;
    __atomic_sub_fetch(&lc_reply_attached, 1, __ATOMIC_RELAXED);
}

/* A follower whose reader has gone: its connection is hung up. */
static bool reader_gone(const Sink &s)
{
    if (s.fd < 0)
        return true;
    struct pollfd p = {s.fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

/* A free slot for a follower or an answer, after freeing those of
   followers that have gone; null when none is left.  Caller holds
   sink_lock. */
static Sink *free_slot(bool follow)
{
    assert(sink_lock.owner.mine());
    int followers = 0;
    for (Sink &s : sinks) {
        if (s.used && s.follow && reader_gone(s))
            release(s);
        followers += s.used && s.follow;
    }
    if (follow && followers >= LC_CTL_FOLLOWERS)
        return nullptr;
    for (Sink &s : sinks)
        if (!s.used)
            return &s;
    return nullptr;
}

void lc_reply_copy(int level, const char *text, size_t len)
{
    char record[LC_REPLY_TEXT_MAX];
    record[0] = level >= 0 && level <= 7 ? (char)('0' + level) : '?'; /* the gate passes no higher level */
    if (len > sizeof record - 1)
        len = sizeof record - 1;
    memcpy(record + 1, text, len);

    lc_lock_guard lock = hold_sinks();
    const pthread_t self = pthread_self();
    for (Sink &s : sinks) {
        if (!s.used || (!s.follow && !pthread_equal(s.owner, self)))
            continue;
        put_counted(s, LC_REC_TRACE, record, len + 1);
        if (s.follow && s.fd < 0)
            release(s);
    }
}

int lc_reply_attach(int fd, bool follow)
{
    int capacity = 0;
    socklen_t size = sizeof capacity;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &capacity, &size) != 0 || capacity < 2 * RESERVE)
        capacity = 2 * RESERVE;
    lc_lock_guard lock = hold_sinks();
    Sink *s = free_slot(follow);
    if (s == nullptr)
        return -1;
    s->used = true;
    s->follow = follow;
    s->fd = fd;
    s->owner = pthread_self();
    s->capacity = capacity;
    s->lost = 0;
    __atomic_add_fetch(&lc_reply_attached, 1, __ATOMIC_RELAXED);
    return (int)(s - sinks);
}

void lc_reply_put(int slot, char type, const char *text, size_t len)
{
    lc_lock_guard lock = hold_sinks();
    assert(slot >= 0 && slot < SLOTS);
    assert(sinks[slot].used);
    put_counted(sinks[slot], type, text, len);
}

void lc_reply_finish(int slot, const char *status, size_t len)
{
    lc_lock_guard lock = hold_sinks();
    assert(slot >= 0 && slot < SLOTS);
    assert(sinks[slot].used);
    Sink &s = sinks[slot];
    /* The answer's reserve holds these; a follower may have to wait. */
    put_lost(s, false);
    put_record(s, LC_REC_STATUS, status, len, false);
    if (!s.follow)
        put_record(s, LC_REC_END, "", 0, false);
    if (!s.follow || s.fd < 0)
        release(s);
}

void lc_reply_close_all(void)
{
    lc_lock_guard lock = hold_sinks();
    for (Sink &s : sinks) {
        if (!s.used)
            continue;
        put_lost(s, false);
        put_record(s, LC_REC_END, "", 0, false);
        release(s);
    }
}
