// Layout of the records of conhelper/ that callers own or reach into: field
// order everywhere, and the exact offsets on 32-bit ARM and on the host.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <stddef.h>

#if UINTPTR_MAX == 0xffffffffu
#define P(ilp32, lp64) (ilp32)
#else
#define P(ilp32, lp64) (lp64)
#endif

static_assert(offsetof(buffer, used) == P(4, 8), "");
static_assert(offsetof(buffer, size) == P(8, 16), "");
static_assert(sizeof(buffer) == P(12, 24), "");

static_assert(offsetof(configure_entry, value) == 256, "");
static_assert(offsetof(configure_entry, changed) == 514, "");
static_assert(sizeof(configure_entry) == 515, "");

static_assert(offsetof(configure_store, count) == P(4, 8), "");
static_assert(offsetof(configure_store, cursor) == P(12, 16), "");
static_assert(offsetof(configure_store, lock) == P(16, 24), "");
static_assert(offsetof(configure_store, get) == P(48, 80), "");
static_assert(offsetof(configure_store, find) == P(60, 104), "");
static_assert(sizeof(configure_store) == P(64, 112), "");

static_assert(offsetof(config_key, len) == P(4, 8), "");
static_assert(offsetof(config_key, end) == P(5, 9), "");
static_assert(sizeof(config_key) == P(8, 16), "");
static_assert(offsetof(config_textbuf, size) == P(4, 8), "");
static_assert(offsetof(config_textbuf, status) == P(12, 16), "");

static_assert(offsetof(request_param, value) == 256, "");
static_assert(sizeof(request_param) == 515, "");
static_assert(offsetof(request_t, first) == P(4, 8), "");
static_assert(offsetof(request_t, second) == P(20, 32), "");
static_assert(offsetof(request_t, params) == P(36, 56), "");
static_assert(offsetof(request_t, count) == P(40, 64), "");
static_assert(offsetof(request_t, cursor) == P(48, 72), "");
static_assert(offsetof(request_t, find) == P(52, 80), "");
static_assert(offsetof(request_t, parse) == P(68, 112), "");
static_assert(sizeof(request_t) == P(72, 120), "");
static_assert(offsetof(response_t, kind) == 4, "");
static_assert(offsetof(response_t, body) == 8, "");
static_assert(offsetof(response_t, spare) == P(12, 16), "");

static_assert(offsetof(stateM_event, data) == P(4, 8), "");
static_assert(offsetof(stateM_transition, condition) == P(4, 8), "");
static_assert(offsetof(stateM_transition, next_state) == P(16, 32), "");
static_assert(sizeof(stateM_transition) == P(20, 40), "");
static_assert(offsetof(stateM_state, entry_state) == P(4, 8), "");
static_assert(offsetof(stateM_state, num_transitions) == P(12, 24), "");
static_assert(offsetof(stateM_state, exit_action) == P(24, 48), "");
static_assert(offsetof(stateM_machine, error) == P(8, 16), "");
static_assert(sizeof(stateM_state) == P(28, 56), "");

TEST(ConhelperLayout, TargetIsWhatTheBuildClaims)
{
#if defined(__arm__)
    EXPECT_EQ(sizeof(void *), 4u);
    EXPECT_EQ(sizeof(pthread_rwlock_t), 32u);
#endif
    EXPECT_EQ(offsetof(configure_store, lock) % alignof(pthread_rwlock_t), 0u);
}
