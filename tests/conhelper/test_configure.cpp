// Configuration store: bad input, files (unreadable ones, long lines in pieces, the round trip), growth by 8, readers
// racing a writer, a loop callback using its own store.  Line rules, keys too long, changed marks, cut values, filters,
// get with and without room and the text written out, against a model: fuzz/fuzz_configure.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

struct Store {
    configure_store *s = configure_init();
    ~Store() { configure_free(s); }
    std::string get(const std::string &key) const  // "<none>" when get fails
    {
        char out[300];
        return s->get(s, key.c_str(), out, sizeof out) == 0 ? out : "<none>";
    }
    std::vector<std::pair<std::string, std::string>> table() const
    {
        std::vector<std::pair<std::string, std::string>> t;
        for (uint32_t i = 0; i < s->count; i++)
            t.emplace_back(s->entries[i]->key, s->entries[i]->value);
        return t;
    }
};

// This process's file named by tag, holding text.
std::string temp_file(const char *tag, const std::string &text)
{
    const std::string path = "/tmp/lc_conf_" + std::to_string(getpid()) + "_" + tag;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

}  // namespace

TEST(Configure, BadInputIsRefusedAndStoresNothing)
{
    Store st;
    configure_store *s = st.s;
    char out[8] = "x";
    const char *with_null[] = {"alpha", nullptr};
    FILE *read_only = fopen("/dev/null", "r");  // the line cannot be written
    for (int32_t rc : {configure_parse(nullptr, nullptr, "/etc/hostname"), configure_parse_buf(s, nullptr, nullptr),
                       configure_parse_line(nullptr, nullptr, "k = v"), configure_parse_line(s, nullptr, " k = v"),
                       s->set(s, "k", nullptr), s->get(s, nullptr, out, sizeof out), s->get(s, "k", nullptr, 8),
                       s->get(s, "k", out, 0), loop_2_buf(nullptr, "k", "v"), loop_2_conf(nullptr, "k", "v"),
                       loop_2_conf(read_only, "k", "v"), configure_key_IsChanged(s, nullptr)})
        EXPECT_EQ(rc, -1);
    fclose(read_only);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(s->find(s, nullptr), nullptr);
    EXPECT_EQ(s->find(nullptr, "k"), nullptr);
    EXPECT_EQ(config_keys_format(nullptr, 1), nullptr);
    EXPECT_EQ(config_keys_format(with_null, 2), nullptr);
    config_key *no_keys = config_keys_format(nullptr, 0);  // an empty filter
    ASSERT_NE(no_keys, nullptr);
    EXPECT_EQ(no_keys[0].end, 1);
    free(no_keys);
    EXPECT_EQ(s->count, 0u);
    loop(nullptr, loop_2_conf, stdout);
    configure_free(nullptr);
    char *written = nullptr;  // a pair called in by hand, longer than any stored one: its line is cut at 1022
    size_t length = 0;
    FILE *memory = open_memstream(&written, &length);
    EXPECT_EQ(loop_2_conf(memory, std::string(2000, 'k').c_str(), "v"), 0);
    fclose(memory);
    EXPECT_EQ(length, 1022u);
    free(written);
}

// Only a file that cannot be opened gives -1: a directory opens, reads nothing and gives 0.  What loop_2_conf writes
// parses back to the same table; a 600-character line arrives in pieces of 511: the first is cut to 255, the rest
// stores nothing.
TEST(Configure, FilesParseAndRoundTrip)
{
    Store first, second;
    char dir[] = "/tmp/lc_conf_dir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_EQ(configure_parse(first.s, nullptr, dir), 0);
    EXPECT_EQ(rmdir(dir), 0);
    EXPECT_EQ(configure_parse(first.s, nullptr, dir), -1);  // gone: cannot be opened
    EXPECT_EQ(first.s->count, 0u);

    const std::string in = temp_file("in", "name = \"Camera 1\"\nexpr = a=b\nempty =\nlong = " + std::string(600, 'w') +
                                               "\n"),
                      out = temp_file("out", "");
    ASSERT_EQ(configure_parse(first.s, nullptr, in.c_str()), 0);
    FILE *fp = fopen(out.c_str(), "w");
    loop(first.s, loop_2_conf, fp);
    fclose(fp);
    ASSERT_EQ(configure_parse(second.s, nullptr, out.c_str()), 0);
    EXPECT_EQ(second.table(), first.table());
    EXPECT_EQ(first.table(),
              (decltype(first.table()){
                  {"name", "Camera 1"}, {"expr", "a=b"}, {"empty", ""}, {"long", std::string(255, 'w')}}));
    remove(in.c_str());
    remove(out.c_str());
}

// Keys longer than 255 characters are the fuzz model's part; it cannot tell how much the table grows at a time.
TEST(Configure, TheTableGrowsByEight)
{
    Store st;
    for (uint32_t i = 1; i <= 17; i++) {
        ASSERT_EQ(st.s->set(st.s, ("key" + std::to_string(i)).c_str(), "v"), 1);
        EXPECT_EQ(st.s->capacity, (i + 7) / 8 * 8);
    }
}

TEST(Configure, ReadersNeverSeeATornValueWhileTheFileIsReparsed)
{
    const std::string a(255, 'a'), b(255, 'b'), path = temp_file("race", "key = " + a + "\n");
    Store st;
    ASSERT_EQ(configure_parse(st.s, nullptr, path.c_str()), 0);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    auto reader = [&] {
        for (; !done; reads++, std::this_thread::yield()) {  // readers are preferred: let the writer in
            const std::string value = st.get("key");
            torn += value != a && value != b;
        }
    };
    std::thread readers[] = {std::thread(reader), std::thread(reader), std::thread(reader)};
    EXPECT_TRUE(lc_test::wait_until([&] { return reads > 0; }));
    for (int r = 1; r <= (lc_test::under_emulation() ? 40 : 150); r++)
        EXPECT_EQ(configure_parse(st.s, nullptr, temp_file("race", "key = " + (r % 2 ? b : a) + "\n").c_str()), 0);
    done = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(torn, 0);
    remove(path.c_str());
}

// A loop callback must not use its own store.  Debug builds stop there (the broken contract); other builds let it
// read, since the loop's write lock is the thread's own, and the loop keeps that lock until it ends.
TEST(Configure, LoopCallbackUsingItsOwnStore)
{
    Store st;
    ASSERT_EQ(st.s->set(st.s, "a", "1"), 1);
    ASSERT_EQ(st.s->set(st.s, "b", "2"), 1);
    struct Seen {
        const Store *st;
        std::string values;
        std::vector<int> writer_refused;  // what another thread's try of the write lock gave, per call
    } seen{&st, "", {}};
    const configure_loop_cb reads_own_store = [](void *arg, const char *key, const char *) -> int32_t {
        Seen *s = static_cast<Seen *>(arg);
        s->values += s->st->get(key);
        std::thread([s] {
            const int rc = pthread_rwlock_trywrlock(&s->st->s->lock);
            if (rc == 0)
                pthread_rwlock_unlock(&s->st->s->lock);
            s->writer_refused.push_back(rc);
        }).join();
        return 0;
    };
#ifndef NDEBUG
    EXPECT_DEATH(loop(st.s, reads_own_store, &seen), "Assertion .*failed");
#else
    loop(st.s, reads_own_store, &seen);
    EXPECT_EQ(seen.values, "12");
    EXPECT_EQ(seen.writer_refused, (std::vector<int>{EBUSY, EBUSY}));
#endif
    EXPECT_EQ(st.s->set(st.s, "c", "3"), 1);  // the store works on
}
