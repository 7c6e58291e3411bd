// lib_trim and trim: the same stripping under two names.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <string>

using TrimFn = char *(*)(char *, const char *);

class Trim : public ::testing::TestWithParam<TrimFn> {
protected:
    std::string run(std::string text, const char *set = nullptr)
    {
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        char *result = GetParam()(buf.data(), set);
        EXPECT_EQ(result, buf.data());  // always the pointer passed in
        return std::string(result);
    }
};

TEST_P(Trim, DefaultSetStripsWhiteSpaceAndQuotesAtBothEnds)
{
    EXPECT_EQ(run("  \"word\"\r\n"), "word");
    EXPECT_EQ(run("\t\v\f value with \"inner\" quotes \n"), "value with \"inner\" quotes");
    EXPECT_EQ(run("\"Camera 1\""), "Camera 1");
    EXPECT_EQ(run("plain"), "plain");
    EXPECT_EQ(run("lead"), "lead");
    EXPECT_EQ(run("   lead"), "lead");
    EXPECT_EQ(run("trail   "), "trail");
}

TEST_P(Trim, AllSetCharactersOrEmptyGiveEmpty)
{
    EXPECT_EQ(run(" \t\"\r\n\" "), "");
    EXPECT_EQ(run(""), "");
}

TEST_P(Trim, CustomSetStripsOnlyItsCharacters)
{
    EXPECT_EQ(run("xx a b xx", "x"), " a b ");
    EXPECT_EQ(run("xxxx", "x"), "");
    EXPECT_EQ(run("  keep  ", "x"), "  keep  ");
    EXPECT_EQ(run("abcXcba", "abc"), "X");
    EXPECT_EQ(run("anything", ""), "anything");
}

TEST_P(Trim, NullTextGivesNull)
{
    EXPECT_EQ(GetParam()(nullptr, nullptr), nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothNames, Trim, ::testing::Values(&lib_trim, &trim),
                         [](const ::testing::TestParamInfo<TrimFn> &info) {
                             return info.index == 0 ? std::string("lib_trim") : std::string("trim");
                         });
