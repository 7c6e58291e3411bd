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

// Every C function of cmake/lib_common.map but those the test calls itself
// (tests/abi/CMakeLists.txt writes the list).
#include "own_functions.inc"

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
