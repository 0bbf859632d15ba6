// tet.dll and ttime.dll as the extension uses them: loaded at run time, called
// through their plain exported names, against a simulated tracker server in
// this process.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "simtracker/sim_server.h"
#include "simtracker/time_library_extras.h"
#include "tracker/contract/tet_api.h"

namespace okulon::sim {
namespace {

constexpr int kWaitMs = 10000;

struct ModuleOwner {
    HMODULE handle = nullptr;
    ~ModuleOwner() {
        if (handle != nullptr) FreeLibrary(handle);
    }
};

class TetLibrary {
public:
    TetLibrary() {
        m_tet.handle = LoadLibraryW(L"tet.dll");
        m_ttime.handle = LoadLibraryW(L"ttime.dll");
        Connect = Find<PFN_Tet_Connect>(m_tet, "Tet_Connect");
        Disconnect = Find<PFN_Tet_Void>(m_tet, "Tet_Disconnect");
        Start = Find<PFN_Tet_Start>(m_tet, "Tet_Start");
        Stop = Find<PFN_Tet_Void>(m_tet, "Tet_Stop");
        PerformSystemCheck = Find<PFN_Tet_Void>(m_tet, "Tet_PerformSystemCheck");
        CalibClear = Find<PFN_Tet_Void>(m_tet, "Tet_CalibClear");
        CalibAddPoint = Find<PFN_Tet_CalibAddPoint>(m_tet, "Tet_CalibAddPoint");
        CalibCalculateAndSet = Find<PFN_Tet_Void>(m_tet, "Tet_CalibCalculateAndSet");
        GetLastError = Find<PFN_Tet_Void>(m_tet, "Tet_GetLastError");
        GetLocalTimeStamp = Find<PFN_TT_GetLocalTimeStamp>(m_ttime, "TT_GetLocalTimeStamp");
        GetSyncUncertainty = Find<PFN_TT_GetSyncUncertainty>(m_ttime, "TT_GetSyncUncertainty");
    }

    bool Complete() const {
        return Connect && Disconnect && Start && Stop && PerformSystemCheck && CalibClear && CalibAddPoint &&
               CalibCalculateAndSet && GetLastError && GetLocalTimeStamp && GetSyncUncertainty;
    }
    HMODULE Tet() const { return m_tet.handle; }

    int64_t Now() const {
        TrackerTimeStamp stamp{};
        GetLocalTimeStamp(&stamp);
        return TimeInMicroseconds(stamp.seconds, stamp.microseconds);
    }

    PFN_Tet_Connect Connect = nullptr;
    PFN_Tet_Void Disconnect = nullptr;
    PFN_Tet_Start Start = nullptr;
    PFN_Tet_Void Stop = nullptr;
    PFN_Tet_Void PerformSystemCheck = nullptr;
    PFN_Tet_Void CalibClear = nullptr;
    PFN_Tet_CalibAddPoint CalibAddPoint = nullptr;
    PFN_Tet_Void CalibCalculateAndSet = nullptr;
    PFN_Tet_Void GetLastError = nullptr;
    PFN_TT_GetLocalTimeStamp GetLocalTimeStamp = nullptr;
    PFN_TT_GetSyncUncertainty GetSyncUncertainty = nullptr;

private:
    template <typename Function>
    static Function Find(const ModuleOwner& module, const char* name) {
        if (module.handle == nullptr) return nullptr;
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module.handle, name)));
    }

    ModuleOwner m_tet;
    ModuleOwner m_ttime;
};

const TetLibrary& Lib() {
    static const TetLibrary library;
    return library;
}

// Receives the callbacks of one Tet_Start, as the extension's gaze callback would.
struct Collector {
    std::vector<TrackerRecord> records;
    std::vector<int64_t> lags;  // TT_GetLocalTimeStamp at delivery minus the record's time
    int idles = 0;
    int otherReasons = 0;
    int32_t stopResult = 1;
    std::function<bool(const Collector&)> stopWhen;

