// Layout of the pool and task records: field order everywhere, and the exact
// offsets the device's processes expect, as (32-bit ARM, 64-bit host).
#include "lc_test.h"

#include <stddef.h>

#define AT(ilp32, lp64) (UINTPTR_MAX == 0xffffffffu ? (ilp32) : (lp64))
#define FIELD(type, field, ilp32, lp64) static_assert(offsetof(type, field) == AT(ilp32, lp64), #field)

FIELD(threadpool_task, function, 0, 0);
FIELD(threadpool_task, arg, 4, 8);
FIELD(threadpool_task, sync, 8, 16);
FIELD(threadpool_task, done_fd, 12, 20);
FIELD(threadpool_task, ack_fd, 16, 24);
FIELD(threadpool_task, next, 20, 32);
FIELD(threadpool_task, prev, 24, 40);
static_assert(sizeof(threadpool_task) == AT(28, 48), "");

FIELD(threadpool, shutdown, 0, 0);
FIELD(threadpool, threads, 4, 8);
FIELD(threadpool, min, 8, 16);
FIELD(threadpool, max, 12, 20);
FIELD(threadpool, limit, 16, 24);
FIELD(threadpool, exit_count, 20, 28);
FIELD(threadpool, live, 24, 32);
FIELD(threadpool, count_lock, 28, 40);
FIELD(threadpool, busy, 52, 80);
FIELD(threadpool, not_full, 56, 88);
FIELD(threadpool, task_ready, 104, 136);
FIELD(threadpool, task_lock, 152, 184);
FIELD(threadpool, task_list, 176, 224);
FIELD(threadpool, queue_max, 180, 232);
static_assert(sizeof(threadpool) == AT(184, 240), "");  // a 24-byte mutex on the target
