// A process's own functions and classes under the library's names, as a program that links live555 has DelayQueue,
// AlarmHandler, TimeNow and Timeval, and others their own trim, loop or buffer_init.  The library must never call one:
// each ends the test naming itself.  Not the exported data: it is shared on purpose.  No library header: these are
// other classes (structs mangle as classes do) that only carry the same names.
#include <stdio.h>
#include <stdlib.h>

#define OWN(...)                                                                             \
    __VA_ARGS__                                                                              \
    {                                                                                        \
        fprintf(stderr, "the library called the process's own %s\n", #__VA_ARGS__), abort(); \
    }

// Every C function of cmake/lib_common.map but those the test calls (listed by tests/abi/CMakeLists.txt).
#define OWN_C_FUNCTION(name) OWN(extern "C" long name())
#include "own_functions.inc"

struct DelayInterval;
struct Timeval {
    bool operator>=(const Timeval &) const;
    bool operator<(const Timeval &) const;
    bool operator==(const Timeval &) const;
    bool operator!=(const Timeval &) const;
    bool operator>(const Timeval &) const;
    void operator+=(const DelayInterval &);
    void operator-=(const DelayInterval &);
};
struct DelayInterval : Timeval {};
struct _EventTime : Timeval {};

struct DelayQueueEntry {
    explicit DelayQueueEntry(DelayInterval);
    virtual ~DelayQueueEntry();
    virtual void handleTimeout();
};

struct DelayQueue : DelayQueueEntry {
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

struct AlarmHandler : DelayQueueEntry {
    AlarmHandler(void (*)(void *), void *, DelayInterval);
    virtual ~AlarmHandler();
    virtual void handleTimeout();
};

OWN(bool Timeval::operator>=(const Timeval &) const)
OWN(bool Timeval::operator<(const Timeval &) const)
OWN(bool Timeval::operator==(const Timeval &) const)
OWN(bool Timeval::operator!=(const Timeval &) const)
OWN(bool Timeval::operator>(const Timeval &) const)
OWN(void Timeval::operator+=(const DelayInterval &))
OWN(void Timeval::operator-=(const DelayInterval &))
OWN(DelayInterval operator-(const Timeval &, const Timeval &))
OWN(DelayInterval operator*(short, const DelayInterval &))
OWN(_EventTime TimeNow())
OWN(DelayQueueEntry::DelayQueueEntry(DelayInterval))
OWN(DelayQueueEntry::~DelayQueueEntry())
OWN(void DelayQueueEntry::handleTimeout())
OWN(DelayQueue::DelayQueue() : DelayQueueEntry(DelayInterval()))
OWN(DelayQueue::~DelayQueue())
OWN(void DelayQueue::addEntry(DelayQueueEntry *))
OWN(int DelayQueue::updateEntry(DelayQueueEntry *, DelayInterval))
OWN(int DelayQueue::updateEntry(int, DelayInterval))
OWN(int DelayQueue::updateEntry_Remaining(DelayQueueEntry *, DelayInterval))
OWN(int DelayQueue::updateEntry_reset(DelayQueueEntry *))
OWN(void DelayQueue::removeEntry(DelayQueueEntry *))
OWN(DelayQueueEntry *DelayQueue::removeEntry(int))
OWN(DelayQueueEntry *DelayQueue::findEntryByToken(int))
OWN(const DelayInterval &DelayQueue::timeToNextAlarm())
OWN(int DelayQueue::handleAlarm())
OWN(void DelayQueue::synchronize())
OWN(AlarmHandler::AlarmHandler(void (*)(void *), void *, DelayInterval) : DelayQueueEntry(DelayInterval()))
OWN(AlarmHandler::~AlarmHandler())
OWN(void AlarmHandler::handleTimeout())
