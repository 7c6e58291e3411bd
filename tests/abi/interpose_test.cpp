// The library inside a process with its own definitions under the library's names (interpose_fakes.cpp; calling one
// ends the test): timers, pipe commands, traces, rings, the string buffer and the configuration store work, and
// dbgout_profile stays one record that the process and the library both read and write.
#include "started_library.h"

#include <stdlib.h>

class OwnDefinitions : public StartedLibrary {};

// A program with its own DelayQueue::synchronize() and handleAlarm() used to see a fixed-period task never run.  The
// library writes the process's record (a level command) and reads it (cc_level gates the help listing).
TEST_F(OwnDefinitions, TimersAndPipeCommandsShareTheProcesssRecord)
{
    static std::atomic<int> ticks{0};
    int token = add_fixperiod_task([](void *) { ticks++; }, nullptr, 0, 50000);
    ASSERT_GT(token, 0);
    EXPECT_TRUE(lc_test::wait_until([] { return ticks >= 4; })) << ticks;
    EXPECT_EQ(remove_task(&token), 0);

    ASSERT_TRUE(command("lib_level=debug"));
    EXPECT_EQ(dbgout_profile.lib_level, 7);
    for (int cc_level : {3, 6}) {
        dbgout_profile.cc_level = cc_level;
        ASSERT_TRUE(command("help=1"));
        EXPECT_EQ(traced_by("fifo_print_debug").empty(), cc_level < 6) << cc_level;
    }
}

// Functions that reach other exported functions inside the library.
TEST(OwnDefinitionsNotStarted, HelpersRingBufferAndStoreUseTheLibrarysParts)
{
    char *copy = lib_strdup("abc");
    EXPECT_STREQ(copy, "abc");
    free(copy);
    EXPECT_EQ(lib_system("exit 3"), 0);
    EXPECT_EQ(trace_ratelimit(), 1);

    ring_buf_t rb;
    const int in = 7;
    ASSERT_EQ(ring_buf_init(&rb, 2, sizeof in), 1);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(ring_buf_write(&rb, &in), i < 2) << i;  // the third finds it full
    ring_buf_free(&rb);

    char abc[] = "abc";
    const buffer src = {abc, 4, 4};
    buffer *b = buffer_init_buffer(&src);
    ASSERT_NE(b, nullptr);
    buffer_append_int(b, 42);
    buffer_append_string_buffer(b, &src);
    EXPECT_STREQ(b->ptr, "abc42abc");
    buffer_free(b);

    configure_store *cfg = configure_init();
    ASSERT_NE(cfg, nullptr);
    char text[] = "name = \"cam\"\nrate = 25\n";
    EXPECT_EQ(configure_parse_buf(cfg, nullptr, text), 0);
    char value[16] = "", lines[64] = "";
    EXPECT_EQ(cfg->get(cfg, "name", value, sizeof value), 0);
    EXPECT_STREQ(value, "cam");
    config_textbuf tb = {lines, sizeof lines, 0, 0};
    cfg->loop(cfg, loop_2_buf, &tb);
    EXPECT_STREQ(lines, "name = \"cam\"\nrate = \"25\"\n");
    configure_free(cfg);
}
