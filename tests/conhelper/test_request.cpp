// Request parameters: the query cases, a '%' at the very end, bad input.  Random
// queries and sets against a model of the rules (limits, cutting) are the fuzz target's part.
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

TEST(Request, QueriesRewindAndBadInput)
{
    EXPECT_EQ(Request().parse("a=1&b=2&a=3"), (Params{{"a", "3"}, {"b", "2"}}));
    EXPECT_EQ(Request().parse("flag"), (Params{{"flag", "flag"}}));
    EXPECT_EQ(Request().parse("flag="), (Params{{"flag", "flag"}}));
    EXPECT_EQ(Request().parse("x=%41%2f&y=a+b&e=a=b"), (Params{{"x", "A/"}, {"y", "a+b"}, {"e", "a=b"}}));
    EXPECT_EQ(Request().parse(""), (Params{{"", ""}}));
    EXPECT_EQ(Request().parse("%41=%41&=5&b=%4"), (Params{{"%41", "A"}, {"", ""}, {"b", "%4"}}));  // names stay encoded
    char *exact = static_cast<char *>(malloc(4));  // ASan: nothing read past its terminator
    memcpy(exact, "v=%", 4);
    EXPECT_EQ(Request().parse(exact), (Params{{"v", "%"}}));
    free(exact);
    Request req;
    EXPECT_EQ(req.parse("one=1&two=2"), (Params{{"one", "1"}, {"two", "2"}}));
    EXPECT_EQ(req.r->next(req.r), nullptr);  // stays at the end
    EXPECT_EQ(req.parse().size(), 2u);       // rewind starts over
    // Bad input stores nothing; the records free the caller's texts they
    // hold (the ASan build reports a leak otherwise).
    EXPECT_EQ(req.r->parse(req.r, nullptr) || req.r->parse(nullptr, "a=1") || req.r->set(req.r, nullptr, "v") ||
                  req.r->set(req.r, "n", nullptr) || req.r->find(req.r, nullptr) || req.r->next(nullptr),
              false);
    req.r->rewind(nullptr);
    EXPECT_EQ(req.r->count, 2u);
    request_free(nullptr);
    response_free(nullptr);
    req.r->first = strdup("first");
    req.r->second = strdup("second");
    response_t *resp = response_init();
    resp->body = strdup("body");
    response_free(resp);
}