    static void WINAPI Callback(int32_t reason, TrackerRecord* record, void* context) {
        auto* self = static_cast<Collector*>(context);
        if (reason == kTrackerReasonSample) {
            self->lags.push_back(Lib().Now() - TimeInMicroseconds(record->timeSeconds, record->timeMicroseconds));
            self->records.push_back(*record);
        } else if (reason == kTrackerReasonIdle) {
            ++self->idles;
        } else {
            ++self->otherReasons;
        }
        if (self->stopWhen && self->stopWhen(*self)) self->stopResult = Lib().Stop();
    }

    int32_t Run() { return Lib().Start(&Collector::Callback, this, 0); }
};

int64_t TimeOf(const TrackerRecord& record) { return TimeInMicroseconds(record.timeSeconds, record.timeMicroseconds); }

class TetDllTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Lib().Complete()); }

    void TearDown() override {
        // Leave no connection on this thread for the next test.
        Lib().Disconnect();
        if (m_server) m_server->Stop();
    }

    static Scenario TestScenario() {
        Scenario scenario;
        scenario.port = 0;
        scenario.lifetimeSeconds = 120;
        scenario.idleExitSeconds = 0;
        return scenario;
    }

    void StartServer(const Scenario& scenario) {
        m_server = std::make_unique<SimServer>(scenario);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
    }

    int32_t Connect() const { return Lib().Connect("127.0.0.1", m_server->Port(), kTrackerConnectMode); }

    // The result, and the failure code when it is -1 (0 otherwise).
    static std::pair<int32_t, int32_t> Outcome(int32_t result) {
        return {result, result == -1 ? Lib().GetLastError() : 0};
    }

    std::unique_ptr<SimServer> m_server;
};

using Failure = std::pair<int32_t, int32_t>;

TEST_F(TetDllTest, EveryFunctionIsExportedUnderItsPlainNameOnly) {
    EXPECT_TRUE(Lib().Complete());
    EXPECT_EQ(GetProcAddress(Lib().Tet(), "Tet_Connect@12"), nullptr);
    EXPECT_EQ(GetProcAddress(Lib().Tet(), "_Tet_Connect@12"), nullptr);
}

TEST_F(TetDllTest, LocalTimeStampAdvancesInMicrosecondsAndRefusesANullRecord) {
    TrackerTimeStamp first{};
    ASSERT_EQ(Lib().GetLocalTimeStamp(&first), 0);
    Sleep(20);
    TrackerTimeStamp second{};
    ASSERT_EQ(Lib().GetLocalTimeStamp(&second), 0);
    EXPECT_GE(
        TimeOf({second.seconds, second.microseconds, {}, {}}) - TimeOf({first.seconds, first.microseconds, {}, {}}),
        15000);
    EXPECT_GE(second.microseconds, 0);
    EXPECT_LT(second.microseconds, 1000000);
    EXPECT_EQ(Lib().GetLocalTimeStamp(nullptr), -1);
}

TEST_F(TetDllTest, StartCallsBackForEveryRecordAndReturnsAfterStopInsideTheCallback) {
    StartServer(TestScenario());
    ASSERT_EQ(Connect(), 0);
    Collector collector;
    collector.stopWhen = [](const Collector& c) { return c.records.size() == 300; };
    EXPECT_EQ(collector.Run(), 0);
    EXPECT_EQ(collector.stopResult, 0);
    EXPECT_EQ(collector.records.size(), 300u);
    EXPECT_EQ(collector.otherReasons, 0);
    for (size_t i = 1; i < collector.records.size(); ++i) {
        ASSERT_EQ(TimeOf(collector.records[i]) - TimeOf(collector.records[i - 1]), 1000) << i;  // 1000 Hz
    }
    EXPECT_EQ(Lib().Disconnect(), 0);
}

