// Tracker faults end to end: the real Okulon.dll, the stand-in tet.dll and a
// tracker server that fails while the extension connects, streams or
// calibrates. For every fault the host's calls return within a bound, the
// object's workers end and give back what they hold, and the next
// StartTracking delivers again once a working server is back on the same port.
// Each test prints what the host saw ("host saw: ...").
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "host/calibration_display_scripted.h"
#include "process_figures.h"
#include "reliability_support.h"
#include "rogue_tracker_server.h"

namespace okulon::reliability {
namespace {

using host::ScriptedDisplay;
using Fault = RogueTrackerServer::Fault;
using Where = RogueTrackerServer::Where;

constexpr DWORD kBoundMs = 30000;  // waits for workers and records on a loaded machine
// A host call that does not wait for the tracker takes milliseconds; 2 s is far
// above that on a loaded machine and well below the library's 5 s reply
// time-out, so a call that waited for a silent server would show.
constexpr ULONGLONG kHostCallBoundMs = 2000;
// Calibrate waits for its worker, which waits at most one reply time-out (5 s)
// plus one dwell (1.5 s) before it learns of a fault.
constexpr ULONGLONG kCalibrateBoundMs = 15000;
// Left behind after a fault, measured against the same process after a warm-up
// session: see lifecycle_soak_test.cpp for the reasoning.
constexpr long kHandleTolerance = 16;
constexpr long kThreadTolerance = 2;

class TrackerFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
        // Warm-up: the first session loads the tracker library and the socket
        // layer, which stay for the life of the process.
        StartGoodServer(0);
        m_tracker = CreateThroughFactory(m_dll);
        ASSERT_TRUE(m_tracker);
        PointAt(m_server->Port());
        ExpectTrackingDelivers("warm-up");
        m_tracker.reset();
        ASSERT_TRUE(Quiescent());
        m_server.reset();
        m_before = ReadProcessFigures();

        m_tracker = CreateThroughFactory(m_dll);
        ASSERT_TRUE(m_tracker);
        ASSERT_EQ(S_OK, SendSetting(m_tracker.get(), L"host 127.0.0.1"));
        ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    }

    void TearDown() override {
        m_tracker.reset();
        EXPECT_TRUE(Quiescent()) << "a worker kept the module or its connection after the object was released";
        if (m_lastDisplay) {
            EXPECT_EQ(1, m_lastDisplay->ReferenceCount()) << "a worker kept the display";
        }
        m_lastDisplay.reset();  // the test's own display holds synchronisation handles
        m_server.reset();
        m_rogue.reset();
        const ProcessFigures after = ReadSettledProcessFigures(m_before.threads, 5000);
        EXPECT_LE(static_cast<long>(after.handles) - static_cast<long>(m_before.handles), kHandleTolerance);
        EXPECT_LE(static_cast<long>(after.threads) - static_cast<long>(m_before.threads), kThreadTolerance);
        std::printf("process: %lu -> %lu handles, %lu -> %lu threads\n", static_cast<unsigned long>(m_before.handles),
                    static_cast<unsigned long>(after.handles), static_cast<unsigned long>(m_before.threads),
                    static_cast<unsigned long>(after.threads));
    }

    void StartGoodServer(uint16_t port, sim::Scenario scenario = {}) {
        scenario.rate = 1000;
        scenario.port = port;
        scenario.idleExitSeconds = 0;
        scenario.lifetimeSeconds = 300;
        m_server = std::make_unique<sim::SimServer>(scenario);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
    }

    void StartRogue(Fault fault, Where where) {
        m_rogue = std::make_unique<RogueTrackerServer>(fault, where);
        ASSERT_TRUE(m_rogue->IsListening());
        PointAt(m_rogue->Port());
    }

    // The broken server goes and a working one comes back on its port.
    void ReplaceRogueWithGoodServer() {
        const uint16_t port = m_rogue->Port();
        m_rogue.reset();
        StartGoodServer(port);
    }

