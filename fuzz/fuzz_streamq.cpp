// fuzz_streamq.cpp - random streamq_* sequences against a model: the read
// and write indices, the held entries' contents in push order, and a
// shadow of every slot (the queue copies nothing, so a producer that fills
// the free entry must never change a held one).  Checks push/pop results,
// slot addresses and layout, held counts, streamq_inused and streamq_next
// for every index (also outside the ring), and the null-queue results.
#include "fuzz_input.h"

namespace {

// The largest queue the input can ask for: data_size below 40, info_size
// below 24, count below 12.  The model's entries have that room, so that
// it allocates nothing.
enum { MAX_DATA = 40, MAX_INFO = 24, MAX_COUNT = 12 };

struct Entry {
    uint8_t data[MAX_DATA];
    uint8_t info[MAX_INFO];
};

struct Model {
    int32_t data_size = 0;
    int32_t count = 0;
    uint32_t info_size = 0;
    int32_t r = 0;
    int32_t w = 0;
    Entry slots[MAX_COUNT];  // what every entry's slots must hold
    Entry held[MAX_COUNT];   // the held entries, oldest at held[first]
    int32_t first = 0;
    int32_t held_count = 0;

    const Entry &held_at(int32_t k) const { return held[(first + k) % MAX_COUNT]; }
    void hold(const Entry &e)
    {
        held[(first + held_count) % MAX_COUNT] = e;
        held_count++;
    }
    void release()
    {
        first = (first + 1) % MAX_COUNT;
        held_count--;
    }
    bool same(const Entry &a, const Entry &b) const
    {
        return memcmp(a.data, b.data, static_cast<size_t>(data_size)) == 0 && memcmp(a.info, b.info, info_size) == 0;
    }

