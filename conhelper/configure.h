/*
 * configure.h - key=value configuration store.
 */
#ifndef LC_CONFIGURE_H
#define LC_CONFIGURE_H

#include "lc_defs.h"

#endif /* LC_CONFIGURE_H */
