// Calibrate through IEyeTracker against the simulated tracker (in this
// process, reached through the stand-in tet.dll) with a scripted display.
// A full calibration dwells 1.5 s on each of five targets, so only three tests
// run one to the end; the others end early by Escape, failure or refusal.
#include "component_support.h"

#include <memory>
#include <string>
#include <vector>

#include "base/lockable_module.h"
#include "held_request.h"
#include "host/calibration_display_scripted.h"
#include "simtracker/sim_server.h"
#include "wait_until.h"

namespace okulon::test {
namespace {

using host::DisplayCall;
using host::DisplayCallKind;
using host::ScriptedDisplay;
using sim::CalibrationCall;
using sim::CalibrationCallKind;

constexpr DWORD kBoundMs = 30000;  // generous bound for anything that should take moments
constexpr LONG kObjectLocks = 1;   // the one object of a test holds one module lock

struct Point {
    LONG x;
    LONG y;
    bool operator==(const Point& other) const { return x == other.x && y == other.y; }
};
std::ostream& operator<<(std::ostream& out, const Point& point) {
    return out << "(" << point.x << ", " << point.y << ")";
}

const std::vector<Point> kTargets1280x1024 = {{-511, 409}, {511, 409}, {511, -409}, {-511, -409}, {0, 0}};
const std::vector<Point> kTargets1024x768 = {{-409, 307}, {409, 307}, {409, -307}, {-409, -307}, {0, 0}};
const float kFractions[5][2] = {{0.1f, 0.1f}, {0.9f, 0.1f}, {0.9f, 0.9f}, {0.1f, 0.9f}, {0.5f, 0.5f}};

bool WaitForLockCount(LONG expected, DWORD timeoutMs) {
    return WaitUntil([expected] { return ThisModule().GetLockCount() == expected; }, timeoutMs);
}

std::vector<Point> DrawnTargets(const ScriptedDisplay& display) {
    std::vector<Point> points;
    for (const DisplayCall& call : display.CallsOf(DisplayCallKind::DrawTarget))
        points.push_back({call.first, call.second});
    return points;
}

std::vector<CalibrationCall> CallsOfKind(const std::vector<CalibrationCall>& calls, CalibrationCallKind kind) {
    std::vector<CalibrationCall> matching;
    for (const CalibrationCall& call : calls) {
        if (call.kind == kind) matching.push_back(call);
    }
    return matching;
}

class Calibrate : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kObjectLocks, ThisModule().GetLockCount()); }

    void TearDown() override {
        // No test may leave a worker behind for the next one.
        EXPECT_TRUE(WaitForLockCount(m_tracker ? kObjectLocks : 0, kBoundMs));
        if (m_server) m_server->Stop();
    }

    void StartServer(int32_t calibFail = 0) {
        sim::Scenario scenario;
        scenario.port = 0;
        scenario.calibFail = calibFail;
        scenario.lifetimeSeconds = 120;
        scenario.idleExitSeconds = 0;
        m_server = std::make_unique<sim::SimServer>(scenario);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        SetEndpoint(m_server->Port());
    }

    void SetEndpoint(uint16_t port) {
        for (const std::wstring& command : {std::wstring(L"host 127.0.0.1"), L"port " + std::to_wstring(port)}) {
            const UniqueBstr text(SysAllocString(command.c_str()));
            LONG result = kPoisonLong;
            EXPECT_EQ(S_OK, m_tracker->SendCommand(text.get(), &result));
        }
    }

    static ComPtr<ScriptedDisplay> NewDisplay(ULONG width, ULONG height) {
        return ComPtr<ScriptedDisplay>::adopt(ScriptedDisplay::Create(width, height));
    }

    // Hands one reference over, as the host does; S_OK consumes it.
    HRESULT RunCalibrate(ScriptedDisplay* display, LONG kind = 0) {
        display->AddRef();
        return m_tracker->Calibrate(kind, display, 0, 0, 0, 0, 0, 0);
    }

public:
    IEyeTracker* Tracker() { return m_tracker.get(); }

