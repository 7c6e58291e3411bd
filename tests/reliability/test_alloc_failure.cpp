// Allocation failures: every function that allocates is walked over its
// failure points, N = 1, 2, ... until a run fails nothing.  Each failure must
// give the documented result and leave the object as it was and usable (the
// same call without a failure then works), or leave nothing behind; the
// AddressSanitizer build reports a leak at the exit of the test.
#include "alloc_fail.h"
#include "../lib_common/started_library.h"

#include <atomic>
#include <functional>
#include <memory>
#include <stdio.h>

using lc_test::failing_nth;
using lc_test::wait_until;

namespace {

// One operation: step(n) runs it with this thread's nth allocation failing,
// checks the outcome and the object afterwards, and tells whether an
// allocation was failed.
struct Operation {
    std::string name;
    int least; // failure points it has at least
    std::function<bool(int)> step;
};

void walk(const std::vector<Operation> &ops)
{
    for (const Operation &op : ops) {
        int n = 1;
        for (; n <= 64 && !::testing::Test::HasFatalFailure(); n++) {
            SCOPED_TRACE(op.name + " with allocation " + std::to_string(n) + " failing");
            if (!op.step(n))
                break;
        }
        EXPECT_LE(n, 64) << op.name << " never ran without a failure";
        EXPECT_GE(n - 1, op.least) << op.name << ": the seam missed its allocations";
        printf("alloc walk: %-38s %2d failure points\n", op.name.c_str(), n - 1);
    }
}

void count_up(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

// The store as its own writer prints it.
std::string text_of(configure_store *store)
{
    char text[4096] = "";
    config_textbuf tb{text, sizeof text, 0, 0};
    loop(store, reinterpret_cast<configure_loop_cb>(loop_2_buf), &tb);
    return text;
}

using Pairs = std::vector<std::pair<const char *, const char *>>;

// Checks the value of every name that value_of finds; the number found.
int found(const Pairs &pairs, const std::function<const char *(const char *)> &value_of)
{
    int n = 0;
    for (const auto &kv : pairs) {
        if (const char *value = value_of(kv.first)) {
            n++;
            EXPECT_STREQ(value, kv.second) << kv.first;
        }
    }
    return n;
}

int found(configure_store *store, const Pairs &pairs)
{
    char out[16];
    return found(pairs, [&](const char *key) {
        return store->get(store, key, out, sizeof out) == 0 ? out : nullptr;
    });
}

int found(request_t *req, const Pairs &pairs)
{
    return found(pairs, [&](const char *name) {
        request_param *p = req->find(req, name);
        return p != nullptr ? p->value : nullptr;
    });
}

// An operation that hands out a new object: null when an allocation fails,
// and the same call without a failure gives one that use() tries out and
// releases.
template <class T>
Operation maker(const char *name, int least, std::function<T *()> make, std::function<void(T *)> use)
{
    return {name, least, [make, use](int n) {
                T *made = nullptr;
                const bool hit = failing_nth(n, [&] { made = make(); });
                if (hit) {
                    EXPECT_EQ(made, nullptr);
                    made = make();
                }
                EXPECT_NE(made, nullptr);
                if (made != nullptr)
                    use(made);
                return hit;
            }};
}

}  // namespace

TEST(AllocFailure, PoolCreationAndSubmission)
{
    walk({
        maker<threadpool>("threadpool_create", 4, [] { return threadpool_create(2, 4, 15); },
                          [](threadpool *pool) {
                              std::atomic<int> ran{0};
                              EXPECT_EQ(threadpool_add_task_sync(pool, count_up, &ran), 0);
                              EXPECT_EQ(ran, 1);
                              EXPECT_EQ(threadpool_destroy(pool), 0);
                          }),
        {"threadpool_add_task", 1, [](int n) {
             threadpool *pool = threadpool_create(0, 1, 15);  // no worker yet: tasks wait
             std::atomic<int> ran{0};
             EXPECT_EQ(threadpool_add_task(pool, count_up, &ran), 0);
             int rc = 0;
             const bool hit = failing_nth(n, [&] { rc = threadpool_add_task(pool, count_up, &ran); });
             if (hit) {
                 EXPECT_EQ(rc, -1);
                 EXPECT_EQ(threadpool_task_size_lock(pool), 1);
                 rc = threadpool_add_task(pool, count_up, &ran);
             }
             EXPECT_EQ(rc, 0);
             EXPECT_EQ(threadpool_task_size_lock(pool), 2);
             EXPECT_EQ(threadpool_adjust_limit(pool, 1), 0);
             threadpool_adjust(pool);  // two pending: a worker starts and runs both
             EXPECT_TRUE(wait_until([&] { return threadpool_task_size_lock(pool) == 0 && ran == 2; }));
             EXPECT_EQ(threadpool_destroy(pool), 0);
             EXPECT_EQ(ran, 2);
             return hit;
         }},
        {"threadpool_add_task_sync", 1, [](int n) {
             threadpool *pool = threadpool_create(1, 1, 15);
             std::atomic<int> ran{0};
             int rc = 0;
             const bool hit = failing_nth(n, [&] { rc = threadpool_add_task_sync(pool, count_up, &ran); });
             if (hit) {
                 EXPECT_EQ(rc, -1);
                 rc = threadpool_add_task_sync(pool, count_up, &ran);
             }
             EXPECT_EQ(rc, 0);
             EXPECT_EQ(ran, 1);  // one worker, in order: a queued failure would have run first
             EXPECT_EQ(threadpool_destroy(pool), 0);
             return hit;
         }},
    });
}

// Each failure of the start shows as exactly one of: no pool (and nothing
// runs), no scheduler (the task functions refuse), one command table
// dropped with its trace.  The stop always cleans up.
TEST(AllocFailure, LibraryStartUp)
{
    walk({{"lib_common_init", 8, [](int n) {
               lc_test::TraceCapture capture;
               int rc = 0;
               const bool hit = failing_nth(n, [&] { rc = lib_common_init(); });
               std::atomic<int> ran{0};
               const int token = gpool != nullptr ? add_task(count_up, &ran, 0, 0) : -1;
               const int no_pool = rc == -1 && gpool == nullptr;
               const int no_scheduler = gpool != nullptr && token == -1;
               const int dropped = static_cast<int>(capture.count("]command table dropped: no memory\n"));
               EXPECT_EQ(no_pool + no_scheduler + dropped, hit ? 1 : 0);
               if (token > 0) {
                   EXPECT_TRUE(wait_until([&] { return ran == 1; }));
               }
               EXPECT_EQ(lib_common_exit(), 0);
               EXPECT_EQ(gpool, nullptr);
               return hit;
           }}});
}

// Registrations in the command list (read only; this thread alone adds).
static int registrations()
{
    int n = 0;
    for (const fifo_link *l = fifo_queue.link.next; l != nullptr && l != &fifo_queue.link; l = l->next)
        n++;
    return n;
}

// A restart whose scheduler cannot start serves no pipe, yet registers its
// command tables; the stop, with no scheduler to stop, must free them.
TEST(AllocFailure, AStopAfterAFailedSchedulerStartLeavesNoCommandTables)
{
    ASSERT_EQ(lib_common_init(), 0);  // the command list exists from now on
    ASSERT_EQ(lib_common_exit(), 0);
    for (int n = 1; n <= 64; n++) {
        failing_nth(n, [] { lib_common_init(); });
        const bool no_scheduler = gpool != nullptr && add_task(count_up, nullptr, 3600, 0) == -1;
        EXPECT_EQ(lib_common_exit(), 0);
        if (no_scheduler) {
            EXPECT_EQ(registrations(), 0);
            return;
        }
    }
    FAIL() << "no failure point stopped the scheduler";
}

// Timer entries and command tables on a started library.
class AllocFailureStarted : public StartedLibrary {
protected:
    std::atomic<int> runs_[4] = {};  // outlive every run: the stop joins the workers
};

TEST_F(AllocFailureStarted, TimerEntriesAndCommandTables)
{
    using add_fn = int (*)(lc_task_fn, void *, long, long);
    const std::pair<const char *, add_fn> kinds[] = {{"add_task", add_task},
                                                     {"add_fixperiod_task", add_fixperiod_task},
                                                     {"add_fixdelay_task", add_fixdelay_task},
                                                     {"add_nodestroy_task", add_nodestroy_task}};
    std::vector<Operation> ops;
    for (int k = 0; k < 4; k++) {
        add_fn add = kinds[k].second;
        std::atomic<int> *ran = &runs_[k];
        ops.push_back({kinds[k].first, 1, [add, ran](int n) {
                           const int32_t last = DelayQueueEntry::tokenCounter;
                           int token = 0;
                           const bool hit = failing_nth(n, [&] { token = add(count_up, ran, 3600, 0); });
                           if (hit) {
                               EXPECT_EQ(token, -1);
                               EXPECT_EQ(DelayQueueEntry::tokenCounter, last);  // no token used up
                               token = add(count_up, ran, 3600, 0);
                           }
                           EXPECT_EQ(token, last + 1);
                           const int before = *ran;
                           EXPECT_EQ(update_task(token, 0, 1000), 0);
                           EXPECT_TRUE(wait_until([&] { return *ran > before; }));
                           EXPECT_EQ(remove_task(&token), 0);
                           return hit;
                       }});
    }
    static std::atomic<int> row_runs{0};
    static const fifo_cmd row[] = {{"walk_row", nullptr, [](const char *, void *) { row_runs++; }, nullptr}};
    ops.push_back({"add_fifo_work", 1, [this](int n) {
                       capture_.clear();
                       const int before = registrations();
                       const bool hit = failing_nth(n, [&] { add_fifo_work(row, 1); });
                       if (hit) {
                           EXPECT_EQ(registrations(), before);
                           EXPECT_EQ(capture_.count("]command table dropped: no memory\n"), 1u);
                           EXPECT_TRUE(command("walk_row=1"));
                           EXPECT_EQ(row_runs, 0);
                           add_fifo_work(row, 1);
                       }
                       EXPECT_EQ(registrations(), before + 1);
                       const int was = row_runs;
                       EXPECT_TRUE(command("walk_row=1"));
                       EXPECT_EQ(row_runs, was + 1);
                       return hit;
                   }});
    walk(ops);
}

TEST(AllocFailure, QueuesAndRings)
{
    walk({
        {"queue_write2", 1, [](int n) {
             auto front = std::make_unique<frame_queue_t>(), back = std::make_unique<frame_queue_t>();
             pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
             pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
             queue_create2(front.get(), 2);
             queue_create2(back.get(), 2);
             EXPECT_EQ(queue_write2(&mutex, &cond, back.get(), "first", 6, FRAME_TYPE_AUDIO), LC_QUEUE_OK);
             uint32_t rc = 0;
             const bool hit = failing_nth(n, [&] {
                 rc = queue_write2(&mutex, &cond, back.get(), "second", 7, FRAME_TYPE_VIDEO);
             });
             if (hit) {
                 EXPECT_EQ(rc, LC_QUEUE_FULL);
                 EXPECT_EQ(queue_length2(back.get()), 1u);
                 EXPECT_EQ(queue_get_video_num(&mutex, &cond, front.get(), back.get()), 0u);
                 rc = queue_write2(&mutex, &cond, back.get(), "second", 7, FRAME_TYPE_VIDEO);
             }
             EXPECT_EQ(rc, LC_QUEUE_OK);
             for (const char *want : {"first", "second"}) {
                 uint32_t size = 0;
                 char *got = static_cast<char *>(
                     queue_read2(&mutex, &cond, front.get(), back.get(), &size, nullptr));
                 EXPECT_STREQ(got, want);
                 free(got);
             }
             queue_clear2(front.get());
             queue_clear2(back.get());
             return hit;
         }},
        {"queue_write3", 1, [](int n) {
             auto q = std::make_unique<block_queue_t>();
             queue_create3(q.get(), 4);
             EXPECT_EQ(queue_write3(q.get(), "first", 6, 1, 11), LC_QUEUE_OK);
             uint32_t rc = 0;
             const bool hit = failing_nth(n, [&] { rc = queue_write3(q.get(), "second", 7, 2, 22); });
             if (hit) {
                 EXPECT_EQ(rc, LC_QUEUE_FULL);
                 EXPECT_EQ(queue_length3(q.get()), 1u);
                 rc = queue_write3(q.get(), "second", 7, 2, 22);
             }
             EXPECT_EQ(rc, LC_QUEUE_OK);
             for (uint64_t want : {11u, 22u}) {
                 uint64_t value = 0;
                 void *got = queue_read3(q.get(), nullptr, nullptr, &value);
                 EXPECT_EQ(value, want);
                 free(got);
             }
             EXPECT_EQ(queue_read3(q.get(), nullptr, nullptr, nullptr), nullptr);
             return hit;
         }},
        {"ring_buf_init", 1, [](int n) {
             ring_buf_t rb;
             int32_t rc = 0;
             const bool hit = failing_nth(n, [&] { rc = ring_buf_init(&rb, 4, 8); });
             if (hit) {
                 EXPECT_EQ(rc, 0);
                 EXPECT_EQ(rb.storage, nullptr);
                 EXPECT_EQ(ring_buf_is_empty(&rb) + ring_buf_is_full(&rb), 2);  // holds and takes nothing
                 EXPECT_EQ(ring_buf_write(&rb, "element"), 0);
                 rc = ring_buf_init(&rb, 4, 8);
             }
             EXPECT_EQ(rc, 1);
             char out[8] = "";
             EXPECT_EQ(ring_buf_write(&rb, "element") + ring_buf_read(&rb, out), 2);
             EXPECT_STREQ(out, "element");
             ring_buf_free(&rb);
             return hit;
         }},
        maker<streamq_t>("streamq_alloc", 1, [] { return streamq_alloc(16, 4, 8); },
                         [](streamq_t *q) {
                             EXPECT_EQ(streamq_push(q), 1);
                             EXPECT_EQ(streamq_used_buf(q), 1);
                             streamq_free(q);
                         }),
    });
}

TEST(AllocFailure, ConfigurationAndRequests)
{
    walk({
        maker<configure_store>("configure_init", 1, configure_init,
                               [](configure_store *s) {
                                   EXPECT_EQ(s->set(s, "k", "v"), 1);
                                   configure_free(s);
                               }),
        maker<config_key>("config_keys_format", 1,
                          [] {
                              static const char *const keys[] = {"a", "bb"};
                              return config_keys_format(keys, 2);
                          },
                          [](config_key *filter) {
                              EXPECT_EQ(filter[1].len + filter[2].end, 3);
                              free(filter);
                          }),
        maker<request_t>("request_init", 1, request_init,
                         [](request_t *req) {
                             EXPECT_NE(req->set(req, "k", "v"), nullptr);
                             request_free(req);
                         }),
        maker<response_t>("response_init", 1, response_init,
                          [](response_t *resp) {
                              EXPECT_EQ(resp->kind, 2);
                              response_free(resp);
                          }),
        {"configure set (new key, table grows)", 2, [](int n) {
             configure_store *s = configure_init();
             for (const char *k : {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7"})
                 s->set(s, k, "v");
             const std::string before = text_of(s);
             int32_t rc = 0;
             const bool hit = failing_nth(n, [&] { rc = s->set(s, "new", "value"); });
             if (hit) {
                 EXPECT_EQ(rc, -1);
                 EXPECT_EQ(text_of(s), before);
                 EXPECT_EQ(s->find(s, "new"), nullptr);
                 rc = s->set(s, "new", "value");
             }
             EXPECT_EQ(rc, 1);
             EXPECT_EQ(text_of(s), before + "new = \"value\"\n");
             configure_free(s);
             return hit;
         }},
        {"configure_parse_buf", 4, [](int n) {
             const Pairs pairs = {{"a", "1"}, {"b", "2"}, {"c", "3"}};
             configure_store *s = configure_init();
             char text[] = "a = 1\nb = \"2\"\n# note\nc=3\n";
             int32_t rc = -1;
             const bool hit = failing_nth(n, [&] { rc = configure_parse_buf(s, nullptr, text); });
             EXPECT_EQ(rc, 0);
             EXPECT_EQ(found(s, pairs), hit ? 2 : 3);  // a failure drops its one line
             if (hit) {
                 char again[] = "a = 1\nb = \"2\"\n# note\nc=3\n";
                 EXPECT_EQ(configure_parse_buf(s, nullptr, again), 0);
                 EXPECT_EQ(found(s, pairs), 3);
             }
             configure_free(s);
             return hit;
         }},
        {"request set (new name, table grows)", 2, [](int n) {
             request_t *req = request_init();
             for (const char *k : {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7"})
                 req->set(req, k, "v");
             void *rc = nullptr;
             const bool hit = failing_nth(n, [&] { rc = req->set(req, "new", "value"); });
             if (hit) {
                 EXPECT_EQ(rc, nullptr);
                 EXPECT_EQ(req->count, 8u);
                 EXPECT_EQ(req->find(req, "new"), nullptr);
                 rc = req->set(req, "new", "value");
             }
             EXPECT_NE(rc, nullptr);
             EXPECT_EQ(found(req, {{"k7", "v"}, {"new", "value"}}), 2);
             request_free(req);
             return hit;
         }},
        {"request parse", 4, [](int n) {
             const Pairs pairs = {{"a", "1"}, {"b", "x y"}, {"c", "c"}};
             request_t *req = request_init();
             void *last = nullptr;
             const bool hit = failing_nth(n, [&] { last = req->parse(req, "a=1&b=x%20y&c"); });
             EXPECT_EQ(found(req, pairs), hit ? 2 : 3);  // a failure drops its one segment
             EXPECT_EQ(last == nullptr, req->find(req, "c") == nullptr);
             if (hit) {
                 EXPECT_NE(req->parse(req, "a=1&b=x%20y&c"), nullptr);
                 EXPECT_EQ(found(req, pairs), 3);
             }
             request_free(req);
             return hit;
         }},
    });
}

TEST(AllocFailure, StringsAndFiles)
{
    static const std::string path = "/tmp/lc_alloc_walk_" + std::to_string(getpid());
    ASSERT_EQ(write_file(path.c_str(), "content", 7), 0);
    auto check = [](char *text) {
        EXPECT_STREQ(text, "content");
        free(text);
    };
    walk({
        maker<char>("lib_strdup", 1, [] { return lib_strdup("content"); }, check),
        maker<char>("read_file_to_buf", 1, [] { return read_file_to_buf(path.c_str()); }, check),
        maker<char>("read_file_fixbytes_to_buf", 1,
                    [] { return static_cast<char *>(read_file_fixbytes_to_buf(path.c_str(), 8)); }, check),
    });
    remove(path.c_str());
}

// String buffers do not report running out of memory: the process stops
// with the assertion naming the operation.
TEST(AllocFailureDeathTest, StringBuffersStopTheProcess)
{
    EXPECT_DEATH(failing_nth(1, [] { buffer_init(); }),
                 "conhelper/buffer:[0-9]+: buffer_init: Assertion `b' failed");
    EXPECT_DEATH(
        {
            buffer *b = buffer_init();
            buffer_copy_string(b, "abc");
            const std::string more(100, 'x');
            failing_nth(1, [&] { buffer_append_string(b, more.c_str()); });
        },
        "conhelper/buffer:[0-9]+: buffer_prepare_append: Assertion `b->ptr' failed");
}
