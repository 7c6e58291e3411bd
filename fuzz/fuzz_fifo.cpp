// fuzz_fifo.cpp - debug command splitting and matching through a real pipe.
//
// Input: a row count, then per row a flags byte (0x01 value-less, 0x02 no
// key, 0x04 no handler, 0x08 starts a new table, 0x10 "help" handler) with
// its key and value texts; then a byte of registration extras (0x01 the
// first table again at the end, 0x02 an empty table); then the command
// stream.  The stream's 0xFF bytes end a write that is followed by one
// fifo_handle, 0xFE bytes end a write that is not; at the end the pipe is
// drained and read once more while empty.
//
// The model: each read takes up to 256 bytes of what was written; the text
// splits at every ';' (a trailing one ends it); a piece ends at a NUL byte,
// needs an '=', and its key and value, trimmed of white space and quotes,
// must be at most 99 characters and equal a row's key and value (any value
// for a value-less row); rows without key or handler never match, and the
// first matching row in registration and table order wins.  A full read
// that ends inside a piece while more waits in the pipe fails that piece,
// and the first piece of the next read too.  A piece that starts with the
// reply header ("\0lcctl ") names a reply FIFO the input cannot make: it
// is refused (traced at level 3) and fails, and so does every later piece
// of that read until another header.  A read with a failed piece traces the
// hint once; a read of an empty pipe traces "no data yet".  Handler calls and traces are logged in one sequence, which
// must equal the model's, read by read.
#include "fuzz_input.h"

#include "reply_protocol_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::vector<std::string> &event_log()
{
    static std::vector<std::string> log;
    return log;
}

void log_hook(int32_t level, const char *text)
{
    fuzz_trace_hook(level, text);
    const TraceLine &l = fuzz_traces().back();
    // The reason of a refused reply names a path; the model only knows
    // that the header was refused.  A row listed by "help" may hold the
    // same words, so only the pipe's own trace counts.
    const bool refusal = l.module == "lib" && l.function == "fifo_handle" &&
                         l.text.compare(0, 15, "reply refused: ") == 0;
    event_log().push_back("trace " + l.module + " " + l.function + " " + (refusal ? "reply refused" : l.text));
    fuzz_traces().clear();
}

void record(const char *value, void *data)
{
    event_log().push_back("call " + std::to_string(reinterpret_cast<uintptr_t>(data)) + " " + value);
}

struct Pipe {
    int read_fd = -1;
    int write_fd = -1;
};

// Once per process: the library makes its pipe and its node; the node goes
// at once (removed by the library, which removes only a node it made) so
// that none is left behind however the run ends, and commands are written
// into the open pipe itself.  When no pipe is served (a node with this
// process's name already exists), an anonymous pipe stands in: the
// splitting and matching are the same.
const Pipe &the_pipe()
{
    static Pipe p = [] {
        fuzz_capture_traces();
        dbgout_profile.output_hook = log_hook;
        Pipe made;
        int fd = fifo_init_fun();
        fifo_exit_fun(-1);
        if (fd >= 0) {
            made.read_fd = made.write_fd = fd;
        } else {
            int fds[2];
            FUZZ_CHECK(pipe(fds) == 0, "pipe");
            made.read_fd = fds[0];
            made.write_fd = fds[1];
            fcntl(made.write_fd, F_SETFL, O_NONBLOCK);
        }
        fcntl(made.read_fd, F_SETFL, O_NONBLOCK);  // an empty pipe must not block
        return made;
    }();
    return p;
}

const char trim_set[] = "\t\n\v\f\r \"";

std::string trimmed(const std::string &s)
{
    size_t end = s.size();
    while (end > 0 && strchr(trim_set, s[end - 1]) != nullptr && s[end - 1] != '\0')
        end--;
    size_t begin = 0;
    while (begin < end && strchr(trim_set, s[begin]) != nullptr && s[begin] != '\0')
        begin++;
    return s.substr(begin, end - begin);
}

struct Row {
    bool has_key, has_value, has_handler, help;
    std::string key, value;
};

// The rows as registered: tables of rows, in registration order.
struct Registry {
    std::vector<Row> rows;
    std::vector<std::vector<fifo_cmd>> tables;
    std::vector<std::vector<size_t>> table_rows;  // model: row numbers per registration

