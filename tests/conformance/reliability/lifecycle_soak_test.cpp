// Lifecycle soak: many host sessions, one after another, against the real
// Okulon.dll and the simulated tracker at 2000 Hz, counting what each leaves
// behind in the process (handles, threads, private memory, module locks) and
// whether every record the simulator sent arrived at most once.
//
//   lifecycle_soak_test [--cycles=1000] [--every=100]
//
// Each cycle does what a host does in one experiment block: create through
// the class factory, send the four settings, start the three streams (eye
// type and keep-all vary), start tracking, start again while delivering
// (the worker is replaced), stop, run a calibration cancelled by Escape after
// its first target, and release. Every tenth cycle the object is destroyed
// while it is delivering instead of being stopped first.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "host/calibration_display_scripted.h"
#include "process_figures.h"
#include "reliability_support.h"

namespace okulon::reliability {
namespace {

using host::ScriptedDisplay;

long long g_cycles = 1000;
long long g_every = 100;

constexpr int32_t kRate = 2000;    // samples per second, the simulator's top rate
constexpr DWORD kBoundMs = 30000;  // anything that should take moments, on a loaded machine
constexpr LONG kRecordsBeforeReplace = 10;
constexpr int kWarmUpCycles = 10;  // lazy one-off set-up (Winsock, tet.dll, heaps) happens here

// Growth allowed from the row after the warm-up to the last row.
// Handles: Wine opens a few lazily (keyed events, registry keys of Winsock)
// and the simulator's listening socket may sit in a different state; a leak of
// one handle per session (3 or 4 per cycle) passes 16 within 5 cycles.
constexpr long kHandleTolerance = 16;
// Threads: none may survive its object; the settle wait has let the
// simulator reap its session threads. 2 covers a Wine thread-pool worker.
constexpr long kThreadTolerance = 2;
// Memory: heap fragmentation and the allocator's caches move by some hundreds
// of KiB; 8 MiB over the run is what a leak of 8 KiB per cycle would reach in
// 1000 cycles, and a leaked queue of one second of samples is ~50 KiB.
constexpr long long kMemoryToleranceBytes = 8ll << 20;
// Heap: live allocations of the whole process. The simulator keeps a report of
// every connection and calibration call (about 0.2 KiB per cycle); one leaked
// object with its nine queues is over 4 KiB. So 1 KiB per cycle, plus 256 KiB
// for the allocator's own bookkeeping.
constexpr long long kHeapToleranceBytesPerCycle = 1024;
constexpr long long kHeapSlackBytes = 256ll << 10;

struct Tally {
    uint64_t sent = 0;         // samples the simulator sent in the cycle's connections
    uint64_t gazeFetched = 0;  // gaze records the host fetched
    uint64_t cleared = 0;      // records still queued when a stream was stopped
    uint64_t discarded = 0;    // records queued when the object was destroyed
    uint64_t pupilFetched = 0;
    uint64_t keepAllSent = 0;  // the same, for cycles that keep every record
    uint64_t keepAllArrived = 0;
};

struct Row {
    long long cycle;
    ProcessFigures figures;
    HRESULT canUnload;
    double seconds;
    Tally tally;
};

class LifecycleSoak : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
        sim::Scenario scenario;
        scenario.rate = kRate;
        scenario.csvPath = m_replay.Path();
        scenario.replayLoop = true;
        m_server = StartSimulator(scenario, 4 * 3600);
        ASSERT_TRUE(m_server);
        m_started = GetTickCount64();
    }

    void RunCycle(long long cycle);
    void ExpectStrictlyLaterThanBefore(int64_t& last, int64_t time, const char* stream, long long cycle);
    LONG FetchGaze(IEyeTracker* tracker, LONG eyeType, long long cycle);
    void FetchPupil(IEyeTracker* tracker, long long cycle);
    Row Measure(long long cycle);

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    test::OkulonDll m_dll;
    ReplayFile m_replay{4000};
    std::unique_ptr<sim::SimServer> m_server;
    ULONGLONG m_started = 0;
    Tally m_tally;
    int64_t m_lastGazeTime = INT64_MIN;
    int64_t m_lastPupilTime = INT64_MIN;
};