TEST_F(TetDllTest, RecordTimesAndTheLocalTimeStampShareTheTrackerClockNotThePcClock) {
    // Seconds ahead of the PC and drifting, as a real tracker's clock may be.
    Scenario scenario = TestScenario();
    scenario.clockOffsetMicros = 5000000;
    scenario.clockDriftPpm = 50;
    StartServer(scenario);
    ASSERT_EQ(Connect(), 0);
    Collector collector;
    collector.stopWhen = [](const Collector& c) { return c.records.size() == 500; };
    ASSERT_EQ(collector.Run(), 0);
    int32_t uncertainty = -1;
    ASSERT_EQ(Lib().GetSyncUncertainty(&uncertainty), 0) << "tet.dll's connect tells ttime.dll where the tracker is";
    ASSERT_GE(uncertainty, 0);
    // No record comes from the future beyond the time library's stated
    // uncertainty, and the quickest deliveries are within a few milliseconds.
    for (size_t i = 0; i < collector.lags.size(); ++i) EXPECT_GE(collector.lags[i], -uncertainty) << i;
    EXPECT_LT(*std::min_element(collector.lags.begin(), collector.lags.end()), 5000 + uncertainty);
    // Both are the tracker's clock, seconds away from the performance counter.
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    const int64_t pcNow =
        static_cast<int64_t>(static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart));
    EXPECT_GT(TimeOf(collector.records.back()) - pcNow, 4000000);
    EXPECT_NEAR(static_cast<double>(Lib().Now() - pcNow), 5000000.0, 100000.0);
}

TEST_F(TetDllTest, SilentTrackerGetsIdleCallbacksWithoutARecord) {
    Scenario scenario = TestScenario();
    scenario.sampleLimit = 5;
    StartServer(scenario);
    ASSERT_EQ(Connect(), 0);
    Collector collector;
    collector.stopWhen = [](const Collector& c) { return c.records.size() == 5 && c.idles >= 3; };
    EXPECT_EQ(collector.Run(), 0);
    EXPECT_EQ(collector.records.size(), 5u);
    EXPECT_GE(collector.idles, 3);
}

TEST_F(TetDllTest, RecordCountEqualsWhatTheServerSentAcrossAStopAndRestart) {
    Scenario scenario = TestScenario();
    scenario.rate = Scenario::kFlatOut;
    scenario.sampleLimit = 20000;
    StartServer(scenario);
    ASSERT_EQ(Connect(), 0);
    Collector first;
    first.stopWhen = [](const Collector& c) { return c.records.size() == 100; };
    ASSERT_EQ(first.Run(), 0);
    Collector rest;
    rest.stopWhen = [&](const Collector& c) { return first.records.size() + c.records.size() == 20000 && c.idles > 0; };
    ASSERT_EQ(rest.Run(), 0);
    std::vector<TrackerRecord> all = first.records;
    all.insert(all.end(), rest.records.begin(), rest.records.end());
    EXPECT_EQ(all.size(), 20000u);
    for (size_t i = 1; i < all.size(); ++i) ASSERT_GE(TimeOf(all[i]), TimeOf(all[i - 1])) << i;
    EXPECT_EQ(m_server->Connections()[0].samplesSent, 20000u);
}

TEST_F(TetDllTest, SystemCheckReportsTheServersStatusThroughGetLastError) {
    Scenario scenario = TestScenario();
    scenario.systemCheck = {0, 13, 1, 2};
    StartServer(scenario);
    ASSERT_EQ(Connect(), 0);
    EXPECT_EQ(Outcome(Lib().PerformSystemCheck()), Failure(0, 0));
    EXPECT_EQ(Outcome(Lib().PerformSystemCheck()), Failure(-1, 13));
    EXPECT_EQ(Outcome(Lib().PerformSystemCheck()), Failure(-1, 1));
    EXPECT_EQ(Outcome(Lib().PerformSystemCheck()), Failure(-1, 2));
}

