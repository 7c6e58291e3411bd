// fuzz_configure.cpp - the configuration store's parsers against a model of
// the line rules, and the round trip through its writers.
//
// Input: a flags byte (bit 0: parse through a key filter; the other bits
// size a small text record for loop_2_buf), the filter's keys when used,
// then chunks separated by NUL bytes.  A chunk starting with 0x01 is a
// direct set ("key" 0x02 "value"), one starting with 0x03 is fed line by
// line to configure_parse_line, any other goes to configure_parse_buf.
//
// Properties: results of every call, the table (keys, values, lengths and
// changed marks in insertion order) and get/find after each chunk, the line
// feeds that configure_parse_buf overwrites; then the text that loop_2_buf
// and loop_2_conf write, a re-parse of it that follows the same line model,
// and, when every entry is one that survives the trip (key starting with a
// letter, no '=' or line feed, nothing trimmable at either end of key or
// value), a re-parse that gives back the same table and changes nothing.
#include "fuzz_input.h"

namespace {

const char trim_set[] = "\t\n\v\f\r \"";

bool trimmable(char c)
{
    return c != '\0' && strchr(trim_set, c) != nullptr;
}

std::string trimmed(const std::string &s)
{
    size_t end = s.size();
    while (end > 0 && trimmable(s[end - 1]))
        end--;
    size_t begin = 0;
    while (begin < end && trimmable(s[begin]))
        begin++;
    return s.substr(begin, end - begin);
}

bool is_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

struct Entry {
    std::string key;
    std::string value;
    bool changed;
};

struct Store {
    std::vector<Entry> entries;
    std::vector<std::string> filter;  // empty with no filter
    bool filtered = false;

