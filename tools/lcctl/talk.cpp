// talk.cpp - the request and answer exchange with one process.
//
// Only one lcctl talks to a process at a time: the caller holds an
// exclusive flock on the pipe node while it writes and waits for the
// answer, and writes only into an empty pipe, so that each read of the
// process takes exactly one request.  Nothing here blocks: every wait is
// a poll with the call's deadline.
#include "talk.h"

#include "reply_protocol_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace lcctl {

enum {
    POLL_STEP_MS = 20,  // how often a wait looks at the process and the stop flag
    LOCK_STEP_MS = 2,   // how often a caller tries the lock again
};

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void sleep_ms(int ms)
{
    struct timespec ts = {0, ms * 1000000L};
    nanosleep(&ts, nullptr);
}

bool split_commands(const std::string &text, size_t room, std::vector<std::string> *writes, std::string *too_long)
{
    writes->clear();
    std::string current;
    bool have_current = false;
    size_t pos = 0;
    for (;;) {
        const size_t semi = text.find(';', pos);
        const std::string piece = text.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
        if (piece.size() > room) {
            *too_long = piece;
            return false;
        }
        if (have_current && current.size() + 1 + piece.size() <= room) {
            current += ";" + piece;
        } else {
            if (have_current)
                writes->push_back(current);
            current = piece;
            have_current = true;
        }
        if (semi == std::string::npos)
            break;
        pos = semi + 1;
    }
    writes->push_back(current);
    return true;
}

// A directory for the reply FIFO: $TMPDIR when it is a short absolute
// path, else /tmp.
static std::string reply_dir()
{
    const char *dir = getenv("TMPDIR");
    if (dir != nullptr && dir[0] == '/' && strlen(dir) < 64)
        return dir;
    return "/tmp";
}

