/*
 * ctl.cpp - lcctl's control socket: who may ask (the kernel's peer
 * credentials), reading the one request of a connection, and answering it
 * on the scheduler thread.  The wire format is reply_protocol_internal.h.
 *
 * The process opens nothing a requester names and never waits for one: a
 * connection is read when select says so, answers go out without
 * blocking, and a request not complete within LC_CTL_REQUEST_MS is
 * dropped.  Refusals are traced through a rate limiter of their own, never
 * with text of the requester's.
 */
#include "ctl_internal.h"
#include "common_internal.h"
#include "fifo_internal.h"
#include "lc_modules_internal.h"
#include "lc_version.h"
#include "reply_internal.h"
#include "reply_protocol_internal.h"
#include "trace.h"

#include <assert.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum {
    NAME_TRIES = 8,        /* other names tried when ours is taken */
    ACCEPTS_PER_PASS = 16, /* connections taken per pass of the scheduler */
    STATUS_MAX = 256,
};

namespace {
/* A connection whose request has not come in whole yet. */
struct Conn {
    int fd; /* -1: free */
    size_t len;
    int64_t deadline_ms;
    char buf[LC_CTL_REQUEST_MAX];
};
}  // namespace

static int listen_fd = -1;
static Conn conns[LC_CTL_CONNECTIONS];
/* Refusals: two traced per 5 seconds, the rest counted by the limiter. */
static ratelimit_state refusal_limit;

static int64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Binds fd to the abstract name "lib_common/<pid>", or "<pid>.<n>" when a
   name is taken (by anyone: the name proves nothing, the credentials do). */
static bool bind_name(int fd)
{
    for (int i = 0; i <= NAME_TRIES; i++) {
        char name[64];
        const int n = i == 0 ? snprintf(name, sizeof name, LC_CTL_NAME_PREFIX "%ld", (long)getpid())
                             : snprintf(name, sizeof name, LC_CTL_NAME_PREFIX "%ld.%d", (long)getpid(), i);
        struct sockaddr_un addr;
        const socklen_t size = lc_ctl_address(&addr, name, (size_t)n);
        if (bind(fd, reinterpret_cast<const struct sockaddr *>(&addr), size) == 0)
            return true;
        if (errno != EADDRINUSE)
            return false;
    }
    return false;
}

void lc_ctl_open(void)
{
    /* Still open only in a child forked from a serving process: those
       copies must not keep the parent's name and callers waiting. */
    if (listen_fd >= 0) {
        close(listen_fd);
        for (Conn &c : conns)
            if (c.fd >= 0)
                close(c.fd);
    }
    for (Conn &c : conns)
        c.fd = -1;
    ratelimit_state_init(&refusal_limit, 5, 2);
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd < 0)
        return;
    if (listen_fd >= FD_SETSIZE || !bind_name(listen_fd) || listen(listen_fd, LC_CTL_CONNECTIONS) != 0) {
        close(listen_fd);
        listen_fd = -1;
    }
}

/* One record straight into a connection nothing else writes to yet: a
   refusal, which fits into the empty socket buffer or is lost. */
static void send_record(int fd, char type, const char *text)
{
    char record[LC_REPLY_TEXT_MAX + 2];
    const int n = snprintf(record, sizeof record, "%c%s", type, text);
    const ssize_t sent = send(fd, record, (size_t)n + 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)sent;
}

/* Tells the peer why nothing runs, ends the answer and closes it. */
static void refuse(int fd, char type, const char *why)
{
    send_record(fd, type, why);
    send_record(fd, LC_REC_END, "");
    close(fd);
}

/* Traces a refusal of a peer: its uid and a fixed reason, within the
   limiter's allowance (the rest is counted and reported by it). */
static void note_refusal(long uid, const char *why)
{
    if (XEL_LEVEL(lib) >= 6 && ___ratelimit(&refusal_limit, "lcctl refusals"))
        xel_traceout(6, "[lib %s +%-4d]lcctl: refused uid %ld: %s\n", "task_process_main", __LINE__, uid, why);
}