void LifecycleSoak::ExpectStrictlyLaterThanBefore(int64_t& last, int64_t time, const char* stream, long long cycle) {
    EXPECT_GT(time, last) << stream << " record repeated or out of order in cycle " << cycle;
    last = time;
}

LONG LifecycleSoak::FetchGaze(IEyeTracker* tracker, LONG eyeType, long long cycle) {
    const std::vector<::GazeRecord> records = FetchAllGaze(tracker, eyeType);
    for (const ::GazeRecord& record : records)
        ExpectStrictlyLaterThanBefore(m_lastGazeTime, record.time, "gaze", cycle);
    m_tally.gazeFetched += records.size();
    return static_cast<LONG>(records.size());
}

void LifecycleSoak::FetchPupil(IEyeTracker* tracker, long long cycle) {
    const std::vector<::PupilRecord> records = FetchAllPupil(tracker);
    for (const ::PupilRecord& record : records)
        ExpectStrictlyLaterThanBefore(m_lastPupilTime, record.time, "pupil", cycle);
    m_tally.pupilFetched += records.size();
}

void LifecycleSoak::RunCycle(long long cycle) {
    const size_t firstConnection = m_server->Connections().size();
    const Tally before = m_tally;
    const LONG eyeType = static_cast<LONG>(cycle % 3);
    const bool keepAll = cycle % 4 != 3;
    const bool destroyWhileDelivering = cycle % 10 == 9;

    // 1. Create and send the four settings.
    ComPtr<IEyeTracker> tracker = CreateThroughFactory(m_dll);
    ASSERT_TRUE(tracker) << "cycle " << cycle;
    ASSERT_EQ(S_OK, SendSetting(tracker.get(), L"host 127.0.0.1"));
    ASSERT_EQ(S_OK, SendSetting(tracker.get(), L"port " + std::to_wstring(m_server->Port())));
    ASSERT_EQ(S_OK, SendSetting(tracker.get(), L"width 1280"));
    ASSERT_EQ(S_OK, SendSetting(tracker.get(), L"height 1024"));

    // 2. Every stream. The pupil start selects eye type 0 for gaze, so gaze comes last.
    ASSERT_EQ(S_OK, tracker->StartPupilData(keepAll ? VARIANT_FALSE : VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, tracker->StartEyeEvents());
    ASSERT_EQ(S_OK, tracker->StartGazeData(keepAll ? VARIANT_TRUE : VARIANT_FALSE, eyeType));

    // 3. Track, fetch a little, and start again while delivering.
    m_lastGazeTime = m_lastPupilTime = INT64_MIN;
    ASSERT_EQ(S_OK, tracker->StartTracking()) << Narrow(LastErrorText(tracker.get()));
    LONG fetched = 0;
    ASSERT_TRUE(WaitUntil(
        [&] { return (fetched += FetchGaze(tracker.get(), eyeType, cycle)) >= kRecordsBeforeReplace; }, kBoundMs))
        << "cycle " << cycle << ": no delivery from the first worker";
    FetchPupil(tracker.get(), cycle);
    ASSERT_EQ(S_OK, tracker->StartTracking()) << Narrow(LastErrorText(tracker.get()));
    fetched = 0;
    ASSERT_TRUE(WaitUntil(
        [&] { return (fetched += FetchGaze(tracker.get(), eyeType, cycle)) >= kRecordsBeforeReplace; }, kBoundMs))
        << "cycle " << cycle << ": no delivery from the replacing worker";

    // 4. Stop; what was queued by the time the connection is wound down is fetched.
    ASSERT_EQ(S_OK, tracker->StopTracking()) << Narrow(LastErrorText(tracker.get()));
    ASSERT_TRUE(WaitUntil([&] { return AllConnectionsClosed(*m_server); }, kBoundMs))
        << "cycle " << cycle << ": a stopped or replaced worker kept its connection";
    FetchGaze(tracker.get(), eyeType, cycle);
    FetchPupil(tracker.get(), cycle);

    // 5. A calibration cancelled with Escape after its first target.
    ComPtr<ScriptedDisplay> display = ComPtr<ScriptedDisplay>::adopt(ScriptedDisplay::Create(1280, 1024));
    display->PressKeyAfterTarget(1);
    EXPECT_EQ(E_FAIL, tracker->Calibrate(0, display.get(), 0, 0, 0, 0, 0, 0)) << "cycle " << cycle;
    EXPECT_EQ(L"Calibrate: Calibration canceled", LastErrorText(tracker.get())) << "cycle " << cycle;

    if (destroyWhileDelivering) {
        // 6. Destroyed while delivering: whatever is queued goes with the object.
        ASSERT_EQ(S_OK, tracker->StartTracking()) << Narrow(LastErrorText(tracker.get()));
        fetched = 0;
        ASSERT_TRUE(WaitUntil(
            [&] { return (fetched += FetchGaze(tracker.get(), eyeType, cycle)) >= kRecordsBeforeReplace; }, kBoundMs))
            << "cycle " << cycle << ": no delivery before the destruction";
        LONG queued = 0;
        ASSERT_TRUE(
            WaitUntil([&] { return tracker->GetGazeDataCount(&queued, eyeType) == S_OK && queued > 0; }, kBoundMs))
            << "cycle " << cycle << ": nothing queued before the destruction";
        m_tally.discarded += static_cast<uint64_t>(queued);
    } else {
        LONG queued = 0;
        tracker->GetGazeDataCount(&queued, eyeType);
        m_tally.cleared += static_cast<uint64_t>(queued);
        EXPECT_EQ(S_OK, tracker->StopGazeData(eyeType));
        EXPECT_EQ(S_OK, tracker->StopEyeEvents());
        EXPECT_EQ(S_OK, tracker->StopPupilData(0));
    }

    // 7. Release.
    tracker.reset();
    ASSERT_TRUE(WaitUntil([&] { return AllConnectionsClosed(*m_server); }, kBoundMs))
        << "cycle " << cycle << ": a worker of the released object kept its connection";
    EXPECT_EQ(1, display->ReferenceCount()) << "cycle " << cycle << ": the calibration kept the display";
    EXPECT_TRUE(display->Violations().empty()) << "cycle " << cycle << ": " << display->Violations().front();

    const uint64_t sent = SamplesSentSince(*m_server, firstConnection);
    m_tally.sent += sent;
    const uint64_t arrived = (m_tally.gazeFetched - before.gazeFetched) + (m_tally.cleared - before.cleared) +
                             (m_tally.discarded - before.discarded);
    EXPECT_LE(arrived, sent) << "cycle " << cycle << ": more gaze records than samples sent";
    if (keepAll) {
        m_tally.keepAllSent += sent;
        m_tally.keepAllArrived += arrived;
    }
}

Row LifecycleSoak::Measure(long long cycle) {
    // Everything released: the workers must end and give the module back.
    Row row{};
    row.cycle = cycle;
    WaitUntil([&] { return m_dll.CanUnloadNow() == S_OK; }, kBoundMs);
    row.canUnload = m_dll.CanUnloadNow();
    return row;
}

void PrintRow(const Row& row) {
    std::printf(
        "%7lld %8lu %8lu %12.1f %10.1f %9s %8.1f %11" PRIu64 " %11" PRIu64 " %9" PRIu64 " %9" PRIu64 " %9" PRIu64 "\n",
        row.cycle, static_cast<unsigned long>(row.figures.handles), static_cast<unsigned long>(row.figures.threads),
        row.figures.privateBytes / 1024.0, row.figures.heapBytes / 1024.0, row.canUnload == S_OK ? "S_OK" : "S_FALSE",
        row.seconds, row.tally.sent, row.tally.gazeFetched, row.tally.cleared, row.tally.discarded,
        row.tally.keepAllSent - row.tally.keepAllArrived);
    std::fflush(stdout);
}

TEST_F(LifecycleSoak, CyclesOfCreateStreamReplaceStopCalibrateAndReleaseLeaveNothingBehind) {
    std::printf("lifecycle soak: %lld cycles at %d Hz, figures every %lld\n", g_cycles, kRate, g_every);
    std::printf("%7s %8s %8s %12s %10s %9s %8s %11s %11s %9s %9s %9s\n", "cycle", "handles", "threads", "private KiB",
                "heap KiB", "unload", "seconds", "sent", "fetched", "cleared", "discarded", "in flight");
    std::vector<Row> rows;
    auto takeRow = [&](long long cycle, DWORD threadsAtMost) {
        Row row = Measure(cycle);
        row.figures = ReadSettledProcessFigures(threadsAtMost, 5000);
        row.seconds = (GetTickCount64() - m_started) / 1000.0;
        row.tally = m_tally;
        rows.push_back(row);
        PrintRow(row);
    };
    takeRow(0, UINT32_MAX);
    for (long long cycle = 1; cycle <= g_cycles; ++cycle) {
        RunCycle(cycle);
        if (HasFatalFailure()) return;
        const bool warmUpDone = cycle == kWarmUpCycles;
        if (warmUpDone || cycle % g_every == 0 || cycle == g_cycles) {
            takeRow(cycle, rows.size() > 1 ? rows[1].figures.threads : rows[0].figures.threads);
            EXPECT_EQ(S_OK, rows.back().canUnload) << "cycle " << cycle << ": a worker or object kept the module";
        }
    }

    ASSERT_GE(rows.size(), 3u) << "run at least " << kWarmUpCycles + 1 << " cycles";
    const Row& reference = rows[1];
    const Row& last = rows.back();
    const long handleGrowth = static_cast<long>(last.figures.handles) - static_cast<long>(reference.figures.handles);
    const long threadGrowth = static_cast<long>(last.figures.threads) - static_cast<long>(reference.figures.threads);
    const long long memoryGrowth =
        static_cast<long long>(last.figures.privateBytes) - static_cast<long long>(reference.figures.privateBytes);
    const long long heapGrowth =
        static_cast<long long>(last.figures.heapBytes) - static_cast<long long>(reference.figures.heapBytes);
    std::printf("growth from cycle %lld to %lld: %ld handles, %ld threads, %lld KiB private, %lld KiB heap\n",
                reference.cycle, last.cycle, handleGrowth, threadGrowth, memoryGrowth / 1024, heapGrowth / 1024);
    std::printf("records: %" PRIu64 " sent, %" PRIu64 " gaze fetched, %" PRIu64 " cleared, %" PRIu64
                " discarded at destruction, %" PRIu64 " pupil fetched; keep-all cycles: %" PRIu64 " sent, %" PRIu64
                " arrived, %" PRIu64 " in flight at a stop or replacement\n",
                last.tally.sent, last.tally.gazeFetched, last.tally.cleared, last.tally.discarded,
                last.tally.pupilFetched, last.tally.keepAllSent, last.tally.keepAllArrived,
                last.tally.keepAllSent - last.tally.keepAllArrived);
    EXPECT_LE(handleGrowth, kHandleTolerance);
    EXPECT_LE(threadGrowth, kThreadTolerance);
    EXPECT_LE(memoryGrowth, kMemoryToleranceBytes);
    EXPECT_LE(heapGrowth, kHeapSlackBytes + kHeapToleranceBytesPerCycle * (last.cycle - reference.cycle));
    EXPECT_GT(last.tally.gazeFetched, 0u);
    EXPECT_LE(last.tally.keepAllArrived, last.tally.keepAllSent);
}

}  // namespace
}  // namespace okulon::reliability

int main(int argc, char** argv) {
    okulon::reliability::g_cycles = okulon::reliability::NumberArgument(argc, argv, "cycles", 1000);
    okulon::reliability::g_every = okulon::reliability::NumberArgument(argc, argv, "every", 100);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