    void PointAt(uint16_t port) {
        ASSERT_EQ(S_OK, SendSetting(m_tracker.get(), L"host 127.0.0.1"));
        ASSERT_EQ(S_OK, SendSetting(m_tracker.get(), L"port " + std::to_wstring(port)));
    }

    template <class Call>
    HRESULT Timed(const char* what, Call call, ULONGLONG boundMs = kHostCallBoundMs) {
        const ULONGLONG start = GetTickCount64();
        const HRESULT hr = call();
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_LE(elapsed, boundMs) << what << " blocked the host's thread";
        return hr;
    }

    LONG GazeCount() {
        LONG count = -1;
        EXPECT_EQ(S_OK, Timed("GetGazeDataCount", [&] { return m_tracker->GetGazeDataCount(&count, 0); }));
        return count;
    }

    // A worker's end shows as its module lock coming back, leaving only the
    // object's (the probe's own factory reference is not counted).
    bool OnlyTheObjectHoldsTheModule() {
        ComPtr<IClassFactory> factory = m_dll.Factory();
        return factory && test::ProbeLockCount(m_dll, factory.get()) == 2;
    }

    bool Quiescent() {
        return WaitUntil([&] { return m_dll.CanUnloadNow() == S_OK; }, kBoundMs) &&
               (!m_server || WaitUntil([&] { return AllConnectionsClosed(*m_server); }, kBoundMs));
    }

    // StartTracking against a working server delivers records; then stops.
    void ExpectTrackingDelivers(const char* when) {
        FetchAllGaze(m_tracker.get(), 0);
        ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
        EXPECT_EQ(S_OK, Timed("StartTracking", [&] { return m_tracker->StartTracking(); }))
            << when << ": " << Narrow(LastErrorText(m_tracker.get()));
        EXPECT_TRUE(WaitUntil([&] { return GazeCount() > 20; }, kBoundMs)) << when << ": no records";
        EXPECT_EQ(S_OK, Timed("StopTracking", [&] { return m_tracker->StopTracking(); }))
            << when << ": " << Narrow(LastErrorText(m_tracker.get()));
        EXPECT_EQ(S_OK, m_tracker->StopGazeData(0));
    }

    void Saw(const std::string& what) {
        std::printf("host saw: %s\n", what.c_str());
        RecordProperty("host_saw", what);
    }

    // Calibrate with Enter only (never cancelled); gives its result and message.
    std::string CalibrateUntilItEnds(HRESULT* result) {
        ComPtr<ScriptedDisplay> display = ComPtr<ScriptedDisplay>::adopt(ScriptedDisplay::Create(1280, 1024));
        display->AddRef();  // handed over; consumed only by S_OK
        *result = Timed(
            "Calibrate", [&] { return m_tracker->Calibrate(0, display.get(), 0, 0, 0, 0, 0, 0); }, kCalibrateBoundMs);
        const std::string message = Narrow(LastErrorText(m_tracker.get()));
        if (*result != S_OK) display->Release();
        // Every fault here strikes before the tracker completed a calibration.
        EXPECT_EQ(E_FAIL, *result) << "Calibrate succeeded although the tracker never completed it";
        EXPECT_TRUE(message == "Calibrate: Tracker not connected" || message == "Calibrate: Calibration failed")
            << message;
        m_lastDisplay = display;
        return message;
    }

    std::string Describe(HRESULT hr, const std::string& message) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        return std::string(code) + (hr == S_OK ? "" : " \"" + message + "\"");
    }

    // Streaming until the fault has happened; what the host sees then.
    void StreamIntoFault(const std::function<bool()>& faultHappened) {
        EXPECT_EQ(S_OK, Timed("StartTracking", [&] { return m_tracker->StartTracking(); }));
        ASSERT_TRUE(WaitUntil(faultHappened, kBoundMs)) << "the fault never came";
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    test::OkulonDll m_dll;
    ComPtr<IEyeTracker> m_tracker;
    std::unique_ptr<sim::SimServer> m_server;
    std::unique_ptr<RogueTrackerServer> m_rogue;
    ComPtr<ScriptedDisplay> m_lastDisplay;
    ProcessFigures m_before;
};