TEST_F(TetDllTest, CalibrationCallsReachTheServerWithAllSixArguments) {
    StartServer(TestScenario());
    ASSERT_EQ(Connect(), 0);
    const float points[5][2] = {{0.1f, 0.1f}, {0.9f, 0.1f}, {0.9f, 0.9f}, {0.1f, 0.9f}, {0.5f, 0.5f}};
    ASSERT_EQ(Lib().CalibClear(), 0);
    for (const auto& point : points) {
        ASSERT_EQ(Lib().CalibAddPoint(point[0], point[1], kTrackerCalibPointMode, 0, 0, 0), 0);
    }
    ASSERT_EQ(Lib().CalibCalculateAndSet(), 0);
    const auto calls = m_server->CalibrationCalls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].kind, CalibrationCallKind::kClear);
    for (int i = 0; i < 5; ++i) {
        const CalibrationCall& call = calls[static_cast<size_t>(i) + 1];
        EXPECT_EQ(call.kind, CalibrationCallKind::kAddPoint);
        EXPECT_EQ(call.x, points[i][0]);
        EXPECT_EQ(call.y, points[i][1]);
        EXPECT_EQ(call.mode, 6);
        EXPECT_EQ(call.reserved[0], 0);
        EXPECT_EQ(call.reserved[1], 0);
        EXPECT_EQ(call.reserved[2], 0);
    }
    EXPECT_EQ(calls[6].kind, CalibrationCallKind::kCalculate);
    EXPECT_EQ(calls[6].status, 0);
}

TEST_F(TetDllTest, FailedCalibrationGivesCodeEleven) {
    Scenario scenario = TestScenario();
    scenario.calibFail = 11;
    StartServer(scenario);
    ASSERT_EQ(Connect(), 0);
    ASSERT_EQ(Lib().CalibClear(), 0);
    ASSERT_EQ(Lib().CalibAddPoint(0.5f, 0.5f, 6, 0, 0, 0), 0);
    EXPECT_EQ(Outcome(Lib().CalibCalculateAndSet()), Failure(-1, 11));
}

TEST_F(TetDllTest, RefusedConnectionFailsWithCodeThree) {
    Scenario scenario = TestScenario();
    scenario.refuse = -1;
    StartServer(scenario);
    EXPECT_EQ(Outcome(Connect()), Failure(-1, 3));
    EXPECT_EQ(Outcome(Lib().PerformSystemCheck()), Failure(-1, 1));
}

TEST_F(TetDllTest, FailedStartReturnsTheServersCodeAndLeavesTheConnectionUp) {
    Scenario scenario = TestScenario();
    scenario.startFail = 12;
    StartServer(scenario);
    ASSERT_EQ(Connect(), 0);
    Collector collector;
    EXPECT_EQ(Outcome(collector.Run()), Failure(-1, 12));
    EXPECT_TRUE(collector.records.empty());
    EXPECT_EQ(Lib().PerformSystemCheck(), 0);
}

TEST_F(TetDllTest, DroppedConnectionEndsStartWithCodeTwoAndDisconnectIsHarmless) {
    Scenario scenario = TestScenario();
    scenario.dropAfter = 250;
    StartServer(scenario);
    ASSERT_EQ(Connect(), 0);
    Collector collector;
    EXPECT_EQ(Outcome(collector.Run()), Failure(-1, 2));
    EXPECT_EQ(collector.records.size(), 250u);  // everything sent before the drop arrived
    EXPECT_EQ(Outcome(Lib().PerformSystemCheck()), Failure(-1, 2));
    EXPECT_EQ(Lib().Disconnect(), 0);
    EXPECT_EQ(Outcome(Lib().Disconnect()), Failure(-1, 1));
    ASSERT_EQ(Connect(), 0);  // and a new connection works
    EXPECT_EQ(Lib().PerformSystemCheck(), 0);
}

TEST_F(TetDllTest, StalledTrackerKeepsTheIdleCallbacksComing) {
    Scenario scenario = TestScenario();
    scenario.stallAfter = 10;
    scenario.stallMs = 200;
    StartServer(scenario);
    ASSERT_EQ(Connect(), 0);
    Collector collector;
    int idlesAtTenth = -1;
    collector.stopWhen = [&](const Collector& c) {
        if (c.records.size() == 10 && idlesAtTenth < 0) idlesAtTenth = c.idles;
        return c.records.size() == 11;
    };
    EXPECT_EQ(collector.Run(), 0);
    EXPECT_GT(collector.idles, idlesAtTenth);
}

