/*
 * reply.cpp - the debug pipe's reply channel.  A request names a FIFO of
 * the asker's; while the pipe's thread handles the request, every trace it
 * makes is copied into that FIFO, then a status record and an end record
 * follow.  A follower's FIFO stays attached and gets every thread's traces.
 *
 * Nothing here may block or slow a tracing thread on a reader: every write
 * is non-blocking, a record that does not fit is dropped and counted, and
 * the count is written as a marker where room is found again.  An answer
 * keeps room for its closing records, so it always ends properly.
 */
#include "reply_internal.h"
#include "reply_protocol_internal.h"
#include "lc_lock_internal.h"
#include "trace.h"
#include "lc_version.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum {
    SLOTS = 8,                          /* answers and followers attached at once */
    RESERVE = 512,                      /* room an answer keeps for its closing records */
    FALLBACK_ROOM = 4096,               /* a FIFO holds at least a page */
    RECORD_MAX = LC_REPLY_TEXT_MAX + 2, /* type byte, text, NUL */
};
LC_STATIC_ASSERT(RECORD_MAX <= PIPE_BUF, "a record goes in with one write or not at all");

namespace {
struct Sink {
    bool used;
    bool follow;
    int fd;          /* -1 once the reader has gone */
    pthread_t owner; /* an answer's thread: only its traces are copied */
    int capacity;    /* bytes the FIFO holds */
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

/* The calling thread's signal mask, changed by the system call itself: a
   sanitizer runtime that wraps pthread_sigmask may set the mask back behind
   the caller's back, and then a blocked SIGPIPE would kill the process. */
static void thread_mask(int how, const sigset_t *set, sigset_t *old)
{
    syscall(SYS_rt_sigprocmask, how, set, old, (size_t)(_NSIG / 8));
}

/* A write that never raises SIGPIPE in the process: a write to a FIFO
   without a reader sends it to the writing thread, where it is blocked for
   the call and taken back.  Nothing of the kind can be pending before: the
   thread had it unblocked.  A thread that blocks SIGPIPE itself keeps what
   it gets, as with any write it makes. */
static ssize_t write_no_sigpipe(int fd, const char *data, size_t len)
{
    sigset_t pipe_only, saved;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigemptyset(&saved);
    thread_mask(SIG_BLOCK, &pipe_only, &saved);
    ssize_t n = write(fd, data, len);
    const int err = errno;
    if (n < 0 && err == EPIPE && sigismember(&saved, SIGPIPE) == 0) {
        const struct timespec none = {0, 0};
        syscall(SYS_rt_sigtimedwait, &pipe_only, nullptr, &none, (size_t)(_NSIG / 8));
    }
    thread_mask(SIG_SETMASK, &saved, nullptr);
    errno = err;
    return n;
}

/* Whether `need` more bytes fit into the FIFO.  Caller holds sink_lock. */
static bool has_room(const Sink &s, size_t need)
{
    assert(sink_lock.owner.mine());
    int queued = 0;
    if (ioctl(s.fd, FIONREAD, &queued) != 0)
        return true; /* the write itself will tell */
    return (size_t)queued + need <= (size_t)s.capacity;
}

/* Writes one record; false when it did not go in.  An answer's traces and
   rows leave RESERVE bytes free (keep_room).  A reader that has gone is
   noted by closing the descriptor.  Caller holds sink_lock. */
static bool put_record(Sink &s, char type, const char *text, size_t len, bool keep_room)
{
    assert(sink_lock.owner.mine());
    if (s.fd < 0)
        return false;
    char record[RECORD_MAX];
    if (len > LC_REPLY_TEXT_MAX)
        len = LC_REPLY_TEXT_MAX;
    record[0] = type;
    memcpy(record + 1, text, len);
    record[len + 1] = '\0';
    const size_t size = len + 2;
    if (keep_room && !has_room(s, size + RESERVE))
        return false;
    if (write_no_sigpipe(s.fd, record, size) == (ssize_t)size)
        return true;
    if (errno == EPIPE) {
        close(s.fd);
        s.fd = -1;
    }
    return false;
}

/* Writes the count of dropped records, if any, as a marker record; false
   when it did not go in.  Caller holds sink_lock. */
static bool put_lost(Sink &s, bool keep_room)
{
    assert(sink_lock.owner.mine());
    if (s.lost == 0)
        return true;
    char count[16];
    int n = snprintf(count, sizeof count, "%u", s.lost);
    if (!put_record(s, LC_REC_CUT, count, (size_t)n, keep_room))
        return false;
    s.lost = 0;
    return true;
}

/* One trace or row into s, after the count of what was dropped before it;
   the count goes in only together with the record, so that a full FIFO
   does not fill up with markers.  Caller holds sink_lock. */
static void put_counted(Sink &s, char type, const char *text, size_t len)
{
    assert(sink_lock.owner.mine());
    const bool keep_room = !s.follow;
    const size_t record = (len > (size_t)LC_REPLY_TEXT_MAX ? (size_t)LC_REPLY_TEXT_MAX : len) + 2;
    const size_t marker = 16;
    if (s.fd >= 0 && s.lost != 0 && !has_room(s, marker + record + (keep_room ? RESERVE : 0))) {
        s.lost++;
        return;
    }
    if (!put_lost(s, keep_room) || !put_record(s, type, text, len, keep_room))
        s.lost++;
}

/* Frees a slot.  Caller holds sink_lock. */
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

/* A follower whose reader has gone: its FIFO reports an error. */
static bool reader_gone(const Sink &s)
{
    if (s.fd < 0)
        return true;
    struct pollfd p = {s.fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

/* A free slot, after freeing those of followers that have gone; null when
   every slot is taken.  Caller holds sink_lock. */
static Sink *free_slot(void)
{
    assert(sink_lock.owner.mine());
    for (Sink &s : sinks)
        if (s.used && s.follow && reader_gone(s))
            release(s);
    for (Sink &s : sinks)
        if (!s.used)
            return &s;
    return nullptr;
}

void lc_reply_copy(const char *text, size_t len)
{
    lc_lock_guard lock = hold_sinks();
    const pthread_t self = pthread_self();
    for (Sink &s : sinks) {
        if (!s.used || (!s.follow && !pthread_equal(s.owner, self)))
            continue;
        put_counted(s, LC_REC_TRACE, text, len);
        if (s.follow && s.fd < 0)
            release(s);
    }
}

bool lc_reply_parse(const char *words, size_t len, lc_reply_request *req)
{
    memset(req, 0, sizeof *req);
    if (memchr(words, '\0', len) != nullptr)
        return false;
    const size_t path_word = sizeof LC_REPLY_WORD_PATH - 1;
    size_t pos = 0;
    while (pos < len) {
        const char *word = words + pos;
        const char *blank = static_cast<const char *>(memchr(word, ' ', len - pos));
        const size_t n = blank != nullptr ? (size_t)(blank - word) : len - pos;
        if (n == sizeof LC_REPLY_WORD_ROWS - 1 && memcmp(word, LC_REPLY_WORD_ROWS, n) == 0) {
            req->rows = true;
        } else if (n == sizeof LC_REPLY_WORD_FOLLOW - 1 && memcmp(word, LC_REPLY_WORD_FOLLOW, n) == 0) {
            req->follow = true;
        } else if (n > path_word && n - path_word < sizeof req->path && req->path[0] == '\0' &&
                   memcmp(word, LC_REPLY_WORD_PATH, path_word) == 0) {
            memcpy(req->path, word + path_word, n - path_word);
        } else {
            return false;
        }
        pos += n + 1;
    }
    return req->path[0] != '\0';
}

/* The FIFO may belong to this process's user or to root. */
static bool owner_ok(uid_t uid)
{
    return uid == geteuid() || uid == 0;
}

/* Opens the reply FIFO for writing without blocking, or returns -1 with
   the reason.  Only an absolute path whose last part starts with "lcctl-",
   naming a FIFO (not a link to one) of this user or root, is opened; the
   open descriptor is checked again, since the path may change meanwhile. */
static int open_checked(const char *path, char *why, size_t size)
{
    const char *reason = nullptr;
    struct stat named;
    const char *base = strrchr(path, '/');
    if (path[0] != '/' || base == nullptr)
        reason = "not an absolute path";
    else if (strncmp(base + 1, LC_REPLY_NAME_PREFIX, sizeof LC_REPLY_NAME_PREFIX - 1) != 0)
        reason = "its name does not start with " LC_REPLY_NAME_PREFIX;
    else if (lstat(path, &named) != 0)
        reason = strerror_r(errno, why, size); /* GNU: may return its own text */
    else if (S_ISLNK(named.st_mode))
        reason = "a symbolic link";
    else if (!S_ISFIFO(named.st_mode))
        reason = "not a FIFO";
    else if (!owner_ok(named.st_uid))
        reason = "owned by another user";
    int fd = -1;
    if (reason == nullptr) {
        fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        struct stat opened;
        if (fd < 0)
            reason = errno == ENXIO ? "nobody reads it" : strerror_r(errno, why, size);
        /* Only a path changed between the lstat and the open gets here: a
           race no test can time. */
        else if (fstat(fd, &opened) != 0 || !S_ISFIFO(opened.st_mode) || opened.st_dev != named.st_dev ||
                 opened.st_ino != named.st_ino || !owner_ok(opened.st_uid))
            reason = "changed while it was opened";
    }
    if (reason != nullptr) {
        if (fd >= 0)
            close(fd);
        char text[64];
        snprintf(text, sizeof text, "%s", reason); /* reason may live in why */
        snprintf(why, size, "%s: %s", path, text);
        return -1;
    }
    return fd;
}

int lc_reply_open(const lc_reply_request *req, char *why, size_t why_size)
{
    why[0] = '\0';
    int fd = open_checked(req->path, why, why_size);
    if (fd < 0)
        return -1;
    lc_lock_guard lock = hold_sinks();
    Sink *s = free_slot();
    if (s == nullptr) {
        const char busy[2] = {(char)LC_REC_BUSY, '\0'};
        ssize_t n = write_no_sigpipe(fd, busy, sizeof busy);
        (void)n;
        close(fd);
        return -1;
    }
    s->used = true;
    s->follow = req->follow;
    s->fd = fd;
    s->owner = pthread_self();
    s->capacity = fcntl(fd, F_GETPIPE_SZ);
    if (s->capacity <= RESERVE)
        s->capacity = FALLBACK_ROOM;
    s->lost = 0;
    __atomic_add_fetch(&lc_reply_attached, 1, __ATOMIC_RELAXED);
    return (int)(s - sinks);
}

void lc_reply_row(int slot, const char *key, const char *value)
{
    char row[LC_REPLY_TEXT_MAX + 1];
    int n = value != nullptr ? snprintf(row, sizeof row, "%s=%s", key, value) : snprintf(row, sizeof row, "%s", key);
    if (n < 0)
        return;
    if ((size_t)n >= sizeof row)
        n = (int)sizeof row - 1;
    lc_lock_guard lock = hold_sinks();
    assert(slot >= 0 && slot < SLOTS);
    assert(sinks[slot].used);
    put_counted(sinks[slot], value != nullptr ? LC_REC_ROW : LC_REC_ROW_ANY, row, (size_t)n);
}

/* "ok=.. pid=.. pipe=.. version=.. lib=.. ... time=..": the settings as
   they stand. */
static int status_text(char *text, size_t size, bool ok, const char *pipe_path)
{
    const dbgout_profile_t &p = dbgout_profile;
    int n = snprintf(text, size,
                     "ok=%d pid=%ld pipe=%s version=%s lib=%d para=%d cc=%d visca=%d net=%d module=%d mpp=%d time=%d",
                     ok ? 1 : 0, (long)getpid(), pipe_path, lc_version(), (int)XEL_LEVEL(lib), (int)XEL_LEVEL(para),
                     (int)XEL_LEVEL(cc), (int)XEL_LEVEL(visca), (int)XEL_LEVEL(net), (int)XEL_LEVEL(module),
                     (int)XEL_LEVEL(mpp), (int)__atomic_load_n(&p.time_enable, __ATOMIC_RELAXED));
    return n < 0 ? 0 : n >= (int)size ? (int)size - 1 : n;
}

void lc_reply_finish(int slot, bool ok, const char *pipe_path)
{
    char status[LC_REPLY_TEXT_MAX + 1];
    const int n = status_text(status, sizeof status, ok, pipe_path);
    lc_lock_guard lock = hold_sinks();
    assert(slot >= 0 && slot < SLOTS);
    assert(sinks[slot].used);
    Sink &s = sinks[slot];
    /* The answer's reserve holds these; a follower may have to wait. */
    put_lost(s, false);
    put_record(s, LC_REC_STATUS, status, (size_t)n, false);
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
