// fuzz_slot_queue.cpp - random queue_create / clear / flush / write / read
// sequences on one slot queue record against a model of its slots: result
// words, slot index of every read, the 512 bytes read (data, then zeros),
// len / type / info of the slot read, the length, depth and write limit
// bounds, and the traces of refused writes.
#include "fuzz_input.h"

#include <algorithm>

namespace {

struct Slot {
    uint32_t index;
    uint16_t len;
    uint8_t data[SLOT_QUEUE_SLOT_SIZE];
    uint16_t type;
    slot_queue_info info;
};

struct Model {
    bool valid = false;  // created (a zeroed record reads as empty, refuses writes)
    uint32_t depth = 0;
    uint32_t maxdata = 0;
    uint32_t in = 0;  // slot the next write fills
    // The stored slots, oldest first; a queue holds fewer than SLOT_QUEUE_SLOTS.
    FixedQueue<Slot, SLOT_QUEUE_SLOTS> stored;

    void reset()
    {
        valid = false;
        depth = maxdata = in = 0;
        stored.clear();
    }
    void restart(uint32_t d)
    {
        depth = d < 1 ? 1 : d > SLOT_QUEUE_SLOTS ? SLOT_QUEUE_SLOTS : d;
        valid = true;
        in = 0;
        stored.clear();
    }
};

void check(const slot_queue_t *q, const Model &m, const WantedTraces &traces, const char *op)
{
    FUZZ_CHECK(queue_length(q) == m.stored.size(), op);
    if (m.valid)
        FUZZ_CHECK(q->depth == m.depth && q->maxdata == m.maxdata, op);
    // "Data Too Long!" is followed by the length.
    FUZZ_CHECK(fuzz_traces_are(traces, true), op);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_capture_traces();
    FuzzInput in(data, size);
    // A heap record of its exact size, zeroed, as a caller would make it.
    slot_queue_t *q = reinterpret_cast<slot_queue_t *>(fuzz_block(0, sizeof(slot_queue_t)));
    memset(q, 0, sizeof *q);
    static Model m;  // its slots are large: kept, and reset per input
    m.reset();
    static WantedTraces traces;  // wanted by one step
    traces.clear();
    check(q, m, traces, "never created");
    static const uint8_t zeros[SLOT_QUEUE_SLOT_SIZE] = {};

    for (int steps = 0; !in.empty() && steps < 1000; steps++) {
        uint8_t op = in.byte();
        const char *name = "?";
        traces.clear();
        switch (op % 5) {
        case 0: {
            name = "queue_create";
            uint8_t depth = in.byte() % 40;
            uint8_t maxdata = in.byte() % 40;
            FUZZ_CHECK(queue_create(q, depth, maxdata) == LC_QUEUE_OK, name);
            m.restart(depth);
            m.maxdata = std::min<uint32_t>(maxdata, m.depth - 1);
            break;
        }
        case 1:
            name = "queue_clear";
            queue_clear(q);
            m.restart(m.depth);
            m.maxdata = std::min<uint32_t>(31, m.depth - 1);
            break;
        case 2:
            name = "queue_flush";
            queue_flush(q);
            m.restart(m.depth);
            m.maxdata = 0;
            break;
        case 3: {
            name = "queue_write";
            uint16_t len = (op & 0x80) ? in.u16() % 600 : in.byte();
            uint16_t type = in.u16();
            slot_queue_info info;
            for (uint32_t &w : info.word)
                w = in.u32();
            bool null_data = (op & 0x60) == 0x60;
            uint8_t *copy = fuzz_block(1, len);
            in.fill(copy, len, 0x33);
            uint32_t rc = queue_write(q, null_data ? nullptr : copy, len, type, info);
            uint32_t want;
            if (null_data) {
                want = LC_QUEUE_ERR;
                traces.add("Data Null!\n\n");
            } else if (len > SLOT_QUEUE_SLOT_SIZE) {
                want = LC_QUEUE_ERR;
                traces.add("Data Too Long!");
            } else if (!m.valid) {
                want = LC_QUEUE_ERR;
            } else if (m.stored.size() >= m.maxdata) {
                want = LC_QUEUE_FULL;
                traces.add("Data Full!\n\n");
            } else {
                want = LC_QUEUE_OK;
                Slot &s = m.stored.push_back();
                s.index = m.in;
                s.len = len;
                memcpy(s.data, copy, len);
                s.type = type;
                s.info = info;
                m.in = (m.in + 1) % m.depth;
            }
            FUZZ_CHECK(rc == want, name);
            break;
        }
        case 4: {
            name = "queue_read";
            uint8_t buf[SLOT_QUEUE_SLOT_SIZE];
            memset(buf, 0xee, sizeof buf);
            if (op & 0x80) {
                FUZZ_CHECK(queue_read(q, nullptr) == LC_QUEUE_ERR, "queue_read: null buffer");
                break;
            }
            uint32_t rc = queue_read(q, buf);
            if (m.stored.empty()) {
                FUZZ_CHECK(rc == LC_QUEUE_ERR, name);
                break;
            }
            const Slot &s = m.stored.front();
            FUZZ_CHECK(rc == s.index, "queue_read: slot index");
            FUZZ_CHECK(memcmp(buf, s.data, s.len) == 0, "queue_read: data");
            FUZZ_CHECK(memcmp(buf + s.len, zeros, sizeof buf - s.len) == 0, "queue_read: rest of the slot zero");
            FUZZ_CHECK(q->len[rc] == s.len && q->type[rc] == s.type, "queue_read: len and type");
            FUZZ_CHECK(memcmp(&q->info[rc], &s.info, sizeof s.info) == 0, "queue_read: info");
            m.stored.pop_front();
            break;
        }
        }
        check(q, m, traces, name);
    }
    FUZZ_CHECK(queue_create(nullptr, 4, 3) == LC_QUEUE_ERR && queue_length(nullptr) == LC_QUEUE_ERR, "null record");
    return 0;
}
