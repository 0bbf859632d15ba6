// Pieces shared by the queue benchmarks (Google Benchmark natively, the
// QueryPerformanceCounter harness under Wine): a stand-in for the extension
// object's data side, a bare single-producer/single-consumer ring as the
// yardstick, tracker records to convert, and the checksummed thread-to-thread
// transfer. Everything here runs on the benchmark's own threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "extension/records/record_queue.h"
#include "extension/records/records.h"
#include "recording/sample_handoff.h"
#include "tracker/gaze_conversion.h"
#include "tracker/contract/tracker_records.h"

namespace okulon {
namespace bench {

// How many callbacks one clock reading covers: the clock's own cost and
// resolution (100 ns for QueryPerformanceCounter under Wine) would otherwise
// swamp a call of a few tens of nanoseconds.
constexpr int kCallsPerBatch = 32;

// The object's status fields and queues as the gaze callback reaches them,
// with every stream on and keep-all set. With pretendEyesWereLost the last
// validities always read (4, 4), so each usable record also makes an eye
// event: the callback's most expensive path, three appends per record.
class BenchTarget final : public GazeCallbackTarget {
public:
    explicit BenchTarget(bool pretendEyesWereLost) : m_pretendEyesWereLost(pretendEyesWereLost) {}
    // With a recording on, every record also goes into the recording's hand-off.
    void SetRecording(RecordingChannel* channel) { m_recording = channel; }

    int32_t IsStreaming() noexcept override { return 1; }
    int32_t GetClientCount() noexcept override { return 3; }
    uint32_t GetDataMask() noexcept override { return kStreamGaze | kStreamPupil | kStreamEyeEvents; }
    int32_t GetEyeSelection() noexcept override { return 0; }
    int32_t GetScreenWidth() noexcept override { return 1280; }
    int32_t GetScreenHeight() noexcept override { return 1024; }
    int32_t GetLastValidityFirst() noexcept override { return m_pretendEyesWereLost ? 4 : m_lastFirst; }
    void SetLastValidityFirst(int32_t value) noexcept override { m_lastFirst = value; }
    int32_t GetLastValiditySecond() noexcept override { return m_pretendEyesWereLost ? 4 : m_lastSecond; }
    void SetLastValiditySecond(int32_t value) noexcept override { m_lastSecond = value; }
    void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept override {
        m_gaze[static_cast<std::size_t>(eyeType)].Push(record, true);
    }
    void PushPupilSample(const PupilRecord& record) noexcept override { m_pupil.Push(record, true); }
    void PushEyeEvent(const EyeEventRecord& record) noexcept override { m_events.Push(record, true); }
    void RecordSample(const TrackerRecord& record, int32_t width, int32_t height) noexcept override {
        if (m_recording != nullptr) m_recording->samples.TryPush(record, width, height, 1);
    }

    // What the host does: fetch everything (and the writer: take the recording's). One thread at a time.
    void Drain() {
        if (m_recording != nullptr) m_recording->samples.Drain(UINT64_MAX, [](const RecordedSample&) {});
        while (m_gaze[0].Fetch(m_gazeScratch.data(), kScratch) > 0) {
        }
        while (m_pupil.Fetch(m_pupilScratch.data(), kScratch) > 0) {
        }
        while (m_events.Fetch(m_eventScratch.data(), kScratch) > 0) {
        }
    }