// ---- while streaming

TEST_F(TrackerFaults, ADroppedConnectionWhileStreamingEndsTheWorkerAndTheNextStartDelivers) {
    sim::Scenario dropping;
    dropping.dropAfter = 200;
    StartGoodServer(0, dropping);
    PointAt(m_server->Port());
    StreamIntoFault([&] {
        const auto connections = m_server->Connections();
        return !connections.empty() && connections[0].dropped && !connections[0].open;
    });
    ASSERT_TRUE(WaitUntil([&] { return OnlyTheObjectHoldsTheModule(); }, kBoundMs)) << "the worker did not end";
    const LONG queued = GazeCount();
    EXPECT_LE(queued, 200) << "records beyond what the server sent";
    const HRESULT stop = Timed("StopTracking", [&] { return m_tracker->StopTracking(); });
    EXPECT_EQ(S_OK, stop) << "the ended worker's handle is still held";
    Saw("streaming, dropped connection: " + std::to_string(queued) +
        " of 200 records queued, then none; "
        "StopTracking " +
        Describe(stop, Narrow(LastErrorText(m_tracker.get()))));
    sim::Scenario healthy;
    m_server->SetScenario(healthy);
    ExpectTrackingDelivers("after the drop");
}

TEST_F(TrackerFaults, AStallLongerThanTheReplyTimeOutLeavesStopAndStartAnsweringAtOnce) {
    sim::Scenario stalling;
    stalling.stallAfter = 100;
    stalling.stallMs = 7000;  // beyond the library's 5 s reply time-out
    StartGoodServer(0, stalling);
    PointAt(m_server->Port());
    StreamIntoFault([&] {
        const auto connections = m_server->Connections();
        return !connections.empty() && connections[0].samplesSent >= 100;
    });
    const HRESULT stop = Timed("StopTracking", [&] { return m_tracker->StopTracking(); });
    EXPECT_EQ(S_OK, stop);
    Saw("streaming, server stalls 7 s: records pause; StopTracking " +
        Describe(stop, Narrow(LastErrorText(m_tracker.get()))) + " at once");
    m_server->SetScenario(sim::Scenario{});
    ExpectTrackingDelivers("after the stall");
}

TEST_F(TrackerFaults, SilenceAfterSomeSamplesNeverBlocksTheHost) {
    StartRogue(Fault::kSilence, Where::kStreaming);
    StreamIntoFault([&] { return m_rogue->FaultsDelivered() > 0; });
    const LONG queued = GazeCount();
    const HRESULT stop = Timed("StopTracking", [&] { return m_tracker->StopTracking(); });
    EXPECT_EQ(S_OK, stop);
    Saw("streaming, server falls silent: " + std::to_string(queued) + " records, then none; StopTracking " +
        Describe(stop, "") + " at once; the worker gives up after the reply time-out");
    ReplaceRogueWithGoodServer();
    ExpectTrackingDelivers("after the silence");
}

TEST_F(TrackerFaults, AMalformedFrameWhileStreamingEndsTheWorkerAndTheNextStartDelivers) {
    StartRogue(Fault::kGarbage, Where::kStreaming);
    StreamIntoFault([&] { return m_rogue->FaultsDelivered() > 0; });
    const LONG queued = GazeCount();
    EXPECT_LE(queued, 50) << "records beyond what the server sent";
    const HRESULT stop = Timed("StopTracking", [&] { return m_tracker->StopTracking(); });
    EXPECT_EQ(S_OK, stop);
    Saw("streaming, malformed frame: " + std::to_string(queued) +
        " of 50 records queued, then none; "
        "StopTracking " +
        Describe(stop, Narrow(LastErrorText(m_tracker.get()))));
    ReplaceRogueWithGoodServer();
    ExpectTrackingDelivers("after the malformed frame");
}

