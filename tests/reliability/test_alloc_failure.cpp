// Allocation failures: every function that allocates is walked over its
// failure points N = 1, 2, ...: each gives the documented result and leaves
// the object as it was and usable, or nothing behind (ASan reports leaks).
// The allocator of a static copy of the library is wrapped at link time; only
// the arming thread counts, so workers never move the count.
#include "../lib_common/started_library.h"

#include <functional>
#include <memory>
#include <new>
#include <stdio.h>

using lc_test::wait_until;

static thread_local int fail_at = 0, seen = 0;  // fail_at 0: disarmed
static thread_local bool failed = false;

// True for the armed allocation of this thread, which then fails.
static bool fail_this_one()
{
    if (fail_at == 0 || ++seen != fail_at)
        return false;
    return failed = true;
}

// The linker sends the library's calls of name to __wrap_name; __real_name is the original.
#define WRAP(type, name, params, args)             \
    extern "C" type __real_##name params noexcept; \
    extern "C" type __wrap_##name params noexcept { return fail_this_one() ? nullptr : __real_##name args; }
WRAP(void *, malloc, (size_t n), (n))
WRAP(void *, calloc, (size_t count, size_t n), (count, n))
WRAP(void *, realloc, (void *p, size_t n), (p, n))
WRAP(char *, strdup, (const char *s), (s))
#if defined(__LP64__)  // operator new(size_t, const std::nothrow_t &)
WRAP(void *, _ZnwmRKSt9nothrow_t, (size_t n, const std::nothrow_t &tag), (n, tag))
#else
WRAP(void *, _ZnwjRKSt9nothrow_t, (size_t n, const std::nothrow_t &tag), (n, tag))
#endif

