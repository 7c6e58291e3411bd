/*
 * ctl_internal.h - lcctl's control socket, which the scheduler thread
 * serves beside the debug pipe (see reply_protocol_internal.h).  Not
 * installed; nothing here is exported.
 *
 * lc_ctl_open and lc_ctl_close run on the thread that starts and stops the
 * scheduler while the scheduler thread does not run; lc_ctl_watch and
 * lc_ctl_serve on the scheduler thread.  So the state has no lock.
 */
#ifndef LC_CTL_INTERNAL_H
#define LC_CTL_INTERNAL_H

#include <sys/select.h>

/* Listens on the control socket; without one (no socket, no free name)
   the process serves only its pipe. */
void lc_ctl_open(void);

/* Adds the descriptors to watch for reading to *set, raising *highest. */
void lc_ctl_watch(fd_set *set, int *highest);

/* Serves what `ready` says is readable: new connections, requests; drops
   requests that took too long.  Bounded work per call, so that timers are
   not held back by a flood of connections. */
void lc_ctl_serve(const fd_set *ready);

/* Ends every answer and follower and stops listening. */
void lc_ctl_close(void);

#endif /* LC_CTL_INTERNAL_H */
