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
// value field of a replaced one, or null, the parameter found by its
// name), untouched query text; after each chunk the parameter count and
// the parameters the chunk set (name, value, place in the table, zeroed
// spare bytes); every few chunks every parameter that way and the table in
// order through rewind/next; at the end all that and every parameter
// through find.
#include "fuzz_input.h"

#include <ctype.h>
#include <string.h>

#include <string_view>

namespace {

struct Param {
    std::string name;
    std::string value;
    bool touched;  // set since the last check
};

// A hex digit's value by its place in the digit row; -1 for any other character.
int hex(char c)
{
    static const char digits[] = "0123456789abcdef";
    const char *at = c != '\0' ? strchr(digits, tolower(static_cast<unsigned char>(c))) : nullptr;
    return at != nullptr ? static_cast<int>(at - digits) : -1;
}

void decode(std::string_view raw, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < raw.size();) {
        if (raw[i] == '%' && i + 2 < raw.size()) {
            out += static_cast<char>((16 * hex(raw[i + 1]) + hex(raw[i + 2])) & 0xff);
            i += 3;
        } else {
            out += raw[i++];
        }
    }
    out.resize(strlen(out.c_str()));
}

// s == v, compared in place: most names differ in length or in their
// first byte, and the sanitizer's checked memcmp would cost every one.
bool same(const std::string &s, std::string_view v)
{
    if (s.size() != v.size())
        return false;
    for (size_t i = 0; i < v.size(); i++)
        if (s[i] != v[i])
            return false;
    return true;
}

// What a set call is expected to return.
enum class Result { refused, added, replaced };

struct Outcome {
    Result result;
    size_t param;  // the model's parameter the result points into
};

struct Model {
    ReusedList<Param> params;     // in insertion order
    std::vector<size_t> touched;  // parameters set since the last check, once each

    void reset()
    {
        params.clear();
        touched.clear();
    }
    void touch(size_t i)
    {
        if (!params[i].touched) {
            params[i].touched = true;
            touched.push_back(i);
        }
    }
    Outcome set(std::string_view name, std::string_view value)
    {
        if (name.size() > 255)
            return {Result::refused, 0};
        std::string_view v = value.substr(0, 255);
        for (size_t i = 0; i < params.size(); i++) {
            Param &p = params[i];
            if (same(p.name, name)) {
                p.value = v;
                touch(i);
                return {Result::replaced, i};
            }
        }
        Param &p = params.add();
        p.name = name;
        p.value = v;
        p.touched = false;
        touch(params.size() - 1);
        return {Result::added, params.size() - 1};
    }
    Outcome segment(std::string_view seg)
    {
        size_t eq = seg.find('=');
        std::string_view name = seg.substr(0, eq);
        if (name.empty())
            return set("", "");
        if (name.size() > 63)
            return {Result::refused, 0};
        std::string_view raw = eq == std::string_view::npos ? std::string_view() : seg.substr(eq + 1);
        if (raw.size() > 63)
            return {Result::refused, 0};
        if (raw.empty())
            return set(name, name);
        static std::string value;  // keeps its storage
        decode(raw, value);
        return set(name, value);
    }
    Outcome parse(std::string_view query)
    {
        size_t from = 0;
        for (size_t amp = query.find('&'); amp != std::string_view::npos; amp = query.find('&', from)) {
            segment(query.substr(from, amp - from));
            from = amp + 1;
        }
        return segment(query.substr(from));
    }
};

void check_result(request_t *req, void *got, const Model &m, const Outcome &o, const char *op)
{
    if (o.result == Result::refused) {
        FUZZ_CHECK(got == nullptr, op);
        return;
    }
    request_param *p = req->find(req, m.params[o.param].name.c_str());
    FUZZ_CHECK(p != nullptr, op);
    FUZZ_CHECK(got == (o.result == Result::added ? static_cast<void *>(p) : static_cast<void *>(p->value)), op);
}

