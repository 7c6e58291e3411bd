// Layout of the caller-owned records of lib_common/: field order everywhere,
// and the exact offsets the device's processes expect on 32-bit ARM.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <stddef.h>

#if UINTPTR_MAX == 0xffffffffu
#define LC_ILP32 1
#else
#define LC_ILP32 0
#endif

static_assert(offsetof(dbgout_profile_t, lib_level) == 0, "");
static_assert(offsetof(dbgout_profile_t, para_level) == 4, "");
static_assert(offsetof(dbgout_profile_t, cc_level) == 8, "");
static_assert(offsetof(dbgout_profile_t, visca_level) == 12, "");
static_assert(offsetof(dbgout_profile_t, net_level) == 16, "");
static_assert(offsetof(dbgout_profile_t, module_level) == 20, "");
static_assert(offsetof(dbgout_profile_t, mpp_level) == 24, "");
static_assert(offsetof(dbgout_profile_t, spare_level) == 28, "");
static_assert(offsetof(dbgout_profile_t, time_enable) == 32, "");
static_assert(offsetof(dbgout_profile_t, output_hook) == (LC_ILP32 ? 36 : 40), "");
static_assert(sizeof(dbgout_profile_t) == (LC_ILP32 ? 40 : 48), "");

static_assert(offsetof(common_profile_t, pool_adjust_enable) == 0, "");
static_assert(offsetof(common_profile_t, pool_max_threads) == 4, "");
static_assert(offsetof(common_profile_t, core_copy_enable) == 8, "");
static_assert(offsetof(common_profile_t, core_copy_dir) == (LC_ILP32 ? 12 : 16), "");

static_assert(offsetof(ratelimit_state, interval) == 0, "");
static_assert(offsetof(ratelimit_state, burst) == 4, "");
static_assert(offsetof(ratelimit_state, printed) == 8, "");
static_assert(offsetof(ratelimit_state, missed) == 12, "");
static_assert(offsetof(ratelimit_state, begin) == 16, "");
static_assert(sizeof(ratelimit_state) == 24, "");

static_assert(offsetof(fifo_cmd, key) == 0, "");
static_assert(offsetof(fifo_cmd, value) == (LC_ILP32 ? 4 : 8), "");
static_assert(offsetof(fifo_cmd, handler) == (LC_ILP32 ? 8 : 16), "");
static_assert(offsetof(fifo_cmd, data) == (LC_ILP32 ? 12 : 24), "");
static_assert(sizeof(fifo_cmd) == (LC_ILP32 ? 16 : 32), "");

static_assert(offsetof(fifo_work, cmds) == 0, "");
static_assert(offsetof(fifo_work, count) == (LC_ILP32 ? 4 : 8), "");
static_assert(offsetof(fifo_work, link) == (LC_ILP32 ? 8 : 16), "");
static_assert(offsetof(fifo_link, prev) == 0 && offsetof(fifo_link, next) == sizeof(void *), "");
static_assert(sizeof(fifo_work) == (LC_ILP32 ? 16 : 32), "");

TEST(Layout, TargetIsWhatTheBuildClaims)
{
#if defined(__arm__)
    EXPECT_EQ(sizeof(void *), 4u);
    EXPECT_EQ(sizeof(long), 4u);
#endif
    EXPECT_EQ(sizeof(ratelimit_time), 8u);
}
