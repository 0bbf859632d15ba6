// The queue benchmarks as the DLL runs them: the product's queues built by the
// cross compiler, threads from CreateThread, time from QueryPerformanceCounter.
// Prints the callback cost (median and 99.9th percentile per call) beside a
// bare lock-free ring push, the thread-to-thread throughput with a checksum,
// and the heap bytes per queued gaze record. Exit code 1 on a checksum
// mismatch, 2 when a thread cannot be started.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/queue_bench.h"

namespace okulon {
namespace bench {
namespace {

constexpr std::size_t kBatches = 200000;  // 6.4 million calls per figure
constexpr uint64_t kTransferRecords = 20000000;
constexpr int kTransferRuns = 3;

class QpcClock {
public:
    QpcClock() {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        m_nsPerTick = 1e9 / static_cast<double>(frequency.QuadPart);
    }
    double operator()() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart) * m_nsPerTick;
    }
    double NsPerTick() const { return m_nsPerTick; }

private:
    double m_nsPerTick;
};

// Owns a thread that runs a callable; joins it on destruction.
template <class Body>
class ScopedThread {
public:
    explicit ScopedThread(Body body) : m_body(body) {
        m_handle = CreateThread(nullptr, 0, &ScopedThread::Run, this, 0, nullptr);
    }
    ~ScopedThread() {
        if (m_handle != nullptr) {
            WaitForSingleObject(m_handle, INFINITE);
            CloseHandle(m_handle);
        }
    }
    ScopedThread(const ScopedThread&) = delete;
    ScopedThread& operator=(const ScopedThread&) = delete;
    bool Started() const { return m_handle != nullptr; }

private:
    static DWORD WINAPI Run(void* self) {
        static_cast<ScopedThread*>(self)->m_body();
        return 0;
    }
    Body m_body;
    HANDLE m_handle = nullptr;
};

void PrintPercentiles(const char* name, const std::vector<double>& perCall) {
    const Percentiles p = ComputePercentiles(perCall);
    std::printf("%-60s median %7.1f ns  p99 %7.1f ns  p99.9 %9.1f ns\n", name, p.median, p.p99, p.p999);
}

// Callback figures: 2 and 3 appends with the queues drained between batches,
// and 3 appends with a host thread fetching all the time. Also counts the
// allocations made while the callbacks ran after a warm-up (none expected).
int RunProductCallbackFigures(const QpcClock& clock, const std::vector<TrackerRecord>& records) {
    // Each also with a recording on: every record goes into its hand-off too.
    for (bool threeAppends : {false, true}) {
        for (bool recording : {false, true}) {
            auto target = std::make_unique<BenchTarget>(threeAppends);
            RecordingChannel channel(8192);
            if (recording) target->SetRecording(&channel);
            TimeCallbackBatches(*target, records, 1000, true, clock);
            const int64_t before = AllocationCounter::Allocations().load();
            const std::vector<double> perCall = TimeCallbackBatches(*target, records, kBatches, true, clock);
            const int64_t allocations = AllocationCounter::Allocations().load() - before - 1;  // the result vector
            std::string name =
                threeAppends ? "callback, gaze+pupil+event (3 appends)" : "callback, gaze+pupil (2 appends)";
            if (recording) name += ", recording on";
            PrintPercentiles(name.c_str(), perCall);
            std::printf("%-60s %lld\n", "  allocations after warm-up", static_cast<long long>(allocations));
        }
    }
    auto target = std::make_unique<BenchTarget>(true);
    std::atomic<bool> stop{false};
    std::vector<double> perCall;
    {
        auto host = [&] { DrainUntil(*target, stop); };
        ScopedThread<decltype(host)> thread(host);
        if (!thread.Started()) {
            return 2;
        }
        perCall = TimeCallbackBatches(*target, records, kBatches, false, clock);
        stop.store(true, std::memory_order_release);
    }
    PrintPercentiles("callback, 3 appends, host fetching", perCall);
    return 0;
}

int RunCallbackFigures(const QpcClock& clock) {
    const std::vector<TrackerRecord> records = MakeTrackerRecords(4096);
    const int result = RunProductCallbackFigures(clock, records);
    if (result != 0) {
        return result;
    }
    const std::vector<GazeRecord> gaze = MakeGazeRecords(4096);
    {
        auto ring = std::make_unique<YardstickRing>();
        PrintPercentiles("yardstick: bare SPSC ring push", TimeRingBatches(*ring, gaze, kBatches, true, clock));
    }
    {
        auto ring = std::make_unique<YardstickRing>();
        std::atomic<bool> stop{false};
        std::vector<double> perCall;
        {
            auto consumer = [&] { DrainRingUntil(*ring, stop); };
            ScopedThread<decltype(consumer)> thread(consumer);
            if (!thread.Started()) {
                return 2;
            }
            perCall = TimeRingBatches(*ring, gaze, kBatches, false, clock);
            stop.store(true, std::memory_order_release);
        }
        PrintPercentiles("yardstick: bare SPSC ring push, consumer thread", perCall);
    }
    return 0;
}

template <class Produce, class Consume>
int RunTransfer(const char* name, const QpcClock& clock, uint64_t expected, Produce produce, Consume consume) {
    std::vector<double> rates;
    for (int run = 0; run < kTransferRuns; ++run) {
        uint64_t checksum = 0;
        const double start = clock();
        {
            auto consumer = [&] { checksum = consume(); };
            ScopedThread<decltype(consumer)> thread(consumer);
            if (!thread.Started()) {
                return 2;
            }
            produce();
        }
        const double elapsedNs = clock() - start;
        if (checksum != expected) {
            std::printf("%s: checksum mismatch: records lost, duplicated or reordered\n", name);
            return 1;
        }
        rates.push_back(static_cast<double>(kTransferRecords) / (elapsedNs * 1e-9));
    }
    const Percentiles p = ComputePercentiles(rates);
    std::printf("%-60s median %7.2f M records/s (%d runs of %llu, checksum ok)\n", name, p.median / 1e6, kTransferRuns,
                static_cast<unsigned long long>(kTransferRecords));
    return 0;
}

int RunTransferFigures(const QpcClock& clock) {
    const uint64_t expected = ExpectedChecksum(kTransferRecords);
    int result = 0;
    {
        auto queue = std::make_unique<RecordQueue<GazeRecord>>();
        result = RunTransfer(
            "throughput: RecordQueue, pusher -> fetcher", clock, expected,
            [&] { ProduceForTransfer(*queue, kTransferRecords); },
            [&] { return ConsumeForTransfer(*queue, kTransferRecords); });
    }
    if (result != 0) {
        return result;
    }
    auto ring = std::make_unique<TransferRing>();
    return RunTransfer(
        "throughput: bare SPSC ring", clock, expected, [&] { ProduceForRingTransfer(*ring, kTransferRecords); },
        [&] { return ConsumeForRingTransfer(*ring, kTransferRecords); });
}

void RunMemoryFigures() {
    for (std::size_t count : {std::size_t{1000}, std::size_t{1000000}}) {
        const QueueMemory memory = MeasureQueueMemory(count);
        std::printf("memory: %7u queued GazeRecords %6.2f bytes/record requested, %6.2f with a 16-byte block header\n",
                    static_cast<unsigned>(count), memory.requestedBytesPerRecord, memory.withAllocatorHeaderPerRecord);
    }
}

}  // namespace
}  // namespace bench
}  // namespace okulon

int main() {
    using namespace okulon::bench;
    const QpcClock clock;
    std::printf("QueryPerformanceCounter resolution %.1f ns; %d calls per timed batch\n", clock.NsPerTick(),
                kCallsPerBatch);
    int result = RunCallbackFigures(clock);
    if (result == 0) {
        result = RunTransferFigures(clock);
    }
    if (result == 0) {
        RunMemoryFigures();
    }
    return result;
}