    int32_t QueuedRecords() const { return m_gaze[0].Count() + m_pupil.Count() + m_events.Count(); }

private:
    static constexpr int32_t kScratch = 4096;
    bool m_pretendEyesWereLost;
    RecordingChannel* m_recording = nullptr;
    int32_t m_lastFirst = -1;
    int32_t m_lastSecond = -1;
    RecordQueue<GazeRecord> m_gaze[kEyeTypeCount];
    RecordQueue<PupilRecord> m_pupil;
    RecordQueue<EyeEventRecord> m_events;
    std::vector<GazeRecord> m_gazeScratch = std::vector<GazeRecord>(kScratch);
    std::vector<PupilRecord> m_pupilScratch = std::vector<PupilRecord>(kScratch);
    std::vector<EyeEventRecord> m_eventScratch = std::vector<EyeEventRecord>(kScratch);
};

// Tracker records with both eyes usable and varying positions.
inline std::vector<TrackerRecord> MakeTrackerRecords(std::size_t count) {
    std::vector<TrackerRecord> records(count);
    for (std::size_t i = 0; i < count; ++i) {
        TrackerRecord& record = records[i];
        std::memset(&record, 0, sizeof(record));
        record.timeSeconds = static_cast<int32_t>(1000 + i / 60);
        record.timeMicroseconds = static_cast<int32_t>((i % 60) * 16667);
        const float wobble = static_cast<float>(i % 97) / 97.0f;
        record.first.gazeX = 0.25f + 0.5f * wobble;
        record.first.gazeY = 0.75f - 0.5f * wobble;
        record.first.pupilSize = 3.0f + wobble;
        record.second.gazeX = 0.26f + 0.5f * wobble;
        record.second.gazeY = 0.74f - 0.5f * wobble;
        record.second.pupilSize = 3.1f + wobble;
    }
    return records;
}

// The yardstick: a bounded lock-free ring for exactly one producer and one
// consumer, about the least that handing a record to another thread costs.
template <class Record, std::size_t Capacity>
class SpscRing {
    static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

public:
    bool TryPush(const Record& record) {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        if (head - m_tailCache == Capacity) {
            m_tailCache = m_tail.load(std::memory_order_acquire);
            if (head - m_tailCache == Capacity) {
                return false;
            }
        }
        m_slots[head & (Capacity - 1)] = record;
        m_head.store(head + 1, std::memory_order_release);
        return true;
    }

    std::size_t PopMany(Record* out, std::size_t max) {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        const std::size_t available = m_head.load(std::memory_order_acquire) - tail;
        const std::size_t n = std::min(available, max);
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = m_slots[(tail + i) & (Capacity - 1)];
        }
        m_tail.store(tail + n, std::memory_order_release);
        return n;
    }

private:
    alignas(64) std::atomic<std::size_t> m_head{0};
    std::size_t m_tailCache = 0;  // producer's last view of m_tail
    alignas(64) std::atomic<std::size_t> m_tail{0};
    alignas(64) Record m_slots[Capacity];
};

// Median, 99th and 99.9th percentile of a sample, in its unit.
struct Percentiles {
    double median;
    double p99;
    double p999;
};

inline Percentiles ComputePercentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) {
        return {0.0, 0.0, 0.0};
    }
    const std::size_t last = samples.size() - 1;
    return {samples[samples.size() / 2], samples[std::min(last, samples.size() * 99 / 100)],
            samples[std::min(last, samples.size() * 999 / 1000)]};
}

// Thread-to-thread transfer with a checksum over every record: the producer
// pushes records 0..count-1 as the callback does; the consumer fetches as the
// host does until it has them all, folding each into the checksum.
inline GazeRecord TransferRecord(uint64_t sequence) {
    GazeRecord record;
    record.time = static_cast<int64_t>(sequence);
    record.x = static_cast<double>(sequence & 0xFFFF);
    record.y = -static_cast<double>(sequence >> 16);
    return record;
}

inline uint64_t FoldChecksum(uint64_t checksum, const GazeRecord& record) {
    uint64_t bits;
    std::memcpy(&bits, &record.x, sizeof(bits));
    checksum = checksum * 1099511628211ull + static_cast<uint64_t>(record.time);
    return checksum ^ (bits + static_cast<uint64_t>(static_cast<int64_t>(record.y)));
}

inline uint64_t ExpectedChecksum(uint64_t count) {
    uint64_t checksum = 0;
    for (uint64_t i = 0; i < count; ++i) {
        checksum = FoldChecksum(checksum, TransferRecord(i));
    }
    return checksum;
}

inline void ProduceForTransfer(RecordQueue<GazeRecord>& queue, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        queue.Push(TransferRecord(i), true);
    }
}