TEST_F(TetDllTest, ServerThatDisappearsDuringDeliveryMakesStartFailWithCodeTwo) {
    StartServer(TestScenario());
    ASSERT_EQ(Connect(), 0);
    std::atomic<bool> delivering{false};
    std::thread stopper([&] {
        while (!delivering) Sleep(1);
        m_server->Stop();
    });
    Collector collector;
    collector.stopWhen = [&](const Collector&) {
        delivering = true;
        return false;
    };
    EXPECT_EQ(Outcome(collector.Run()), Failure(-1, 2));
    stopper.join();
    EXPECT_EQ(Lib().Disconnect(), 0);
}

TEST_F(TetDllTest, CallsWithoutAConnectionFailWithCodeOneAndStopOutsideACallbackIsRefused) {
    EXPECT_EQ(Outcome(Lib().PerformSystemCheck()), Failure(-1, 1));
    EXPECT_EQ(Outcome(Lib().CalibClear()), Failure(-1, 1));
    EXPECT_EQ(Outcome(Lib().CalibAddPoint(0.5f, 0.5f, 6, 0, 0, 0)), Failure(-1, 1));
    EXPECT_EQ(Outcome(Lib().CalibCalculateAndSet()), Failure(-1, 1));
    Collector collector;
    EXPECT_EQ(Outcome(collector.Run()), Failure(-1, 1));
    EXPECT_EQ(Outcome(Lib().Disconnect()), Failure(-1, 1));
    EXPECT_EQ(Outcome(Lib().Stop()), Failure(-1, 7));
    EXPECT_EQ(Outcome(Lib().Start(nullptr, nullptr, 0)), Failure(-1, 5));
    EXPECT_EQ(Outcome(Lib().Connect(nullptr, 4455, 3)), Failure(-1, 5));
}

TEST_F(TetDllTest, UnreachableServerFailsConnectWithCodeThree) {
    StartServer(TestScenario());
    const int32_t port = m_server->Port();
    m_server->Stop();
    EXPECT_EQ(Outcome(Lib().Connect("127.0.0.1", port, 3)), Failure(-1, 3));
    EXPECT_EQ(Outcome(Lib().Connect("localhost", port, 3)), Failure(-1, 3));
}

TEST_F(TetDllTest, TwoThreadsHoldTwoConnectionsAndTheirOwnLastErrors) {
    StartServer(TestScenario());
    std::atomic<int> delivering{0};
    size_t received[2] = {0, 0};
    int32_t results[2] = {-1, -1};
    int32_t lastErrors[2] = {-1, -1};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            if (Connect() != 0) return;
            Collector collector;
            bool counted = false;
            collector.stopWhen = [&](const Collector& c) {
                if (!counted) {
                    counted = true;
                    ++delivering;
                }
                return delivering == 2 && c.records.size() >= 200;
            };
            results[t] = collector.Run();
            received[t] = collector.records.size();
            if (t == 0) {
                Lib().Disconnect();
                Lib().Disconnect();  // fails with 1 on this thread only
            }
            lastErrors[t] = Lib().GetLastError();
            if (t == 1) Lib().Disconnect();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_GE(received[0], 200u);
    EXPECT_GE(received[1], 200u);
    EXPECT_EQ(lastErrors[0], 1);
    EXPECT_EQ(lastErrors[1], 0);
    EXPECT_EQ(m_server->Connections().size(), 2u);
}

TEST_F(TetDllTest, ThreadThatEndsWithoutDisconnectClosesItsConnection) {
    StartServer(TestScenario());
    int32_t connected = -1;
    std::thread worker([&] { connected = Connect(); });
    worker.join();
    ASSERT_EQ(connected, 0);
    EXPECT_TRUE(m_server->WaitUntil([](const std::vector<ConnectionReport>& r,
                                       const std::vector<CalibrationCall>&) { return r.size() == 1 && !r[0].open; },
                                    kWaitMs));
}

}  // namespace
}  // namespace okulon::sim
