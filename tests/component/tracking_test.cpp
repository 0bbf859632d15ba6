// StartTracking and StopTracking against the simulated tracker: the worker's
// life, the connection status, and that no record is lost, duplicated or
// delivered by a worker that was replaced, detached or cut off.
#include "component_support.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "create_thread_seam.h"
#include "held_request.h"
#include "simtracker/sim_server.h"
#include "tracker/contract/tracker_records.h"
#include "wait_until.h"

namespace okulon::test {
namespace {

using sim::Scenario;
using sim::SimServer;

// A replay file of samples with both eyes usable, so every sample the server
// sends becomes exactly one gaze record of eye type 0.
std::string WriteReplayFile(int samples) {
    char folder[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "okr", 0, path);
    FILE* file = std::fopen(path, "w");
    for (int i = 0; i < samples; ++i)
        std::fprintf(file, "%.4f,0.5,3.0,0,%.4f,0.5,3.1,0\n", 0.1 + 0.8 * i / samples, 0.1 + 0.8 * i / samples);
    std::fclose(file);
    return path;
}

class Tracking : public ::testing::Test {
protected:
    void StartServer(Scenario scenario) {
        scenario.port = 0;
        scenario.idleExitSeconds = 0;
        scenario.lifetimeSeconds = 120;
        m_server = std::make_unique<SimServer>(scenario);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        PointAt(m_server->Port());
    }
    void PointAt(int port) {
        Command(L"host 127.0.0.1");
        Command(L"port " + std::to_wstring(port));
    }
    void Command(const std::wstring& command) {
        const UniqueBstr text(SysAllocString(command.c_str()));
        LONG result = -1;
        EXPECT_EQ(S_OK, m_tracker->SendCommand(text.get(), &result)) << command.c_str();
    }
    LONG GazeCount() {
        LONG count = -1;
        EXPECT_EQ(S_OK, m_tracker->GetGazeDataCount(&count, 0));
        return count;
    }
    std::vector<::GazeRecord> FetchGaze() {
        std::vector<::GazeRecord> records(static_cast<size_t>(GazeCount()) + 1);
        LONG count = static_cast<LONG>(records.size());
        EXPECT_EQ(S_OK, m_tracker->GetGazeData(&count, records.data(), 0));
        records.resize(count);
        return records;
    }
    bool AllConnectionsClosed() {
        for (const auto& connection : m_server->Connections())
            if (connection.open) return false;
        return true;
    }
    uint64_t SamplesSent() {
        uint64_t sent = 0;
        for (const auto& connection : m_server->Connections()) sent += connection.samplesSent;
        return sent;
    }
    // Every worker has left: the module lock of each one is given back.
    bool WorkersEnded() { return ThisModule().GetLockCount() == m_baseLocks; }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    const LONG m_baseLocks = ThisModule().GetLockCount();
    ComPtr<IEyeTracker> m_tracker = CreateTracker();
    std::unique_ptr<SimServer> m_server;
};

TEST_F(Tracking, AnUnreachableTrackerStillStartsAndTheWorkerEndsWithoutSamples) {
    PointAt(1);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    EXPECT_EQ(S_OK, m_tracker->StartTracking());
    EXPECT_TRUE(WaitUntil([&] { return ThisModule().GetLockCount() == m_baseLocks + 1; }))
        << "only the object's own lock remains once the worker has given up";
    EXPECT_EQ(0, GazeCount());
    EXPECT_EQ(0, Impl(m_tracker).GetSystemCheckCode()) << "a failed connect leaves the status alone";
    // The handle is still held, so a stop succeeds.
    EXPECT_EQ(S_OK, m_tracker->StopTracking());
}

TEST_F(Tracking, StopWithoutAWorkerFailsEveryTime) {
    const wchar_t* message = L"StopTracking: Tracking thread not created, maybe tracking was not started";
    EXPECT_EQ(E_FAIL, m_tracker->StopTracking());
    EXPECT_EQ(message, LastErrorText(m_tracker.get()));
    PointAt(1);
    EXPECT_EQ(S_OK, m_tracker->StartTracking());
    EXPECT_EQ(S_OK, m_tracker->StopTracking());
    EXPECT_EQ(E_FAIL, m_tracker->StopTracking());
    EXPECT_EQ(message, LastErrorText(m_tracker.get()));
}

TEST_F(Tracking, EverySampleSentBeforeTheStopArrivesOnceAndInOrder) {
    Scenario scenario;
    scenario.rate = 1000;
    scenario.csvPath = WriteReplayFile(1500);
    scenario.sampleLimit = 1500;
    // A tracker clock half a minute ahead of the PC's and drifting: a record
    // or GetTimestamp read on the PC's clock would land 30 s away.
    scenario.clockOffsetMicros = 30000000;
    scenario.clockDriftPpm = 50;
    StartServer(scenario);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());

