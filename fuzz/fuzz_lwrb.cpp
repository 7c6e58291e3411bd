// fuzz_lwrb.cpp - random lwrb_* sequences against a model: the stored bytes
// in order, the two indices, and a shadow of the caller's array (so
// that zero-copy writes and advances over bytes written earlier are known,
// and so that no operation touches array bytes it should not).  Covers
// write, read, peek, skip, advance, the linear read and write blocks,
// reset, events (kind and count, in order), free and re-init, and records
// that are not ready.
#include "fuzz_input.h"

#include <algorithm>

namespace {

// The bytes stored, oldest first, in one contiguous run (so that ranges of
// them compare with one memcmp): taken bytes are dropped from the front
// only once they are the larger part.
class ByteQueue {
public:
    size_t size() const { return bytes_.size() - head_; }
    bool empty() const { return size() == 0; }
    // The stored bytes from i on (i at most size()).
    const uint8_t *at(size_t i) const { return bytes_.data() + head_ + i; }
    uint8_t operator[](size_t i) const { return bytes_[head_ + i]; }
    void append(const uint8_t *p, size_t n) { bytes_.insert(bytes_.end(), p, p + n); }
    void drop(size_t n)
    {
        head_ += n;
        if (head_ > 4096 && head_ * 2 > bytes_.size()) {
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    void clear()
    {
        bytes_.clear();
        head_ = 0;
    }

private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
};

struct Event {
    lwrb_t *rb;
    uint32_t kind;
    uint32_t count;
    bool operator==(const Event &o) const { return rb == o.rb && kind == o.kind && count == o.count; }
};

std::vector<Event> &events()
{
    static std::vector<Event> e;
    return e;
}

void on_event(lwrb_t *rb, uint32_t kind, uint32_t count)
{
    events().push_back({rb, kind, count});
}

struct Model {
    bool ready = false;
    uint32_t size = 0;
    uint32_t r = 0;
    uint32_t w = 0;
    bool callback = false;
    ByteQueue stored;
    std::vector<uint8_t> shadow;  // the array as the model says it must be
    std::vector<Event> expected;  // events since the last check

    // Back to a record never initialised; the vectors keep their storage.
    void reset()
    {
        ready = callback = false;
        size = r = w = 0;
        stored.clear();
        shadow.clear();
        expected.clear();
    }
    uint32_t free_bytes() const { return ready ? size - 1 - static_cast<uint32_t>(stored.size()) : 0; }
    void event(lwrb_t *rb, uint32_t kind, uint32_t count)
    {
        if (callback)
            expected.push_back({rb, kind, count});
    }
    // Producer side: n bytes of the shadow from w on become stored (n is
    // at most the free bytes, so it wraps at most once).
    void produce(uint32_t n)
    {
        if (n == 0)
            return;
        uint32_t first = std::min(n, size - w);
        stored.append(shadow.data() + w, first);
        stored.append(shadow.data(), n - first);
        w = (w + n) % size;
    }
    void consume(uint32_t n)
    {
        if (n == 0)
            return;
        stored.drop(n);
        r = (r + n) % size;
    }
    // Writes n bytes into the shadow from w on, wrapping at the end.
    void fill(const uint8_t *p, uint32_t n)
    {
        if (n == 0)
            return;
        uint32_t first = std::min(n, size - w);
        memcpy(shadow.data() + w, p, first);
        memcpy(shadow.data(), p + first, n - first);
    }
    uint32_t linear_read() const
    {
        if (!ready)
            return 0;
        return w > r ? w - r : r > w ? size - r : 0;
    }
    uint32_t linear_write() const
    {
        if (!ready)
            return 0;
        if (w >= r)
            return size - w - (r == 0 ? 1 : 0);
        return r - w - 1;
    }
};

// After every step, what a step changes: the events, readiness, the
// indices and the whole array (so that no operation touches bytes it
// should not).  A sweep adds what the record answers about itself: the
// stored and free counts, the linear blocks' lengths and addresses, and
// where the stored bytes lie in the array.
void check(lwrb_t *rb, Model &m, bool sweep, const char *op)
{
    FUZZ_CHECK(events() == m.expected, op);
    events().clear();
    m.expected.clear();
    FUZZ_CHECK(lwrb_is_ready(rb) == (m.ready ? 1 : 0), op);
    if (m.ready) {
        FUZZ_CHECK(rb->read_index == m.r && rb->write_index == m.w, op);
        FUZZ_CHECK(memcmp(rb->data, m.shadow.data(), m.size) == 0, op);
    }
    if (!sweep)
        return;
    FUZZ_CHECK(lwrb_get_full(rb) == (m.ready ? m.stored.size() : 0), op);
    FUZZ_CHECK(lwrb_get_free(rb) == m.free_bytes(), op);
    FUZZ_CHECK(lwrb_get_linear_block_read_length(rb) == m.linear_read(), op);
    FUZZ_CHECK(lwrb_get_linear_block_write_length(rb) == m.linear_write(), op);
    if (!m.ready) {
        FUZZ_CHECK(lwrb_get_linear_block_read_address(rb) == nullptr, op);
        FUZZ_CHECK(lwrb_get_linear_block_write_address(rb) == nullptr, op);
        return;
    }
    FUZZ_CHECK(lwrb_get_linear_block_read_address(rb) == rb->data + m.r, op);
    FUZZ_CHECK(lwrb_get_linear_block_write_address(rb) == rb->data + m.w, op);
    // The stored bytes are where the indices say.
    size_t first = std::min<size_t>(m.stored.size(), m.size - m.r);
    FUZZ_CHECK(fuzz_same_bytes(m.shadow.data() + m.r, m.stored.at(0), first), op);
    FUZZ_CHECK(fuzz_same_bytes(m.shadow.data(), m.stored.at(first), m.stored.size() - first), op);
}

// Slots of fuzz_block: the ring's array, and the source or destination of
// one call.
enum { ARRAY_BLOCK, CALL_BLOCK };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    lwrb_t rb;
    memset(&rb, 0, sizeof rb);  // never initialised: not ready
    static Model m;             // kept, so that its vectors keep their storage
    m.reset();
    uint8_t *array = nullptr;
    events().clear();
    check(&rb, m, true, "not initialised");

    for (int steps = 0; !in.empty() && steps < 2000; steps++) {
        uint8_t op = in.byte();
        const char *name = "?";
        switch (op % 13) {
        case 0: {
            name = "lwrb_init";
            uint32_t n = (op & 0x80) ? in.u16() % 2048 + 1 : in.byte() % 64 + 1;
            array = fuzz_block(ARRAY_BLOCK, n);
            uint8_t fill = in.byte();
            memset(array, fill, n);
            FUZZ_CHECK(lwrb_init(&rb, array, n) == 1, name);
            m.reset();
            m.ready = true;
            m.size = n;
            m.shadow.assign(n, fill);
            FUZZ_CHECK(rb.guard_begin == LWRB_GUARD_BEGIN && rb.guard_end == LWRB_GUARD_END, name);
            break;
        }
        case 1: {
            name = "lwrb_write";
            size_t len = (op & 0x80) ? in.u16() % 4096 : in.byte();
            len = std::min(len, in.left());
            uint8_t *copy = fuzz_block(CALL_BLOCK, len);
            in.fill(copy, len, 0);
            // The model takes its bytes before the call, so that a write
            // that changed its source could not change them too.
            uint32_t n = std::min<uint32_t>(m.free_bytes(), static_cast<uint32_t>(len));
            m.fill(copy, n);
            FUZZ_CHECK(lwrb_write(&rb, copy, static_cast<uint32_t>(len)) == n, name);
            m.produce(n);
            if (n > 0)
                m.event(&rb, LWRB_EVT_WRITE, n);
            FUZZ_CHECK(lwrb_write(&rb, nullptr, 5) == 0, name);
            break;
        }
        case 2: {
            name = "lwrb_read";
            uint32_t count = (op & 0x80) ? in.u16() % 4096 : in.byte();
            uint8_t *dst = fuzz_block(CALL_BLOCK, count);
            uint32_t n = m.ready ? std::min<uint32_t>(static_cast<uint32_t>(m.stored.size()), count) : 0;
            FUZZ_CHECK(lwrb_read(&rb, dst, count) == n, name);
            FUZZ_CHECK(fuzz_same_bytes(dst, m.stored.at(0), n), "lwrb_read: bytes in order");
            m.consume(n);
            if (n > 0)
                m.event(&rb, LWRB_EVT_READ, n);
            FUZZ_CHECK(lwrb_read(&rb, nullptr, 5) == 0, name);
            break;
        }
        case 3: {
            name = "lwrb_peek";
            uint32_t skip = in.byte();
            uint32_t count = in.byte();
            uint8_t *dst = fuzz_block(CALL_BLOCK, count);
            uint32_t full = m.ready ? static_cast<uint32_t>(m.stored.size()) : 0;
            uint32_t n = skip >= full ? 0 : std::min(full - skip, count);
            FUZZ_CHECK(lwrb_peek(&rb, skip, dst, count) == n, name);
            FUZZ_CHECK(n == 0 || memcmp(dst, m.stored.at(skip), n) == 0, "lwrb_peek: bytes after skip");
            FUZZ_CHECK(lwrb_peek(&rb, 0, nullptr, 5) == 0, name);
            break;
        }
        case 4: {
            name = "lwrb_skip";
            uint32_t count = (op & 0x80) ? in.u32() : in.byte();
            uint32_t n = m.ready ? std::min<uint32_t>(static_cast<uint32_t>(m.stored.size()), count) : 0;
            FUZZ_CHECK(lwrb_skip(&rb, count) == n, name);
            m.consume(n);
            if (m.ready && count > 0)
                m.event(&rb, LWRB_EVT_READ, n);
            break;
        }
        case 5: {
            name = "lwrb_advance";
            uint32_t count = (op & 0x80) ? in.u32() : in.byte();
            uint32_t n = m.ready ? std::min(m.free_bytes(), count) : 0;
            FUZZ_CHECK(lwrb_advance(&rb, count) == n, name);
            m.produce(n);
            if (m.ready && count > 0)
                m.event(&rb, LWRB_EVT_WRITE, n);
            break;
        }
        case 6: {
            // Producer zero-copy: fill part of the linear block in place,
            // then advance by what was filled (or a little more or less).
            name = "linear write";
            uint8_t *at = static_cast<uint8_t *>(lwrb_get_linear_block_write_address(&rb));
            uint32_t len = lwrb_get_linear_block_write_length(&rb);
            if (at == nullptr || len == 0)
                break;
            uint32_t k = in.byte() % (len + 1);
            uint8_t *fill = fuzz_block(CALL_BLOCK, k);
            in.fill(fill, k, 0x5a);
            memcpy(at, fill, k);
            memcpy(m.shadow.data() + m.w, fill, k);
            uint32_t count = k + (in.byte() % 5) - 2;
            if (static_cast<int32_t>(count) < 0)
                count = 0;
            uint32_t n = std::min(m.free_bytes(), count);
            FUZZ_CHECK(lwrb_advance(&rb, count) == n, name);
            m.produce(n);
            if (count > 0)
                m.event(&rb, LWRB_EVT_WRITE, n);
            break;
        }
        case 7: {
            // Consumer zero-copy: the linear block holds the oldest bytes.
            name = "linear read";
            const uint8_t *at = static_cast<const uint8_t *>(lwrb_get_linear_block_read_address(&rb));
            uint32_t len = lwrb_get_linear_block_read_length(&rb);
            if (at == nullptr)
                break;
            FUZZ_CHECK(len <= m.stored.size(), name);
            FUZZ_CHECK(fuzz_same_bytes(at, m.stored.at(0), len), "linear read: oldest bytes first");
            uint32_t count = len == 0 ? 0 : in.byte() % (len + 1);
            uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(m.stored.size()), count);
            FUZZ_CHECK(lwrb_skip(&rb, count) == n, name);
            m.consume(n);
            if (count > 0)
                m.event(&rb, LWRB_EVT_READ, n);
            break;
        }
        case 8:
            name = "lwrb_reset";
            lwrb_reset(&rb);
            if (m.ready) {
                m.stored.clear();
                m.r = m.w = 0;
                m.event(&rb, LWRB_EVT_RESET, 0);
            }
            break;
        case 9:
            name = "lwrb_set_evt_fn";
            lwrb_set_evt_fn(&rb, (op & 0x80) ? nullptr : on_event);
            if (m.ready)
                m.callback = !(op & 0x80);
            break;
        case 10:
            name = "lwrb_free";
            lwrb_free(&rb);
            m.ready = false;
            m.stored.clear();
            // Every operation of a record that is not ready returns 0.
            FUZZ_CHECK(lwrb_write(&rb, "ab", 2) == 0 && lwrb_skip(&rb, 1) == 0 && lwrb_advance(&rb, 1) == 0, name);
            break;
        case 11: {
            // Bad arguments to init refuse and leave a separate record unready.
            name = "lwrb_init refused";
            lwrb_t other;
            memset(&other, 0, sizeof other);
            uint8_t byte = 0;
            FUZZ_CHECK(lwrb_init(nullptr, &byte, 1) == 0, name);
            FUZZ_CHECK(lwrb_init(&other, nullptr, 1) == 0 && lwrb_is_ready(&other) == 0, name);
            FUZZ_CHECK(lwrb_init(&other, &byte, 0) == 0 && lwrb_is_ready(&other) == 0, name);
            FUZZ_CHECK(lwrb_is_ready(nullptr) == 0 && lwrb_get_full(nullptr) == 0, name);
            break;
        }
        case 12: {
            // A guard word overwritten by the caller: not ready until init.
            name = "guard broken";
            if (!m.ready || !(op & 0x80))
                break;
            uint32_t saved = rb.guard_end;
            rb.guard_end ^= 1u << (in.byte() % 32);
            FUZZ_CHECK(lwrb_is_ready(&rb) == 0 && lwrb_get_full(&rb) == 0, name);
            FUZZ_CHECK(lwrb_write(&rb, "x", 1) == 0 && lwrb_skip(&rb, 1) == 0, name);
            rb.guard_end = saved;
            break;
        }
        }
        check(&rb, m, fuzz_sweep_due(steps), name);
    }
    check(&rb, m, true, "end of input");
    return 0;
}
