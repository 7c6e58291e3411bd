// Layout of the pool and task records: field order everywhere, and the exact
// offsets the device's processes expect, as (32-bit ARM, 64-bit host).
#include "lc_test.h"

#include "lc_layout.h"

LC_OFFSET(threadpool_task, function, 0, 0);
LC_OFFSET(threadpool_task, arg, 4, 8);
LC_OFFSET(threadpool_task, sync, 8, 16);
LC_OFFSET(threadpool_task, done_fd, 12, 20);
LC_OFFSET(threadpool_task, ack_fd, 16, 24);
LC_OFFSET(threadpool_task, next, 20, 32);
LC_OFFSET(threadpool_task, prev, 24, 40);
LC_SIZE(threadpool_task, 28, 48);

LC_OFFSET(threadpool, shutdown, 0, 0);
LC_OFFSET(threadpool, threads, 4, 8);
LC_OFFSET(threadpool, min, 8, 16);
LC_OFFSET(threadpool, max, 12, 20);
LC_OFFSET(threadpool, limit, 16, 24);
LC_OFFSET(threadpool, exit_count, 20, 28);
LC_OFFSET(threadpool, live, 24, 32);
LC_OFFSET(threadpool, count_lock, 28, 40);
LC_OFFSET(threadpool, busy, 52, 80);
LC_OFFSET(threadpool, not_full, 56, 88);
LC_OFFSET(threadpool, task_ready, 104, 136);
LC_OFFSET(threadpool, task_lock, 152, 184);
LC_OFFSET(threadpool, task_list, 176, 224);
LC_OFFSET(threadpool, queue_max, 180, 232);
LC_SIZE(threadpool, 184, 240);  // a 24-byte mutex on the target
