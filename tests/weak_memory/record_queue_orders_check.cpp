// The memory orders of RecordQueue under the C++ memory model itself. Relacy
// runs a pusher and the host as two simulated threads, picks the interleaving,
// and lets every atomic load return any value the model allows, not only what
// x86 shows: a store that a missing release or acquire lets the host see early
// or late is found here, where no test on this hardware can see it. Plain
// memory (the records in the ring's chunks) is not modelled; ThreadSanitizer
// checks that the orders publish it.
//
// Each host call must return the queue after some number n of pushes, n never
// going back; an emptying push's record must arrive whole.
#include <relacy/relacy.hpp>

// Relacy renames new, delete and the memory orders by macro for the code it
// instruments; the queue is given simulated atomics instead (below) and keeps
// the real names.
#undef new
#undef delete
#undef malloc
#undef calloc
#undef realloc
#undef free
#undef memory_order_relaxed
#undef memory_order_consume
#undef memory_order_acquire
#undef memory_order_release
#undef memory_order_acq_rel
#undef memory_order_seq_cst

// Relacy tracks the plain new and delete; the queue's nothrow new must come
// from the same place (and deletes are unsized: -fno-sized-deallocation).
inline void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return operator new(size); }

#include "extension/records/record_queue.h"

#include <cstdio>

namespace {

rl::memory_order Simulated(std::memory_order order) {
    switch (order) {
    case std::memory_order_relaxed:
        return rl::mo_relaxed;
    case std::memory_order_consume:
        return rl::mo_consume;
    case std::memory_order_acquire:
        return rl::mo_acquire;
    case std::memory_order_release:
        return rl::mo_release;
    case std::memory_order_acq_rel:
        return rl::mo_acq_rel;
    default:
        return rl::mo_seq_cst;
    }
}

// The queue's atomics, as loads and stores of the simulated memory model.
template <class T>
class SimulatedAtomic {
public:
    SimulatedAtomic() : m_value(T()) {}
    SimulatedAtomic(T value) : m_value(value) {}
    T load(std::memory_order order) const { return m_value.load(Simulated(order), $); }
    void store(T value, std::memory_order order) { m_value.store(value, Simulated(order), $); }

private:
    rl::atomic<T> m_value;
};

struct SimulatedTraits : okulon::RecordQueueTraits {
    template <class T>
    using Atomic = SimulatedAtomic<T>;
};

struct TestRecord {
    uint64_t sequence;
    uint64_t check;
    uint64_t spare;
};

TestRecord MakeRecord(uint64_t sequence) { return {sequence, sequence * 0x9E3779B97F4A7C15ull, ~sequence}; }

bool IsIntact(const TestRecord& record) {
    const TestRecord expected = MakeRecord(record.sequence);
    return record.check == expected.check && record.spare == expected.spare;
}

// The pusher's script: a keep-all record, an emptying push, two keep-all
// records, another emptying push and a last keep-all record.
constexpr int kPushes = 6;
constexpr bool kKeepAll[kPushes + 1] = {true, true, false, true, true, false, true};

// First sequence of the segment that holds sequence n (1 before any emptying push).
uint64_t SegmentStart(uint64_t n) {
    uint64_t start = 1;
    for (uint64_t sequence = 1; sequence <= n; ++sequence) {
        if (!kKeepAll[sequence]) start = sequence;
    }
    return start;
}

struct QueueOrders : rl::test_suite<QueueOrders, 2> {
    okulon::RecordQueue<TestRecord, SimulatedTraits> queue;

    void thread(unsigned index) {
        if (index == 0) {
            for (uint64_t sequence = 1; sequence <= kPushes; ++sequence) {
                queue.Push(MakeRecord(sequence), kKeepAll[sequence]);
            }
            return;
        }
        uint64_t removedUpTo = 0;
        uint64_t atLeast = 0;  // pushes every earlier call saw
        TestRecord buffer[kPushes];
        const int32_t requests[] = {0, 1, 0, 2, 0, 8};
        for (int32_t request : requests) {
            const int32_t result = request == 0 ? queue.Count() : queue.Fetch(buffer, request);
            bool explained = false;
            for (uint64_t n = atLeast; n <= kPushes && !explained; ++n) {
                const uint64_t first = std::max(SegmentStart(n), removedUpTo + 1);
                const int64_t held = n >= first ? static_cast<int64_t>(n - first + 1) : 0;
                explained = result == (request == 0 ? held : std::min<int64_t>(request, held));
                for (int32_t i = 0; explained && request != 0 && i < result; ++i) {
                    explained = buffer[i].sequence == first + i && IsIntact(buffer[i]);
                }
                if (explained) atLeast = n;
            }
            RL_ASSERT(explained);
            if (request != 0 && result > 0) removedUpTo = buffer[result - 1].sequence;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    rl::test_params params;
    params.iteration_count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000000;
    params.search_type = rl::random_scheduler_type;
    if (!rl::simulate<QueueOrders>(params)) {
        return 1;
    }
    std::printf("%lu iterations: every host call was the queue after some pushes\n",
                static_cast<unsigned long>(params.iteration_count));
    return 0;
}
