// Request parameters: the query cases, rewind and next, the caller's texts freed.  Random queries and sets against a
// model of the rules (limits, a '%' at the very end of a text of its exact size, null arguments) are the fuzz
// target's part.
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

TEST(Request, QueriesRewindAndRelease)
{
    EXPECT_EQ(Request().parse("a=1&b=2&a=3"), (Params{{"a", "3"}, {"b", "2"}}));
    EXPECT_EQ(Request().parse("flag"), (Params{{"flag", "flag"}}));
    EXPECT_EQ(Request().parse("flag="), (Params{{"flag", "flag"}}));
    EXPECT_EQ(Request().parse("x=%41%2f&y=a+b&e=a=b"), (Params{{"x", "A/"}, {"y", "a+b"}, {"e", "a=b"}}));
    EXPECT_EQ(Request().parse(""), (Params{{"", ""}}));
    EXPECT_EQ(Request().parse("%41=%41&=5&b=%4"), (Params{{"%41", "A"}, {"", ""}, {"b", "%4"}}));  // names stay encoded
    Request req;
    EXPECT_EQ(req.parse("one=1&two=2"), (Params{{"one", "1"}, {"two", "2"}}));
    EXPECT_EQ(req.r->next(req.r), nullptr);  // stays at the end
    EXPECT_EQ(req.parse().size(), 2u);       // rewind starts over
    // The record frees the caller's texts it holds (the ASan build reports a leak otherwise); a response's body
    // is the fuzz target's part.
    req.r->first = strdup("first");
    req.r->second = strdup("second");
}
