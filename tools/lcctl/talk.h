// talk.h - one conversation with a process through its debug pipe: a reply
// FIFO of lcctl's own named in every write, answers read back as records.
#ifndef LCCTL_TALK_H
#define LCCTL_TALK_H

#include "nodes.h"

#include <signal.h>
#include <stdint.h>
#include <functional>
#include <string>
#include <vector>

namespace lcctl {

// Exit statuses.
enum Status {
    ANSWERED = 0,       // delivered and answered
    REFUSED = 1,        // the process refused a command
    NOT_DELIVERED = 2,  // no process, stale node, busy, no answer in time
};

// The bytes one read of the pipe takes: no write may be longer.
enum { PIPE_READ = 256 };

// Monotonic milliseconds.
int64_t now_ms();

// Called with each record's type and text, in order.
using RecordFn = std::function<void(char type, const std::string &text)>;

// Splits a command text at semicolons into pieces of writes that each hold
// at most `room` bytes, keeping every byte and semicolon in order.  False,
// with the piece in *too_long, when one command alone is longer than room.
bool split_commands(const std::string &text, size_t room, std::vector<std::string> *writes, std::string *too_long);

class Conversation {
public:
    // Set by a signal handler: a wait gives up at once.
    explicit Conversation(const volatile sig_atomic_t *stop) : stop_(stop) {}
    ~Conversation();
    Conversation(const Conversation &) = delete;
    Conversation &operator=(const Conversation &) = delete;

    // Makes the reply FIFO and takes the pipe of node for this caller
    // alone, until deadline_ms.
    Status open(const Node &node, int64_t deadline_ms, std::string *error);

    // Room for commands in one write, after the header.
    size_t room(bool rows, bool follow) const;

    // Sends one write: the header (asking for the rows, or to follow)
    // and the commands, and passes each record of the answer to fn until
    // its end (a follower: its status).  REFUSED when the status says a
    // piece failed.
    Status request(bool rows, bool follow, const std::string &commands, const RecordFn &fn, std::string *error);

    // Lets other callers talk to the process (a follower no longer needs
    // the pipe).
    void release_pipe();

    // A follower: passes records to fn until the stop flag is set, the
    // stream ends or the process ends.  True when the process ended.
    bool stream(const RecordFn &fn);

private:
    std::string header(bool rows, bool follow) const;
    bool wait_pipe_empty();
    Status read_answer(size_t sent, bool follow, const RecordFn &fn, std::string *error);
    void withdraw(size_t sent);

    const volatile sig_atomic_t *stop_;
    Node node_;
    int64_t deadline_ = 0;
    std::string reply_path_;
    int reply_fd_ = -1;
    int pipe_fd_ = -1;
    std::string pending_;  // bytes of a record not complete yet
};

}  // namespace lcctl

#endif  // LCCTL_TALK_H