/* The peer runs as root or as this process's user. */
static bool peer_allowed(int fd, long *uid)
{
    struct ucred who;
    socklen_t size = sizeof who;
    *uid = -1;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &who, &size) != 0)
        return false;
    *uid = (long)who.uid;
    return who.uid == 0 || who.uid == geteuid();
}

/* Takes the connections waiting to be accepted, at most
   ACCEPTS_PER_PASS. */
static void accept_some(void)
{
    for (int i = 0; i < ACCEPTS_PER_PASS; i++) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        long uid;
        if (!peer_allowed(fd, &uid)) {
            refuse(fd, LC_REC_DENIED, "neither root nor the process's user");
            note_refusal(uid, "neither root nor the process's user");
            continue;
        }
        Conn *free_conn = nullptr;
        for (Conn &c : conns)
            if (c.fd < 0 && free_conn == nullptr)
                free_conn = &c;
        if (free_conn == nullptr || fd >= FD_SETSIZE) {
            refuse(fd, LC_REC_BUSY, "connections");
            note_refusal(uid, "too many connections");
            continue;
        }
        free_conn->fd = fd;
        free_conn->len = 0;
        free_conn->deadline_ms = now_ms() + LC_CTL_REQUEST_MS;
    }
}

/* "pid=.. pipe=.. version=.. lib=.. ... time=..": the settings as they
   stand.  Returns the length. */
static size_t status_text(char *text, size_t size)
{
    const char *pipe = lc_fifo_served_path();
    int n =
        snprintf(text, size, "pid=%ld pipe=%s version=%s", (long)getpid(), pipe != nullptr ? pipe : "-", lc_version());
    for (const lc_module &m : lc_modules)
        n += snprintf(text + n, size - (size_t)n, " %s=%d", m.name, (int)__atomic_load_n(m.level, __ATOMIC_RELAXED));
    n += snprintf(text + n, size - (size_t)n, " time=%d",
                  (int)__atomic_load_n(&dbgout_profile.time_enable, __ATOMIC_RELAXED));
    assert(n > 0 && (size_t)n < size);
    return (size_t)n;
}

static void put_status(int slot)
{
    char status[STATUS_MAX];
    const size_t n = status_text(status, sizeof status);
    lc_reply_put(slot, LC_REC_STATUS, status, n);
}

static void finish(int slot)
{
    char status[STATUS_MAX];
    const size_t n = status_text(status, sizeof status);
    lc_reply_finish(slot, status, n);
}

static void put_row(const char *key, const char *value, void *ctx)
{
    const int slot = *static_cast<int *>(ctx);
    char row[LC_REPLY_TEXT_MAX];
    int n = value != nullptr ? snprintf(row, sizeof row, "%s=%s", key, value) : snprintf(row, sizeof row, "%s", key);
    if (n < 0)
        return;
    if ((size_t)n >= sizeof row)
        n = (int)sizeof row - 1;
    lc_reply_put(slot, value != nullptr ? LC_REC_ROW : LC_REC_ROW_ANY, row, (size_t)n);
}

/* The next piece of a command text at *pos (cut out in place, at its
   semicolon), skipping pieces of white space only; null at the end. */
static char *next_piece(char **pos)
{
    while (*pos != nullptr) {
        char *piece = *pos;
        char *semi = strchr(piece, ';');
        if (semi != nullptr)
            *semi = '\0';
        *pos = semi != nullptr ? semi + 1 : nullptr;
        if (piece[strspn(piece, " \t\n\v\f\r")] != '\0')
            return piece;
    }
    return nullptr;
}

/* The first piece of text that matches no row, or null. */
static const char *first_unknown(const char *text)
{
    char copy[LC_CTL_REQUEST_MAX];
    snprintf(copy, sizeof copy, "%s", text);
    char *pos = copy;
    while (const char *piece = next_piece(&pos))
        if (!lc_fifo_matches(piece))
            return text + (piece - copy);
    return nullptr;
}

