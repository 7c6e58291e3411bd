/*
 * reply_internal.h - the debug pipe's reply channel: answers and followers
 * that receive copies of the traces (see reply_protocol_internal.h).  Not
 * installed; nothing here is exported.
 */
#ifndef LC_REPLY_INTERNAL_H
#define LC_REPLY_INTERNAL_H

#include <stddef.h>

/* Non-zero while any reply FIFO is attached; read without a lock by every
   trace, which then calls lc_reply_copy. */
extern int lc_reply_attached;

/* Copies one finished trace text into the attached FIFOs: every follower,
   and the answer of the calling thread.  Never blocks on a reader.  Any
   thread; takes the sinks' lock (after list_lock, never before it). */
void lc_reply_copy(const char *text, size_t len);

/* What a request header asks for. */
struct lc_reply_request {
    char path[128]; /* the reply FIFO */
    bool rows;      /* list the command rows first */
    bool follow;    /* stay attached and copy every thread's traces */
};

/* Reads the words after the header bytes (len bytes at words) into *req.
   False when they are malformed. */
bool lc_reply_parse(const char *words, size_t len, lc_reply_request *req);

/* Opens and checks the reply FIFO of *req and attaches it: an answer to
   the calling thread, or a follower (at most 8 attached at once).  Returns
   the slot, or -1: then `why` holds the reason, or is empty when the asker
   was told it is busy.  On the thread that handles the pipe's commands. */
int lc_reply_open(const lc_reply_request *req, char *why, size_t why_size);

/* Writes one command row into the answer in slot (value null: any).  The
   caller may hold list_lock. */
void lc_reply_row(int slot, const char *key, const char *value);

/* Ends the answer in slot with the status record (ok, this process, its
   pipe, the current levels) and the end record, and detaches it.  A
   follower gets the status record only and stays attached.  On the thread
   that opened the slot. */
void lc_reply_finish(int slot, bool ok, const char *pipe_path);

/* Detaches every FIFO, each after an end record.  When the pipe closes. */
void lc_reply_close_all(void);

#ifndef NDEBUG
/* True when the calling thread holds the sinks' lock; for the lock order's
   asserts (debug builds only). */
bool lc_reply_sinks_mine(void);
#endif

#endif /* LC_REPLY_INTERNAL_H */
