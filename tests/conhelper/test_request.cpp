// Request parameters: the query cases, a '%' at the very end, limits, bad
// input.  Random queries against a model of the rules, result pointers
// included, are the fuzz target's part.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <string.h>

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

struct Request {
    request_t *r = request_init();
    ~Request() { request_free(r); }
    // Parses query (when given), then lists every parameter through rewind and next.
    Params parse(const char *query = nullptr) const
    {
        if (query != nullptr)
            r->parse(r, query);
        Params out;
        r->rewind(r);
        for (request_param *p = r->next(r); p != nullptr; p = r->next(r))
            out.emplace_back(p->name, p->value);
        return out;
    }
};

}  // namespace

TEST(Request, QueriesGiveOrderedDecodedParameters)
{
    EXPECT_EQ(Request().parse("a=1&b=2&a=3"), (Params{{"a", "3"}, {"b", "2"}}));
    EXPECT_EQ(Request().parse("flag"), (Params{{"flag", "flag"}}));
    EXPECT_EQ(Request().parse("flag="), (Params{{"flag", "flag"}}));
    EXPECT_EQ(Request().parse("x=%41%2f&y=a+b&e=a=b"), (Params{{"x", "A/"}, {"y", "a+b"}, {"e", "a=b"}}));
    EXPECT_EQ(Request().parse(""), (Params{{"", ""}}));
    EXPECT_EQ(Request().parse("%41=%41&=5"), (Params{{"%41", "A"}, {"", ""}}));  // names stay encoded
    EXPECT_EQ(Request().parse("a=50%&b=%4&c=%zz"), (Params{{"a", "50%"}, {"b", "%4"}, {"c", "\xef"}}));
    char *exact = static_cast<char *>(malloc(4));  // ASan: nothing read past its terminator
    memcpy(exact, "v=%", 4);
    EXPECT_EQ(Request().parse(exact), (Params{{"v", "%"}}));
    free(exact);
    Request req;
    EXPECT_EQ(req.parse("one=1&two=2"), (Params{{"one", "1"}, {"two", "2"}}));
    EXPECT_EQ(req.r->next(req.r), nullptr);  // stays at the end
    EXPECT_EQ(req.parse().size(), 2u);       // rewind starts over
}

// Query names and raw values of 64 characters refuse their segment; set
// refuses 256-character names and cuts values to 255, clearing the old tail.
TEST(Request, OverLongPartsAreRefusedAndValuesCut)
{
    const std::string n63(63, 'n'), n64(64, 'n'), v63(63, 'v'), v64(64, 'v'), name255(255, 'm');
    Request req;
    EXPECT_EQ(req.parse((n64 + "=1&" + n63 + "=" + v64 + "&ok=" + v63 + "&" + n63 + "=" + v63).c_str()),
              (Params{{"ok", v63}, {n63, v63}}));
    EXPECT_EQ(req.r->set(req.r, std::string(256, 'm').c_str(), "v"), nullptr);
    EXPECT_NE(req.r->set(req.r, name255.c_str(), std::string(300, 'w').c_str()), nullptr);
    EXPECT_EQ(std::string(req.r->find(req.r, name255.c_str())->value), std::string(255, 'w'));
    EXPECT_NE(req.r->set(req.r, name255.c_str(), "short"), nullptr);
    EXPECT_EQ(std::string(req.r->find(req.r, name255.c_str())->value, 256), "short" + std::string(251, '\0'));
}

// Bad input stores nothing; the records free the caller's texts they hold
// (the ASan build reports a leak otherwise).
TEST(Request, NullInputsStoreNothingAndFreeReleasesTheTexts)
{
    Request req;
    EXPECT_EQ(req.r->parse(req.r, nullptr) || req.r->parse(nullptr, "a=1") || req.r->set(req.r, nullptr, "v") ||
                  req.r->set(req.r, "n", nullptr) || req.r->find(req.r, nullptr) || req.r->next(nullptr),
              false);
    req.r->rewind(nullptr);
    EXPECT_EQ(req.r->count, 0u);
    request_free(nullptr);
    response_free(nullptr);
    req.r->first = strdup("first");
    req.r->second = strdup("second");
    response_t *resp = response_init();
    resp->body = strdup("body");
    response_free(resp);
}
