// fuzz_configure.cpp - the configuration store's parsers against a model of
// the line rules, and the round trip through its writers.
//
// Input: a flags byte (bit 0: parse through a key filter; the other bits
// size a small text record for loop_2_buf), the filter's keys when used,
// then chunks separated by NUL bytes.  A chunk starting with 0x01 is a
// direct set ("key" 0x02 "value"), one starting with 0x03 is fed line by
// line to configure_parse_line, any other goes to configure_parse_buf.
//
// Properties: results of every call; after each chunk the entry count and
// the entries the chunk set (key, value, lengths, changed mark, place in
// insertion order), every few chunks every entry that way, and at the end
// every entry that way and through find and get (with and without room);
// the line feeds that configure_parse_buf overwrites; then the text that
// loop_2_buf and loop_2_conf write, a re-parse of it that follows the same
// line model, and, when every entry is one that survives the trip (key
// starting with a letter, no '=' or line feed, nothing trimmable at either
// end of key or value), a re-parse that gives back the same table and
// changes nothing.
#include "fuzz_input.h"

#include <string_view>

namespace {

const char trim_set[] = "\t\n\v\f\r \"";

bool trimmable(char c)
{
    return c != '\0' && strchr(trim_set, c) != nullptr;
}

std::string_view trimmed(std::string_view s)
{
    size_t end = s.size();
    while (end > 0 && trimmable(s[end - 1]))
        end--;
    size_t begin = 0;
    while (begin < end && trimmable(s[begin]))
        begin++;
    return s.substr(begin, end - begin);
}

// A zeroed heap block of exactly n bytes, for the writers' text records.
char *zeroed(size_t slot, size_t n)
{
    char *p = reinterpret_cast<char *>(fuzz_block(slot, n));
    memset(p, 0, n);
    return p;
}

bool same_text(const char *got, const std::string &want)
{
    return strlen(got) == want.size() && fuzz_same_bytes(got, want.data(), want.size());
}

bool is_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

struct Entry {
    std::string key;
    std::string value;
    bool changed;
    bool touched;  // set since the last check
};

struct Store {
    ReusedList<Entry> entries;        // in insertion order
    std::vector<size_t> touched;      // entries set since the last check, once each
    std::vector<std::string> filter;  // empty with no filter
    bool filtered = false;