// Parameter i is the one the model has at that place; with `find`, find
// reaches it by its name.
void check_param(request_t *req, const Model &m, size_t i, bool find, const char *op)
{
    const Param &want = m.params[i];
    request_param *p = req->params[i];
    FUZZ_CHECK(p != nullptr && p->name == want.name && p->value == want.value, op);
    FUZZ_CHECK(p->spare[0] == 0 && p->spare[1] == 0 && p->spare[2] == 0, op);
    if (find)
        FUZZ_CHECK(req->find(req, want.name.c_str()) == p, "find");
}

// How much of the table a check looks at.
enum class Look {
    touched,  // the parameters set since the last check
    table,    // every parameter, and the walk through rewind and next
    lookups,  // the same, and find of every parameter
};

// The request's table equals the model's, as far as `look` says.  Every
// find scans the table, so finding every parameter after every chunk would
// cost the square of the parameters: a chunk's check looks at what it set,
// every few chunks the whole table is compared, and at the end of the
// input every parameter is also found by its name.
void check_table(request_t *req, Model &m, Look look, const char *op)
{
    FUZZ_CHECK(req->count == m.params.size(), op);
    if (look == Look::touched) {
        for (size_t i : m.touched)
            check_param(req, m, i, false, op);
    } else {
        req->rewind(req);
        for (size_t i = 0; i < m.params.size(); i++) {
            FUZZ_CHECK(req->next(req) == req->params[i], "next: the parameters in order");
            check_param(req, m, i, look == Look::lookups, op);
        }
        FUZZ_CHECK(req->next(req) == nullptr, "next past the last");
        req->rewind(req);
        FUZZ_CHECK(m.params.empty() || req->next(req) == req->params[0], "rewind");
    }
    for (size_t i : m.touched)
        m.params[i].touched = false;
    m.touched.clear();
}

// After a chunk: what it set, or, every few chunks, the whole table.
Look after_chunk(int chunk)
{
    return fuzz_sweep_due(chunk) ? Look::table : Look::touched;
}

// Slots of fuzz_block: the query or name, and the value of a direct set.
enum { TEXT_BLOCK, VALUE_BLOCK };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    request_t *req = request_init();
    FUZZ_CHECK(req != nullptr && req->kind == 3 && req->count == 0 && req->params == nullptr, "request_init");
    static Model m;  // kept, so that its parameters keep their storage
    m.reset();
    for (int chunks = 0; !in.empty() && chunks < 64; chunks++) {
        std::string_view chunk = in.until_view(0);
        if (!chunk.empty() && chunk[0] == '\x01') {
            auto [name, value] = fuzz_split(chunk.substr(1), '\x02');
            void *got = req->set(req, fuzz_c_text(TEXT_BLOCK, name), fuzz_c_text(VALUE_BLOCK, value));
            check_result(req, got, m, m.set(name, value), "set");
            check_table(req, m, after_chunk(chunks), "set");
            continue;
        }
        // The query text is handed in a block of its exact size, and must
        // come back unchanged.
        char *query = fuzz_c_text(TEXT_BLOCK, chunk);
        void *got = req->parse(req, query);
        check_result(req, got, m, m.parse(chunk), "parse");
        FUZZ_CHECK(fuzz_same_bytes(query, chunk.data(), chunk.size()) && query[chunk.size()] == '\0',
                   "parse leaves the query text alone");
        check_table(req, m, after_chunk(chunks), "parse");
    }
    FUZZ_CHECK(req->parse(req, nullptr) == nullptr && req->set(req, nullptr, "v") == nullptr &&
                   req->set(req, "n", nullptr) == nullptr && req->find(req, nullptr) == nullptr,
               "null arguments");
    check_table(req, m, Look::lookups, "end of input");
    request_free(req);
    request_free(nullptr);
    response_t *resp = response_init();
    FUZZ_CHECK(resp != nullptr && resp->kind == 2 && resp->body == nullptr, "response_init");
    resp->body = static_cast<char *>(malloc(16));
    response_free(resp);
    response_free(nullptr);
    return 0;
}
