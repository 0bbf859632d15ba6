// RecordQueue's use of the heap on the record path: a host that keeps up, and
// a stream that keeps only its newest record, cause no allocation once the
// queue has its working chunks. This file counts every allocation of the test
// executable by replacing the global allocation functions.
#include "extension/records/record_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "extension/records/records.h"

namespace {

std::atomic<int64_t> g_allocations{0};

// Kept out of line: inlined, the compiler takes malloc and free through the
// replaced operators for a mismatched pair.
[[gnu::noinline]] void* CountedAllocate(std::size_t size) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

[[gnu::noinline]] void Release(void* pointer) noexcept { std::free(pointer); }

}  // namespace

void* operator new(std::size_t size) {
    void* pointer = CountedAllocate(size);
    if (pointer == nullptr) {
        throw std::bad_alloc();
    }
    return pointer;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void operator delete(void* pointer) noexcept { Release(pointer); }
void operator delete[](void* pointer) noexcept { Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { Release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { Release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { Release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { Release(pointer); }

namespace okulon {
namespace {

using GazeQueue = RecordQueue<GazeRecord>;
constexpr int64_t kChunk = static_cast<int64_t>(GazeQueue::kChunkCapacity);

GazeRecord MakeGaze(int64_t sequence) {
    GazeRecord record{};
    record.time = sequence;
    return record;
}

// Pushes `count` keep-all records, fetching everything every `fetchEvery`;
// returns the allocations counted meanwhile.
int64_t AllocationsWhileKeepingUp(GazeQueue& queue, std::vector<GazeRecord>& out, int64_t& next, int64_t count,
                                  int64_t fetchEvery) {
    const int64_t before = g_allocations.load();
    for (int64_t i = 0; i < count; ++i) {
        queue.Push(MakeGaze(next++), true);
        if (i % fetchEvery == fetchEvery - 1) {
            queue.Fetch(out.data(), static_cast<int32_t>(out.size()));
        }
    }
    return g_allocations.load() - before;
}

TEST(RecordQueueAllocation, AHostThatKeepsUpCausesNoAllocationInSteadyState) {
    auto queue = std::make_unique<GazeQueue>();
    std::vector<GazeRecord> out(static_cast<std::size_t>(2 * kChunk));
    int64_t next = 0;
    for (int64_t fetchEvery : {int64_t{1}, int64_t{32}, kChunk - 1, kChunk + 3}) {
        SCOPED_TRACE(fetchEvery);
        AllocationsWhileKeepingUp(*queue, out, next, 3 * kChunk, fetchEvery);  // warm-up
        EXPECT_EQ(AllocationsWhileKeepingUp(*queue, out, next, 50 * kChunk, fetchEvery), 0);
    }
}

TEST(RecordQueueAllocation, AStreamThatKeepsOnlyItsNewestRecordNeverAllocates) {
    auto queue = std::make_unique<GazeQueue>();
    const int64_t before = g_allocations.load();
    for (int64_t i = 0; i < 20 * kChunk; ++i) {
        queue->Push(MakeGaze(i), false);
    }
    EXPECT_EQ(g_allocations.load() - before, 0);
    GazeRecord newest{};
    ASSERT_EQ(queue->Fetch(&newest, 1), 1);
    EXPECT_EQ(newest.time, 20 * kChunk - 1);
}

TEST(RecordQueueAllocation, SwitchingModesWithAHostThatKeepsUpAllocatesNothingAfterWarmUp) {
    auto queue = std::make_unique<GazeQueue>();
    std::vector<GazeRecord> out(static_cast<std::size_t>(2 * kChunk));
    auto runRounds = [&](int rounds) {
        const int64_t before = g_allocations.load();
        int64_t next = 0;
        for (int round = 0; round < rounds; ++round) {
            for (int64_t i = 0; i < kChunk / 2; ++i) {
                queue->Push(MakeGaze(next++), round % 2 == 0);
            }
            queue->Fetch(out.data(), static_cast<int32_t>(out.size()));
        }
        return g_allocations.load() - before;
    };
    runRounds(8);
    EXPECT_EQ(runRounds(200), 0);
}

}  // namespace
}  // namespace okulon
