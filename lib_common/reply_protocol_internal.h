/*
 * reply_protocol_internal.h - how lcctl and the debug pipe talk back: the
 * request header that names a reply FIFO, and the records the library
 * writes into it.  Shared by the library and tools/lcctl.  Not installed.
 *
 * A write into the pipe may hold a piece (between semicolons) that starts
 * with a NUL byte and "lcctl ", followed by words separated by one blank:
 *
 *     \0lcctl reply=/tmp/lcctl-123-4567 [rows] [follow]
 *
 * No command row can ever match a piece that starts with a NUL byte (it
 * ends the piece before any '='), so the header cannot be mistaken for a
 * command.  The pieces after it in the same read are answered into the
 * FIFO: every trace the handling thread makes, then a status record and an
 * end record.  "rows" first lists the registered command rows; "follow"
 * attaches the FIFO until its reader goes, and copies every trace of every
 * thread into it.
 *
 * The FIFO must be an absolute path whose last part starts with "lcctl-";
 * it is checked before and after opening, and written without blocking.
 *
 * Records: a type byte, text, and a NUL byte; one write each (at most
 * PIPE_BUF bytes, so records of several threads never mix).
 */
#ifndef LC_REPLY_PROTOCOL_INTERNAL_H
#define LC_REPLY_PROTOCOL_INTERNAL_H

/* Header piece: these bytes, then the words. */
#define LC_REPLY_HEADER "\0lcctl "
enum { LC_REPLY_HEADER_LEN = 7 };
#define LC_REPLY_WORD_PATH "reply="
#define LC_REPLY_WORD_ROWS "rows"
#define LC_REPLY_WORD_FOLLOW "follow"
/* The last part of a reply path starts with this. */
#define LC_REPLY_NAME_PREFIX "lcctl-"

enum {
    LC_REC_TRACE = 't',   /* a trace text as the process formatted it */
    LC_REC_ROW = 'r',     /* a command row with a value: "key=value" */
    LC_REC_ROW_ANY = 'R', /* a command row without a value: "key" */
    LC_REC_CUT = 'x',     /* "<n>": n records did not fit and are missing here */
    LC_REC_STATUS = 's',  /* "ok=<0|1> pid=... pipe=... version=... lib=... time=<0|1>" */
    LC_REC_BUSY = 'b',    /* the request was not taken: no free reply slot */
    LC_REC_END = 'e',     /* the answer is complete */
};

/* A record's text never exceeds this (a trace is at most 1023 characters). */
enum { LC_REPLY_TEXT_MAX = 1023 };

#endif /* LC_REPLY_PROTOCOL_INTERNAL_H */