TEST_F(TrackerFaults, AServerThatDiesWhileStreamingIsRecoveredFromOnceItIsBack) {
    StartGoodServer(0);
    const uint16_t port = m_server->Port();
    PointAt(port);
    StreamIntoFault([&] { return GazeCount() > 20; });
    m_server->Stop();
    m_server.reset();
    ASSERT_TRUE(WaitUntil([&] { return OnlyTheObjectHoldsTheModule(); }, kBoundMs)) << "the worker did not end";
    EXPECT_EQ(S_OK, Timed("NoOperation", [&] { return m_tracker->NoOperation(); }));
    const HRESULT again = Timed("StartTracking", [&] { return m_tracker->StartTracking(); });
    Saw("streaming, server dies: records stop; StartTracking with no server " +
        Describe(again, Narrow(LastErrorText(m_tracker.get()))) + " (the worker fails to connect)");
    // As with a refused connect: the worker connects, never the host's call.
    EXPECT_EQ(S_OK, again);
    StartGoodServer(port);
    ExpectTrackingDelivers("once the server is back");
}

// ---- while connecting

TEST_F(TrackerFaults, ARefusedConnectEndsTheWorkerWithoutRecordsAndTheNextStartDelivers) {
    sim::Scenario refusing;
    refusing.refuse = -1;
    StartGoodServer(0, refusing);
    PointAt(m_server->Port());
    const HRESULT start = Timed("StartTracking", [&] { return m_tracker->StartTracking(); });
    EXPECT_EQ(S_OK, start);
    ASSERT_TRUE(WaitUntil([&] { return m_server->RefusedConnections() > 0; }, kBoundMs));
    ASSERT_TRUE(WaitUntil([&] { return OnlyTheObjectHoldsTheModule(); }, kBoundMs)) << "the worker did not end";
    EXPECT_EQ(0, GazeCount());
    Saw("connect refused: StartTracking " + Describe(start, "") + ", no records, worker ended");
    m_server->SetScenario(sim::Scenario{});
    ExpectTrackingDelivers("after the refusal");
}

TEST_F(TrackerFaults, SilenceAtTheHelloEndsTheWorkerAfterTheTimeOutAndNeverBlocksTheHost) {
    StartRogue(Fault::kSilence, Where::kConnect);
    const HRESULT start = Timed("StartTracking", [&] { return m_tracker->StartTracking(); });
    EXPECT_EQ(S_OK, start);
    ASSERT_TRUE(WaitUntil([&] { return m_rogue->FaultsDelivered() > 0; }, kBoundMs));
    const HRESULT again = Timed("StartTracking", [&] { return m_tracker->StartTracking(); });
    EXPECT_EQ(S_OK, again) << "replacing a worker that waits in its connect";
    EXPECT_EQ(0, GazeCount());
    Saw("connect stalls: StartTracking " + Describe(start, "") + " at once, also while the worker waits; no records");
    ReplaceRogueWithGoodServer();
    ExpectTrackingDelivers("after the stalled connect");
}

TEST_F(TrackerFaults, AMalformedHelloReplyEndsTheWorkerWithoutRecordsAndTheNextStartDelivers) {
    StartRogue(Fault::kGarbage, Where::kConnect);
    const HRESULT start = Timed("StartTracking", [&] { return m_tracker->StartTracking(); });
    EXPECT_EQ(S_OK, start);
    ASSERT_TRUE(WaitUntil([&] { return m_rogue->FaultsDelivered() > 0; }, kBoundMs));
    EXPECT_EQ(0, GazeCount());
    Saw("connect answered with a malformed frame: StartTracking " + Describe(start, "") + ", no records");
    ReplaceRogueWithGoodServer();
    ExpectTrackingDelivers("after the malformed hello");
}

