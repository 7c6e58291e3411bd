// talk.h - one conversation with a process through its control socket:
// connect, learn who serves it from the kernel, send one request, read
// the records of the answer.
#ifndef LCCTL_TALK_H
#define LCCTL_TALK_H

#include <signal.h>
#include <stdint.h>
#include <functional>
#include <string>

namespace lcctl {

// Exit statuses.
enum Status {
    ANSWERED = 0,       // delivered and answered
    REFUSED = 1,        // the process refused a command
    NOT_DELIVERED = 2,  // no process, denied, busy, no answer in time
};

// Monotonic milliseconds.
int64_t now_ms();

// Called with each record's type and text, in order.
using RecordFn = std::function<void(char type, const std::string &text)>;

class Connection {
public:
    // Set by a signal handler: a wait gives up at once.
    explicit Connection(const volatile sig_atomic_t *stop) : stop_(stop) {}
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Connects to the abstract socket `name` and reads the serving
    // process's credentials; false with the reason in *error.
    bool connect_to(const std::string &name, int64_t deadline_ms, std::string *error);
    long peer_pid() const { return pid_; }
    long peer_uid() const { return uid_; }

    // Sends the one request of this connection.
    bool send_request(char type, const std::string &text, std::string *error);

    // How reading the answer ended.
    enum End { GOT_END, CLOSED, TIMED_OUT, STOPPED };
    // Passes each record to fn until the end record, the connection's end,
    // the deadline (none when negative; fn may change it) or the stop flag.
    End read_records(const int64_t *deadline_ms, const RecordFn &fn);

private:
    const volatile sig_atomic_t *stop_;
    int fd_ = -1;
    long pid_ = 0;
    long uid_ = -1;
    std::string pending_;  // bytes of a record not complete yet
};

}  // namespace lcctl

#endif  // LCCTL_TALK_H