    bool live(const Row &r) const { return r.has_key && r.has_handler; }
    // The listing "help" makes.
    void listing(std::vector<std::string> &out) const
    {
        for (const auto &t : table_rows)
            for (size_t i : t)
                if (live(rows[i]))
                    out.push_back("trace cc fifo_print_debug " + rows[i].key + "=" +
                                  (rows[i].has_value ? rows[i].value : "NULL") + "\n");
    }
    // One piece: false when it fails.
    bool piece(const std::string &raw, std::vector<std::string> &out) const
    {
        std::string text = raw.substr(0, strlen(raw.c_str()));
        size_t eq = text.find('=');
        if (eq == std::string::npos)
            return false;
        std::string key = trimmed(text.substr(0, eq));
        std::string value = trimmed(text.substr(eq + 1));
        if (key.size() > 99 || value.size() > 99)
            return false;
        for (const auto &t : table_rows) {
            for (size_t i : t) {
                const Row &r = rows[i];
                if (!live(r) || r.key != key || (r.has_value && r.value != value))
                    continue;
                if (r.help)
                    listing(out);
                else
                    out.push_back("call " + std::to_string(i) + " " + value);
                return true;
            }
        }
        return false;
    }
    // What one read of `text` must do; its first piece continues one cut
    // at the end of the read before (starts_cut), its last piece goes on
    // in the pipe (ends_cut).
    void read(const std::string &text, bool starts_cut, bool ends_cut, std::vector<std::string> &out) const
    {
        bool failed = false;
        bool refused = false;
        size_t pos = 0;
        for (;;) {
            size_t semi = text.find(';', pos);
            std::string p = text.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
            const bool cut = (pos == 0 && starts_cut) || (semi == std::string::npos && ends_cut);
            if (!cut && p.compare(0, LC_REPLY_HEADER_LEN, std::string(LC_REPLY_HEADER, LC_REPLY_HEADER_LEN)) == 0) {
                out.push_back("trace lib fifo_handle reply refused");
                refused = true;
                failed = true;
            } else if (cut || refused || !piece(p, out)) {
                failed = true;
            }
            if (semi == std::string::npos || semi + 1 >= text.size())
                break;
            pos = semi + 1;
        }
        if (failed)
            out.push_back("trace lib fifo_handle please use echo \"help=1\" > /dev/libfifo \n");
    }
};

Registry &registry()
{
    static Registry r;
    return r;
}

void drain(int fd)
{
    char junk[512];
    while (read(fd, junk, sizeof junk) > 0) {
    }
}

// One fifo_handle against the model's pending bytes; `cut` says whether
// the last read ended inside a piece that went on.
void handle(const Pipe &p, std::string &pending, bool &cut)
{
    std::vector<std::string> want;
    if (pending.empty()) {
        want.push_back("trace lib fifo_handle no data yet\n\n");
    } else {
        size_t n = pending.size() < 256 ? pending.size() : 256;
        const bool ends_cut = n == 256 && pending.size() > n && pending[n - 1] != ';' && pending[n - 1] != '\n';
        registry().read(pending.substr(0, n), cut, ends_cut, want);
        cut = ends_cut;
        pending.erase(0, n);
    }
    event_log().clear();
    fifo_handle(p.read_fd);
    FUZZ_CHECK(event_log() == want, "handler calls and traces of one read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Pipe &p = the_pipe();
    fifo_exit_fun(-1);  // drops the previous input's registrations
    drain(p.read_fd);

    FuzzInput in(data, size);
    Registry &reg = registry();
    reg = Registry();
    size_t nrows = in.byte() % 9;
    for (size_t i = 0; i < nrows; i++) {
        uint8_t flags = in.byte();
        Row r;
        r.has_value = !(flags & 0x01);
        r.has_key = !(flags & 0x02);
        r.has_handler = !(flags & 0x04);
        r.help = (flags & 0x10) != 0;
        r.key = in.counted(127);
        r.key = r.key.substr(0, strlen(r.key.c_str()));
        r.value = in.counted(127);
        r.value = r.value.substr(0, strlen(r.value.c_str()));
        reg.rows.push_back(r);
        if (i == 0 || (flags & 0x08))
            reg.tables.emplace_back();
        reg.tables.back().push_back({nullptr, nullptr, nullptr,
                                     reinterpret_cast<void *>(static_cast<uintptr_t>(i))});
    }
    // Pointers into the rows' texts, now that no row moves any more.
    size_t at = 0;
    for (auto &t : reg.tables) {
        reg.table_rows.emplace_back();
        for (fifo_cmd &c : t) {
            const Row &r = reg.rows[at];
            c.key = r.has_key ? r.key.c_str() : nullptr;
            c.value = r.has_value ? r.value.c_str() : nullptr;
            c.handler = !r.has_handler ? nullptr : r.help ? fifo_print_debug : record;
            reg.table_rows.back().push_back(at++);
        }
    }
    uint8_t extras = in.byte();
    for (const auto &t : reg.tables)
        add_fifo_work(t.data(), static_cast<int32_t>(t.size()));
    if ((extras & 0x02) && !reg.tables.empty())
        add_fifo_work(reg.tables[0].data(), 0);  // no rows: not registered
    if ((extras & 0x01) && !reg.tables.empty()) {
        add_fifo_work(reg.tables[0].data(), static_cast<int32_t>(reg.tables[0].size()));
        reg.table_rows.push_back(reg.table_rows[0]);  // listed twice, the first wins
    }

    std::string pending;  // written, not read yet
    bool cut = false;     // the last read ended inside a piece
    while (!in.empty()) {
        std::string text;
        uint8_t end = 0;
        while (!in.empty()) {
            uint8_t b = in.byte();
            if (b == 0xff || b == 0xfe) {
                end = b;
                break;
            }
            text += static_cast<char>(b);
        }
        // A pipe holds at least one page: writes never have to wait.
        if (!text.empty() && pending.size() + text.size() <= 4096) {
            FUZZ_CHECK(write(p.write_fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write");
            pending += text;
        }
        if (end == 0xff)
            handle(p, pending, cut);
    }
    while (!pending.empty())
        handle(p, pending, cut);
    handle(p, pending, cut);
    return 0;
}
