// Configuration store: line kinds, changed marks, limits, filters, writing out, bad input, readers racing a
// writer.  Random texts against a model of the line rules are the fuzz target's part.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <errno.h>
#include <fstream>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

using Table = std::vector<std::pair<std::string, std::string>>;

struct Store {
    configure_store *s = configure_init();
    ~Store() { configure_free(s); }
    // The value of key, or "<none>" when get fails.
    std::string get(const std::string &key, int32_t outsize = 300) const
    {
        std::vector<char> out(static_cast<size_t>(outsize));
        return s->get(s, key.c_str(), out.data(), outsize) == 0 ? out.data() : "<none>";
    }
    // Parses text (when given); the table after it.
    Table table(std::string text = "", const config_key *filter = nullptr) const
    {
        EXPECT_EQ(text.empty() ? 0 : configure_parse_buf(s, filter, &text[0]), 0);
        Table t;
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

// Lines of every kind; bad input gives -1 and stores nothing.
TEST(Configure, LineKindsAndBadInput)
{
    Store st;
    EXPECT_EQ(st.table("# name = comment\n\n  indented = no\n9lives = no\n\"q\" = no\nletters\n"
                       "name = \"Camera 1\"\r\na=b=c\nempty =\nmode = \"on\" # not a comment\n"),
              (Table{{"name", "Camera 1"}, {"a", "b=c"}, {"empty", ""}, {"mode", "on\" # not a comment"}}));
    char out[8] = "x";
    EXPECT_EQ(configure_parse(nullptr, nullptr, "/etc/hostname"), -1);
    EXPECT_EQ(configure_parse(st.s, nullptr, "/nonexistent/lc_conf"), -1);
    EXPECT_EQ(configure_parse_buf(st.s, nullptr, nullptr), -1);
    EXPECT_EQ(configure_parse_line(nullptr, nullptr, "k = v"), -1);
    EXPECT_EQ(st.s->set(st.s, "k", nullptr), -1);
    EXPECT_EQ(st.s->get(st.s, nullptr, out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(loop_2_buf(nullptr, "k", "v"), -1);
    EXPECT_EQ(loop_2_conf(nullptr, "k", "v"), -1);
    FILE *read_only = fopen("/dev/null", "r");  // the line cannot be written
    EXPECT_EQ(loop_2_conf(read_only, "k", "v"), -1);
    fclose(read_only);
    char *written = nullptr;  // a pair called in by hand, longer than any stored one: its line is cut at 1022
    size_t length = 0;
    FILE *memory = open_memstream(&written, &length);
    EXPECT_EQ(loop_2_conf(memory, std::string(2000, 'k').c_str(), "v"), 0);
    fclose(memory);
    EXPECT_EQ(length, 1022u);
    free(written);
    EXPECT_EQ(st.s->get(st.s, "name", nullptr, 8), -1);
    EXPECT_EQ(st.s->get(st.s, "name", out, 0), -1);
    EXPECT_EQ(st.s->find(st.s, nullptr), nullptr);
    EXPECT_EQ(st.s->find(nullptr, "name"), nullptr);
    EXPECT_EQ(config_keys_format(nullptr, 1), nullptr);
    config_key *no_keys = config_keys_format(nullptr, 0);  // an empty filter
    ASSERT_NE(no_keys, nullptr);
    EXPECT_EQ(no_keys[0].end, 1);
    free(no_keys);
    EXPECT_EQ(st.s->count, 4u);
    loop(nullptr, loop_2_conf, stdout);
    configure_free(nullptr);
}

// Only a file that cannot be opened gives -1: one that opens but cannot be read (a directory) gives 0 and stores
// nothing.  A line is a setting, 0, even when the store refuses its key as longer than 255 characters.
TEST(Configure, ResultsOfAnUnreadableFileAndOfARefusedKey)
{
    Store st;
    char dir[] = "/tmp/lc_conf_dir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_EQ(configure_parse(st.s, nullptr, dir), 0);
    EXPECT_EQ(rmdir(dir), 0);
    EXPECT_EQ(configure_parse(st.s, nullptr, dir), -1);  // gone: cannot be opened
    EXPECT_EQ(st.s->count, 0u);

    const std::string longest(255, 'k'), too_long(256, 'k');
    EXPECT_EQ(configure_parse_line(st.s, nullptr, (too_long + " = v").c_str()), 0);
    EXPECT_EQ(st.s->count, 0u);  // refused all the same
    EXPECT_EQ(st.s->set(st.s, too_long.c_str(), "v"), -1);
    EXPECT_EQ(st.s->find(st.s, too_long.c_str()), nullptr);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, (longest + " = v").c_str()), 0);
    EXPECT_EQ(st.get(longest), "v");
    EXPECT_EQ(configure_parse_line(st.s, nullptr, " k = v"), -1);  // not a setting
    EXPECT_EQ(st.s->count, 1u);
}

// A set of a new key marks nothing, a change marks, the same value clears the mark; values are cut to 255 characters;
// the table grows by 8 slots.  Key limits and get without room follow the fuzz target's model.
TEST(Configure, SetMarksChangesCutsLongValuesAndGrowsByEight)
{
    Store st;
    std::string marks;  // of each set: its result, then the entry's mark
    for (const char *value : {"v1", "v2", "v2", "v"}) {
        const int32_t rc = st.s->set(st.s, "k", value);
        marks += std::to_string(rc) + std::to_string(st.s->find(st.s, "k")->changed) + " ";
    }
    EXPECT_EQ(marks, "10 11 00 11 ");
    EXPECT_EQ(st.get("k", 2), "v");  // the old tail is gone
    std::string long_value(300, 'x');
    long_value[254] = 'E';
    EXPECT_EQ(st.s->set(st.s, "long", long_value.c_str()), 1);
    EXPECT_EQ(st.get("long", 256), long_value.substr(0, 255));
    EXPECT_EQ(st.s->set(st.s, "long", long_value.c_str()), 0);  // same once cut
    for (uint32_t i = 3; i <= 17; i++) {
        ASSERT_EQ(st.s->set(st.s, ("key" + std::to_string(i)).c_str(), "v"), 1);
        EXPECT_EQ(st.s->capacity, (i + 7) / 8 * 8);
    }
    EXPECT_EQ(st.get("k") + st.get("key17"), "vv");
}

TEST(Configure, FilterStoresOnlyItsKeysAndReportsTheFirstChangeInStoreOrder)
{
    const char *keys[] = {"alpha", "beta"}, *with_null[] = {"alpha", nullptr};
    config_key *filter = config_keys_format(keys, 2);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(config_keys_format(with_null, 2), nullptr);
    Store st;
    EXPECT_EQ(st.table("beta = 1\nalpha = 1\ngamma = 1\nalphabet = 1\n", filter),
              (Table{{"beta", "1"}, {"alpha", "1"}}));
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), -1);  // first stores mark nothing
    st.table("beta = 2\nalpha = 2\n", filter);
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), 1);  // beta comes first in the store
    st.table("beta = 2\nalpha = 3\n", filter);
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), 0);
    EXPECT_EQ(configure_key_IsChanged(st.s, nullptr), -1);
    free(filter);
}

