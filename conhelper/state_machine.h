/*
 * state_machine.h - table-driven hierarchical state machine.
 */
#ifndef LC_STATE_MACHINE_H
#define LC_STATE_MACHINE_H

#include "lc_defs.h"

#endif /* LC_STATE_MACHINE_H */