TEST_F(TrackerFaults, AConnectionClosedAtTheHelloEndsTheWorkerAndTheNextStartDelivers) {
    StartRogue(Fault::kClose, Where::kConnect);
    const HRESULT start = Timed("StartTracking", [&] { return m_tracker->StartTracking(); });
    EXPECT_EQ(S_OK, start);
    ASSERT_TRUE(WaitUntil([&] { return m_rogue->FaultsDelivered() > 0; }, kBoundMs));
    EXPECT_EQ(0, GazeCount());
    Saw("connection dropped at the hello: StartTracking " + Describe(start, "") + ", no records");
    ReplaceRogueWithGoodServer();
    ExpectTrackingDelivers("after the dropped hello");
}

// ---- while calibrating

class CalibrationFaults : public TrackerFaults {
protected:
    void CalibrateIntoRogue(Fault fault, const char* name) {
        StartRogue(fault, Where::kCalibration);
        HRESULT result = E_UNEXPECTED;
        const std::string message = CalibrateUntilItEnds(&result);
        EXPECT_GT(m_rogue->FaultsDelivered(), 0);
        Saw(std::string("calibration, ") + name + ": Calibrate " + Describe(result, message));
        ReplaceRogueWithGoodServer();
        ExpectTrackingDelivers(name);
    }
};

TEST_F(CalibrationFaults, AMalformedReplyEndsCalibrateWithinItsBoundAndTrackingRecovers) {
    CalibrateIntoRogue(Fault::kGarbage, "malformed reply");
}

TEST_F(CalibrationFaults, SilenceBeyondTheReplyTimeOutEndsCalibrateWithinItsBoundAndTrackingRecovers) {
    CalibrateIntoRogue(Fault::kSilence, "server silent beyond the reply time-out");
}

TEST_F(CalibrationFaults, ADroppedConnectionEndsCalibrateWithinItsBoundAndTrackingRecovers) {
    CalibrateIntoRogue(Fault::kClose, "dropped connection");
}

TEST_F(CalibrationFaults, ARefusedConnectEndsCalibrateWithinItsBoundAndTrackingRecovers) {
    sim::Scenario refusing;
    refusing.refuse = -1;
    StartGoodServer(0, refusing);
    PointAt(m_server->Port());
    HRESULT result = E_UNEXPECTED;
    const std::string message = CalibrateUntilItEnds(&result);
    EXPECT_GT(m_server->RefusedConnections(), 0u);
    Saw("calibration, connect refused: Calibrate " + Describe(result, message));
    m_server->SetScenario(sim::Scenario{});
    ExpectTrackingDelivers("after the refused calibration");
}

TEST_F(CalibrationFaults, AServerThatDiesDuringTheDwellEndsCalibrateWithinItsBoundAndTrackingRecovers) {
    StartGoodServer(0);
    const uint16_t port = m_server->Port();
    PointAt(port);
    ComPtr<ScriptedDisplay> display = ComPtr<ScriptedDisplay>::adopt(ScriptedDisplay::Create(1280, 1024));
    // The server dies while the first target is shown; the host never presses a key.
    display->SetKeyHook([&] {
        if (display->CallsOf(host::DisplayCallKind::DrawTarget).size() == 1 && m_server) m_server->Stop();
        return false;
    });
    display->AddRef();
    const HRESULT result = Timed(
        "Calibrate", [&] { return m_tracker->Calibrate(0, display.get(), 0, 0, 0, 0, 0, 0); }, kCalibrateBoundMs);
    const std::string message = Narrow(LastErrorText(m_tracker.get()));
    if (result != S_OK) display->Release();
    EXPECT_EQ(E_FAIL, result) << "Calibrate succeeded without a server";
    EXPECT_EQ("Calibrate: Tracker not connected", message);
    EXPECT_LE(display->CallsOf(host::DisplayCallKind::DrawTarget).size(), 2u) << "targets drawn without a server";
    Saw("calibration, server dies during the first dwell: Calibrate " + Describe(result, message));
    display->SetKeyHook(nullptr);
    m_server.reset();
    StartGoodServer(port);
    ExpectTrackingDelivers("once the server is back");
}

}  // namespace
}  // namespace okulon::reliability
