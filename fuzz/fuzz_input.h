// fuzz_input.h - what every fuzz target shares: a reader that takes values
// off the fuzzer's input (zeros once it runs dry, so every input is a valid
// program), a check that names the broken property before aborting, and a
// trace hook that keeps the library's traces for the target to compare.
#ifndef LC_FUZZ_INPUT_H
#define LC_FUZZ_INPUT_H

#include "lib_common.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

// A broken property stops the run; the message says which one, and the
// fuzzer keeps the input that broke it.
#define FUZZ_CHECK(cond, what)                                                       \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: property broken: %s\n  (%s)\n", __FILE__, __LINE__, \
                    what, #cond);                                                    \
            abort();                                                                 \
        }                                                                            \
    } while (0)

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
    // A string of up to `max` bytes, its length taken from one byte.
    std::string counted(size_t max) { return bytes(byte() % (max + 1)); }
    // Everything up to the next `stop` byte (which is consumed) or the end.
    std::string until(uint8_t stop)
    {
        const void *at = memchr(data_ + pos_, stop, left());
        size_t n = at ? static_cast<size_t>(static_cast<const uint8_t *>(at) - (data_ + pos_)) : left();
        std::string s = bytes(n);
        if (at)
            pos_++;
        return s;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Traces of the library, without their "[mod function +line]" tag.  The
// tag's module and function are kept apart so that a target can check who
// traced.
struct TraceLine {
    std::string module;    // "lib" or "cc"
    std::string function;  // the tracing function
    std::string text;      // what follows the tag
};

inline std::vector<TraceLine> &fuzz_traces()
{
    static std::vector<TraceLine> lines;
    return lines;
}

inline void fuzz_trace_hook(int32_t, const char *text)
{
    TraceLine line;
    std::string t(text);
    // "[lib fifo_handle +57  ]text"
    size_t space = t.find(' ');
    size_t plus = t.find(" +");
    size_t close = t.find(']');
    if (t.size() > 0 && t[0] == '[' && space != std::string::npos && plus != std::string::npos &&
        close != std::string::npos && space < plus && plus < close) {
        line.module = t.substr(1, space - 1);
        line.function = t.substr(space + 1, plus - space - 1);
        line.text = t.substr(close + 1);
    } else {
        line.text = t;
    }
    fuzz_traces().push_back(line);
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

// True when the texts traced since the last clear are `want`, in order
// (with `prefix`, when each starts with its wanted text); clears them.
inline bool fuzz_traces_are(const std::vector<std::string> &want, bool prefix = false)
{
    std::vector<TraceLine> got;
    got.swap(fuzz_traces());
    if (got.size() != want.size())
        return false;
    for (size_t i = 0; i < got.size(); i++) {
        if (prefix ? got[i].text.compare(0, want[i].size(), want[i]) != 0 : got[i].text != want[i])
            return false;
    }
    return true;
}

#endif  // LC_FUZZ_INPUT_H
