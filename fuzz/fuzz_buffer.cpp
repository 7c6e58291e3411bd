// fuzz_buffer.cpp - random sequences of buffer_* operations on two buffers
// against a model: the bytes in use (a std::string whose length is `used`)
// and the capacity, which follows the 64-byte rounding rules exactly.
// Sources come from the input, from inside the target buffer itself or from
// inside the other buffer.  After every operation, of the buffer it worked
// on (and of both every few operations and at the end): result, used,
// size, content, size a multiple of 64 and at least used, storage present
// exactly when size is not 0, and both emptiness tests.
#include "fuzz_input.h"

namespace {

struct Model {
    std::string bytes;  // the `used` bytes in use
    size_t size = 0;    // capacity
};

// Smallest multiple of 64 strictly above n.
size_t round64(size_t n)
{
    return (n & ~static_cast<size_t>(63)) + 64;
}

void model_prepare_copy(Model &m, size_t n)
{
    if (m.size == 0 || n > m.size)
        m.size = round64(n);
    m.bytes.clear();
}

void model_prepare_append(Model &m, size_t n)
{
    if (m.size == 0) {
        m.size = round64(n);
        m.bytes.clear();
    } else if (m.bytes.size() + n > m.size) {
        m.size = round64(m.size + n);
    }
}

// Copying text: the bytes and a terminator.
void model_copy_text(Model &m, const std::string &text)
{
    model_prepare_copy(m, text.size() + 1);
    m.bytes.assign(text);
    m.bytes += '\0';
}

// Appending text: the first byte goes over the last byte in use (taken for
// the terminator; an empty buffer counts as holding the empty string).
void model_append_text(Model &m, const std::string &text)
{
    model_prepare_append(m, text.size() + 1);
    if (!m.bytes.empty())
        m.bytes.pop_back();
    m.bytes += text;
    m.bytes += '\0';
}

void model_append_memory(Model &m, const std::string &raw)
{
    if (raw.empty())
        return;
    model_prepare_append(m, raw.size());
    m.bytes += raw;
}

void check(const buffer *b, const Model &m, const char *op)
{
    FUZZ_CHECK(b->used == m.bytes.size(), op);
    FUZZ_CHECK(b->size == m.size, op);
    FUZZ_CHECK((b->ptr == nullptr) == (b->size == 0), op);
    FUZZ_CHECK(b->size % 64 == 0 && b->used <= b->size, op);
    FUZZ_CHECK(m.bytes.empty() || memcmp(b->ptr, m.bytes.data(), m.bytes.size()) == 0, op);
    FUZZ_CHECK(buffer_is_empty(b) == (m.bytes.empty() ? 1 : 0), op);
    FUZZ_CHECK(buffer_string_is_empty(b) == (m.bytes.size() < 2 ? 1 : 0), op);
}

// A source for one operation: a pointer the library reads from, and the
// bytes the model expects it to read.  Heap copies have their exact size so
// that any read past them is caught.
struct Source {
    std::string owned;  // for sources taken from the input
    const char *ptr = nullptr;
    std::string bytes;  // what the operation must take
};

// Picks a source from the input, the target or the other buffer; true when
// it points into a buffer.  Inside a buffer only bytes in use are taken: a
// counted run of them, or (as_string) the text up to a terminator in use.
bool pick_source(FuzzInput &in, buffer *self, buffer *other, bool as_string, Source &src)
{
    uint8_t mode = in.byte() % 3;
    buffer *from = mode == 1 ? self : mode == 2 ? other : nullptr;
    if (from == nullptr || from->used == 0) {
        in.counted_into(src.owned, 255);
        if (as_string)
            src.owned.resize(strlen(src.owned.c_str()));
        src.bytes = src.owned;
        return false;
    }
    size_t off = in.byte() % from->used;
    size_t avail = from->used - off;
    src.ptr = from->ptr + off;
    if (as_string) {
        const void *nul = memchr(src.ptr, '\0', avail);
        if (nul == nullptr) {
            // No terminator in use after off: fall back to input text.
            src.ptr = nullptr;
            in.counted_into(src.owned, 255);
            src.owned.resize(strlen(src.owned.c_str()));
            src.bytes = src.owned;
            return false;
        }
        // A string operation takes the whole text up to the terminator.
        src.bytes.assign(src.ptr, static_cast<const char *>(nul));
        return true;
    }
    size_t len = in.byte();
    src.bytes.assign(src.ptr, len < avail ? len : avail);
    return true;
}

// Heap copy of exactly the source's bytes (plus a terminator for strings).
char *heap_copy(const std::string &s, bool terminated)
{
    char *p = reinterpret_cast<char *>(fuzz_block(0, s.size() + (terminated ? 1 : 0)));
    memcpy(p, s.data(), s.size());
    if (terminated)
        p[s.size()] = '\0';
    return p;
}

// Runs call(pointer, length) on a source picked as above, checks that it
// succeeded, and returns the bytes it must have taken (valid until the next
// call: the source's strings keep their storage from one call to the next).
template <typename Call>
const std::string &with_source(FuzzInput &in, buffer *b, buffer *o, bool as_string, const char *name, Call call)
{
    static Source src;
    src.ptr = nullptr;
    if (pick_source(in, b, o, as_string, src)) {
        FUZZ_CHECK(call(src.ptr, src.bytes.size()) == 0, name);
    } else {
        FUZZ_CHECK(call(heap_copy(src.bytes, as_string), src.bytes.size()) == 0, name);
    }
    return src.bytes;
}

// Storage beyond 32 KiB makes runs slow without covering more: past the
// sanitizer's largest size class every growth maps and unmaps memory.
const size_t size_cap = 1u << 15;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    buffer *bufs[2] = {buffer_init(), buffer_init()};
    static Model models[2];  // kept, so that their strings keep their storage
    for (Model &model : models) {
        model.bytes.clear();
        model.size = 0;
    }
    check(bufs[0], models[0], "buffer_init");

