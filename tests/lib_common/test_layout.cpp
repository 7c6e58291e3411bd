// Caller-owned records of lib_common/: each field's offset on 32-bit ARM, then on the 64-bit host.
#include "lib_common.h"

#include <stddef.h>

#define OFFSET(type, field, ilp32, lp64) \
    static_assert(offsetof(type, field) == (sizeof(void *) == 4 ? ilp32 : lp64), #type "." #field)
#define SIZE(type, ilp32, lp64) static_assert(sizeof(type) == (sizeof(void *) == 4 ? ilp32 : lp64), "sizeof " #type)

OFFSET(dbgout_profile_t, lib_level, 0, 0);
OFFSET(dbgout_profile_t, para_level, 4, 4);
OFFSET(dbgout_profile_t, cc_level, 8, 8);
OFFSET(dbgout_profile_t, visca_level, 12, 12);
OFFSET(dbgout_profile_t, net_level, 16, 16);
OFFSET(dbgout_profile_t, module_level, 20, 20);
OFFSET(dbgout_profile_t, mpp_level, 24, 24);
OFFSET(dbgout_profile_t, spare_level, 28, 28);
OFFSET(dbgout_profile_t, time_enable, 32, 32);
OFFSET(dbgout_profile_t, output_hook, 36, 40);
SIZE(dbgout_profile_t, 40, 48);
OFFSET(common_profile_t, pool_adjust_enable, 0, 0);
OFFSET(common_profile_t, pool_max_threads, 4, 4);
OFFSET(common_profile_t, core_copy_enable, 8, 8);
OFFSET(common_profile_t, core_copy_dir, 12, 16);
SIZE(common_profile_t, 16, 24);
OFFSET(ratelimit_state, interval, 0, 0);
OFFSET(ratelimit_state, burst, 4, 4);
OFFSET(ratelimit_state, printed, 8, 8);
OFFSET(ratelimit_state, missed, 12, 12);
OFFSET(ratelimit_state, begin, 16, 16);
SIZE(ratelimit_state, 24, 24);
OFFSET(fifo_cmd, key, 0, 0);
OFFSET(fifo_cmd, value, 4, 8);
OFFSET(fifo_cmd, handler, 8, 16);
OFFSET(fifo_cmd, data, 12, 24);
SIZE(fifo_cmd, 16, 32);
