// Native benchmarks of the gaze callback and the record queues (Google
// Benchmark): the cost of one callback with every stream on, beside a bare
// lock-free ring push; the thread-to-thread throughput with a checksum; the
// heap bytes per queued gaze record. Per-call figures come as counters
// (median_ns, p999_ns) because the tail matters more than the mean here.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench/queue_bench.h"
#include "recording/recording_writer.h"

namespace okulon {
namespace bench {
namespace {

constexpr std::size_t kBatchesPerIteration = 1000;

double NowNs() {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

void ReportPercentiles(benchmark::State& state, const std::vector<double>& perCall) {
    const Percentiles p = ComputePercentiles(perCall);
    state.counters["median_ns"] = p.median;
    state.counters["p99_ns"] = p.p99;
    state.counters["p999_ns"] = p.p999;
    state.counters["calls"] = static_cast<double>(perCall.size() * kCallsPerBatch);
}

// range(0): 1 = every record also makes an eye event (three appends per call).
// range(1): 1 = a host thread fetches all the time on the other core.
// range(2): 1 = a recording is on: every record also goes into its hand-off.
void BM_GazeCallback(benchmark::State& state) {
    const bool threeAppends = state.range(0) != 0;
    const bool hostThread = state.range(1) != 0;
    auto target = std::make_unique<BenchTarget>(threeAppends);
    RecordingChannel recording(8192);
    if (state.range(2) != 0) target->SetRecording(&recording);
    const std::vector<TrackerRecord> records = MakeTrackerRecords(4096);
    std::atomic<bool> stop{false};
    std::thread host;
    if (hostThread) {
        host = std::thread([&] { DrainUntil(*target, stop); });
    }
    std::vector<double> perCall;
    perCall.reserve(state.max_iterations * kBatchesPerIteration);
    // Warm-up, so that the queues hold the chunks a keeping-up host cycles.
    TimeCallbackBatches(*target, records, kBatchesPerIteration, !hostThread, NowNs);
    int64_t allocations = 0;
    for (auto _ : state) {
        const int64_t before = AllocationCounter::Allocations().load(std::memory_order_relaxed);
        const std::vector<double> batch =
            TimeCallbackBatches(*target, records, kBatchesPerIteration, !hostThread, NowNs);
        allocations +=
            AllocationCounter::Allocations().load(std::memory_order_relaxed) - before - 1;  // the batch vector
        perCall.insert(perCall.end(), batch.begin(), batch.end());
    }
    stop.store(true, std::memory_order_release);
    if (host.joinable()) {
        host.join();
    }
    ReportPercentiles(state, perCall);
    state.counters["queue_allocations"] = static_cast<double>(allocations);
}
BENCHMARK(BM_GazeCallback)
    ->ArgNames({"three_appends", "host_thread", "recording"})
    ->Args({0, 0, 0})
    ->Args({0, 0, 1})
    ->Args({1, 0, 0})
    ->Args({1, 0, 1})
    ->Args({1, 1, 0})
    ->Args({1, 1, 1})
    ->Iterations(200);

// The recording's writer: records per second from the hand-off to lines in a
// file. range(0): 0 = lines dropped after formatting (the formatting alone),
// 1 = written to a file in the working folder, flushed (fsync) once a second
// as the component does.
class BenchSink final : public RecordingSink {
public:
    explicit BenchSink(bool toFile) : m_file(toFile ? std::fopen("recording_bench.tsv", "wb") : nullptr) {}
    ~BenchSink() override {
        if (m_file != nullptr) {
            std::fclose(m_file);
            std::remove("recording_bench.tsv");
        }
    }
    bool Write(const char* data, std::size_t size, std::string&) noexcept override {
        bytes += size;
        return m_file == nullptr || std::fwrite(data, 1, size, m_file) == size;
    }
    bool Flush(std::string&) noexcept override {
        return m_file == nullptr || (std::fflush(m_file) == 0 && fsync(fileno(m_file)) == 0);
    }
    std::size_t bytes = 0;

private:
    std::FILE* m_file;
};

class SteadyClock final : public RecordingClock {
public:
    int64_t PcMicroseconds() noexcept override { return static_cast<int64_t>(NowNs() / 1000); }
    int64_t TrackerMicroseconds() noexcept override { return PcMicroseconds(); }
};

void BM_RecordingWriter(benchmark::State& state) {
    const std::vector<TrackerRecord> records = MakeTrackerRecords(4096);
    constexpr std::size_t kRecords = 8192;
    BenchSink sink(state.range(0) != 0);
    SteadyClock clock;
    RecordingChannel channel(kRecords);
    RecordingWriter writer(channel.samples, channel.controls, sink, clock, 1);
    writer.Begin(RecordingHeader{});
    for (auto _ : state) {
        for (std::size_t i = 0; i < kRecords; ++i) channel.samples.TryPush(records[i % records.size()], 1280, 1024, 1);
        writer.Pump();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRecords));
    state.counters["bytes_per_record"] = static_cast<double>(sink.bytes) / static_cast<double>(writer.SamplesWritten());
    state.counters["handoff_bytes"] = static_cast<double>(channel.samples.MemoryBytes());
}
BENCHMARK(BM_RecordingWriter)->ArgNames({"file"})->Arg(0)->Arg(1)->Iterations(200)->UseRealTime();

// range(0): 1 = a consumer thread pops all the time on the other core.
void BM_SpscPushYardstick(benchmark::State& state) {
    const bool consumerThread = state.range(0) != 0;
    auto ring = std::make_unique<YardstickRing>();
    const std::vector<GazeRecord> records = MakeGazeRecords(4096);
    std::atomic<bool> stop{false};
    std::thread consumer;
    if (consumerThread) {
        consumer = std::thread([&] { DrainRingUntil(*ring, stop); });
    }
    std::vector<double> perCall;
    for (auto _ : state) {
        const std::vector<double> batch = TimeRingBatches(*ring, records, kBatchesPerIteration, !consumerThread, NowNs);
        perCall.insert(perCall.end(), batch.begin(), batch.end());
    }
    stop.store(true, std::memory_order_release);
    if (consumer.joinable()) {
        consumer.join();
    }
    ReportPercentiles(state, perCall);
}
BENCHMARK(BM_SpscPushYardstick)->ArgNames({"consumer_thread"})->Args({0})->Args({1})->Iterations(200);

constexpr uint64_t kTransferRecords = 20000000;

uint64_t TransferChecksum() {
    static const uint64_t checksum = ExpectedChecksum(kTransferRecords);
    return checksum;
}

void BM_QueueThroughput(benchmark::State& state) {
    const uint64_t expected = TransferChecksum();
    for (auto _ : state) {
        RecordQueue<GazeRecord> queue;
        uint64_t checksum = 0;
        std::thread consumer([&] { checksum = ConsumeForTransfer(queue, kTransferRecords); });
        ProduceForTransfer(queue, kTransferRecords);
        consumer.join();
        if (checksum != expected) {
            state.SkipWithError("checksum mismatch: records lost, duplicated or reordered");
            return;
        }
    }
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(kTransferRecords), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_QueueThroughput)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SpscRingThroughput(benchmark::State& state) {
    const uint64_t expected = TransferChecksum();
    for (auto _ : state) {
        auto ring = std::make_unique<TransferRing>();
        uint64_t checksum = 0;
        std::thread consumer([&] { checksum = ConsumeForRingTransfer(*ring, kTransferRecords); });
        ProduceForRingTransfer(*ring, kTransferRecords);
        consumer.join();
        if (checksum != expected) {
            state.SkipWithError("checksum mismatch in the ring");
            return;
        }
    }
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(kTransferRecords), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_SpscRingThroughput)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_MemoryPerQueuedGazeRecord(benchmark::State& state) {
    QueueMemory memory{};
    for (auto _ : state) {
        memory = MeasureQueueMemory(static_cast<std::size_t>(state.range(0)));
    }
    state.counters["requested_bytes_per_record"] = memory.requestedBytesPerRecord;
    state.counters["with_16B_header_per_record"] = memory.withAllocatorHeaderPerRecord;
}
BENCHMARK(BM_MemoryPerQueuedGazeRecord)->Arg(1000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
}  // namespace okulon

BENCHMARK_MAIN();