/* Runs every piece of text, which all match a row, into the answer. */
static void run_commands(int slot, char *text)
{
    put_status(slot);
    char *pos = text;
    while (char *piece = next_piece(&pos))
        lc_fifo_run(piece);
}

/* The peer has gone, or shut its side: it asks for nothing any more. */
static bool withdrawn(int fd)
{
    struct pollfd p = {fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

/* Answers the request `type` with `text` (NUL-terminated) on fd, which
   the answer then owns. */
static void answer(int fd, char type, char *text)
{
    if (withdrawn(fd)) {
        close(fd);
        return;
    }
    if (type == LC_REQ_COMMANDS) {
        if (const char *bad = first_unknown(text)) {
            const char *semi = strchr(bad, ';');
            char shown[128], why[sizeof shown + 64];
            lc_escape(shown, sizeof shown, bad, semi != nullptr ? (size_t)(semi - bad) : strlen(bad));
            snprintf(why, sizeof why, "no row matches \"%s\"; nothing was run", shown);
            refuse(fd, LC_REC_REFUSED, why);
            return;
        }
    } else if (type != LC_REQ_GET && type != LC_REQ_ROWS && type != LC_REQ_FOLLOW) {
        refuse(fd, LC_REC_REFUSED, "unknown request");
        return;
    }
    const int slot = lc_reply_attach(fd, type == LC_REQ_FOLLOW);
    if (slot < 0) {
        refuse(fd, LC_REC_BUSY, "followers");
        return;
    }
    int rows_slot = slot;
    if (type == LC_REQ_ROWS)
        lc_fifo_each_row(put_row, &rows_slot);
    else if (type == LC_REQ_COMMANDS)
        run_commands(slot, text);
    finish(slot);
}

/* Reads what has come of c's request, and answers it once it is whole. */
static void read_request(Conn &c)
{
    const ssize_t n = recv(c.fd, c.buf + c.len, sizeof c.buf - c.len, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    const int fd = c.fd;
    if (n <= 0) {
        close(fd);
        c.fd = -1;
        return;
    }
    c.len += (size_t)n;
    char *end = static_cast<char *>(memchr(c.buf, '\0', c.len));
    if (end == nullptr && c.len < sizeof c.buf)
        return;
    c.fd = -1;
    if (end == nullptr || c.len < 2 || end == c.buf) {
        refuse(fd, LC_REC_REFUSED, end == nullptr ? "request too long" : "empty request");
        return;
    }
    answer(fd, c.buf[0], c.buf + 1);
}

void lc_ctl_watch(fd_set *set, int *highest)
{
    if (listen_fd < 0)
        return;
    FD_SET(listen_fd, set);
    if (listen_fd > *highest)
        *highest = listen_fd;
    for (const Conn &c : conns) {
        if (c.fd < 0)
            continue;
        FD_SET(c.fd, set);
        if (c.fd > *highest)
            *highest = c.fd;
    }
}

void lc_ctl_serve(const fd_set *ready)
{
    if (listen_fd < 0)
        return;
    const int64_t now = now_ms();
    for (Conn &c : conns) {
        if (c.fd >= 0 && FD_ISSET(c.fd, ready))
            read_request(c);
        if (c.fd >= 0 && now > c.deadline_ms) {
            refuse(c.fd, LC_REC_REFUSED, "request not complete in time");
            c.fd = -1;
        }
    }
    if (FD_ISSET(listen_fd, ready))
        accept_some();
}

void lc_ctl_close(void)
{
    lc_reply_close_all();
    for (Conn &c : conns) {
        if (c.fd >= 0)
            close(c.fd);
        c.fd = -1;
    }
    if (listen_fd >= 0)
        close(listen_fd);
    listen_fd = -1;
}
