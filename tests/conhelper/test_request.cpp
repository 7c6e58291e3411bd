// Request parameters: a query read back through rewind and next, the caller's texts released with the record.
// Splitting, decoding, limits, set and find against a model of the rules: fuzz/fuzz_request.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

TEST(Request, QueryReadBackInOrderAndTheCallersTextsReleased)
{
    request_t *r = request_init();
    r->parse(r, "a=1&b=2&a=3&flag&x=%41%2f&%41=a+b&e=");
    std::string listed;
    r->rewind(r);
    for (request_param *p = r->next(r); p != nullptr; p = r->next(r))
        listed += std::string(p->name) + ":" + p->value + " ";
    EXPECT_EQ(listed, "a:3 b:2 flag:flag x:A/ %41:a+b e:e ");
    EXPECT_EQ(r->next(r), nullptr);  // stays at the end
    r->rewind(r);
    EXPECT_STREQ(r->next(r)->name, "a");
    r->first = strdup("first");  // released with the record: the ASan build reports a leak otherwise
    r->second = strdup("second");
    request_free(r);
}