// A fetcher that found little yields its core for a moment instead of
// polling again at once, as a polling host would.
constexpr int32_t kFetchBackOffBelow = 256;

inline uint64_t ConsumeForTransfer(RecordQueue<GazeRecord>& queue, uint64_t count) {
    std::vector<GazeRecord> buffer(4096);
    uint64_t checksum = 0;
    uint64_t received = 0;
    while (received < count) {
        const int32_t got = queue.Fetch(buffer.data(), static_cast<int32_t>(buffer.size()));
        for (int32_t i = 0; i < got; ++i) {
            checksum = FoldChecksum(checksum, buffer[static_cast<std::size_t>(i)]);
        }
        received += static_cast<uint64_t>(got);
        if (got < kFetchBackOffBelow) {
            std::this_thread::yield();
        }
    }
    return checksum;
}

using TransferRing = SpscRing<GazeRecord, 1 << 16>;

inline void ProduceForRingTransfer(TransferRing& ring, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        const GazeRecord record = TransferRecord(i);
        while (!ring.TryPush(record)) {
        }
    }
}

inline uint64_t ConsumeForRingTransfer(TransferRing& ring, uint64_t count) {
    std::vector<GazeRecord> buffer(4096);
    uint64_t checksum = 0;
    uint64_t received = 0;
    while (received < count) {
        const std::size_t got = ring.PopMany(buffer.data(), buffer.size());
        for (std::size_t i = 0; i < got; ++i) {
            checksum = FoldChecksum(checksum, buffer[i]);
        }
        received += got;
    }
    return checksum;
}

// ---------------------------------------------------------------------------
// Per-call timing. now() returns nanoseconds as a double on any fixed origin.

// Times batches of kCallsPerBatch gaze callbacks; returns nanoseconds per call
// for each batch. Without a host thread, the queues are drained after every
// batch (outside the timed part), as a host that fetches once per frame would.
template <class Target, class NowNs>
std::vector<double> TimeCallbackBatches(Target& target, const std::vector<TrackerRecord>& records, std::size_t batches,
                                        bool drainBetweenBatches, NowNs now) {
    std::vector<double> perCall;
    perCall.reserve(batches);
    std::size_t next = 0;
    for (std::size_t batch = 0; batch < batches; ++batch) {
        const double start = now();
        for (int call = 0; call < kCallsPerBatch; ++call) {
            HandleGazeCallback(kTrackerReasonSample, &records[next], target);
            next = next + 1 == records.size() ? 0 : next + 1;
        }
        const double end = now();
        perCall.push_back((end - start) / kCallsPerBatch);
        if (drainBetweenBatches) {
            target.Drain();
        }
    }
    return perCall;
}

using YardstickRing = SpscRing<GazeRecord, 4096>;

// The same timing around one bare ring push per call.
template <class NowNs>
std::vector<double> TimeRingBatches(YardstickRing& ring, const std::vector<GazeRecord>& records, std::size_t batches,
                                    bool drainBetweenBatches, NowNs now) {
    std::vector<double> perCall;
    perCall.reserve(batches);
    std::vector<GazeRecord> scratch(4096);
    std::size_t next = 0;
    for (std::size_t batch = 0; batch < batches; ++batch) {
        const double start = now();
        for (int call = 0; call < kCallsPerBatch; ++call) {
            while (!ring.TryPush(records[next])) {
            }
            next = next + 1 == records.size() ? 0 : next + 1;
        }
        const double end = now();
        perCall.push_back((end - start) / kCallsPerBatch);
        if (drainBetweenBatches) {
            ring.PopMany(scratch.data(), scratch.size());
        }
    }
    return perCall;
}

inline std::vector<GazeRecord> MakeGazeRecords(std::size_t count) {
    std::vector<GazeRecord> records(count);
    for (std::size_t i = 0; i < count; ++i) {
        records[i] = TransferRecord(i);
    }
    return records;
}

