// fuzz_trim.cpp - lib_trim and trim against a simple model.
// Input: first byte selects the set (0: default, else the next k bytes form
// the set), the rest is the text (cut at the first NUL).
#include "lib_common.h"

#include <stdlib.h>
#include <string.h>

#include <string>

// The model: drop set characters from the end, then from the start.
static std::string model(const std::string &text, const std::string &set)
{
    size_t end = text.size();
    while (end > 0 && set.find(text[end - 1]) != std::string::npos)
        end--;
    size_t begin = 0;
    while (begin < end && set.find(text[begin]) != std::string::npos)
        begin++;
    return text.substr(begin, end - begin);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t set_len = data[0] % 8;
    if (1 + set_len > size)
        return 0;
    std::string set(reinterpret_cast<const char *>(data + 1), set_len);
    set = set.substr(0, strlen(set.c_str()));
    std::string text(reinterpret_cast<const char *>(data + 1 + set_len), size - 1 - set_len);
    text = text.substr(0, strlen(text.c_str()));
    const char *set_arg = set_len == 0 ? nullptr : set.c_str();
    std::string model_set = set_len == 0 ? std::string("\t\n\v\f\r \"") : set;
    std::string expected = model(text, model_set);

    char *(*const fns[])(char *, const char *) = {lib_trim, trim};
    for (auto fn : fns) {
        char *buf = static_cast<char *>(malloc(text.size() + 1));
        memcpy(buf, text.c_str(), text.size() + 1);
        char *result = fn(buf, set_arg);
        if (result != buf || expected != result)
            abort();
        free(buf);
    }
    return 0;
}
