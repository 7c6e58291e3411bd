// A process's own functions and classes under the library's names, the way
// a program that links live555 has DelayQueue, AlarmHandler, TimeNow and
// Timeval, and other programs their own trim, loop or buffer_init.  None of
// them does the library's work: each only notes that it was called.  The
// exported data is left alone: it is shared with the process on purpose.
//
// This file must not see the library's headers: these are other classes
// that only happen to carry the same names.
#include "interpose_fakes.h"

#include <mutex>

static std::mutex called_mutex;
static std::vector<std::string> called;

static long note(const char *name)
{
    std::lock_guard<std::mutex> lock(called_mutex);
    called.push_back(name);
    return 0;
}

std::vector<std::string> fakes_called()
{
    std::lock_guard<std::mutex> lock(called_mutex);
    return called;
}

// C functions: the arguments do not matter to the linker, so none are
// declared; each answers 0.
#define OWN_C_FUNCTION(name) \
    extern "C" long name()   \
    {                        \
        return note(#name);  \
    }

// Trace, pipe, lifecycle and helpers (the test calls lib_common_init,
// lib_common_exit, add_fifo_work, lib_strdup, lib_system and
// trace_ratelimit itself).
OWN_C_FUNCTION(xel_traceout)
OWN_C_FUNCTION(xel_traceout_raw)
OWN_C_FUNCTION(ratelimit_state_init)
OWN_C_FUNCTION(___ratelimit)
OWN_C_FUNCTION(lib_trim)
OWN_C_FUNCTION(fifo_init_fun)
OWN_C_FUNCTION(fifo_handle)
OWN_C_FUNCTION(fifo_exit_fun)
OWN_C_FUNCTION(fifo_print_debug)
OWN_C_FUNCTION(trace_debug_init)
OWN_C_FUNCTION(lib_common_diff_msec)
OWN_C_FUNCTION(lib_common_diff_us)
OWN_C_FUNCTION(lib_common_diff_msec_timespec)
OWN_C_FUNCTION(lib_common_diff_us_timespec)
OWN_C_FUNCTION(lib_strdup_reserved_bytes)
OWN_C_FUNCTION(lib_strlen)
OWN_C_FUNCTION(lib_getpid)
OWN_C_FUNCTION(lib_strerror)
OWN_C_FUNCTION(lib_popen2)
OWN_C_FUNCTION(lib_popen)
OWN_C_FUNCTION(lib_find_pid)
OWN_C_FUNCTION(printBackTrace)
OWN_C_FUNCTION(lib_common_main)
// Scheduler and pool (the test calls add_fixperiod_task and remove_task).
OWN_C_FUNCTION(existEntry_handle)
OWN_C_FUNCTION(task_process_init)
OWN_C_FUNCTION(task_process_exit)
OWN_C_FUNCTION(task_process_main)
OWN_C_FUNCTION(add_task)
OWN_C_FUNCTION(update_task)
OWN_C_FUNCTION(threadpool_create)
OWN_C_FUNCTION(threadpool_add_task)
OWN_C_FUNCTION(threadpool_add_task_sync)
OWN_C_FUNCTION(_threadpool_add_task)
OWN_C_FUNCTION(threadpool_adjust)
OWN_C_FUNCTION(threadpool_adjust_limit)
OWN_C_FUNCTION(threadpool_task_size_lock)
OWN_C_FUNCTION(threadpool_task_free)
OWN_C_FUNCTION(threadpool_destroy)
OWN_C_FUNCTION(threadpool_debug_init)
// Rings and queues (the test calls ring_buf_init, _write, _read, _free).
OWN_C_FUNCTION(ring_buf_is_empty)
OWN_C_FUNCTION(ring_buf_is_full)
OWN_C_FUNCTION(ring_buf_incr)
OWN_C_FUNCTION(ring_buf_clear)
// Platform.
OWN_C_FUNCTION(ithread_create)
OWN_C_FUNCTION(ithread_mutex_lock)
OWN_C_FUNCTION(ithread_mutex_unlock)
OWN_C_FUNCTION(IpcMsgSend)
OWN_C_FUNCTION(IpcMsgRecv)
OWN_C_FUNCTION(cat_file_name)
// String buffer and configuration (the test calls buffer_init_buffer,
// buffer_copy_string, buffer_append_int, buffer_append_string_buffer,
// buffer_free, configure_init, configure_parse_buf, loop_2_buf and
// configure_free).
OWN_C_FUNCTION(trim)
OWN_C_FUNCTION(buffer_init)
OWN_C_FUNCTION(buffer_reset)
OWN_C_FUNCTION(buffer_prepare_copy)
OWN_C_FUNCTION(buffer_prepare_append)
OWN_C_FUNCTION(buffer_copy_string_len)
OWN_C_FUNCTION(buffer_copy_string_buffer)
OWN_C_FUNCTION(buffer_append_string)
OWN_C_FUNCTION(buffer_append_string_len)
OWN_C_FUNCTION(buffer_append_memory)
OWN_C_FUNCTION(configure_parse)
OWN_C_FUNCTION(configure_parse_line)
OWN_C_FUNCTION(loop)
OWN_C_FUNCTION(loop_2_conf)

// The class tree under the same names, with members of the same
// signatures: its methods, vtables and type information carry the
// library's mangled names.
class DelayInterval;

class Timeval {
public:
    bool operator>=(const Timeval &) const;
    bool operator<(const Timeval &) const;
    bool operator==(const Timeval &) const;
    bool operator!=(const Timeval &) const;
    bool operator>(const Timeval &) const;
    void operator+=(const DelayInterval &);
    void operator-=(const DelayInterval &);

    long seconds = 0;
    long useconds = 0;
};

class DelayInterval : public Timeval {};
class _EventTime : public Timeval {};

bool Timeval::operator>=(const Timeval &) const
{
    return note("Timeval::operator>=") != 0;
}
bool Timeval::operator<(const Timeval &) const
{
    return note("Timeval::operator<") != 0;
}
bool Timeval::operator==(const Timeval &) const
{
    return note("Timeval::operator==") != 0;
}
bool Timeval::operator!=(const Timeval &) const
{
    return note("Timeval::operator!=") != 0;
}
bool Timeval::operator>(const Timeval &) const
{
    return note("Timeval::operator>") != 0;
}
void Timeval::operator+=(const DelayInterval &)
{
    note("Timeval::operator+=");
}
void Timeval::operator-=(const DelayInterval &)
{
    note("Timeval::operator-=");
}

DelayInterval operator-(const Timeval &, const Timeval &)
{
    note("operator-");
    return DelayInterval();
}

DelayInterval operator*(short, const DelayInterval &)
{
    note("operator*");
    return DelayInterval();
}

_EventTime TimeNow()
{
    note("TimeNow");
    return _EventTime();
}

class DelayQueueEntry {
public:
    explicit DelayQueueEntry(DelayInterval);
    virtual ~DelayQueueEntry();
    virtual void handleTimeout();
};

DelayQueueEntry::DelayQueueEntry(DelayInterval)
{
    note("DelayQueueEntry::DelayQueueEntry");
}
DelayQueueEntry::~DelayQueueEntry()
{
    note("DelayQueueEntry::~DelayQueueEntry");
}
void DelayQueueEntry::handleTimeout()
{
    note("DelayQueueEntry::handleTimeout");
}

class DelayQueue : public DelayQueueEntry {
public:
    DelayQueue();
    virtual ~DelayQueue();
    void addEntry(DelayQueueEntry *);
    int updateEntry(DelayQueueEntry *, DelayInterval);
    int updateEntry(int, DelayInterval);
    int updateEntry_Remaining(DelayQueueEntry *, DelayInterval);
    int updateEntry_reset(DelayQueueEntry *);
    void removeEntry(DelayQueueEntry *);
    DelayQueueEntry *removeEntry(int);
    DelayQueueEntry *findEntryByToken(int);
    const DelayInterval &timeToNextAlarm();
    int handleAlarm();
    void synchronize();
};

DelayQueue::DelayQueue() : DelayQueueEntry(DelayInterval())
{
    note("DelayQueue::DelayQueue");
}
DelayQueue::~DelayQueue()
{
    note("DelayQueue::~DelayQueue");
}
void DelayQueue::addEntry(DelayQueueEntry *)
{
    note("DelayQueue::addEntry");
}
int DelayQueue::updateEntry(DelayQueueEntry *, DelayInterval)
{
    return note("DelayQueue::updateEntry");
}
int DelayQueue::updateEntry(int, DelayInterval)
{
    return note("DelayQueue::updateEntry(token)");
}
int DelayQueue::updateEntry_Remaining(DelayQueueEntry *, DelayInterval)
{
    return note("DelayQueue::updateEntry_Remaining");
}
int DelayQueue::updateEntry_reset(DelayQueueEntry *)
{
    return note("DelayQueue::updateEntry_reset");
}
void DelayQueue::removeEntry(DelayQueueEntry *)
{
    note("DelayQueue::removeEntry");
}

DelayQueueEntry *DelayQueue::removeEntry(int)
{
    note("DelayQueue::removeEntry(token)");
    return nullptr;
}

DelayQueueEntry *DelayQueue::findEntryByToken(int)
{
    note("DelayQueue::findEntryByToken");
    return nullptr;
}

const DelayInterval &DelayQueue::timeToNextAlarm()
{
    static const DelayInterval none;
    note("DelayQueue::timeToNextAlarm");
    return none;
}

int DelayQueue::handleAlarm()
{
    return note("DelayQueue::handleAlarm");
}
void DelayQueue::synchronize()
{
    note("DelayQueue::synchronize");
}

class AlarmHandler : public DelayQueueEntry {
public:
    AlarmHandler(void (*)(void *), void *, DelayInterval);
    virtual ~AlarmHandler();
    virtual void handleTimeout();
};

AlarmHandler::AlarmHandler(void (*)(void *), void *, DelayInterval d) : DelayQueueEntry(d)
{
    note("AlarmHandler::AlarmHandler");
}
AlarmHandler::~AlarmHandler()
{
    note("AlarmHandler::~AlarmHandler");
}
void AlarmHandler::handleTimeout()
{
    note("AlarmHandler::handleTimeout");
}