    std::vector<::GazeRecord> received;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& record : FetchGaze()) received.push_back(record);
            return received.size() >= 1500;
        },
        30000))
        << received.size() << " of 1500";
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    ASSERT_TRUE(WaitUntil([&] { return AllConnectionsClosed() && ThisModule().GetLockCount() == m_baseLocks + 1; }));
    for (const auto& record : FetchGaze()) received.push_back(record);

    EXPECT_EQ(1500u, received.size());
    EXPECT_EQ(SamplesSent(), received.size());
    for (size_t i = 1; i < received.size(); ++i) {
        ASSERT_LT(received[i - 1].time, received[i].time) << "record " << i << " repeated or out of order";
        ASSERT_LE(received[i - 1].x, received[i].x) << "record " << i << " out of the file's order";
    }
    hyper now = 0;
    m_tracker->GetTimestamp(&now);
    EXPECT_LE(received.back().time, now) << "record times use the tracker clock of GetTimestamp";
    EXPECT_GT(received.back().time, now - 15000000) << "record times use the tracker clock of GetTimestamp";
}

TEST_F(Tracking, ASecondStartReplacesTheWorkerWhoseRecordsStopAtOnce) {
    Scenario scenario;
    scenario.rate = 1000;
    StartServer(scenario);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil([&] { return GazeCount() > 50; }));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    // The replaced connection is wound down by its own worker.
    ASSERT_TRUE(WaitUntil([&] {
        const auto connections = m_server->Connections();
        return connections.size() == 2 && !connections[0].open;
    }));
    ASSERT_TRUE(WaitUntil([&] { return GazeCount() > 200; }));
    std::vector<::GazeRecord> records = FetchGaze();
    for (size_t i = 1; i < records.size(); ++i)
        ASSERT_LT(records[i - 1].time, records[i].time) << "two workers delivered at once near record " << i;
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    EXPECT_TRUE(WaitUntil([&] { return AllConnectionsClosed() && ThisModule().GetLockCount() == m_baseLocks + 1; }));
}

TEST_F(Tracking, AWorkerReplacedWhileDeliveringMakesNoSystemCheckAfterTheNewStartReturned) {
    Scenario scenario;
    scenario.rate = 1000;
    StartServer(scenario);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil([&] { return GazeCount() > 50; })) << "delivering";

    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    const uint32_t checksAtReturn = m_server->Connections()[0].systemChecks;

    ASSERT_TRUE(WaitUntil([&] { return !m_server->Connections()[0].open; })) << "the replaced worker disconnects";
    EXPECT_EQ(checksAtReturn, m_server->Connections()[0].systemChecks)
        << "the replaced worker checked the tracker after its cut-off";
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    EXPECT_TRUE(WaitUntil([&] { return AllConnectionsClosed(); }));
}

TEST_F(Tracking, ASystemCheckInProgressIsAnsweredBeforeTheReplacingStartReturns) {
    StartServer(Scenario{});
    HeldRequest check(*m_server, sim::MessageType::kSystemCheck);
    Impl(m_tracker).SetSystemCheckCode(kTrackerErrorStreamingOff);  // no delivery: the worker only checks
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(check.WaitUntilHeld());
    UniqueHandle returned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    check.ReleaseLater(returned.get(), kHeldRequestGraceMs);

    EXPECT_EQ(S_OK, m_tracker->StartTracking());
    const uint32_t checksAtReturn = m_server->Connections()[0].systemChecks;
    SetEvent(returned.get());
    check.Join();

    EXPECT_FALSE(check.HostReturnedWhileHeld()) << "StartTracking returned while the old worker's check was held";
    EXPECT_EQ(1u, checksAtReturn);
    ASSERT_TRUE(WaitUntil([&] { return !m_server->Connections()[0].open; }));
    EXPECT_EQ(checksAtReturn, m_server->Connections()[0].systemChecks);
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    EXPECT_TRUE(WaitUntil([&] { return AllConnectionsClosed(); }));
}

TEST_F(Tracking, AWorkerReplacedBeforeItRanNeverConnects) {
    StartServer(Scenario{});
    ASSERT_TRUE(CreateThreadSeam::Install());
    CreateThreadSeam::SuspendNext();
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    UniqueHandle first = CreateThreadSeam::TakeSuspended();
    CreateThreadSeam::Disarm();
    ASSERT_TRUE(first);

    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil([&] { return m_server->Connections().size() == 1; })) << "the new worker connects";
    ResumeThread(first.get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.get(), 10000)) << "the replaced worker ends";

    EXPECT_EQ(1u, m_server->Connections().size()) << "the replaced worker connected after its cut-off";
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    EXPECT_TRUE(WaitUntil([&] { return AllConnectionsClosed(); }));
}

