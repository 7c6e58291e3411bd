// Layout of the records of conhelper/ that callers own: field order, and the
// exact offsets on 32-bit ARM (ILP32) and on the x86-64 host.  The records
// only the library makes are reached through the same header by every caller.
// AT(record, field, ARM offset, host offset); SIZE(record, ARM size, host size).
// Compiled into the state machine's test binary: the checks are all here.
#include "lc_test.h"

#include <stddef.h>

#if UINTPTR_MAX == 0xffffffffu
#define AT(type, field, arm, host) static_assert(offsetof(type, field) == (arm), #type "." #field)
#define SIZE(type, arm, host) static_assert(sizeof(type) == (arm), #type)
#else
#define AT(type, field, arm, host) static_assert(offsetof(type, field) == (host), #type "." #field)
#define SIZE(type, arm, host) static_assert(sizeof(type) == (host), #type)
#endif

AT(config_textbuf, size, 4, 8);
AT(config_textbuf, used, 8, 12);
AT(config_textbuf, status, 12, 16);
AT(stateM_event, data, 4, 8);
AT(stateM_machine, previous, 4, 8);
AT(stateM_machine, error, 8, 16);
AT(stateM_transition, condition, 4, 8);
AT(stateM_transition, next_state, 16, 32);
SIZE(stateM_transition, 20, 40);
AT(stateM_state, entry_state, 4, 8);
AT(stateM_state, num_transitions, 12, 24);
AT(stateM_state, exit_action, 24, 48);
SIZE(stateM_state, 28, 56);