namespace {

// Runs call with this thread's nth allocation failing: true when one did.
template <class F> bool failing_nth(int nth, F call)
{
    seen = 0, failed = false, fail_at = nth;
    call();
    fail_at = 0;
    return failed;
}

// Runs call with allocation n failing: a failure must give the result
// refused and leave what unchanged() checks, and the call made again then
// gives done.  True when an allocation failed.
template <class R, class F, class C = void (*)()>
bool refused_then(int nth, F call, R refused, R done, C unchanged = [] {})
{
    R rc{};
    const bool hit = failing_nth(nth, [&] { rc = call(); });
    if (hit) {
        EXPECT_EQ(rc, refused);
        unchanged();
        rc = call();
    }
    EXPECT_EQ(rc, done);
    return hit;
}

// step(n) runs the function with allocation n failing and checks; true when one did.
struct Operation {
    std::string name;
    int least;  // failure points it has at least
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

// A constructor gives null; use tries out and releases the next object made.
template <class T> Operation maker(const char *name, int least, T *(*make)(), void (*use)(T *))
{
    return {name, least, [make, use](int n) {
                T *made = nullptr;
                const bool hit = refused_then(n, [&] { return (made = make()) != nullptr; }, false, true);
                if (made != nullptr)
                    use(made);
                return hit;
            }};
}

void count_up(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

// The value of key in a store or request, "<none>" when it has none.
template <class T> std::string value_of(T *obj, const char *key)
{
    auto *entry = obj->find(obj, key);
    return entry != nullptr ? entry->value : "<none>";
}

// Whether a set slot took the value: 1 from a store, an address from a request.
bool taken(int32_t rc) { return rc == 1; }
bool taken(void *rc) { return rc != nullptr; }

// The set slot of a store or request adding a ninth entry, which grows the
// table: a failure refuses it and leaves the entries as they were.
template <class T> Operation set_growing(const char *name, T *(*make)(), void (*release)(T *))
{
    return {name, 2, [make, release](int n) {
                T *obj = make();
                for (const char *k : {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7"})
                    obj->set(obj, k, "v");
                const bool hit = refused_then(n, [&] { return taken(obj->set(obj, "new", "v")); }, false, true, [&] {
                    EXPECT_EQ(obj->count, 8u);
                    EXPECT_EQ(value_of(obj, "new") + value_of(obj, "k7"), "<none>v");
                });
                EXPECT_EQ(value_of(obj, "new") + value_of(obj, "k0"), "vv");
                release(obj);
                return hit;
            }};
}

// Registrations in the command list (read only; this thread alone adds).
int registrations()
{
    int n = 0;
    for (const fifo_link *l = fifo_queue.link.next; l != nullptr && l != &fifo_queue.link; l = l->next)
        n++;
    return n;
}

}  // namespace

// Queue copies are refused as full and store nothing; a failed ring holds and takes nothing.
TEST(AllocFailure, PoolsQueuesAndRings)
{
    walk({maker<threadpool>("threadpool_create", 4, [] { return threadpool_create(2, 4, 15); },
                            [](threadpool *pool) { EXPECT_EQ(threadpool_destroy(pool), 0); }),
          {"threadpool_add_task", 1, [](int n) {
               threadpool *pool = threadpool_create(0, 1, 15);  // no worker yet: tasks wait
               std::atomic<int> ran{0};
               EXPECT_EQ(threadpool_add_task(pool, count_up, &ran), 0);
               const bool hit = refused_then(n, [&] { return threadpool_add_task(pool, count_up, &ran); }, -1, 0,
                                             [&] { EXPECT_EQ(threadpool_task_size_lock(pool), 1); });
               EXPECT_EQ(threadpool_adjust_limit(pool, 1), 0);
               threadpool_adjust(pool);  // two pending: a worker starts and runs both
               EXPECT_TRUE(wait_until([&] { return ran == 2; }));
               EXPECT_EQ(threadpool_destroy(pool), 0);
               return hit;
           }},
          {"threadpool_add_task_sync", 1, [](int n) {
               threadpool *pool = threadpool_create(1, 1, 15);
               std::atomic<int> ran{0};
               const bool hit =
                   refused_then(n, [&] { return threadpool_add_task_sync(pool, count_up, &ran); }, -1, 0);
               EXPECT_EQ(ran, 1);  // one worker, in order: a queued failure would have run first
               EXPECT_EQ(threadpool_destroy(pool), 0);
               return hit;
           }},
          {"queue_write2", 1, [](int n) {
               auto back = std::make_unique<frame_queue_t>();  // a record fresh for each step
               static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
               static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
               queue_create2(back.get(), 2);
               EXPECT_EQ(queue_write2(&mutex, &cond, back.get(), "first", 6, FRAME_TYPE_AUDIO), LC_QUEUE_OK);
               const bool hit = refused_then(
                   n, [&] { return queue_write2(&mutex, &cond, back.get(), "second", 7, FRAME_TYPE_VIDEO); },
                   LC_QUEUE_FULL, LC_QUEUE_OK, [&] { EXPECT_EQ(queue_length2(back.get()), 1u); });
               EXPECT_EQ(queue_length2(back.get()), 2u);
               queue_clear2(back.get());
               return hit;
           }},
          {"queue_write3", 1, [](int n) {
               auto queue = std::make_unique<block_queue_t>();
               block_queue_t *q = queue.get();
               queue_create3(q, 4);
               EXPECT_EQ(queue_write3(q, "first", 6, 1, 11), LC_QUEUE_OK);
               const bool hit = refused_then(n, [&] { return queue_write3(q, "second", 7, 2, 22); },
                                             LC_QUEUE_FULL, LC_QUEUE_OK, [&] { EXPECT_EQ(queue_length3(q), 1u); });
               EXPECT_EQ(queue_length3(q), 2u);
               queue_clear3(q);
               return hit;
           }},
          {"ring_buf_init", 1, [](int n) {
               ring_buf_t rb;
               const bool hit = refused_then(n, [&] { return ring_buf_init(&rb, 4, 8); }, 0, 1, [&] {
                   EXPECT_EQ(ring_buf_is_empty(&rb) + ring_buf_is_full(&rb), 2);  // holds and takes nothing
                   EXPECT_EQ(ring_buf_write(&rb, "element"), 0);
               });
               EXPECT_EQ(ring_buf_write(&rb, "element"), 1);
               ring_buf_free(&rb);
               return hit;
           }},
          maker<streamq_t>("streamq_alloc", 1, [] { return streamq_alloc(16, 4, 8); }, streamq_free)});
}

// Each failure of the start shows as exactly one of: no pool, no scheduler (the task functions
// refuse), one command table dropped with its trace.  The stop always frees the command tables,
// also those registered after a scheduler that never started.
TEST(AllocFailure, LibraryStartUp)
{
    ASSERT_EQ(lib_common_init(), 0);  // the command list exists from now on
    ASSERT_EQ(lib_common_exit(), 0);
    walk({{"lib_common_init", 8, [](int n) {
               lc_test::TraceCapture capture;
               int rc = 0;
               const bool hit = failing_nth(n, [&] { rc = lib_common_init(); });
               std::atomic<int> ran{0};
               const int token = gpool != nullptr ? add_task(count_up, &ran, 0, 0) : -1;
               const int no_pool = rc == -1 && gpool == nullptr, no_scheduler = gpool != nullptr && token == -1;
               const int dropped = static_cast<int>(capture.count("]command table dropped: no memory\n"));
               EXPECT_EQ(no_pool + no_scheduler + dropped, hit ? 1 : 0);
               EXPECT_TRUE(token < 0 || wait_until([&] { return ran == 1; }));
               EXPECT_EQ(lib_common_exit(), 0);
               EXPECT_EQ(registrations(), 0);
               return hit;
           }}});
}

// Timer entries of every kind (a failure uses up no token) and command
// tables (dropped with their trace), on a started library.
using AllocFailureStarted = StartedLibrary;
TEST_F(AllocFailureStarted, TimerEntriesAndCommandTables)
{
    const std::pair<const char *, int (*)(lc_task_fn, void *, long, long)> kinds[] = {
        {"add_task", add_task}, {"add_fixperiod_task", add_fixperiod_task},
        {"add_fixdelay_task", add_fixdelay_task}, {"add_nodestroy_task", add_nodestroy_task}};
    static std::atomic<int> runs[4];  // outlive every run: the stop joins the workers only after the test
    std::vector<Operation> ops;
    for (int k = 0; k < 4; k++) {
        ops.push_back({kinds[k].first, 1, [add = kinds[k].second, ran = &runs[k]](int n) {
                           const int32_t last = DelayQueueEntry::tokenCounter;
                           int token = last + 1;
                           const bool hit = refused_then(n, [&] { return add(count_up, ran, 3600, 0); }, -1, token,
                                                         [&] { EXPECT_EQ(DelayQueueEntry::tokenCounter, last); });
                           EXPECT_EQ(update_task(token, 0, 1000), 0);
                           EXPECT_TRUE(wait_until([&, before = ran->load()] { return *ran > before; }));
                           EXPECT_EQ(remove_task(&token), 0);
                           return hit;
                       }});
    }
    static std::atomic<int> row_runs{0};
    static const fifo_cmd row[] = {{"walk_row", nullptr, [](const char *, void *) { row_runs++; }, nullptr}};
    ops.push_back({"add_fifo_work", 1, [this](int n) {
                       capture_.clear();
                       const int before = registrations(), was = row_runs;
                       const bool hit = refused_then(n, [&] { add_fifo_work(row, 1); return registrations(); },
                                                     before, before + 1, [&] {
                           EXPECT_EQ(capture_.count("]command table dropped: no memory\n"), 1u);
                       });
                       EXPECT_TRUE(command("walk_row=1"));
                       EXPECT_EQ(row_runs, was + 1);
                       return hit;
                   }});
    walk(ops);
}

// A failed line or segment of a parse is dropped and the parse goes on.
TEST(AllocFailure, TextsConfigurationAndRequests)
{
    static const char *const keys[] = {"a", "bb"};
    static const std::string path = "/tmp/lc_alloc_walk_" + std::to_string(getpid());
    ASSERT_EQ(write_file(path.c_str(), "content", 7), 0);
    static void (*const check)(char *) = [](char *text) { free(text); };
    walk({maker<char>("lib_strdup", 1, [] { return lib_strdup("content"); }, check),
          maker<char>("read_file_to_buf", 1, [] { return read_file_to_buf(path.c_str()); }, check),
          maker<char>("read_file_fixbytes_to_buf", 1,
                      [] { return static_cast<char *>(read_file_fixbytes_to_buf(path.c_str(), 8)); }, check),
          maker<configure_store>("configure_init", 1, configure_init, configure_free),
          maker<config_key>("config_keys_format", 1, [] { return config_keys_format(keys, 2); },
                            [](config_key *filter) { free(filter); }),
          maker<request_t>("request_init", 1, request_init, request_free),
          maker<response_t>("response_init", 1, response_init, response_free),
          set_growing<configure_store>("configure set (new key, table grows)", configure_init, configure_free),
          {"configure_parse_buf", 4, [](int n) {
               configure_store *s = configure_init();
               const bool hit = refused_then(n, [&] {
                   char text[] = "a = 1\nb = \"2\"\n# note\nc=3\n";
                   EXPECT_EQ(configure_parse_buf(s, nullptr, text), 0);
                   return s->count;
               }, 2u, 3u);
               EXPECT_EQ(value_of(s, "a") + value_of(s, "b") + value_of(s, "c"), "123");
               configure_free(s);
               return hit;
           }},
          set_growing<request_t>("request set (new name, table grows)", request_init, request_free),
          {"request parse", 4, [](int n) {
               request_t *req = request_init();
               void *last = nullptr;
               const bool hit = refused_then(n, [&] { last = req->parse(req, "a=1&b=x%20y&c"); return req->count; },
                                             2u, 3u, [&] {
                   EXPECT_EQ(last == nullptr, req->find(req, "c") == nullptr);  // the last segment's entry
               });
               EXPECT_NE(last, nullptr);
               EXPECT_EQ(value_of(req, "a") + value_of(req, "b") + value_of(req, "c"), "1x yc");
               request_free(req);
               return hit;
           }}});
    remove(path.c_str());
}

// String buffers do not report running out of memory: the process stops
// with the assertion naming the operation.
TEST(AllocFailureDeathTest, StringBuffersStopTheProcess)
{
    EXPECT_DEATH(failing_nth(1, [] { buffer_init(); }), "conhelper/buffer:[0-9]+: buffer_init: Assertion `b' failed");
    buffer *b = buffer_init();
    buffer_copy_string(b, "abc");
    const std::string more(100, 'x');
    EXPECT_DEATH(failing_nth(1, [&] { buffer_append_string(b, more.c_str()); }),
                 "conhelper/buffer:[0-9]+: buffer_prepare_append: Assertion `b->ptr' failed");
    buffer_free(b);
}