    // The set slot: 1 created or changed, 0 same value, -1 refused.
    int set(const std::string &key, const std::string &value)
    {
        if (key.size() > 255)
            return -1;
        std::string v = value.substr(0, 255);
        for (Entry &e : entries) {
            if (e.key == key) {
                e.changed = e.value != v;
                e.value = v;
                return e.changed ? 1 : 0;
            }
        }
        entries.push_back({key, v, false});
        return 1;
    }
    // One line (a C text without NUL): -1 not a setting, else 0 (stored, filtered out or refused).
    int parse_line(const std::string &line)
    {
        if (line.empty() || !is_letter(line[0]))
            return -1;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return -1;
        std::string key = trimmed(line.substr(0, eq < 265 ? eq : 265));
        std::string value = trimmed(line.substr(eq + 1, 265));
        if (filtered) {
            bool listed = false;
            for (const std::string &f : filter)
                listed = listed || f == key;
            if (!listed)
                return 0;
        }
        set(key, value);
        return 0;
    }
    // A text: lines between line feeds, empty ones left out.
    void parse_buf(const std::string &text)
    {
        size_t from = 0;
        while (from <= text.size()) {
            size_t nl = text.find('\n', from);
            if (nl == std::string::npos)
                nl = text.size();
            if (nl > from)
                parse_line(text.substr(from, nl - from));
            from = nl + 1;
        }
    }
};

// The library's store equals the model's, entry by entry.
void check_store(configure_store *cfg, const Store &m, const char *op)
{
    FUZZ_CHECK(cfg->count == m.entries.size(), op);
    char out[300];
    for (size_t i = 0; i < m.entries.size(); i++) {
        const Entry &e = m.entries[i];
        const configure_entry *got = cfg->entries[i];
        FUZZ_CHECK(got != nullptr && got->key == e.key && got->value == e.value, op);
        FUZZ_CHECK(got->key_len == e.key.size() && got->value_len == e.value.size(), op);
        FUZZ_CHECK(got->changed == (e.changed ? 1 : 0), op);
        FUZZ_CHECK(cfg->find(cfg, e.key.c_str()) == got, "find");
        int32_t fit = static_cast<int32_t>(e.value.size()) + 1;
        FUZZ_CHECK(cfg->get(cfg, e.key.c_str(), out, fit) == 0 && out == e.value, "get with room");
        if (fit > 1)
            FUZZ_CHECK(cfg->get(cfg, e.key.c_str(), out, fit - 1) == -1 && out[0] == '\0', "get without room");
    }
    FUZZ_CHECK(cfg->capacity % 8 == 0 && cfg->capacity >= cfg->count, op);
}

// Entries whose written line parses back to themselves.
bool survives(const Entry &e)
{
    if (e.key.empty() || !is_letter(e.key[0]) || e.key.find_first_of("=\n") != std::string::npos)
        return false;
    if (trimmable(e.key.back()) || e.value.find('\n') != std::string::npos)
        return false;
    return e.value.empty() || (!trimmable(e.value.front()) && !trimmable(e.value.back()));
}

std::string line_of(const Entry &e)
{
    return e.key + " = \"" + e.value + "\"\n";
}

// The filter index of the first changed entry that the filter lists.
int32_t first_changed(const Store &m, const std::vector<std::string> &filter)
{
    for (const Entry &e : m.entries) {
        if (!e.changed)
            continue;
        for (size_t i = 0; i < filter.size(); i++)
            if (filter[i] == e.key)
                return static_cast<int32_t>(i);
    }
    return -1;
}

// Builds a filter and checks what config_keys_format made of it.
config_key *make_filter(const std::vector<std::string> &keys)
{
    std::vector<const char *> ptrs;
    for (const std::string &k : keys)
        ptrs.push_back(k.c_str());
    config_key *f = config_keys_format(ptrs.data(), static_cast<uint8_t>(ptrs.size()));
    FUZZ_CHECK(f != nullptr, "config_keys_format");
    for (size_t i = 0; i < keys.size(); i++)
        FUZZ_CHECK(f[i].key == ptrs[i] && f[i].len == static_cast<uint8_t>(keys[i].size()) && f[i].end == 0,
                   "config_keys_format");
    FUZZ_CHECK(f[keys.size()].end == 1, "config_keys_format: end mark");
    return f;
}

void collect_conf(configure_store *cfg, std::string &out)
{
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    FUZZ_CHECK(f != nullptr, "open_memstream");
    loop(cfg, loop_2_conf, f);
    fclose(f);
    out.assign(text, len);
    free(text);
}

// Writes the store out both ways, then parses the text back.
void round_trip(configure_store *cfg, const Store &m, int32_t small_size)
{
    std::string expect;
    bool all_survive = true;
    for (const Entry &e : m.entries) {
        expect += line_of(e);
        all_survive = all_survive && survives(e);
    }

    std::vector<char> storage(expect.size() + 1, '\0');
    config_textbuf tb = {storage.data(), static_cast<int32_t>(storage.size()), 0, 0};
    loop(cfg, loop_2_buf, &tb);
    FUZZ_CHECK(tb.status == 0 && tb.used == static_cast<int32_t>(expect.size()), "loop_2_buf: room for all");
    FUZZ_CHECK(std::string(tb.text) == expect, "loop_2_buf: one line per entry, in order");

    std::string conf;
    collect_conf(cfg, conf);
    FUZZ_CHECK(conf == expect, "loop_2_conf: one line per entry, in order");

    // A small record takes the lines that fit and skips the others.
    std::vector<char> small(small_size, '\0');
    config_textbuf sb = {small.data(), small_size, 0, 0};
    loop(cfg, loop_2_buf, &sb);
    std::string kept;
    int32_t status = 0;
    for (const Entry &e : m.entries) {
        std::string line = line_of(e);
        if (kept.size() + line.size() < static_cast<size_t>(small_size))
            kept += line;
        else
            status = -1;
    }
    FUZZ_CHECK(sb.status == status && sb.used == static_cast<int32_t>(kept.size()) && std::string(sb.text) == kept,
               "loop_2_buf: lines that do not fit are skipped");

    // Parsing the text back follows the line model.
    Store back;
    back.parse_buf(expect);
    configure_store *again = configure_init();
    std::string text = expect;
    FUZZ_CHECK(configure_parse_buf(again, nullptr, &text[0]) == 0, "configure_parse_buf");
    check_store(again, back, "re-parse of the written text");
    configure_free(again);

    if (!all_survive)
        return;
    // Every entry survives: the same table, and re-reading into the store
    // itself changes nothing.
    FUZZ_CHECK(back.entries.size() == m.entries.size(), "round trip: same entries");
    for (size_t i = 0; i < m.entries.size(); i++)
        FUZZ_CHECK(back.entries[i].key == m.entries[i].key && back.entries[i].value == m.entries[i].value,
                   "round trip: same keys and values, in order");
    text = expect;
    FUZZ_CHECK(configure_parse_buf(cfg, nullptr, &text[0]) == 0, "configure_parse_buf");
    Store same = m;
    for (Entry &e : same.entries)
        e.changed = false;
    check_store(cfg, same, "re-reading an unchanged text");
    std::vector<std::string> all;
    for (const Entry &e : m.entries)
        all.push_back(e.key);
    if (all.size() <= 255) {
        config_key *f = make_filter(all);
        FUZZ_CHECK(configure_key_IsChanged(cfg, f) == -1, "re-reading an unchanged text reports no change");
        free(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    uint8_t flags = in.byte();
    Store m;
    config_key *filter = nullptr;
    if (flags & 1) {
        m.filtered = true;
        uint8_t n = in.byte() % 5;
        for (uint8_t i = 0; i < n; i++) {
            std::string k = in.counted(16);
            m.filter.push_back(k.substr(0, strlen(k.c_str())));
        }
        filter = make_filter(m.filter);
    }
    int32_t small_size = (flags >> 1) * 8 + 1;

    configure_store *cfg = configure_init();
    FUZZ_CHECK(cfg != nullptr && cfg->count == 0 && cfg->entries == nullptr, "configure_init");
    for (int chunks = 0; !in.empty() && chunks < 64; chunks++) {
        std::string chunk = in.until(0);
        if (!chunk.empty() && chunk[0] == '\x01') {
            size_t sep = chunk.find('\x02');
            std::string key = chunk.substr(1, sep == std::string::npos ? std::string::npos : sep - 1);
            std::string value = sep == std::string::npos ? std::string() : chunk.substr(sep + 1);
            FUZZ_CHECK(cfg->set(cfg, key.c_str(), value.c_str()) == m.set(key, value), "set");
            check_store(cfg, m, "set");
        } else if (!chunk.empty() && chunk[0] == '\x03') {
            size_t from = 1;
            while (from <= chunk.size()) {
                size_t nl = chunk.find('\n', from);
                if (nl == std::string::npos)
                    nl = chunk.size();
                std::string line = chunk.substr(from, nl - from);
                FUZZ_CHECK(configure_parse_line(cfg, filter, line.c_str()) == m.parse_line(line),
                           "configure_parse_line");
                from = nl + 1;
            }
            check_store(cfg, m, "configure_parse_line");
        } else {
            std::string text = chunk;
            FUZZ_CHECK(configure_parse_buf(cfg, filter, &text[0]) == 0, "configure_parse_buf");
            m.parse_buf(chunk);
            check_store(cfg, m, "configure_parse_buf");
            // Exactly the line feeds that end a line became NULs.
            for (size_t i = 0; i < chunk.size(); i++) {
                bool ends_line = chunk[i] == '\n' && i > 0 && chunk[i - 1] != '\n';
                FUZZ_CHECK(text[i] == (ends_line ? '\0' : chunk[i]), "configure_parse_buf: line feeds overwritten");
            }
        }
        if (filter != nullptr)
            FUZZ_CHECK(configure_key_IsChanged(cfg, filter) == first_changed(m, m.filter),
                       "configure_key_IsChanged");
    }
    round_trip(cfg, m, small_size);
    free(filter);
    configure_free(cfg);
    return 0;
}
