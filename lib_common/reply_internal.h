/*
 * reply_internal.h - the sinks of lcctl's answers: connections that receive
 * copies of the traces (see reply_protocol_internal.h).  Not installed;
 * nothing here is exported.
 *
 * An answer belongs to the thread that serves the request and receives its
 * traces only; a follower receives every thread's.  Nothing here traces,
 * so the trace output may call in from any thread.
 */
#ifndef LC_REPLY_INTERNAL_H
#define LC_REPLY_INTERNAL_H

#include <stddef.h>

/* Non-zero while any sink is attached; read without a lock by every trace,
   which then calls lc_reply_copy. */
extern int lc_reply_attached;

/* Copies one finished trace text of `level` into the attached sinks: every
   follower, and the answer of the calling thread.  Never blocks on a
   reader.  Any thread; takes the sinks' lock. */
void lc_reply_copy(int level, const char *text, size_t len);

/* Attaches the connected socket fd (which the sink then owns): the answer
   of the calling thread, or a follower.  Returns the slot, or -1 when all
   followers' slots are taken (fd is left to the caller then). */
int lc_reply_attach(int fd, bool follow);

/* Writes one record into the sink in slot.  An answer's records leave room
   for its closing records; what does not fit is dropped and counted.  On
   the thread that attached the slot. */
void lc_reply_put(int slot, char type, const char *text, size_t len);

/* Ends the answer in slot with the status text and the end record and
   detaches it (closing its socket); a follower gets the status only and
   stays attached.  On the thread that attached the slot. */
void lc_reply_finish(int slot, const char *status, size_t len);

/* Detaches every sink, each after an end record.  When the library stops. */
void lc_reply_close_all(void);

#ifndef NDEBUG
/* True when the calling thread holds the sinks' lock; for the lock order's
   asserts (debug builds only). */
bool lc_reply_sinks_mine(void);
#endif

#endif /* LC_REPLY_INTERNAL_H */
