/*
 * reply_protocol_internal.h - how lcctl talks to a process: its control
 * socket, the one request a connection carries, and the records of the
 * answer.  Shared by the library and tools/lcctl.  Not installed.
 *
 * Every started process listens on a Unix-domain stream socket in the
 * abstract namespace (nothing on disk to leave behind or to redirect),
 * named LC_CTL_NAME_PREFIX and its pid; when that name is taken, the pid
 * and ".<n>".  The name only helps to find it: the process accepts a peer
 * only when the kernel says it runs as root or as the process's own user
 * (SO_PEERCRED), and lcctl takes the serving pid from the same
 * credentials, never from the name.
 *
 * A connection carries one request, a record the client writes at once:
 *
 *     <type> <text> NUL        (at most LC_CTL_REQUEST_MAX bytes in all)
 *
 * and gets records back, each a type byte, text and a NUL byte, each one
 * write; the process never blocks on a reader and closes the connection
 * after the end record.  A request names no path and no file: the process
 * opens nothing a requester names.
 *
 *     commands  'c' "key=value;key=value"   every piece is checked against
 *               the rows first; one that matches none refuses the whole
 *               request (LC_REC_REFUSED names it) and nothing runs.
 *               Answer: status, the traces the commands made on the
 *               serving thread, status again, end.
 *     get       'g' ""                      status, end.
 *     rows      'h' ""                      every command row, status, end.
 *     follow    'f' ""                      status, then every trace of
 *               every thread until the process closes (end) or the
 *               client goes.
 */
#ifndef LC_REPLY_PROTOCOL_INTERNAL_H
#define LC_REPLY_PROTOCOL_INTERNAL_H

#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

/* The abstract socket name: these bytes, then the decimal pid. */
#define LC_CTL_NAME_PREFIX "lib_common/"

enum {
    LC_REQ_COMMANDS = 'c',
    LC_REQ_GET = 'g',
    LC_REQ_ROWS = 'h',
    LC_REQ_FOLLOW = 'f',
};

enum {
    LC_REC_STATUS = 's',  /* "pid=.. pipe=.. version=.. lib=.. .. mpp=.. time=.." (pipe "-": none) */
    LC_REC_TRACE = 't',   /* the level digit, then the trace text as the process formatted it */
    LC_REC_ROW = 'r',     /* a command row with a value: "key=value" */
    LC_REC_ROW_ANY = 'R', /* a command row without a value: "key" */
    LC_REC_CUT = 'x',     /* "<n>": n records did not fit and are missing here */
    LC_REC_REFUSED = 'n', /* the request was refused, nothing ran; the text says why */
    LC_REC_DENIED = 'd',  /* the peer is neither root nor the process's user */
    LC_REC_BUSY = 'b',    /* too many connections; "<what>" */
    LC_REC_END = 'e',     /* the answer is complete */
};

enum {
    LC_CTL_REQUEST_MAX = 1024, /* a request record, type and NUL included */
    LC_REPLY_TEXT_MAX = 1024,  /* a record's text: a level digit and a trace of at most 1023 */
    LC_CTL_CONNECTIONS = 8,    /* connections waiting for their request at once */
    LC_CTL_FOLLOWERS = 4,      /* followers attached at once */
    LC_CTL_REQUEST_MS = 1000,  /* a request not complete by then is dropped */
};

/* Fills *addr with the abstract socket name (len bytes): the length to
   bind or connect with, or 0 when the name does not fit. */
static inline socklen_t lc_ctl_address(struct sockaddr_un *addr, const char *name, size_t len)
{
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (len + 1 > sizeof addr->sun_path)
        return 0;
    memcpy(addr->sun_path + 1, name, len); /* sun_path[0] stays 0: abstract */
    return (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + len);
}

#endif /* LC_REPLY_PROTOCOL_INTERNAL_H */