// File -> store -> loop_2_conf -> file -> store gives the same table (a 600-character line arrives in pieces of 511:
// the first is cut to 255, the rest stores nothing); loop_2_buf skips the lines that do not fit.  The exact text
// written is checked against a model by the fuzz target.
TEST(Configure, WritingOutRoundTripsAndSkipsLinesThatDoNotFit)
{
    const std::string in = temp_file("in", "name = \"Camera 1\"\nip=10.0.0.2\nexpr = a=b\nempty =\nlong = " +
                                               std::string(600, 'w') + "\n"),
                      out = temp_file("out", "");
    Store first, second;
    ASSERT_EQ(configure_parse(first.s, nullptr, in.c_str()), 0);
    FILE *fp = fopen(out.c_str(), "w");
    loop(first.s, loop_2_conf, fp);
    fclose(fp);
    ASSERT_EQ(configure_parse(second.s, nullptr, out.c_str()), 0);
    EXPECT_EQ(second.table(), first.table());
    EXPECT_EQ(first.table().back(), Table::value_type("long", std::string(255, 'w')));  // the fifth and last
    remove(in.c_str());
    remove(out.c_str());
    char text[46] = "";  // used + length must stay below size: 18 + 16 + 11 fit, the expr line does not
    config_textbuf tb = {text, sizeof text, 0, 0};
    loop(first.s, loop_2_buf, &tb);
    EXPECT_STREQ(text, "name = \"Camera 1\"\nip = \"10.0.0.2\"\nempty = \"\"\n");
    EXPECT_EQ(tb.status, -1);
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