protected:
    // Everything the simulator has seen once the connections it served are closed.
    std::vector<CalibrationCall> SettledCalibrationCalls() {
        EXPECT_TRUE(m_server->WaitUntil(
            [](const std::vector<sim::ConnectionReport>& connections, const std::vector<CalibrationCall>&) {
                for (const auto& connection : connections) {
                    if (connection.open) return false;
                }
                return true;
            },
            kBoundMs))
            << "a worker's connection stayed open";
        return m_server->CalibrationCalls();
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    std::unique_ptr<sim::SimServer> m_server;
    ComPtr<IEyeTracker> m_tracker = CreateTracker();
};

void ExpectFiveTargetsAndPoints(const ScriptedDisplay& display, const std::vector<Point>& expected,
                                const std::vector<CalibrationCall>& calls) {
    EXPECT_EQ(expected, DrawnTargets(display));
    // Size first, then each target made visible before the next one.
    std::vector<DisplayCallKind> drawing;
    for (const DisplayCall& call : display.Calls()) {
        if (call.kind != DisplayCallKind::WaitForKey) drawing.push_back(call.kind);
    }
    std::vector<DisplayCallKind> expectedDrawing = {DisplayCallKind::GetDisplaySize};
    for (int i = 0; i < 5; ++i) {
        expectedDrawing.push_back(DisplayCallKind::DrawTarget);
        expectedDrawing.push_back(DisplayCallKind::UpdateDisplay);
    }
    EXPECT_EQ(expectedDrawing, drawing);

    ASSERT_EQ(7u, calls.size());
    EXPECT_EQ(CalibrationCallKind::kClear, calls.front().kind);
    for (int i = 0; i < 5; ++i) {
        const CalibrationCall& point = calls[1 + i];
        EXPECT_EQ(CalibrationCallKind::kAddPoint, point.kind);
        EXPECT_EQ(kFractions[i][0], point.x) << "point " << i + 1;
        EXPECT_EQ(kFractions[i][1], point.y) << "point " << i + 1;
        EXPECT_EQ(6, point.mode);
        EXPECT_EQ(0, point.reserved[0]);
        EXPECT_EQ(0, point.reserved[1]);
        EXPECT_EQ(0, point.reserved[2]);
        EXPECT_EQ(calls.front().connectionId, point.connectionId);
    }
    EXPECT_EQ(CalibrationCallKind::kCalculate, calls.back().kind);
}

TEST_F(Calibrate, DrawsTheFiveTargetsFeedsTheirFractionsAndConsumesTheDisplayReference) {
    StartServer();
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);
    display->PressKeyAtWaitForKey(1, 13);  // Enter: only Escape cancels
    EXPECT_EQ(E_NOTIMPL, m_tracker->SendTrigger(0));

    ASSERT_EQ(S_OK, RunCalibrate(display.get()));

    EXPECT_EQ(1, display->ReferenceCount()) << "Calibrate must release the handed-over reference once";
    EXPECT_EQ(L"SendTrigger not implemented", LastErrorText(m_tracker.get()));
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    ExpectFiveTargetsAndPoints(*display.get(), kTargets1280x1024, calls);
    EXPECT_EQ(0, calls.back().status);
    for (const DisplayCall& call : display->Calls()) {
        if (call.kind == DisplayCallKind::WaitForKey) {
            EXPECT_EQ(GetCurrentThreadId(), call.threadId);
            EXPECT_EQ(100, call.first);
        } else {
            EXPECT_NE(GetCurrentThreadId(), call.threadId) << "drawing belongs to the worker";
        }
    }
    EXPECT_TRUE(display->Violations().empty());
}

TEST_F(Calibrate, EscapeAfterTheWorkerFinishedStillCancels) {
    StartServer();
    ComPtr<ScriptedDisplay> display = NewDisplay(1024, 768);
    sim::SimServer* server = m_server.get();
    ScriptedDisplay* observed = display.get();
    display->SetKeyHook([server, observed] {
        if (observed->CallsOf(DisplayCallKind::DrawTarget).size() < 5) return false;
        // Escape only once the worker has activated the calibration and ended.
        const bool calculated = server->WaitUntil(
            [](const std::vector<sim::ConnectionReport>&, const std::vector<CalibrationCall>& calls) {
                return !CallsOfKind(calls, CalibrationCallKind::kCalculate).empty();
            },
            kBoundMs);
        return calculated && WaitForLockCount(kObjectLocks, kBoundMs);
    });

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));

    EXPECT_EQ(L"Calibrate: Calibration canceled", LastErrorText(m_tracker.get()));
    EXPECT_EQ(2, display->ReferenceCount()) << "a failed Calibrate keeps the handed-over reference";
    display->Release();
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    ExpectFiveTargetsAndPoints(*display.get(), kTargets1024x768, calls);
    EXPECT_TRUE(display->Violations().empty());
}

