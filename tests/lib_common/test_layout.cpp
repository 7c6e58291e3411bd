// Caller-owned records of lib_common/: each field's offset on 32-bit ARM, then on the 64-bit host.
#include "lib_common.h"

#include "lc_layout.h"

LC_OFFSET(dbgout_profile_t, lib_level, 0, 0);
LC_OFFSET(dbgout_profile_t, para_level, 4, 4);
LC_OFFSET(dbgout_profile_t, cc_level, 8, 8);
LC_OFFSET(dbgout_profile_t, visca_level, 12, 12);
LC_OFFSET(dbgout_profile_t, net_level, 16, 16);
LC_OFFSET(dbgout_profile_t, module_level, 20, 20);
LC_OFFSET(dbgout_profile_t, mpp_level, 24, 24);
LC_OFFSET(dbgout_profile_t, spare_level, 28, 28);
LC_OFFSET(dbgout_profile_t, time_enable, 32, 32);
LC_OFFSET(dbgout_profile_t, output_hook, 36, 40);
LC_SIZE(dbgout_profile_t, 40, 48);
LC_OFFSET(common_profile_t, pool_adjust_enable, 0, 0);
LC_OFFSET(common_profile_t, pool_max_threads, 4, 4);
LC_OFFSET(common_profile_t, core_copy_enable, 8, 8);
LC_OFFSET(common_profile_t, core_copy_dir, 12, 16);
LC_SIZE(common_profile_t, 16, 24);
LC_OFFSET(ratelimit_state, interval, 0, 0);
LC_OFFSET(ratelimit_state, burst, 4, 4);
LC_OFFSET(ratelimit_state, printed, 8, 8);
LC_OFFSET(ratelimit_state, missed, 12, 12);
LC_OFFSET(ratelimit_state, begin, 16, 16);
LC_SIZE(ratelimit_state, 24, 24);
LC_OFFSET(fifo_cmd, key, 0, 0);
LC_OFFSET(fifo_cmd, value, 4, 8);
LC_OFFSET(fifo_cmd, handler, 8, 16);
LC_OFFSET(fifo_cmd, data, 12, 24);
LC_SIZE(fifo_cmd, 16, 32);