    bool full() const { return (w + 1) % count == r; }
    bool in_held_range(int32_t i) const
    {
        if (i < 0 || i >= count)
            return false;
        return r <= w ? (r <= i && i < w) : (i >= r || i < w);
    }
};

// The slot at index i holds what was last put there.
void check_slot(streamq_t *q, const Model &m, int32_t i, const char *op)
{
    void *d = nullptr;
    void *f = nullptr;
    FUZZ_CHECK(streamq_query(q, i, &d, &f) == 0, op);
    FUZZ_CHECK(memcmp(d, m.slots[i].data, m.data_size) == 0, "data slots keep their bytes");
    FUZZ_CHECK(m.info_size == 0 || memcmp(f, m.slots[i].info, m.info_size) == 0, "info slots keep their bytes");
}

void check_inused(streamq_t *q, const Model &m, int32_t i)
{
    FUZZ_CHECK(streamq_inused(q, i) == (m.in_held_range(i) ? 1 : 0), "streamq_inused");
}

void check_next(streamq_t *q, const Model &m, int32_t i)
{
    FUZZ_CHECK(streamq_next(q, i) == (i < 0 || i >= m.count ? -1 : (i + 1) % m.count), "streamq_next");
}

// After every step, what a step changes: both indices and the bytes of
// the slot the step touched (`touched`, -1 for none), read in the record
// itself.  A sweep adds what the queue answers about itself: the indices
// through streamq_r and streamq_w, the held count, streamq_inused and
// streamq_next for every index (also just outside the ring), and every
// slot through streamq_query.
void check(streamq_t *q, const Model &m, int32_t touched, bool sweep, const char *op)
{
    if (q == nullptr) {
        void *d = nullptr;
        FUZZ_CHECK(streamq_r(nullptr) == -1 && streamq_w(nullptr) == -1 && streamq_used_buf(nullptr) == -1 &&
                       streamq_inused(nullptr, 0) == -1 && streamq_next(nullptr, 0) == -1 &&
                       streamq_push(nullptr) == -1 && streamq_pop(nullptr) == -1 &&
                       streamq_query(nullptr, 0, &d, &d) == -1,
                   op);
        return;
    }
    FUZZ_CHECK(q->read_index == m.r && q->write_index == m.w, op);
    if (!sweep) {
        if (touched >= 0 && touched < m.count) {
            const size_t i = static_cast<size_t>(touched);
            FUZZ_CHECK(memcmp(q->data + i * m.data_size, m.slots[i].data, m.data_size) == 0,
                       "data slots keep their bytes");
            FUZZ_CHECK(m.info_size == 0 || memcmp(q->info + i * m.info_size, m.slots[i].info, m.info_size) == 0,
                       "info slots keep their bytes");
        }
        return;
    }
    FUZZ_CHECK(streamq_r(q) == m.r && streamq_w(q) == m.w, op);
    FUZZ_CHECK(streamq_used_buf(q) == m.held_count, op);
    for (int32_t i = -1; i <= m.count; i++) {
        check_inused(q, m, i);
        check_next(q, m, i);
    }
    // Every slot holds what was last put there, held or not.
    for (int32_t i = 0; i < m.count; i++)
        check_slot(q, m, i, op);
    // The held entries, oldest first, are the ones pushed, in order.
    for (int32_t k = 0; k < m.held_count; k++) {
        const Entry &e = m.slots[(m.r + k) % m.count];
        FUZZ_CHECK(m.same(e, m.held_at(k)), "held entries in push order");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_capture_traces();
    FuzzInput in(data, size);
    streamq_t *q = nullptr;
    Model m;

    for (int steps = 0; !in.empty() && steps < 1000; steps++) {
        uint8_t op = in.byte();
        const char *name = "?";
        int32_t touched = -1;  // the slot the step filled, read or asked for
        switch (op % 6) {
        case 0: {
            name = "streamq_alloc";
            streamq_free(q);
            int32_t data_size = static_cast<int8_t>(in.byte()) % 40;
            int32_t count = static_cast<int8_t>(in.byte()) % 12;
            uint32_t info_size = in.byte() % 24;
            q = streamq_alloc(data_size, count, info_size);
            if (data_size < 1 || count < 1) {
                FUZZ_CHECK(q == nullptr, name);
                break;
            }
            FUZZ_CHECK(q != nullptr, name);
            m = Model();
            m.data_size = data_size;
            m.count = count;
            m.info_size = info_size;
            FUZZ_CHECK(q->data_size == data_size && q->count == count && q->info_size == info_size, name);
            // One block: header, then the info area, then the data area.
            FUZZ_CHECK(q->info == reinterpret_cast<uint8_t *>(q + 1), "info area after the header");
            FUZZ_CHECK(q->data == q->info + static_cast<size_t>(count) * info_size, "data area after the info area");
            break;
        }
        case 1:
        case 2: {
            // Producer: fill the entry at the write index in place (or not:
            // it then commits what the slots held), then push.
            name = "streamq_push";
            if (q == nullptr)
                break;
            int32_t w = streamq_w(q);
            touched = w;
            void *d = nullptr;
            void *f = nullptr;
            FUZZ_CHECK(streamq_query(q, w, &d, &f) == 0, name);
            FUZZ_CHECK(d == q->data + static_cast<size_t>(w) * m.data_size, "data slot address");
            FUZZ_CHECK(f == q->info + static_cast<size_t>(w) * m.info_size, "info slot address");
            if (op % 6 == 1) {
                Entry &e = m.slots[w];
                in.fill(e.data, static_cast<size_t>(m.data_size), 0x71);
                in.fill(e.info, m.info_size, 0x72);
                memcpy(d, e.data, static_cast<size_t>(m.data_size));
                memcpy(f, e.info, m.info_size);
            }
            int32_t rc = streamq_push(q);
            if (m.full()) {
                FUZZ_CHECK(rc == -1, "push on a full queue");
            } else {
                m.hold(m.slots[w]);
                m.w = (m.w + 1) % m.count;
                FUZZ_CHECK(rc == m.w, name);
            }
            break;
        }
        case 3: {
            // Consumer: the entry at the read index is the oldest pushed.
            name = "streamq_pop";
            if (q == nullptr)
                break;
            if (m.held_count != 0) {
                touched = m.r;
                void *d = nullptr;
                void *f = nullptr;
                FUZZ_CHECK(streamq_query(q, streamq_r(q), &d, &f) == 0, name);
                FUZZ_CHECK(memcmp(d, m.held_at(0).data, m.data_size) == 0, "oldest data first");
                FUZZ_CHECK(m.info_size == 0 || memcmp(f, m.held_at(0).info, m.info_size) == 0, "oldest info first");
            }
            int32_t rc = streamq_pop(q);
            if (m.held_count == 0) {
                FUZZ_CHECK(rc == -1, "pop on an empty queue");
            } else {
                m.release();
                m.r = (m.r + 1) % m.count;
                FUZZ_CHECK(rc == m.r, name);
            }
            break;
        }
        case 4: {
            // Query out of range: -1 and the out-values left alone; null
            // out pointers are skipped.
            name = "streamq_query";
            if (q == nullptr)
                break;
            int32_t index = static_cast<int8_t>(in.byte());
            touched = index;
            void *d = &m;
            void *f = &m;
            int32_t rc = streamq_query(q, index, &d, &f);
            if (index < 0 || index >= m.count) {
                FUZZ_CHECK(rc == -1 && d == &m && f == &m, name);
            } else {
                FUZZ_CHECK(rc == 0 && d == q->data + static_cast<size_t>(index) * m.data_size, name);
                FUZZ_CHECK(streamq_query(q, index, nullptr, nullptr) == 0, name);
            }
            break;
        }
        case 5:
            name = "streamq_free";
            streamq_free(q);
            q = nullptr;
            streamq_free(nullptr);
            break;
        }
        check(q, m, touched, fuzz_sweep_due(steps), name);
    }
    check(q, m, -1, true, "end of input");
    streamq_free(q);
    return 0;
}