TEST_F(Calibrate, ReportsCalibrationFailedWhenTheTrackerCannotCompute) {
    StartServer(kTrackerErrorCalibrationFailed);
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));

    EXPECT_EQ(L"Calibrate: Calibration failed", LastErrorText(m_tracker.get()));
    EXPECT_EQ(2, display->ReferenceCount());
    display->Release();
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(CalibrationCallKind::kCalculate, calls.back().kind);
    EXPECT_EQ(kTrackerErrorCalibrationFailed, calls.back().status);
    EXPECT_TRUE(display->Violations().empty());
}

TEST_F(Calibrate, EscapeCancelsAndCutsTheWorkerOff) {
    StartServer();
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);
    display->PressKeyAfterTarget(2, 0x0001001B);  // only the low 16 bits are the key

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));
    display->ForbidDrawing();

    EXPECT_EQ(L"Calibrate: Calibration canceled", LastErrorText(m_tracker.get()));
    EXPECT_TRUE(WaitForLockCount(kObjectLocks, kBoundMs)) << "the cancelled worker did not end";
    EXPECT_EQ(2, display->ReferenceCount()) << "the worker kept a reference, or the handed-over one was taken";
    display->Release();
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    EXPECT_TRUE(CallsOfKind(calls, CalibrationCallKind::kCalculate).empty()) << "a cancelled calibration was activated";
    EXPECT_LE(CallsOfKind(calls, CalibrationCallKind::kAddPoint).size(), DrawnTargets(*display.get()).size());
    EXPECT_EQ(std::vector<Point>(kTargets1280x1024.begin(), kTargets1280x1024.begin() + 2),
              DrawnTargets(*display.get()));
    EXPECT_TRUE(display->Violations().empty()) << display->Violations().front();
}

// Escape while the tracker library is inside the call that adds a point or
// activates the calibration: Calibrate returns once that call has ended, and
// nothing reaches the tracker after it returned.
void ExpectNoTrackerCallAfterEscapeDuring(sim::MessageType held, Calibrate& test, sim::SimServer& server,
                                          ScriptedDisplay& display, std::vector<CalibrationCall>* callsAtReturn) {
    HeldRequest request(server, held);
    HeldRequest* observed = &request;
    display.SetKeyHook([observed] { return observed->IsHeld(); });
    UniqueHandle returned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    request.ReleaseLater(returned.get(), kHeldRequestGraceMs);

    display.AddRef();
    EXPECT_EQ(E_FAIL, test.Tracker()->Calibrate(0, &display, 0, 0, 0, 0, 0, 0));
    *callsAtReturn = server.CalibrationCalls();
    SetEvent(returned.get());
    request.Join();

    EXPECT_FALSE(request.HostReturnedWhileHeld()) << "Calibrate returned while the tracker call was in progress";
    EXPECT_EQ(L"Calibrate: Calibration canceled", LastErrorText(test.Tracker()));
}

TEST_F(Calibrate, EscapeWhileAPointIsBeingAddedAddsNoPointAfterCalibrateReturned) {
    StartServer();
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);
    std::vector<CalibrationCall> atReturn;

    ExpectNoTrackerCallAfterEscapeDuring(sim::MessageType::kCalibAddPoint, *this, *m_server, *display.get(), &atReturn);

    display->ForbidDrawing();
    display->Release();
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    EXPECT_EQ(atReturn.size(), calls.size()) << "a tracker call reached the tracker after Calibrate returned";
    EXPECT_EQ(1u, CallsOfKind(calls, CalibrationCallKind::kAddPoint).size());
    EXPECT_TRUE(CallsOfKind(calls, CalibrationCallKind::kCalculate).empty());
    EXPECT_TRUE(display->Violations().empty());
}

TEST_F(Calibrate, EscapeWhileTheCalibrationIsBeingActivatedActivatesNothingAfterCalibrateReturned) {
    StartServer();
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);
    std::vector<CalibrationCall> atReturn;

    ExpectNoTrackerCallAfterEscapeDuring(sim::MessageType::kCalibCalculate, *this, *m_server, *display.get(),
                                         &atReturn);

    display->ForbidDrawing();
    display->Release();
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    EXPECT_EQ(atReturn.size(), calls.size()) << "the calibration was activated after Calibrate returned";
    EXPECT_EQ(1u, CallsOfKind(atReturn, CalibrationCallKind::kCalculate).size());
    EXPECT_TRUE(display->Violations().empty());
}