    void reset()
    {
        entries.clear();
        touched.clear();
        filter.clear();
        filtered = false;
    }
    void touch(size_t i)
    {
        if (!entries[i].touched) {
            entries[i].touched = true;
            touched.push_back(i);
        }
    }
    // The set slot: 1 created or changed, 0 same value, -1 refused.
    int set(std::string_view key, std::string_view value)
    {
        if (key.size() > 255)
            return -1;
        std::string_view v = value.substr(0, 255);
        for (size_t i = 0; i < entries.size(); i++) {
            Entry &e = entries[i];
            if (e.key == key) {
                e.changed = e.value != v;
                e.value = v;
                touch(i);
                return e.changed ? 1 : 0;
            }
        }
        Entry &e = entries.add();
        e.key = key;
        e.value = v;
        e.changed = false;
        e.touched = false;
        touch(entries.size() - 1);
        return 1;
    }
    // One line (a C text without NUL): -1 not a setting, else 0 (stored, filtered out or refused).
    int parse_line(std::string_view line)
    {
        if (line.empty() || !is_letter(line[0]))
            return -1;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return -1;
        std::string_view key = trimmed(line.substr(0, eq < 265 ? eq : 265));
        std::string_view value = trimmed(line.substr(eq + 1, 265));
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
    void parse_buf(std::string_view text)
    {
        size_t from = 0;
        while (from <= text.size()) {
            size_t nl = text.find('\n', from);
            if (nl == std::string_view::npos)
                nl = text.size();
            if (nl > from)
                parse_line(text.substr(from, nl - from));
            from = nl + 1;
        }
    }
};

// How much of the store a check looks at.
enum class Look {
    touched,  // the entries set since the last check
    table,    // every entry
    lookups,  // every entry, and find and get (with and without room) of each
};

// Entry i of the library's store equals the model's; with `find`, find
// reaches it by its key, and with `get`, get copies its value out exactly
// when there is room.
void check_entry(configure_store *cfg, const Store &m, size_t i, bool find, bool get, const char *op)
{
    const Entry &e = m.entries[i];
    const configure_entry *got = cfg->entries[i];
    FUZZ_CHECK(got != nullptr && got->key == e.key && got->value == e.value, op);
    FUZZ_CHECK(got->key_len == e.key.size() && got->value_len == e.value.size(), op);
    FUZZ_CHECK(got->changed == (e.changed ? 1 : 0), op);
    if (find)
        FUZZ_CHECK(cfg->find(cfg, e.key.c_str()) == got, "find");
    if (!get)
        return;
    char out[300];
    int32_t fit = static_cast<int32_t>(e.value.size()) + 1;
    FUZZ_CHECK(cfg->get(cfg, e.key.c_str(), out, fit) == 0 && out == e.value, "get with room");
    if (fit > 1)
        FUZZ_CHECK(cfg->get(cfg, e.key.c_str(), out, fit - 1) == -1 && out[0] == '\0', "get without room");
}

// The library's store equals the model's, as far as `look` says.  Every
// lookup scans the table, so looking every entry up after every chunk
// would cost the square of the entries: a chunk's check looks at what it
// set, every few chunks the whole table is compared, and at the end of
// the input every entry is also looked up.
void check_store(configure_store *cfg, Store &m, Look look, const char *op)
{
    FUZZ_CHECK(cfg->count == m.entries.size(), op);
    FUZZ_CHECK(cfg->capacity % 8 == 0 && cfg->capacity >= cfg->count, op);
    if (look == Look::touched) {
        for (size_t i : m.touched)
            check_entry(cfg, m, i, false, false, op);
    } else {
        for (size_t i = 0; i < m.entries.size(); i++)
            check_entry(cfg, m, i, look == Look::lookups, look == Look::lookups, op);
    }
    for (size_t i : m.touched)
        m.entries[i].touched = false;
    m.touched.clear();
}

// After a chunk: what it set, or, every few chunks, the whole table.
Look after_chunk(int chunk)
{
    return fuzz_sweep_due(chunk) ? Look::table : Look::touched;
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

// The line the writers make of an entry: key = "value".
void add_line(std::string &out, const Entry &e)
{
    out += e.key;
    out += " = \"";
    out += e.value;
    out += "\"\n";
}

size_t line_length(const Entry &e)
{
    return e.key.size() + e.value.size() + 6;
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

// Builds a filter of the given keys and checks what config_keys_format
// made of it.
config_key *make_filter(const std::vector<const char *> &keys)
{
    config_key *f = config_keys_format(keys.data(), static_cast<uint8_t>(keys.size()));
    FUZZ_CHECK(f != nullptr, "config_keys_format");
    for (size_t i = 0; i < keys.size(); i++)
        FUZZ_CHECK(f[i].key == keys[i] && f[i].len == static_cast<uint8_t>(strlen(keys[i])) && f[i].end == 0,
                   "config_keys_format");
    FUZZ_CHECK(f[keys.size()].end == 1, "config_keys_format: end mark");
    return f;
}

// True when loop_2_conf writes exactly `want` into a stream.  The stream
// is a fixed buffer with room for a line more than wanted (a line holds at
// most 1022 characters), so that a line too many still shows, and without
// a stdio buffer of its own: a memory stream would cost the fuzzer
// allocations on every input.
bool conf_is(configure_store *cfg, const std::string &want)
{
    static std::vector<char> room;
    room.assign(want.size() + 1024, '\0');
    FILE *f = fmemopen(room.data(), room.size(), "w");
    FUZZ_CHECK(f != nullptr, "fmemopen");
    setvbuf(f, nullptr, _IONBF, 0);
    loop(cfg, loop_2_conf, f);
    long written = ftell(f);
    fclose(f);
    return written == static_cast<long>(want.size()) && fuzz_same_bytes(room.data(), want.data(), want.size());
}

// Slots of fuzz_block: texts handed to the parsers, and the two text
// records of loop_2_buf.
enum { TEXT_BLOCK, ROOMY_BLOCK, SMALL_BLOCK };

// Writes the store out both ways, then parses the text back.  The model's
// changed marks are spent afterwards.
void round_trip(configure_store *cfg, Store &m, int32_t small_size)
{
    static std::string expect;  // these keep their storage
    static std::string kept;
    expect.clear();
    bool all_survive = true;
    for (const Entry &e : m.entries) {
        add_line(expect, e);
        all_survive = all_survive && survives(e);
    }

    config_textbuf tb = {zeroed(ROOMY_BLOCK, expect.size() + 1), static_cast<int32_t>(expect.size() + 1), 0, 0};
    loop(cfg, loop_2_buf, &tb);
    FUZZ_CHECK(tb.status == 0 && tb.used == static_cast<int32_t>(expect.size()), "loop_2_buf: room for all");
    FUZZ_CHECK(same_text(tb.text, expect), "loop_2_buf: one line per entry, in order");

    FUZZ_CHECK(conf_is(cfg, expect), "loop_2_conf: one line per entry, in order");

    // A small record takes the lines that fit and skips the others.
    config_textbuf sb = {zeroed(SMALL_BLOCK, static_cast<size_t>(small_size)), small_size, 0, 0};
    loop(cfg, loop_2_buf, &sb);
    kept.clear();
    int32_t status = 0;
    for (const Entry &e : m.entries) {
        if (kept.size() + line_length(e) < static_cast<size_t>(small_size))
            add_line(kept, e);
        else
            status = -1;
    }
    FUZZ_CHECK(sb.status == status && sb.used == static_cast<int32_t>(kept.size()) && same_text(sb.text, kept),
               "loop_2_buf: lines that do not fit are skipped");

    // Parsing the text back follows the line model.
    static Store back;
    back.reset();
    back.parse_buf(expect);
    configure_store *again = configure_init();
    FUZZ_CHECK(configure_parse_buf(again, nullptr, fuzz_c_text(TEXT_BLOCK, expect)) == 0, "configure_parse_buf");
    check_store(again, back, Look::table, "re-parse of the written text");
    configure_free(again);

    if (!all_survive)
        return;
    // Every entry survives: the same table, and re-reading into the store
    // itself changes nothing.
    FUZZ_CHECK(back.entries.size() == m.entries.size(), "round trip: same entries");
    for (size_t i = 0; i < m.entries.size(); i++)
        FUZZ_CHECK(back.entries[i].key == m.entries[i].key && back.entries[i].value == m.entries[i].value,
                   "round trip: same keys and values, in order");
    FUZZ_CHECK(configure_parse_buf(cfg, nullptr, fuzz_c_text(TEXT_BLOCK, expect)) == 0, "configure_parse_buf");
    for (Entry &e : m.entries)
        e.changed = false;
    check_store(cfg, m, Look::table, "re-reading an unchanged text");
    if (m.entries.size() <= 255) {
        static std::vector<const char *> all;
        all.clear();
        for (const Entry &e : m.entries)
            all.push_back(e.key.c_str());
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
    static Store m;  // kept, so that its entries keep their storage
    m.reset();
    config_key *filter = nullptr;
    if (flags & 1) {
        m.filtered = true;
        uint8_t n = in.byte() % 5;
        for (uint8_t i = 0; i < n; i++) {
            std::string k = in.counted(16);
            m.filter.push_back(k.substr(0, strlen(k.c_str())));
        }
        std::vector<const char *> keys;
        for (const std::string &k : m.filter)
            keys.push_back(k.c_str());
        filter = make_filter(keys);
    }
    int32_t small_size = (flags >> 1) * 8 + 1;

    configure_store *cfg = configure_init();
    FUZZ_CHECK(cfg != nullptr && cfg->count == 0 && cfg->entries == nullptr, "configure_init");
    for (int chunks = 0; !in.empty() && chunks < 64; chunks++) {
        std::string_view chunk = in.until_view(0);
        if (!chunk.empty() && chunk[0] == '\x01') {
            auto [key, value] = fuzz_split(chunk.substr(1), '\x02');
            int32_t got = cfg->set(cfg, fuzz_c_text(TEXT_BLOCK, key), fuzz_c_text(ROOMY_BLOCK, value));
            FUZZ_CHECK(got == m.set(key, value), "set");
            check_store(cfg, m, after_chunk(chunks), "set");
        } else if (!chunk.empty() && chunk[0] == '\x03') {
            size_t from = 1;
            while (from <= chunk.size()) {
                size_t nl = chunk.find('\n', from);
                if (nl == std::string_view::npos)
                    nl = chunk.size();
                std::string_view line = chunk.substr(from, nl - from);
                FUZZ_CHECK(configure_parse_line(cfg, filter, fuzz_c_text(TEXT_BLOCK, line)) == m.parse_line(line),
                           "configure_parse_line");
                from = nl + 1;
            }
            check_store(cfg, m, after_chunk(chunks), "configure_parse_line");
        } else {
            char *text = fuzz_c_text(TEXT_BLOCK, chunk);
            FUZZ_CHECK(configure_parse_buf(cfg, filter, text) == 0, "configure_parse_buf");
            m.parse_buf(chunk);
            check_store(cfg, m, after_chunk(chunks), "configure_parse_buf");
            // Exactly the line feeds that end a line became NULs.
            for (size_t i = 0; i < chunk.size(); i++) {
                bool ends_line = chunk[i] == '\n' && i > 0 && chunk[i - 1] != '\n';
                FUZZ_CHECK(text[i] == (ends_line ? '\0' : chunk[i]), "configure_parse_buf: line feeds overwritten");
            }
        }
        if (filter != nullptr)
            FUZZ_CHECK(configure_key_IsChanged(cfg, filter) == first_changed(m, m.filter), "configure_key_IsChanged");
    }
    check_store(cfg, m, Look::lookups, "end of input");
    round_trip(cfg, m, small_size);
    free(filter);
    configure_free(cfg);
    return 0;
}