// A host that fetches as fast as it can: the worst contention a push can meet.
template <class Target>
void DrainUntil(Target& target, const std::atomic<bool>& stop) {
    while (!stop.load(std::memory_order_acquire)) {
        target.Drain();
    }
    target.Drain();
}

inline void DrainRingUntil(YardstickRing& ring, const std::atomic<bool>& stop) {
    std::vector<GazeRecord> scratch(4096);
    while (!stop.load(std::memory_order_acquire)) {
        ring.PopMany(scratch.data(), scratch.size());
    }
}

// ---------------------------------------------------------------------------
// Heap accounting: the executable that includes this header (exactly one
// source file of it may) counts the bytes that operator new hands out.

struct AllocationCounter {
    static std::atomic<int64_t>& LiveBytes() {
        static std::atomic<int64_t> bytes{0};
        return bytes;
    }
    static std::atomic<int64_t>& LiveBlocks() {
        static std::atomic<int64_t> blocks{0};
        return blocks;
    }
    // Every allocation since the start, freed or not.
    static std::atomic<int64_t>& Allocations() {
        static std::atomic<int64_t> allocations{0};
        return allocations;
    }
};

// Bytes per record that a queue of `count` GazeRecords holds on the heap:
// requested bytes, and the same with a typical 16-byte allocator header per block.
struct QueueMemory {
    double requestedBytesPerRecord;
    double withAllocatorHeaderPerRecord;
};

inline QueueMemory MeasureQueueMemory(std::size_t count) {
    const GazeRecord record = TransferRecord(1);
    auto* queue = new RecordQueue<GazeRecord>;
    const int64_t bytesBefore = AllocationCounter::LiveBytes().load();
    const int64_t blocksBefore = AllocationCounter::LiveBlocks().load();
    for (std::size_t i = 0; i < count; ++i) {
        queue->Push(record, true);
    }
    const int64_t bytes = AllocationCounter::LiveBytes().load() - bytesBefore;
    const int64_t blocks = AllocationCounter::LiveBlocks().load() - blocksBefore;
    delete queue;
    const double perRecord = static_cast<double>(bytes) / static_cast<double>(count);
    return {perRecord, perRecord + 16.0 * static_cast<double>(blocks) / static_cast<double>(count)};
}

}  // namespace bench
}  // namespace okulon

// Replacements of the global allocation functions that keep a size header
// (16 bytes, so the alignment that malloc gives is kept).
namespace okulon_bench_heap {
constexpr std::size_t kHeader = 16;

// Kept out of line: inlined into a delete expression, the header arithmetic
// looks to the compiler like a mismatched free.
[[gnu::noinline]] inline void* Allocate(std::size_t size) noexcept {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &size, sizeof(size));
    okulon::bench::AllocationCounter::LiveBytes().fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed);
    okulon::bench::AllocationCounter::LiveBlocks().fetch_add(1, std::memory_order_relaxed);
    okulon::bench::AllocationCounter::Allocations().fetch_add(1, std::memory_order_relaxed);
    return block + kHeader;
}

[[gnu::noinline]] inline void Release(void* pointer) noexcept {
    if (pointer == nullptr) {
        return;
    }
    unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
    std::size_t size;
    std::memcpy(&size, block, sizeof(size));
    okulon::bench::AllocationCounter::LiveBytes().fetch_sub(static_cast<int64_t>(size), std::memory_order_relaxed);
    okulon::bench::AllocationCounter::LiveBlocks().fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}
}  // namespace okulon_bench_heap

void* operator new(std::size_t size) {
    void* pointer = okulon_bench_heap::Allocate(size);
    if (pointer == nullptr) {
        throw std::bad_alloc();
    }
    return pointer;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return okulon_bench_heap::Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return okulon_bench_heap::Allocate(size); }
void operator delete(void* pointer) noexcept { okulon_bench_heap::Release(pointer); }
void operator delete[](void* pointer) noexcept { okulon_bench_heap::Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { okulon_bench_heap::Release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { okulon_bench_heap::Release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { okulon_bench_heap::Release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { okulon_bench_heap::Release(pointer); }
