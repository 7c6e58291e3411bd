// fuzz_input.h - what every fuzz target shares: a reader that takes values
// off the fuzzer's input (zeros once it runs dry, so every input is a valid
// program), a check that names the broken property before aborting, and a
// trace hook that keeps the library's traces for the target to compare.
#ifndef LC_FUZZ_INPUT_H
#define LC_FUZZ_INPUT_H

#include "lib_common.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>
#include <vector>

// A broken property stops the run; the message says which one, and the
// fuzzer keeps the input that broke it.
#define FUZZ_CHECK(cond, what)                                                                        \
    do {                                                                                              \
        if (!(cond)) {                                                                                \
            fprintf(stderr, "%s:%d: property broken: %s\n  (%s)\n", __FILE__, __LINE__, what, #cond); \
            abort();                                                                                  \
        }                                                                                             \
    } while (0)

// memcmp for ranges that may be empty (and then may have no storage).
inline bool fuzz_same_bytes(const void *a, const void *b, size_t n)
{
    return n == 0 || memcmp(a, b, n) == 0;
}

// A heap block of exactly n bytes (one byte for n = 0), so that a read or
// write past it is caught, filled with 0xa5 so that no byte the library
// should have written passes for one it did.  Blocks are kept from one call
// to the next, one per size and slot: a fresh block on every call would
// cost new pages, as freed ones wait in the sanitizer's quarantine.  Blocks
// in use at the same time need different slots.
inline uint8_t *fuzz_block(size_t slot, size_t n)
{
    // Never destroyed: the leak check at exit still finds the blocks.
    static auto *slots = new std::vector<std::vector<uint8_t *>>;
    if (slot >= slots->size())
        slots->resize(slot + 1);
    std::vector<uint8_t *> &sizes = (*slots)[slot];
    if (n >= sizes.size())
        sizes.resize(n + 1, nullptr);
    uint8_t *&block = sizes[n];
    if (block == nullptr)
        block = static_cast<uint8_t *>(malloc(n ? n : 1));
    memset(block, 0xa5, n ? n : 1);
    return block;
}

// A C text of s in a block of fuzz_block (its exact size, terminator
// included), so that a read past the terminator is caught.
inline char *fuzz_c_text(size_t slot, std::string_view s)
{
    char *p = reinterpret_cast<char *>(fuzz_block(slot, s.size() + 1));
    if (!s.empty())
        memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

// The text before the first `sep` in s and the text after it (empty when
// s holds no `sep`).
struct FuzzSplit {
    std::string_view before;
    std::string_view after;
};
inline FuzzSplit fuzz_split(std::string_view s, char sep)
{
    size_t at = s.find(sep);
    if (at == std::string_view::npos)
        return {s, std::string_view()};
    return {s.substr(0, at), s.substr(at + 1)};
}

// Models check what a step touched after every step, and sweep the whole
// state every FUZZ_SWEEP_EVERY steps and at the end of each input: a fault
// that changes something the step did not touch is still caught within the
// same input, without every step paying for a look at everything.
enum { FUZZ_SWEEP_EVERY = 16 };
inline bool fuzz_sweep_due(int step)
{
    return step % FUZZ_SWEEP_EVERY == FUZZ_SWEEP_EVERY - 1;
}

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    size_t left() const { return size_ - pos_; }
    bool empty() const { return pos_ >= size_; }

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Little-endian; each part is read in its own statement, since the
    // order in which the operands of one expression run is unspecified.
    uint16_t u16()
    {
        uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    }
    uint32_t u32()
    {
        uint32_t low = u16();
        return low | static_cast<uint32_t>(u16()) << 16;
    }
    uint64_t u64()
    {
        uint64_t low = u32();
        return low | static_cast<uint64_t>(u32()) << 32;
    }

    // Up to n bytes (fewer when the input runs out).
    std::string bytes(size_t n)
    {
        n = n < left() ? n : left();
        std::string s(reinterpret_cast<const char *>(data_ + pos_), n);
        pos_ += n;
        return s;
    }
    // n bytes into dst: as many as the input has, then `pad`.
    void fill(uint8_t *dst, size_t n, uint8_t pad)
    {
        size_t have = n < left() ? n : left();
        if (have > 0)
            memcpy(dst, data_ + pos_, have);
        memset(dst + have, pad, n - have);
        pos_ += have;
    }
    // A string of up to `max` bytes, its length taken from one byte.
    std::string counted(size_t max) { return bytes(byte() % (max + 1)); }
    // The same into `out`, whose storage is reused.
    void counted_into(std::string &out, size_t max)
    {
        size_t n = byte() % (max + 1);
        n = n < left() ? n : left();
        out.assign(reinterpret_cast<const char *>(data_ + pos_), n);
        pos_ += n;
    }
    // Everything up to the next `stop` byte (which is consumed) or the end,
    // as a view into the input (no copy).
    std::string_view until_view(uint8_t stop)
    {
        const void *at = memchr(data_ + pos_, stop, left());
        size_t n = at ? static_cast<size_t>(static_cast<const uint8_t *>(at) - (data_ + pos_)) : left();
        std::string_view s(reinterpret_cast<const char *>(data_ + pos_), n);
        pos_ += n;
        if (at)
            pos_++;
        return s;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// A FIFO of at most N items in a ring of fixed room, for models that must
// not allocate on every step.  push_back hands out the next item to fill.
template <typename T, size_t N> class FixedQueue {
public:
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const T &front() const { return ring_[first_]; }
    T &push_back()
    {
        T &item = ring_[(first_ + count_) % N];
        count_++;
        return item;
    }
    void pop_front()
    {
        first_ = (first_ + 1) % N;
        count_--;
    }
    void clear() { first_ = count_ = 0; }

private:
    T ring_[N];
    size_t first_ = 0;
    size_t count_ = 0;
};

// A model's list of items, kept from one input to the next with only the
// first size() in use, so that the items' strings keep their storage and
// adding an item costs no allocation once the list is warm.  add() hands
// out an item holding whatever it held before: the caller sets every field.
template <typename T> class ReusedList {
public:
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    T &operator[](size_t i) { return items_[i]; }
    const T &operator[](size_t i) const { return items_[i]; }
    const T &back() const { return items_[count_ - 1]; }
    T *begin() { return items_.data(); }
    T *end() { return items_.data() + count_; }
    const T *begin() const { return items_.data(); }
    const T *end() const { return items_.data() + count_; }
    void clear() { count_ = 0; }
    T &add()
    {
        if (count_ == items_.size())
            items_.emplace_back();
        return items_[count_++];
    }

private:
    std::vector<T> items_;
    size_t count_ = 0;
};

// Traces of the library, without their "[mod function +line]" tag.  The
// tag's module and function are kept apart so that a target can check who
// traced.
struct TraceLine {
    std::string module;    // "lib" or "cc"
    std::string function;  // the tracing function
    std::string text;      // what follows the tag
};

// The traces kept since the last clear; lines are reused from one input to
// the next, so keeping a trace costs no allocation.
using TraceLog = ReusedList<TraceLine>;

inline TraceLog &fuzz_traces()
{
    static TraceLog log;
    return log;
}

inline void fuzz_trace_hook(int32_t, const char *text)
{
    TraceLine &line = fuzz_traces().add();
    // "[lib fifo_handle +57  ]text"; found by one walk of its own (the
    // sanitizer's checked string functions would cost every trace more).
    const char *space = nullptr;
    const char *plus = nullptr;
    const char *close = nullptr;
    for (const char *c = text; *c != '\0' && close == nullptr; c++) {
        if (*c == ' ' && space == nullptr)
            space = c;
        if (*c == ' ' && c[1] == '+' && plus == nullptr)
            plus = c;
        if (*c == ']')
            close = c;
    }
    if (text[0] == '[' && space != nullptr && plus != nullptr && close != nullptr && space < plus && plus < close) {
        line.module.assign(text + 1, space);
        line.function.assign(space + 1, plus);
        line.text.assign(close + 1);
    } else {
        line.module.clear();
        line.function.clear();
        line.text.assign(text);
    }
}

// Routes the library's traces into fuzz_traces() (not the system log) with
// the levels at 6, where the library makes its own notes, and starts with
// none kept.
inline void fuzz_capture_traces()
{
    dbgout_profile.lib_level = 6;
    dbgout_profile.cc_level = 6;
    dbgout_profile.time_enable = 0;
    dbgout_profile.output_hook = fuzz_trace_hook;
    fuzz_traces().clear();
}

// The texts one step must trace, formatted in fixed room, so that wanting
// a trace costs no allocation.
class WantedTraces {
public:
    void clear() { count_ = 0; }
    size_t size() const { return count_; }
    const char *operator[](size_t i) const { return texts_[i]; }
    __attribute__((format(printf, 2, 3))) void add(const char *fmt, ...)
    {
        FUZZ_CHECK(count_ < MAX_TEXTS, "wanted traces: room for one step");
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(texts_[count_], sizeof texts_[count_], fmt, ap);
        va_end(ap);
        FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) < sizeof texts_[count_], "wanted traces: room for one text");
        count_++;
    }

private:
    enum { MAX_TEXTS = 8 };
    char texts_[MAX_TEXTS][256];
    size_t count_ = 0;
};

// True when the texts traced since the last clear are `want`, in order
// (with `prefix`, when each starts with its wanted text); clears them.
inline bool fuzz_traces_are(const WantedTraces &want, bool prefix = false)
{
    TraceLog &got = fuzz_traces();
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < want.size(); i++)
        same = prefix ? got[i].text.compare(0, strlen(want[i]), want[i]) == 0 : got[i].text == want[i];
    got.clear();
    return same;
}

#endif  // LC_FUZZ_INPUT_H