    for (int steps = 0; !in.empty() && steps < 2000; steps++) {
        uint8_t op = in.byte();
        int t = op >> 7;
        buffer *b = bufs[t];
        buffer *o = bufs[1 - t];
        Model &m = models[t];
        Model &mo = models[1 - t];
        if (m.size > size_cap) {
            buffer_reset(b);
            m.bytes.clear();
            m.size = 0;
        }
        const char *name = "?";
        switch (op % 16) {
        case 0:
        case 1: {
            name = "buffer_prepare_copy";
            size_t n = op % 16 == 0 ? in.byte() : in.u16();
            FUZZ_CHECK(buffer_prepare_copy(b, n) == 0, name);
            model_prepare_copy(m, n);
            break;
        }
        case 2:
        case 3: {
            name = "buffer_prepare_append";
            size_t n = op % 16 == 2 ? in.byte() : in.u16();
            FUZZ_CHECK(buffer_prepare_append(b, n) == 0, name);
            model_prepare_append(m, n);
            break;
        }
        case 4: {
            name = "buffer_copy_string";
            model_copy_text(
                m, with_source(in, b, o, true, name, [&](const char *p, size_t) { return buffer_copy_string(b, p); }));
            break;
        }
        case 5: {
            name = "buffer_copy_string_len";
            model_copy_text(m, with_source(in, b, o, false, name,
                                           [&](const char *p, size_t n) { return buffer_copy_string_len(b, p, n); }));
            break;
        }
        case 6: {
            name = "buffer_copy_string_buffer";
            bool self = in.byte() & 1;
            const Model &ms = self ? m : mo;
            static std::string text;  // keeps its storage
            text.assign(ms.bytes, 0, ms.bytes.empty() ? 0 : ms.bytes.size() - 1);
            bool had = !ms.bytes.empty();
            FUZZ_CHECK(buffer_copy_string_buffer(b, self ? b : o) == 0, name);
            if (had)
                model_copy_text(m, text);
            else
                m.bytes.clear();
            break;
        }
        case 7: {
            name = "buffer_append_string";
            model_append_text(m, with_source(in, b, o, true, name,
                                             [&](const char *p, size_t) { return buffer_append_string(b, p); }));
            break;
        }
        case 8: {
            name = "buffer_append_int";
            int32_t n = static_cast<int32_t>(in.u32());
            FUZZ_CHECK(buffer_append_int(b, n) == 0, name);
            model_append_text(m, std::to_string(n));
            break;
        }
        case 9: {
            name = "buffer_append_string_len";
            const std::string &text = with_source(
                in, b, o, false, name, [&](const char *p, size_t n) { return buffer_append_string_len(b, p, n); });
            if (!text.empty())  // a length of 0 changes nothing
                model_append_text(m, text);
            break;
        }
        case 10: {
            name = "buffer_append_string_buffer";
            bool self = in.byte() & 1;
            const Model &ms = self ? m : mo;
            static std::string text;  // keeps its storage
            text.assign(ms.bytes, 0, ms.bytes.empty() ? 0 : ms.bytes.size() - 1);
            FUZZ_CHECK(buffer_append_string_buffer(b, self ? b : o) == 0, name);
            if (!text.empty())
                model_append_text(m, text);
            break;
        }
        case 11:
        case 12: {
            bool copy = op % 16 == 12;
            name = copy ? "buffer_copy_memory" : "buffer_append_memory";
            auto fn = copy ? buffer_copy_memory : buffer_append_memory;
            const std::string &raw =
                with_source(in, b, o, false, name, [&](const char *p, size_t n) { return fn(b, p, n); });
            if (copy)
                m.bytes.clear();
            model_append_memory(m, raw);
            break;
        }
        case 13: {
            name = "buffer_reset";
            buffer_reset(b);
            bool keeps = m.size <= 4096;
            if (!keeps)
                m.size = 0;
            m.bytes.clear();
            // Kept storage holds the empty text.
            FUZZ_CHECK(!keeps || m.size == 0 || (b->ptr != nullptr && b->ptr[0] == '\0'), name);
            break;
        }
        case 14: {
            name = "buffer_init_buffer";
            bool from_null = in.byte() & 1;
            buffer *fresh = buffer_init_buffer(from_null ? nullptr : o);
            FUZZ_CHECK(fresh != nullptr, name);
            Model fm;
            if (!from_null && !mo.bytes.empty())
                model_copy_text(fm, mo.bytes.substr(0, mo.bytes.size() - 1));
            buffer_free(b);
            bufs[t] = b = fresh;
            m = fm;
            break;
        }
        case 15: {
            // Null buffer or null data: -1 and nothing changes.
            name = "null arguments";
            const char *text = "abc";
            FUZZ_CHECK(buffer_copy_string(b, nullptr) == -1, name);
            FUZZ_CHECK(buffer_copy_string_len(b, nullptr, 3) == -1, name);
            FUZZ_CHECK(buffer_copy_string_buffer(b, nullptr) == -1, name);
            FUZZ_CHECK(buffer_append_string(b, nullptr) == -1, name);
            FUZZ_CHECK(buffer_append_string_len(b, nullptr, 3) == -1, name);
            FUZZ_CHECK(buffer_append_string_buffer(b, nullptr) == -1, name);
            FUZZ_CHECK(buffer_append_memory(b, nullptr, 3) == -1, name);
            FUZZ_CHECK(buffer_copy_memory(b, nullptr, 3) == -1, name);
            FUZZ_CHECK(buffer_copy_string(nullptr, text) == -1, name);
            FUZZ_CHECK(buffer_append_string(nullptr, text) == -1, name);
            FUZZ_CHECK(buffer_append_int(nullptr, 5) == -1, name);
            FUZZ_CHECK(buffer_copy_string_buffer(nullptr, b) == -1, name);
            FUZZ_CHECK(buffer_append_string_buffer(nullptr, b) == -1, name);
            FUZZ_CHECK(buffer_prepare_copy(nullptr, 5) == -1, name);
            FUZZ_CHECK(buffer_prepare_append(nullptr, 5) == -1, name);
            FUZZ_CHECK(buffer_is_empty(nullptr) == 1 && buffer_string_is_empty(nullptr) == 1, name);
            buffer_reset(nullptr);
            buffer_free(nullptr);
            break;
        }
        }
        check(b, m, name);
        if (fuzz_sweep_due(steps))
            check(o, mo, name);
    }
    check(bufs[0], models[0], "end of input");
    check(bufs[1], models[1], "end of input");
    buffer_free(bufs[0]);
    buffer_free(bufs[1]);
    return 0;
}
