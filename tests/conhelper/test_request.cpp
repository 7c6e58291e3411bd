// Request parameters: query parsing, percent-decoding, limits, records.
#include "lc_test.h"
#include "alloc_seam.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

struct Request {
    request_t *r = request_init();
    ~Request() { request_free(r); }
    // Every parameter through rewind and next, in order.
    Params all() const
    {
        Params out;
        r->rewind(r);
        for (request_param *p = r->next(r); p != nullptr; p = r->next(r))
            out.emplace_back(p->name, p->value);
        return out;
    }
    Params parse(const char *query) const
    {
        r->parse(r, query);
        return all();
    }
};

}  // namespace

TEST(Request, QueriesGiveOrderedDecodedParameters)
{
    EXPECT_EQ(Request().parse("a=1&b=2&a=3"), (Params{{"a", "3"}, {"b", "2"}}));
    EXPECT_EQ(Request().parse("flag"), (Params{{"flag", "flag"}}));
    EXPECT_EQ(Request().parse("flag="), (Params{{"flag", "flag"}}));
    EXPECT_EQ(Request().parse("x=%41%2f&y=a+b"), (Params{{"x", "A/"}, {"y", "a+b"}}));
    EXPECT_EQ(Request().parse(""), (Params{{"", ""}}));
    EXPECT_EQ(Request().parse("f&g=&h=%2B&e=a=b"),
              (Params{{"f", "f"}, {"g", "g"}, {"h", "+"}, {"e", "a=b"}}));
    EXPECT_EQ(Request().parse("%41=%41"), (Params{{"%41", "A"}}));  // names stay encoded
    EXPECT_EQ(Request().parse("=5&k=v"), (Params{{"", ""}, {"k", "v"}}));

    // rewind and next, and a second rewind starting over.
    Request req;
    const char *query = "one=1&two=2";
    void *last = req.r->parse(req.r, query);
    EXPECT_STREQ(query, "one=1&two=2");
    ASSERT_EQ(req.r->count, 2u);
    EXPECT_EQ(last, req.r->params[1]);  // a new parameter: the entry itself
    req.r->rewind(req.r);
    EXPECT_EQ(req.r->next(req.r), req.r->params[0]);
    EXPECT_EQ(req.r->next(req.r), req.r->params[1]);
    EXPECT_EQ(req.r->next(req.r), nullptr);
    EXPECT_EQ(req.r->next(req.r), nullptr);
    EXPECT_EQ(req.all().size(), 2u);
    EXPECT_EQ(req.r->find(req.r, "two"), req.r->params[1]);
    EXPECT_EQ(req.r->find(req.r, "tw"), nullptr);
    // An existing name: its value field comes back.
    EXPECT_EQ(req.r->parse(req.r, "two=22"), static_cast<void *>(req.r->params[1]->value));
    EXPECT_STREQ(req.r->params[1]->value, "22");
}

TEST(Request, DecodingNeverReadsPastTheValue)
{
    // A '%' without two characters after it stays; an invalid digit is -1.
    EXPECT_EQ(Request().parse("a=50%&b=%4&c=%zz&d=%g1&e=%%41"),
              (Params{{"a", "50%"},
                      {"b", "%4"},
                      {"c", std::string(1, static_cast<char>(239))},
                      {"d", std::string(1, static_cast<char>(0xf1))},
                      {"e", "\xf4" "1"}}));
    // ASan checks that the last segment, read straight from a text that ends
    // right after the '%', is not read beyond.
    char *exact = static_cast<char *>(malloc(4));
    memcpy(exact, "v=%", 4);
    EXPECT_EQ(Request().parse(exact), (Params{{"v", "%"}}));
    free(exact);
}

TEST(Request, OverLongPartsAreRefusedAndValuesCut)
{
    std::string n63(63, 'n'), n64(64, 'n'), v63(63, 'v'), v64(64, 'v');
    Request req;
    std::string query = n64 + "=1&" + n63 + "=" + v64 + "&ok=" + v63 + "&" + n63 + "=" + v63;
    EXPECT_NE(req.r->parse(req.r, query.c_str()), nullptr);
    EXPECT_EQ(req.all(), (Params{{"ok", v63}, {n63, v63}}));
    EXPECT_EQ(req.r->parse(req.r, ("a=1&" + n64).c_str()), nullptr);  // last one refused
    EXPECT_EQ(req.r->count, 3u);

    std::string name255(255, 'm'), long_value(300, 'w');
    long_value[254] = 'E';
    EXPECT_NE(req.r->set(req.r, name255.c_str(), long_value.c_str()), nullptr);
    EXPECT_EQ(std::string(req.r->find(req.r, name255.c_str())->value), long_value.substr(0, 255));
    EXPECT_EQ(req.r->set(req.r, std::string(256, 'm').c_str(), "v"), nullptr);
    EXPECT_NE(req.r->set(req.r, name255.c_str(), "short"), nullptr);
    EXPECT_STREQ(req.r->find(req.r, name255.c_str())->value, "short");  // old tail cleared
    EXPECT_EQ(req.r->find(req.r, name255.c_str())->value[6], '\0');
}

TEST(Request, TableGrowsByEightAndRecordsStartAsStated)
{
    Request req;
    EXPECT_EQ(req.r->kind, 3);
    EXPECT_EQ(req.r->params, nullptr);
    EXPECT_EQ(req.r->first, nullptr);
    EXPECT_EQ(req.r->second, nullptr);
    for (int i = 1; i <= 9; i++) {
        std::string name = "p" + std::to_string(i);
        ASSERT_NE(req.r->set(req.r, name.c_str(), "v"), nullptr);
        EXPECT_EQ(req.r->capacity, i <= 8 ? 8u : 16u);
    }
    // request_free releases the caller's texts too (ASan: no leak).
    req.r->first = strdup("first");
    req.r->second = strdup("second");

    response_t *resp = response_init();
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(resp->kind, 2);
    EXPECT_EQ(resp->body, nullptr);
    resp->body = strdup("body");
    response_free(resp);
}

TEST(Request, FailedGrowthLeavesTheRecordAsItWas)
{
    Request req;
    lc_test::fail_next_reallocs(1);
    EXPECT_EQ(req.r->parse(req.r, "a=1"), nullptr);
    EXPECT_EQ(req.r->count, 0u);
    EXPECT_EQ(req.r->capacity, 0u);
    EXPECT_EQ(req.r->params, nullptr);
    EXPECT_EQ(req.parse("a=1&b=2"), (Params{{"a", "1"}, {"b", "2"}}));
}

TEST(Request, NullInputsStoreNothing)
{
    Request req;
    EXPECT_EQ(req.r->parse(req.r, nullptr), nullptr);
    EXPECT_EQ(req.r->parse(nullptr, "a=1"), nullptr);
    EXPECT_EQ(req.r->set(req.r, nullptr, "v"), nullptr);
    EXPECT_EQ(req.r->set(req.r, "n", nullptr), nullptr);
    EXPECT_EQ(req.r->find(req.r, nullptr), nullptr);
    EXPECT_EQ(req.r->find(nullptr, "a"), nullptr);
    EXPECT_EQ(req.r->next(nullptr), nullptr);
    req.r->rewind(nullptr);
    EXPECT_EQ(req.r->count, 0u);
    request_free(nullptr);
    response_free(nullptr);
}
