// Trace output: syslog records, time stamp, output_hook, hex dump.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <stdarg.h>
#include <string>
#include <syslog.h>
#include <vector>

// Link-time seam: the library's calls to syslog land here instead of libc.
struct SyslogRecord {
    int priority;
    std::string text;
};
static std::mutex syslog_mutex;
static std::vector<SyslogRecord> syslog_records;

static void record_syslog(int priority, const char *fmt, va_list ap)
{
    char text[2048];
    vsnprintf(text, sizeof text, fmt, ap);
    std::lock_guard<std::mutex> lock(syslog_mutex);
    syslog_records.push_back({priority, text});
}

extern "C" void syslog(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_syslog(priority, fmt, ap);
    va_end(ap);
}

extern "C" void __syslog_chk(int priority, int, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_syslog(priority, fmt, ap);
    va_end(ap);
}

class Trace : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = dbgout_profile;
        dbgout_profile.output_hook = nullptr;
        dbgout_profile.time_enable = 0;
        std::lock_guard<std::mutex> lock(syslog_mutex);
        syslog_records.clear();
    }
    void TearDown() override { dbgout_profile = saved_; }
    static std::vector<SyslogRecord> records()
    {
        std::lock_guard<std::mutex> lock(syslog_mutex);
        return syslog_records;
    }
    static std::vector<size_t> piece_lengths()
    {
        std::vector<size_t> out;
        for (const SyslogRecord &r : records())
            out.push_back(r.text.size());
        return out;
    }
    dbgout_profile_t saved_;
};

TEST(TraceDefaults, ProfileHoldsItsLoadTimeValues)
{
    EXPECT_EQ(dbgout_profile.lib_level, 6);
    EXPECT_EQ(dbgout_profile.para_level, 6);
    EXPECT_EQ(dbgout_profile.cc_level, 6);
    EXPECT_EQ(dbgout_profile.visca_level, 6);
    EXPECT_EQ(dbgout_profile.net_level, 6);
    EXPECT_EQ(dbgout_profile.module_level, 6);
    EXPECT_EQ(dbgout_profile.mpp_level, 6);
    EXPECT_EQ(dbgout_profile.spare_level, 6);
    EXPECT_EQ(dbgout_profile.time_enable, 0);
    EXPECT_EQ(dbgout_profile.output_hook, nullptr);
}

TEST_F(Trace, SyslogPiecesOf160WithoutALoneLastCharacter)
{
    struct Case {
        size_t length;
        std::vector<size_t> pieces;
    } cases[] = {
        {0, {0}},     {1, {1}},
        {160, {160}}, {161, {160}},       // the 161st character is not sent
        {162, {160, 2}}, {321, {160, 160}}, {322, {160, 160, 2}},
        {5000, {160, 160, 160, 160, 160, 160, 63}},  // cut at 1023
    };
    for (const Case &c : cases) {
        syslog_records.clear();
        std::string text(c.length, 'x');
        for (size_t i = 0; i < c.length; i++)
            text[i] = static_cast<char>('a' + i % 26);
        xel_traceout(4, "%s", text.c_str());
        EXPECT_EQ(piece_lengths(), c.pieces) << "length " << c.length;
        std::string joined;
        for (const SyslogRecord &r : records()) {
            EXPECT_EQ(r.priority, 4);
            joined += r.text;
        }
        EXPECT_EQ(joined, text.substr(0, joined.size()));
    }
}

TEST_F(Trace, PercentInTheTextIsPrintedNotInterpreted)
{
    xel_traceout(6, "%s", "100%s %d%%");
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].text, "100%s %d%%");
}

TEST_F(Trace, TimeStampPrecedesTheTagAndShrinksTheRoom)
{
    dbgout_profile.time_enable = 1;
    dbgout_profile.output_hook = nullptr;
    xel_traceout(6, "[lib %s +%-4d]no data yet\n\n", "fifo_handle", 57);
    ASSERT_EQ(records().size(), 1u);
    EXPECT_TRUE(std::regex_match(records()[0].text,
                                 std::regex("[0-5][0-9]\\.[0-9]{3}\\[lib fifo_handle \\+57  \\]no data yet\n\n")))
        << records()[0].text;

    syslog_records.clear();
    xel_traceout(6, "%s", std::string(2000, 'y').c_str());
    // 6 characters of stamp and 1017 of message: 1023 in all.
    EXPECT_EQ(piece_lengths(), (std::vector<size_t>{160, 160, 160, 160, 160, 160, 63}));
}

TEST_F(Trace, HookReceivesTheWholeTextOnceAndSyslogNothing)
{
    lc_test::TraceCapture capture;
    std::string long_text(400, 'z');
    EXPECT_EQ(xel_traceout(3, "%s|%d", long_text.c_str(), 7), 0);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].text, long_text + "|7");
    EXPECT_TRUE(records().empty());
}

TEST_F(Trace, GateMacroTagsAndFiltersByModuleLevel)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    dbgout_profile.cc_level = 7;
    int evaluated = 0;
    XEL_TRACE(lib, 7, "hidden %d\n", ++evaluated);  // gate closed: no evaluation
    XEL_TRACE(lib, 6, "shown\n");
    XEL_TRACE(cc, 7, "cc %s\n", "debug");
    EXPECT_EQ(evaluated, 0);
    auto texts = capture.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_TRUE(std::regex_match(texts[0], std::regex("\\[lib TestBody \\+[0-9]+ *\\]shown\n")));
    EXPECT_TRUE(std::regex_match(texts[1], std::regex("\\[cc TestBody \\+[0-9]+ *\\]cc debug\n")));
    // The line number is padded to four columns.
    EXPECT_EQ(texts[0].find("]shown"), std::string("[lib TestBody +").size() + 4);
}

TEST_F(Trace, RawDumpListsAtMost32BytesAndTheFullLength)
{
    lc_test::TraceCapture capture;
    const unsigned char two[] = {0x01, 0xAB};
    unsigned char forty[40];
    for (int i = 0; i < 40; i++)
        forty[i] = static_cast<unsigned char>(i);
    std::string expected40 = "blk [len:40],data:";
    for (int i = 0; i < 32; i++) {
        char item[8];
        snprintf(item, sizeof item, "0x%02x,", i);
        expected40 += item;
    }

    xel_traceout_raw(6, "rx", two, 2);
    xel_traceout_raw(6, "none", two, 0);
    xel_traceout_raw(6, "blk", forty, 40);
    xel_traceout_raw(6, nullptr, nullptr, 5);  // bad input: no crash, no bytes
    xel_traceout_raw(6, "neg", two, -3);
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{
                                   "rx [len:2],data:0x01,0xab,",
                                   "none [len:0],data:",
                                   expected40,
                                   " [len:5],data:",
                                   "neg [len:-3],data:",
                               }));
}

TEST_F(Trace, NullFormatEmitsNothing)
{
    lc_test::TraceCapture capture;
    const char *null_format = nullptr;
    EXPECT_EQ(xel_traceout(6, null_format), 0);
    EXPECT_TRUE(capture.lines().empty());
}
