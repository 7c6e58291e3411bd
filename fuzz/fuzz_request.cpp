// fuzz_request.cpp - request parsing and percent-decoding against a model
// of the query rules.
//
// Input: chunks separated by NUL bytes, all applied to one request.  A
// chunk starting with 0x01 is a direct set ("name" 0x02 "value"); any other
// is a query text handed to the parse slot.
//
// The model: a query splits at '&'; in each segment the name is the text
// before the first '=' and the value all of the rest.  A segment starting
// with '=' reads as an empty name with an empty value.  A name or raw value
// over 63 characters refuses the segment.  An empty value stands for the
// name itself; any other value is percent-decoded ("%XY" of two following
// characters, a digit that is not hex counting as -1, the byte taken modulo
// 256; a '%' with fewer than two characters after it stays as it is) and
// ends at a decoded NUL.  set cuts values to 255 characters and refuses
// names over 255; a known name keeps its place and takes the new value.
//
// Properties: the result pointer of set and parse (the new parameter, the
// value field of a replaced one, or null), the table in order through
// rewind/next and find, untouched query text and zeroed spare bytes.
#include "fuzz_input.h"

#include <ctype.h>
#include <string.h>

namespace {

struct Param {
    std::string name;
    std::string value;
};

// A hex digit's value by its place in the digit row; -1 for any other character.
int hex(char c)
{
    static const char digits[] = "0123456789abcdef";
    const char *at = c != '\0' ? strchr(digits, tolower(static_cast<unsigned char>(c))) : nullptr;
    return at != nullptr ? static_cast<int>(at - digits) : -1;
}

std::string decoded(const std::string &raw)
{
    std::string out;
    for (size_t i = 0; i < raw.size();) {
        if (raw[i] == '%' && i + 2 < raw.size()) {
            out += static_cast<char>((16 * hex(raw[i + 1]) + hex(raw[i + 2])) & 0xff);
            i += 3;
        } else {
            out += raw[i++];
        }
    }
    return out.substr(0, strlen(out.c_str()));
}

// What a set call is expected to return.
enum class Result { refused, added, replaced };

struct Outcome {
    Result result;
    std::string name;  // whose parameter the result points into
};

struct Model {
    std::vector<Param> params;

    Outcome set(const std::string &name, const std::string &value)
    {
        if (name.size() > 255)
            return {Result::refused, name};
        std::string v = value.substr(0, 255);
        for (Param &p : params) {
            if (p.name == name) {
                p.value = v;
                return {Result::replaced, name};
            }
        }
        params.push_back({name, v});
        return {Result::added, name};
    }
    Outcome segment(const std::string &seg)
    {
        size_t eq = seg.find('=');
        std::string name = seg.substr(0, eq);
        if (name.empty())
            return set("", "");
        if (name.size() > 63)
            return {Result::refused, name};
        std::string raw = eq == std::string::npos ? std::string() : seg.substr(eq + 1);
        if (raw.size() > 63)
            return {Result::refused, name};
        if (raw.empty())
            return set(name, name);
        return set(name, decoded(raw));
    }
    Outcome parse(const std::string &query)
    {
        size_t from = 0;
        for (size_t amp = query.find('&'); amp != std::string::npos; amp = query.find('&', from)) {
            segment(query.substr(from, amp - from));
            from = amp + 1;
        }
        return segment(query.substr(from));
    }
};

void check_result(request_t *req, void *got, const Outcome &o, const char *op)
{
    if (o.result == Result::refused) {
        FUZZ_CHECK(got == nullptr, op);
        return;
    }
    request_param *p = req->find(req, o.name.c_str());
    FUZZ_CHECK(p != nullptr, op);
    FUZZ_CHECK(got == (o.result == Result::added ? static_cast<void *>(p) : static_cast<void *>(p->value)), op);
}

void check_table(request_t *req, const Model &m, const char *op)
{
    FUZZ_CHECK(req->count == m.params.size(), op);
    req->rewind(req);
    for (const Param &want : m.params) {
        request_param *p = req->next(req);
        FUZZ_CHECK(p != nullptr && p->name == want.name && p->value == want.value, op);
        FUZZ_CHECK(p->spare[0] == 0 && p->spare[1] == 0 && p->spare[2] == 0, op);
        FUZZ_CHECK(req->find(req, want.name.c_str()) == p, "find");
    }
    FUZZ_CHECK(req->next(req) == nullptr, "next past the last");
    req->rewind(req);
    FUZZ_CHECK(m.params.empty() || req->next(req) == req->params[0], "rewind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    request_t *req = request_init();
    FUZZ_CHECK(req != nullptr && req->kind == 3 && req->count == 0 && req->params == nullptr, "request_init");
    Model m;
    for (int chunks = 0; !in.empty() && chunks < 64; chunks++) {
        std::string chunk = in.until(0);
        if (!chunk.empty() && chunk[0] == '\x01') {
            size_t sep = chunk.find('\x02');
            std::string name = chunk.substr(1, sep == std::string::npos ? std::string::npos : sep - 1);
            std::string value = sep == std::string::npos ? std::string() : chunk.substr(sep + 1);
            void *got = req->set(req, name.c_str(), value.c_str());
            check_result(req, got, m.set(name, value), "set");
            check_table(req, m, "set");
            continue;
        }
        // The query text is handed in a block of its exact size, and must
        // come back unchanged.
        char *query = static_cast<char *>(malloc(chunk.size() + 1));
        memcpy(query, chunk.c_str(), chunk.size() + 1);
        void *got = req->parse(req, query);
        check_result(req, got, m.parse(chunk), "parse");
        FUZZ_CHECK(chunk == query, "parse leaves the query text alone");
        free(query);
        check_table(req, m, "parse");
    }
    FUZZ_CHECK(req->parse(req, nullptr) == nullptr && req->set(req, nullptr, "v") == nullptr &&
                   req->set(req, "n", nullptr) == nullptr && req->find(req, nullptr) == nullptr,
               "null arguments");
    check_table(req, m, "null arguments");
    request_free(req);
    request_free(nullptr);
    response_t *resp = response_init();
    FUZZ_CHECK(resp != nullptr && resp->kind == 2 && resp->body == nullptr, "response_init");
    resp->body = static_cast<char *>(malloc(16));
    response_free(resp);
    response_free(nullptr);
    return 0;
}
