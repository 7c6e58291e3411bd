// talk.cpp - a connection to a process's control socket.
#include "talk.h"
#include "reply_protocol_internal.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace lcctl {

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

Connection::~Connection()
{
    if (fd_ >= 0)
        close(fd_);
}

// Waits until fd has `events` or the deadline (none when negative) passes;
// the stop flag ends the wait at once.  Ready: 1; time is up: 0; stopped:
// -1.
static int wait_for(int fd, short events, int64_t deadline_ms, const volatile sig_atomic_t *stop)
{
    for (;;) {
        if (*stop)
            return -1;
        const int64_t left = deadline_ms < 0 ? 200 : deadline_ms - now_ms();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, events, 0};
        const int n = poll(&p, 1, (int)(left < 200 ? left : 200));  // short slices: the flag is looked at
        if (n > 0)
            return 1;
        if (n < 0 && errno != EINTR)
            return 1;  // the call that follows reports the error
    }
}

bool Connection::connect_to(const std::string &name, int64_t deadline_ms, std::string *error)
{
    struct sockaddr_un addr;
    const socklen_t size = lc_ctl_address(&addr, name.data(), name.size());
    if (size == 0) {
        *error = "socket name too long";
        return false;
    }
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        *error = std::string("no socket: ") + strerror(errno);
        return false;
    }
    // A full backlog makes a non-blocking connect fail with EAGAIN: retry.
    while (connect(fd_, reinterpret_cast<const struct sockaddr *>(&addr), size) != 0) {
        if (errno != EAGAIN || now_ms() >= deadline_ms || *stop_) {
            *error = errno == EAGAIN ? "busy: its queue of connections is full" : strerror(errno);
            return false;
        }
        usleep(10000);
    }
    struct ucred who;
    socklen_t who_size = sizeof who;
    if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &who, &who_size) != 0) {
        *error = std::string("no peer credentials: ") + strerror(errno);
        return false;
    }
    pid_ = (long)who.pid;
    uid_ = (long)who.uid;
    return true;
}

bool Connection::send_request(char type, const std::string &text, std::string *error)
{
    std::string record(1, type);
    record += text;
    record += '\0';
    if (record.size() > LC_CTL_REQUEST_MAX) {  // the caller tells this from other failures by its start
        *error = "request too long (" + std::to_string(record.size()) + " bytes, at most " +
                 std::to_string(LC_CTL_REQUEST_MAX) + ")";
        return false;
    }
    // An empty socket buffer takes the whole request at once.
    const ssize_t n = send(fd_, record.data(), record.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != (ssize_t)record.size()) {
        *error = n < 0 ? strerror(errno) : "request cut";
        return false;
    }
    return true;
}

Connection::End Connection::read_records(const int64_t *deadline_ms, const RecordFn &fn)
{
    for (;;) {
        size_t nul;
        while ((nul = pending_.find('\0')) != std::string::npos) {
            const char type = nul > 0 ? pending_[0] : '?';
            const std::string text = nul > 1 ? pending_.substr(1, nul - 1) : "";
            pending_.erase(0, nul + 1);
            fn(type, text);
            if (type == LC_REC_END)
                return GOT_END;
        }
        const int ready = wait_for(fd_, POLLIN, *deadline_ms, stop_);
        if (ready <= 0)
            return ready == 0 ? TIMED_OUT : STOPPED;
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return CLOSED;
        if (n > 0)
            pending_.append(buf, (size_t)n);
    }
}

}  // namespace lcctl