TEST_F(Tracking, ADetachedWorkerNeverDeliversAgainWhenTrackingRestartsAtOnce) {
    Scenario scenario;
    scenario.rate = 2000;
    StartServer(scenario);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(S_OK, m_tracker->StartTracking());
        ASSERT_TRUE(WaitUntil([&] { return GazeCount() > 20; }));
        ASSERT_EQ(S_OK, m_tracker->StopTracking());
    }
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil([&] { return GazeCount() > 300; }));
    std::vector<::GazeRecord> records = FetchGaze();
    for (size_t i = 1; i < records.size(); ++i)
        ASSERT_LT(records[i - 1].time, records[i].time) << "a detached worker delivered near record " << i;
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    EXPECT_TRUE(WaitUntil([&] { return AllConnectionsClosed(); }));
}

TEST_F(Tracking, StatusOneOrTwoRefusesStartAndStopUntilACheckSucceeds) {
    for (int32_t code : {1, 2}) {
        Scenario scenario;
        scenario.systemCheck = {code};
        StartServer(scenario);
        ASSERT_EQ(S_OK, m_tracker->StartTracking());
        ASSERT_TRUE(WaitUntil([&] { return SamplesSent() > 0; })) << "delivering";
        ASSERT_EQ(S_OK, m_tracker->StopTracking());  // the detached worker checks once more
        ASSERT_TRUE(WaitUntil([&] { return Impl(m_tracker).GetSystemCheckCode() == code; })) << code;

        EXPECT_EQ(E_FAIL, m_tracker->StartTracking());
        EXPECT_EQ(L"StartTracking: Tracker not connected", LastErrorText(m_tracker.get()));
        EXPECT_EQ(E_FAIL, m_tracker->StopTracking());
        EXPECT_EQ(L"StopTracking: Tracker not connected", LastErrorText(m_tracker.get()));

        // The worker started by the refused call goes on checking and clears the status.
        scenario.systemCheck = {0};
        m_server->SetScenario(scenario);
        ASSERT_TRUE(WaitUntil([&] { return Impl(m_tracker).IsTrackerConnected() == 1; }));
        EXPECT_EQ(S_OK, m_tracker->StopTracking());
        ASSERT_TRUE(WaitUntil([&] { return AllConnectionsClosed(); }));
        m_server->Stop();
    }
}

TEST_F(Tracking, StatusThirteenStartsWithoutStreaming) {
    Scenario scenario;
    scenario.systemCheck = {13};
    StartServer(scenario);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil([&] { return SamplesSent() > 0; })) << "delivering";
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    ASSERT_TRUE(WaitUntil([&] { return Impl(m_tracker).GetSystemCheckCode() == 13; }));
    const uint64_t sentBefore = SamplesSent();
    FetchGaze();

    EXPECT_EQ(S_OK, m_tracker->StartTracking());
    EXPECT_EQ(0, Impl(m_tracker).IsStreaming());
    ASSERT_TRUE(WaitUntil([&] {
        uint32_t checks = 0;
        for (const auto& connection : m_server->Connections()) checks += connection.systemChecks;
        return checks > 20;
    })) << "the worker only performs system checks";
    EXPECT_EQ(sentBefore, SamplesSent());
    EXPECT_EQ(0, GazeCount());
    EXPECT_EQ(S_OK, m_tracker->StopTracking());
}

TEST_F(Tracking, AFailedStartEndsTheWorkerWithoutSamples) {
    Scenario scenario;
    scenario.startFail = 5;
    StartServer(scenario);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    EXPECT_EQ(S_OK, m_tracker->StartTracking());
    EXPECT_TRUE(WaitUntil([&] { return ThisModule().GetLockCount() == m_baseLocks + 1; }));
    EXPECT_EQ(0, GazeCount());
    EXPECT_EQ(0u, SamplesSent());
    EXPECT_EQ(S_OK, m_tracker->StopTracking()) << "the handle of the ended worker is still held";
}

TEST_F(Tracking, ReleasingTheObjectWhileDeliveringEndsEveryWorkerAndItsConnection) {
    Scenario scenario;
    scenario.rate = 2000;
    StartServer(scenario);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil([&] { return GazeCount() > 50; }));
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    ASSERT_EQ(S_OK, m_tracker->StartTracking());  // one detached, one held
    ASSERT_TRUE(WaitUntil([&] { return GazeCount() > 100; }));
    m_tracker.reset();
    EXPECT_TRUE(WaitUntil([&] { return WorkersEnded(); })) << "lock count " << ThisModule().GetLockCount();
    EXPECT_TRUE(WaitUntil([&] { return AllConnectionsClosed(); }));
}

TEST_F(Tracking, ReleasingTheObjectWhileTheTrackerIsSilentDoesNotHang) {
    Scenario scenario;
    scenario.rate = 500;
    scenario.stallAfter = 20;
    scenario.stallMs = 60000;
    StartServer(scenario);
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil([&] { return SamplesSent() >= 20; }));
    m_tracker.reset();
    EXPECT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_TRUE(WaitUntil([&] { return AllConnectionsClosed(); }));
}

}  // namespace
}  // namespace okulon::test
