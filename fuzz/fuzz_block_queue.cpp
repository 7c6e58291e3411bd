// fuzz_block_queue.cpp - random queue_create3 / write3 / read3 / clear3 /
// length3 sequences on one block queue record against a model of its blocks:
// result words, blocks out in write order with their size, type and 64-bit
// value, out-values untouched by a read of an empty queue, the length, the
// record zeroed by a refused create, and the traces of each operation.
#include "fuzz_input.h"

namespace {

enum { MAX_BLOCK = 3000 };  // bytes of the largest block the input writes

struct Block {
    uint32_t size;
    int32_t type;
    uint64_t value;
    uint8_t data[MAX_BLOCK];
};

struct Model {
    uint32_t capacity = 0;  // a zeroed record is a queue that is always full
    // The stored blocks, oldest first; a queue holds at most BLOCK_QUEUE_MAX.
    FixedQueue<Block, BLOCK_QUEUE_MAX> stored;

    void reset()
    {
        capacity = 0;
        stored.clear();
    }
};

void check(block_queue_t *q, const Model &m, const WantedTraces &traces, const char *op)
{
    FUZZ_CHECK(queue_length3(q) == m.stored.size(), op);
    FUZZ_CHECK(q->maxdata == m.capacity, op);
    FUZZ_CHECK(fuzz_traces_are(traces), op);
}

// What queue_clear3 leaves in the tables, and a zeroed record, to compare
// whole tables at once.
struct Cleared {
    int32_t type[BLOCK_QUEUE_MAX];
    uint8_t zeros[sizeof(block_queue_t)] = {};
    Cleared()
    {
        for (int32_t &t : type)
            t = BLOCK_TYPE_NONE;
    }
};

const Cleared &cleared()
{
    static const Cleared c;
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_capture_traces();
    FuzzInput in(data, size);
    // A heap record of its exact size, zeroed, as a caller would make it.
    block_queue_t *q = reinterpret_cast<block_queue_t *>(fuzz_block(0, sizeof(block_queue_t)));
    memset(q, 0, sizeof *q);
    const Cleared &clear = cleared();
    static Model m;  // its blocks are large: kept, and reset per input
    m.reset();
    static WantedTraces traces;  // wanted by one step

    for (int steps = 0; !in.empty() && steps < 1000; steps++) {
        uint8_t op = in.byte();
        const char *name = "?";
        traces.clear();
        switch (op % 5) {
        case 0: {
            // Create zeroes the record without releasing blocks: empty it
            // first, as its owner would.
            name = "queue_create3";
            if (!m.stored.empty()) {
                FUZZ_CHECK(queue_clear3(q) == LC_QUEUE_OK, "queue_clear3 before create");
                fuzz_traces().clear();
            }
            uint16_t capacity = (op & 0x80) ? in.u16() % 600 : in.byte() % 12;
            uint32_t rc = queue_create3(q, capacity);
            m.reset();
            if (capacity > BLOCK_QUEUE_MAX) {
                FUZZ_CHECK(rc == LC_QUEUE_ERR, name);
                FUZZ_CHECK(memcmp(q, clear.zeros, sizeof *q) == 0,
                           "queue_create3: refused capacity leaves the record zeroed");
            } else {
                FUZZ_CHECK(rc == LC_QUEUE_OK, name);
                m.capacity = capacity;
                traces.add("mutex:%p\n", static_cast<void *>(&q->lock));
            }
            break;
        }
        case 1: {
            name = "queue_write3";
            uint32_t len = (op & 0x80) ? in.u16() % 3000 : in.byte();
            int32_t type = static_cast<int32_t>(in.u32());
            uint64_t value = in.u64();
            bool null_data = (op & 0x60) == 0x60;
            uint8_t *copy = fuzz_block(1, len);
            in.fill(copy, len, 0x44);
            bool stores = !null_data && len != 0 && m.stored.size() != m.capacity;
            if (stores) {
                Block &b = m.stored.push_back();
                b.size = len;
                b.type = type;
                b.value = value;
                memcpy(b.data, copy, len);
            }
            uint32_t rc = queue_write3(q, null_data ? nullptr : copy, len, type, value);
            memset(copy, 0, len);  // the queue holds its own copy
            uint32_t want = LC_QUEUE_OK;
            if (null_data) {
                want = LC_QUEUE_ERR;
                traces.add("p_data == NULL\n");
            } else if (len == 0) {
                want = LC_QUEUE_ERR;
                traces.add("length == 0\n");
            } else if (!stores) {
                want = LC_QUEUE_FULL;
                traces.add("###########Data Full!, queue_length: %zu, queue->maxdata: %u\n", m.stored.size(),
                           m.capacity);
            }
            FUZZ_CHECK(rc == want, name);
            break;
        }
        case 2: {
            name = "queue_read3";
            uint32_t got_size = 0xabababab;
            int32_t got_type = 0x5a5a5a5a;
            uint64_t got_value = 0x1234567890abcdefull;
            bool skip_outs = (op & 0xe0) == 0xe0;  // null out pointers are skipped
            void *block = skip_outs ? queue_read3(q, nullptr, nullptr, nullptr)
                                    : queue_read3(q, &got_size, &got_type, &got_value);
            if (m.stored.empty()) {
                FUZZ_CHECK(block == nullptr, name);
                FUZZ_CHECK(got_size == 0xabababab && got_type == 0x5a5a5a5a && got_value == 0x1234567890abcdefull,
                           "queue_read3: empty read leaves the out-values alone");
                break;
            }
            const Block &b = m.stored.front();
            FUZZ_CHECK(block != nullptr && memcmp(block, b.data, b.size) == 0, "queue_read3: blocks in write order");
            if (!skip_outs)
                FUZZ_CHECK(got_size == b.size && got_type == b.type && got_value == b.value,
                           "queue_read3: size, type and value");
            free(block);
            m.stored.pop_front();
            break;
        }
        case 3:
            name = "queue_clear3";
            FUZZ_CHECK(queue_clear3(q) == LC_QUEUE_OK, name);
            m.stored.clear();
            traces.add("enter queue_clear3\n");
            traces.add("leave queue_clear3\n");
            FUZZ_CHECK(memcmp(q->type, clear.type, sizeof q->type) == 0, "queue_clear3: types reset");
            FUZZ_CHECK(memcmp(q->size, clear.zeros, sizeof q->size) == 0, "queue_clear3: sizes reset");
            FUZZ_CHECK(memcmp(q->value, clear.zeros, sizeof q->value) == 0, "queue_clear3: values reset");
            FUZZ_CHECK(memcmp(q->block, clear.zeros, sizeof q->block) == 0, "queue_clear3: blocks released");
            break;
        case 4:
            name = "null record";
            FUZZ_CHECK(queue_create3(nullptr, 4) == LC_QUEUE_ERR && queue_length3(nullptr) == LC_QUEUE_ERR &&
                           queue_clear3(nullptr) == LC_QUEUE_ERR &&
                           queue_write3(nullptr, "x", 1, 0, 0) == LC_QUEUE_ERR &&
                           queue_read3(nullptr, nullptr, nullptr, nullptr) == nullptr,
                       name);
            break;
        }
        check(q, m, traces, name);
    }
    queue_clear3(q);
    pthread_mutex_destroy(&q->lock);
    return 0;
}
