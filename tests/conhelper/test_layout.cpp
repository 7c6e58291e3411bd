// Layout of the conhelper/ records that callers own, on 32-bit ARM and on the x86-64 host; the records only the
// library makes are reached through the same header by every caller.  Compiled into the state machine's test binary.
#include "lc_test.h"

#include "lc_layout.h"

LC_OFFSET(config_textbuf, size, 4, 8);
LC_OFFSET(config_textbuf, used, 8, 12);
LC_OFFSET(config_textbuf, status, 12, 16);
LC_OFFSET(stateM_event, data, 4, 8);
LC_OFFSET(stateM_machine, previous, 4, 8);
LC_OFFSET(stateM_machine, error, 8, 16);
LC_OFFSET(stateM_transition, condition, 4, 8);
LC_OFFSET(stateM_transition, next_state, 16, 32);
LC_SIZE(stateM_transition, 20, 40);
LC_OFFSET(stateM_state, entry_state, 4, 8);
LC_OFFSET(stateM_state, num_transitions, 12, 24);
LC_OFFSET(stateM_state, exit_action, 24, 48);
LC_SIZE(stateM_state, 28, 56);
