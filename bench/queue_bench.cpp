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

#include "bench/queue_bench.h"

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
void BM_GazeCallback(benchmark::State& state) {
    const bool threeAppends = state.range(0) != 0;
    const bool hostThread = state.range(1) != 0;
    auto target = std::make_unique<BenchTarget>(threeAppends);
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
    ->ArgNames({"three_appends", "host_thread"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(200);

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
