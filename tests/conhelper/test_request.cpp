// Request parameters: query parsing, percent-decoding, limits, records.
#include "lc_test.h"

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
    // Parses query (when given), then lists every parameter through rewind
    // and next.
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

    Request req;
    const char *query = "one=1&two=2";
    void *last = req.r->parse(req.r, query);
    EXPECT_EQ(last, req.r->params[1]);  // a new name: the entry itself
    EXPECT_STREQ(query, "one=1&two=2");
    EXPECT_EQ(req.parse(), (Params{{"one", "1"}, {"two", "2"}}));
    EXPECT_EQ(req.r->next(req.r), nullptr);  // stays at the end
    EXPECT_EQ(req.parse().size(), 2u);       // rewind starts over
    EXPECT_EQ(req.r->find(req.r, "tw"), nullptr);
    // An existing name: its value field comes back.
    EXPECT_EQ(req.r->parse(req.r, "two=22"), static_cast<void *>(req.r->params[1]->value));
    EXPECT_STREQ(req.r->find(req.r, "two")->value, "22");
}

TEST(Request, DecodingNeverReadsPastTheValue)
{
    // A '%' without two characters after it stays; an invalid digit is -1.
    EXPECT_EQ(Request().parse("a=50%&b=%4&c=%zz&d=%%41"),
              (Params{{"a", "50%"}, {"b", "%4"}, {"c", "\xef"}, {"d", "\xf4" "1"}}));
    char *exact = static_cast<char *>(malloc(4));  // ASan: nothing read past it
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
    EXPECT_EQ(req.parse(), (Params{{"ok", v63}, {n63, v63}}));
    EXPECT_EQ(req.r->parse(req.r, ("a=1&" + n64).c_str()), nullptr);  // the last one refused
    EXPECT_EQ(req.r->count, 3u);

    std::string name255(255, 'm'), long_value(300, 'w');
    long_value[254] = 'E';
    EXPECT_NE(req.r->set(req.r, name255.c_str(), long_value.c_str()), nullptr);
    EXPECT_EQ(std::string(req.r->find(req.r, name255.c_str())->value), long_value.substr(0, 255));
    EXPECT_EQ(req.r->set(req.r, std::string(256, 'm').c_str(), "v"), nullptr);
    EXPECT_NE(req.r->set(req.r, name255.c_str(), "short"), nullptr);
    EXPECT_EQ(std::string(req.r->find(req.r, name255.c_str())->value, 256),
              "short" + std::string(251, '\0'));  // the old tail is cleared
}

TEST(Request, TableGrowsByEightAndFreeReleasesEverything)
{
    Request req;
    EXPECT_EQ(req.r->kind, 3);
    for (uint32_t i = 1; i <= 9; i++) {
        ASSERT_NE(req.r->set(req.r, ("p" + std::to_string(i)).c_str(), "v"), nullptr);
        EXPECT_EQ(req.r->capacity, i <= 8 ? 8u : 16u);
    }
    // request_free releases the caller's texts too (ASan: no leak).
    req.r->first = strdup("first");
    req.r->second = strdup("second");

    response_t *resp = response_init();
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(resp->kind, 2);
    resp->body = strdup("body");
    response_free(resp);
}

TEST(Request, NullInputsStoreNothing)
{
    Request req;
    EXPECT_EQ(req.r->parse(req.r, nullptr), nullptr);
    EXPECT_EQ(req.r->parse(nullptr, "a=1"), nullptr);
    EXPECT_EQ(req.r->set(req.r, nullptr, "v"), nullptr);
    EXPECT_EQ(req.r->set(req.r, "n", nullptr), nullptr);
    EXPECT_EQ(req.r->find(req.r, nullptr), nullptr);
    EXPECT_EQ(req.r->next(nullptr), nullptr);
    req.r->rewind(nullptr);
    EXPECT_EQ(req.r->count, 0u);
    request_free(nullptr);
    response_free(nullptr);
}