// Makes a FIFO only its owner may use, named "lcctl-<pid>-<n>", and opens
// it for reading (and writing, so that it never reports end of file
// between answers).  A root caller hands it to the user of a process that
// is not root's, who must be able to open it.
static int make_reply(uid_t owner, std::string *path, std::string *error)
{
    static unsigned made;
    int rc = -1;
    for (int attempt = 0; attempt < 20 && rc != 0; attempt++) {
        *path = reply_dir() + "/" LC_REPLY_NAME_PREFIX + std::to_string(getpid()) + "-" + std::to_string(++made) + "-" +
                std::to_string(now_ms() % 100000);
        rc = mkfifo(path->c_str(), 0600);
        if (rc != 0 && errno != EEXIST)
            break;
    }
    if (rc != 0) {
        *error = "cannot make the reply FIFO " + *path + ": " + strerror(errno);
        path->clear();  // not ours: never opened, never removed
        return -1;
    }
    if (geteuid() == 0 && owner != 0 && chown(path->c_str(), owner, (gid_t)-1) != 0) {
        *error = "cannot hand the reply FIFO to uid " + std::to_string(owner) + ": " + strerror(errno);
        return -1;
    }
    int fd = ::open(path->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        *error = "cannot open the reply FIFO " + *path + ": " + strerror(errno);
    return fd;
}

Conversation::~Conversation()
{
    release_pipe();
    if (reply_fd_ >= 0)
        close(reply_fd_);
    if (!reply_path_.empty())
        unlink(reply_path_.c_str());
}

void Conversation::release_pipe()
{
    if (pipe_fd_ >= 0)
        close(pipe_fd_);  // drops the lock with it
    pipe_fd_ = -1;
}

Status Conversation::open(const Node &node, int64_t deadline_ms, std::string *error)
{
    node_ = node;
    deadline_ = deadline_ms;
    pipe_fd_ = ::open(node.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (pipe_fd_ < 0) {
        *error = errno == ENXIO ? "stale node " + node.path + ": no process reads it (lcctl clean removes it)"
                                : "cannot open " + node.path + ": " + strerror(errno);
        return NOT_DELIVERED;
    }
    while (flock(pipe_fd_, LOCK_EX | LOCK_NB) != 0) {
        if (now_ms() >= deadline_ || *stop_) {
            *error = "busy: another lcctl is talking to " + node.path;
            return NOT_DELIVERED;
        }
        sleep_ms(LOCK_STEP_MS);
    }
    reply_fd_ = make_reply(node.owner, &reply_path_, error);
    return reply_fd_ < 0 ? NOT_DELIVERED : ANSWERED;
}

std::string Conversation::header(bool rows, bool follow) const
{
    std::string text(LC_REPLY_HEADER, LC_REPLY_HEADER_LEN);
    text += LC_REPLY_WORD_PATH + reply_path_;
    if (rows)
        text += " " LC_REPLY_WORD_ROWS;
    if (follow)
        text += " " LC_REPLY_WORD_FOLLOW;
    return text;
}

size_t Conversation::room(bool rows, bool follow) const
{
    const size_t used = header(rows, follow).size() + 1;  // and the ';' after it
    return used < PIPE_READ ? PIPE_READ - used : 0;
}

// Bytes waiting in a pipe; 0 when it cannot tell.
static int waiting(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// Input written earlier (by a caller that gave up, or by echo) must be read
// first: a request must start a read of its own.
bool Conversation::wait_pipe_empty()
{
    while (waiting(pipe_fd_) > 0) {
        if (now_ms() >= deadline_ || *stop_)
            return false;
        sleep_ms(POLL_STEP_MS / 4);
    }
    return true;
}

// Takes an unanswered request back out of the pipe, so that a stopped
// process does not run it later for nobody.  The pipe held nothing else
// when it was written, and the lock keeps other callers out.
void Conversation::withdraw(size_t sent)
{
    int fd = ::open(node_.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    if ((size_t)waiting(fd) >= sent) {
        std::string junk(sent, '\0');
        ssize_t n = read(fd, &junk[0], sent);
        (void)n;
    }
    close(fd);
}

Status Conversation::request(bool rows, bool follow, const std::string &commands, const RecordFn &fn,
                             std::string *error)
{
    std::string data = header(rows, follow);
    if (!commands.empty())
        data += ";" + commands;
    if (!wait_pipe_empty()) {
        *error = "busy: " + node_.path + " still holds input the process has not read" +
                 (node_.pid != 0 && process_stopped(node_.pid) ? " (the process is stopped)" : "");
        return NOT_DELIVERED;
    }
    ssize_t n = write(pipe_fd_, data.data(), data.size());
    if (n != (ssize_t)data.size()) {
        *error = errno == EPIPE ? "process ended" : "cannot write to " + node_.path + ": " + strerror(errno);
        return NOT_DELIVERED;
    }
    return read_answer(data.size(), follow, fn, error);
}

// Passes every complete record in pending to fn; returns the type of the
// last one that ends a wait (end, busy, or a follower's status), else 0.
static char take_records(std::string &pending, bool follow, const RecordFn &fn, std::string *status)
{
    char closing = 0;
    size_t nul;
    while (closing == 0 && (nul = pending.find('\0')) != std::string::npos) {
        const char type = nul > 0 ? pending[0] : 0;
        const std::string text = nul > 0 ? pending.substr(1, nul - 1) : std::string();
        pending.erase(0, nul + 1);
        if (type == LC_REC_STATUS)
            *status = text;
        if (type == LC_REC_END || type == LC_REC_BUSY || (follow && type == LC_REC_STATUS))
            closing = type;
        fn(type, text);
    }
    return closing;
}

// Reads what waits in fd and appends it to pending; false when nothing.
static bool read_some(int fd, std::string &pending)
{
    char buf[4096];
    bool got = false;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        pending.append(buf, (size_t)n);
        got = true;
    }
    return got;
}

Status Conversation::read_answer(size_t sent, bool follow, const RecordFn &fn, std::string *error)
{
    std::string status;
    for (;;) {
        const int64_t left = deadline_ - now_ms();
        struct pollfd p = {reply_fd_, POLLIN, 0};
        if (left > 0 && !*stop_)
            poll(&p, 1, left < POLL_STEP_MS ? (int)left : POLL_STEP_MS);
        const char closing = read_some(reply_fd_, pending_) ? take_records(pending_, follow, fn, &status) : 0;
        if (closing == LC_REC_BUSY) {
            *error = "busy: the process has no free reply slot";
            return NOT_DELIVERED;
        }
        if (closing != 0)
            return status.compare(0, 4, "ok=1") == 0 ? ANSWERED : REFUSED;
        if (node_.pid != 0 && !process_alive(node_.pid)) {
            *error = "process ended (pid " + std::to_string(node_.pid) + ") before it answered";
            return NOT_DELIVERED;
        }
        if (*stop_ || now_ms() >= deadline_) {
            const bool stopped = node_.pid != 0 && process_stopped(node_.pid);
            withdraw(sent);
            *error = *stop_ ? "interrupted before the answer came"
                            : std::string("no answer in time") +
                                  (stopped ? ": the process is stopped"
                                           : " (a slow process, or a lib_common too old to answer lcctl)");
            return NOT_DELIVERED;
        }
    }
}

bool Conversation::stream(const RecordFn &fn)
{
    std::string status;
    for (;;) {
        struct pollfd p = {reply_fd_, POLLIN, 0};
        if (!*stop_)
            poll(&p, 1, POLL_STEP_MS * 5);
        if (read_some(reply_fd_, pending_) && take_records(pending_, false, fn, &status) == LC_REC_END)
            return true;
        if (*stop_)
            return false;
        if (node_.pid != 0 && !process_alive(node_.pid))
            return true;
    }
}

}  // namespace lcctl