TEST_F(Calibrate, AConnectThatFailsWithCodeElevenIsReportedAsCalibrationFailed) {
    StartServer();
    m_server->SetRequestHook([](uint32_t, sim::MessageType request) -> int32_t {
        return request == sim::MessageType::kHello ? kTrackerErrorCalibrationFailed : 0;
    });
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));

    EXPECT_EQ(L"Calibrate: Calibration failed", LastErrorText(m_tracker.get()));
    EXPECT_TRUE(display->CallsOf(DisplayCallKind::GetDisplaySize).empty());
    EXPECT_TRUE(WaitForLockCount(kObjectLocks, kBoundMs));
    EXPECT_EQ(2, display->ReferenceCount());
    display->Release();
    m_server->Stop();
    m_server->SetRequestHook(nullptr);
}

TEST_F(Calibrate, TheRunningWorkerHoldsTheModule) {
    StartServer();
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);
    ScriptedDisplay* observed = display.get();
    LONG locksWhileDrawing = -1;
    display->SetKeyHook([observed, &locksWhileDrawing] {
        if (observed->CallsOf(DisplayCallKind::DrawTarget).empty()) return false;
        locksWhileDrawing = ThisModule().GetLockCount();
        return true;
    });

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));

    EXPECT_EQ(kObjectLocks + 1, locksWhileDrawing);
    EXPECT_TRUE(WaitForLockCount(kObjectLocks, kBoundMs));
    display->Release();
}

TEST_F(Calibrate, ASecondCalibrateStartsAgainFromTheFirstTarget) {
    StartServer();
    ComPtr<ScriptedDisplay> first = NewDisplay(1280, 1024);
    first->PressKeyAfterTarget(1);
    EXPECT_EQ(E_FAIL, RunCalibrate(first.get()));
    first->ForbidDrawing();

    ComPtr<ScriptedDisplay> second = NewDisplay(1024, 768);
    second->PressKeyAfterTarget(1);
    EXPECT_EQ(E_FAIL, RunCalibrate(second.get()));
    second->ForbidDrawing();

    EXPECT_TRUE(WaitForLockCount(kObjectLocks, kBoundMs));
    first->Release();
    second->Release();
    EXPECT_EQ(std::vector<Point>{kTargets1280x1024.front()}, DrawnTargets(*first.get()));
    EXPECT_EQ(std::vector<Point>{kTargets1024x768.front()}, DrawnTargets(*second.get()));
    const std::vector<DisplayCall> firstCalls = first->CallsOf(DisplayCallKind::DrawTarget);
    const std::vector<DisplayCall> secondCalls = second->CallsOf(DisplayCallKind::DrawTarget);
    ASSERT_EQ(1u, firstCalls.size());
    ASSERT_EQ(1u, secondCalls.size());
    EXPECT_NE(firstCalls.front().threadId, secondCalls.front().threadId) << "each Calibrate has a worker of its own";
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    const std::vector<CalibrationCall> clears = CallsOfKind(calls, CalibrationCallKind::kClear);
    ASSERT_EQ(2u, clears.size());
    EXPECT_NE(clears[0].connectionId, clears[1].connectionId);
    EXPECT_TRUE(CallsOfKind(calls, CalibrationCallKind::kCalculate).empty());
    EXPECT_TRUE(first->Violations().empty());
    EXPECT_TRUE(second->Violations().empty());
}

TEST_F(Calibrate, DestroyingTheObjectRightAfterACancelLeavesNoWorkerBehind) {
    StartServer();
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);
    display->PressKeyAtWaitForKey(1);

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));
    m_tracker.reset();
    display->ForbidDrawing();

    EXPECT_TRUE(WaitForLockCount(0, kBoundMs)) << "a worker still holds the module";
    EXPECT_EQ(2, display->ReferenceCount());
    display->Release();
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    EXPECT_TRUE(CallsOfKind(calls, CalibrationCallKind::kAddPoint).empty());
    EXPECT_TRUE(CallsOfKind(calls, CalibrationCallKind::kCalculate).empty());
    EXPECT_TRUE(display->Violations().empty());
}

