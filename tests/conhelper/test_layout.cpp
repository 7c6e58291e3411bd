// Layout of the records of conhelper/ that callers own or reach into: field
// order, and the exact offsets on 32-bit ARM (ILP32) and on the x86-64 host.
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

AT(buffer, used, 4, 8); AT(buffer, size, 8, 16); SIZE(buffer, 12, 24);
AT(configure_entry, value, 256, 256); AT(configure_entry, changed, 514, 514); SIZE(configure_entry, 515, 515);
AT(configure_store, count, 4, 8); AT(configure_store, cursor, 12, 16); AT(configure_store, lock, 16, 24);
AT(configure_store, get, 48, 80); AT(configure_store, find, 60, 104); SIZE(configure_store, 64, 112);
AT(config_key, len, 4, 8); AT(config_key, end, 5, 9); SIZE(config_key, 8, 16);
AT(config_textbuf, size, 4, 8); AT(config_textbuf, status, 12, 16);
AT(request_param, value, 256, 256); SIZE(request_param, 515, 515);
AT(request_t, first, 4, 8); AT(request_t, second, 20, 32); AT(request_t, params, 36, 56); AT(request_t, count, 40, 64);
AT(request_t, cursor, 48, 72); AT(request_t, find, 52, 80); AT(request_t, parse, 68, 112); SIZE(request_t, 72, 120);
AT(response_t, kind, 4, 4); AT(response_t, body, 8, 8); AT(response_t, spare, 12, 16);
AT(stateM_event, data, 4, 8); AT(stateM_machine, error, 8, 16);
AT(stateM_transition, condition, 4, 8); AT(stateM_transition, next_state, 16, 32); SIZE(stateM_transition, 20, 40);
AT(stateM_state, entry_state, 4, 8); AT(stateM_state, num_transitions, 12, 24);
AT(stateM_state, exit_action, 24, 48); SIZE(stateM_state, 28, 56);