TEST_F(Calibrate, AnUnreachableTrackerIsReportedAsNotConnected) {
    StartServer();
    const uint16_t port = m_server->Port();
    m_server->Stop();  // nothing listens there any more
    SetEndpoint(port);
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));

    EXPECT_EQ(L"Calibrate: Tracker not connected", LastErrorText(m_tracker.get()));
    EXPECT_TRUE(display->CallsOf(DisplayCallKind::GetDisplaySize).empty());
    EXPECT_TRUE(DrawnTargets(*display.get()).empty());
    EXPECT_TRUE(WaitForLockCount(kObjectLocks, kBoundMs));
    EXPECT_EQ(2, display->ReferenceCount());
    display->Release();
}

TEST_F(Calibrate, LosingTheTrackerDuringTheCalibrationIsReportedAsNotConnected) {
    StartServer();
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);
    sim::SimServer* server = m_server.get();
    ScriptedDisplay* observed = display.get();
    display->SetKeyHook([server, observed] {
        if (!observed->CallsOf(DisplayCallKind::DrawTarget).empty()) server->Stop();
        return false;
    });

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));

    EXPECT_EQ(L"Calibrate: Tracker not connected", LastErrorText(m_tracker.get()));
    EXPECT_EQ(std::vector<Point>{kTargets1280x1024.front()}, DrawnTargets(*display.get()));
    EXPECT_TRUE(WaitForLockCount(kObjectLocks, kBoundMs));
    EXPECT_EQ(2, display->ReferenceCount());
    display->Release();
}

TEST_F(Calibrate, ANotConnectedTrackerStopsTheWorkerBeforeCalibrateReturns) {
    StartServer();
    Impl(m_tracker).SetSystemCheckCode(kTrackerErrorConnectionLost);
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));
    display->ForbidDrawing();

    EXPECT_EQ(L"Calibrate: Tracker not connected", LastErrorText(m_tracker.get()));
    EXPECT_TRUE(display->CallsOf(DisplayCallKind::WaitForKey).empty());
    EXPECT_TRUE(WaitForLockCount(kObjectLocks, kBoundMs));
    EXPECT_EQ(2, display->ReferenceCount());
    display->Release();
    const std::vector<CalibrationCall> calls = SettledCalibrationCalls();
    EXPECT_TRUE(CallsOfKind(calls, CalibrationCallKind::kAddPoint).empty());
    EXPECT_TRUE(CallsOfKind(calls, CalibrationCallKind::kCalculate).empty());
    EXPECT_TRUE(display->Violations().empty());
}

TEST_F(Calibrate, DriftCorrectionIsNotImplementedAndKeepsTheDisplay) {
    ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);

    EXPECT_EQ(E_NOTIMPL, RunCalibrate(display.get(), 1));

    EXPECT_EQ(L"Calibrate: Drift Correction not implemented", LastErrorText(m_tracker.get()));
    EXPECT_EQ(2, display->ReferenceCount());
    display->Release();
    EXPECT_TRUE(display->Calls().empty());
    EXPECT_EQ(kObjectLocks, ThisModule().GetLockCount()) << "no worker may start";
}

TEST_F(Calibrate, OtherKindsReleaseTheDisplayOnceAndDoNothingElse) {
    EXPECT_EQ(E_NOTIMPL, m_tracker->SendString(0));
    for (LONG kind : {2L, -1L, 0x7FFFFFFFL}) {
        ComPtr<ScriptedDisplay> display = NewDisplay(1280, 1024);
        EXPECT_EQ(S_OK, RunCalibrate(display.get(), kind)) << "kind " << kind;
        EXPECT_EQ(1, display->ReferenceCount()) << "kind " << kind;
        EXPECT_TRUE(display->Calls().empty());
        EXPECT_TRUE(display->Violations().empty());
        EXPECT_EQ(kObjectLocks, ThisModule().GetLockCount()) << "no worker may start";
    }
    EXPECT_EQ(L"SendString not implemented", LastErrorText(m_tracker.get()));
}

TEST_F(Calibrate, RefusesANullDisplay) {
    EXPECT_EQ(E_POINTER, m_tracker->Calibrate(0, nullptr, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(kObjectLocks, ThisModule().GetLockCount());
}

}  // namespace
}  // namespace okulon::test
