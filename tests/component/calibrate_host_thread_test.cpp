// Calibrate with a display that paints through a window of the host's thread:
// its DrawTarget, called on the worker, sends a message to that window with a
// plain SendMessage and waits until the host's thread takes it. The host's
// thread takes sent messages only while it pumps (here: never inside Calibrate
// but for WaitForKey), so any wait of the host's thread for a display call
// would hang. Every test runs under a watchdog that fails the process instead.
#include "component_support.h"

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "base/lockable_module.h"
#include "create_thread_seam.h"
#include "simtracker/sim_server.h"
#include "tracker/contract/tracker_records.h"
#include "wait_until.h"

namespace okulon::test {
namespace {

constexpr DWORD kBoundMs = 30000;     // generous bound for anything that should take moments
constexpr DWORD kWatchdogMs = 60000;  // a hang, not a slow machine
constexpr LONG kObjectLocks = 1;
constexpr UINT kDrawMessage = WM_APP + 7;

// Ends the process with a message when the test has not finished in time: a
// deadlock between the host's thread and the worker cannot be failed otherwise.
class Watchdog {
public:
    explicit Watchdog(const char* what)
        : m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_what(what), m_thread([this] { Watch(); }) {}
    ~Watchdog() {
        SetEvent(m_done.get());
        m_thread.join();
    }

private:
    void Watch() {
        if (WaitForSingleObject(m_done.get(), kWatchdogMs) == WAIT_OBJECT_0) return;
        std::fprintf(stderr, "watchdog: %s did not finish: the host's thread is hung\n", m_what);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }

    UniqueHandle m_done;
    const char* m_what;
    std::thread m_thread;  // last: starts once the rest exists
};

// A host display whose drawing needs the host's thread. Created on the host's
// thread, which owns its message-only window.
class SendingDisplay final : public ICalibrationDisplay {
public:
    static ComPtr<SendingDisplay> Create() {
        auto* display = new SendingDisplay();
        return ComPtr<SendingDisplay>::adopt(display);
    }

    LONG DrawCalls() const { return m_drawCalls; }
    LONG DrawsReturned() const { return m_drawsReturned; }
    LONG DrawsHandled() const { return m_drawsHandled; }
    LONG UpdateCalls() const { return m_updateCalls; }
    LONG ReferenceCount() const { return m_refCount; }
    HANDLE DrawPending() const { return m_drawPending.get(); }

    // Handles the window's messages until every DrawTarget made so far has
    // returned; false after the bound.
    bool PumpUntilDrawsReturned() {
        const ULONGLONG deadline = GetTickCount64() + kBoundMs;
        while (m_drawsReturned != m_drawCalls) {
            if (GetTickCount64() >= deadline) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        }
        return true;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_ICalibrationDisplay) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<ICalibrationDisplay*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refCount); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 0) delete this;
        return count;
    }

    STDMETHODIMP BeginDisplay() override { return S_OK; }
    STDMETHODIMP EndDisplay() override { return S_OK; }
    STDMETHODIMP ClearDisplay() override { return S_OK; }
    STDMETHODIMP SetBackground(LONG) override { return S_OK; }
    STDMETHODIMP GetDisplaySize(::DisplaySize* size) override {
        size->height = 768;
        size->width = 1024;
        return S_OK;
    }
    STDMETHODIMP DrawTarget(LONG x, LONG y) override {
        InterlockedIncrement(&m_drawCalls);
        SetEvent(m_drawPending.get());
        SendMessageW(m_window, kDrawMessage, static_cast<WPARAM>(x), static_cast<LPARAM>(y));
        InterlockedIncrement(&m_drawsReturned);
        return S_OK;
    }
    STDMETHODIMP UpdateDisplay() override {
        InterlockedIncrement(&m_updateCalls);
        return S_OK;
    }
    STDMETHODIMP PlaySound(LONG) override { return S_OK; }
    STDMETHODIMP ShowMessage(LONG) override { return S_OK; }
    // Escape once a DrawTarget waits for this thread, which meanwhile takes
    // no message: the message is still pending when Calibrate sees the key.
    STDMETHODIMP WaitForKey(LONG, LONG* keyCode) override {
        if (WaitForSingleObject(m_drawPending.get(), kBoundMs) == WAIT_OBJECT_0) *keyCode = 27;
        return S_OK;
    }

private:
    SendingDisplay() : m_drawPending(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        m_window = CreateWindowExW(0, WindowClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleW(nullptr), this);
    }
    ~SendingDisplay() {
        if (m_window != nullptr) DestroyWindow(m_window);
    }

    static const wchar_t* WindowClass() {
        static const ATOM atom = [] {
            WNDCLASSW windowClass{};
            windowClass.lpfnWndProc = &WindowProcedure;
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.lpszClassName = L"OkulonTestSendingDisplay";
            return RegisterClassW(&windowClass);
        }();
        return reinterpret_cast<const wchar_t*>(static_cast<ULONG_PTR>(atom));
    }

    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        } else if (message == kDrawMessage) {
            auto* self = reinterpret_cast<SendingDisplay*>(GetWindowLongPtrW(window, GWLP_USERDATA));
            if (self != nullptr) InterlockedIncrement(&self->m_drawsHandled);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    volatile LONG m_refCount = 1;
    volatile LONG m_drawCalls = 0;
    volatile LONG m_drawsReturned = 0;
    volatile LONG m_drawsHandled = 0;
    volatile LONG m_updateCalls = 0;
    UniqueHandle m_drawPending;
    HWND m_window = nullptr;
};

bool WaitForLockCount(LONG expected) {
    return WaitUntil([expected] { return ThisModule().GetLockCount() == expected; }, kBoundMs);
}

class CalibrateWithAHostThreadDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kObjectLocks, ThisModule().GetLockCount());
        sim::Scenario scenario;
        scenario.port = 0;
        scenario.lifetimeSeconds = 120;
        scenario.idleExitSeconds = 0;
        m_server = std::make_unique<sim::SimServer>(scenario);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        PointAtServer(m_tracker.get());
    }

    void PointAtServer(IEyeTracker* tracker) {
        for (const std::wstring& command :
             {std::wstring(L"host 127.0.0.1"), L"port " + std::to_wstring(m_server->Port())}) {
            const UniqueBstr text(SysAllocString(command.c_str()));
            LONG result = kPoisonLong;
            EXPECT_EQ(S_OK, tracker->SendCommand(text.get(), &result));
        }
    }

    void TearDown() override {
        EXPECT_TRUE(WaitForLockCount(m_tracker ? kObjectLocks : 0)) << "a worker was left behind";
        m_server->Stop();
    }

    // Hands one reference over, as the host does.
    HRESULT RunCalibrate(SendingDisplay* display) {
        display->AddRef();
        return m_tracker->Calibrate(0, display, 0, 0, 0, 0, 0, 0);
    }

    // What a cut-off worker leaves once its pending DrawTarget was let through:
    // nothing more was drawn, made visible or given to the tracker.
    void ExpectTheCutOffWorkerStoppedAfterItsDraw(SendingDisplay& display) {
        ASSERT_TRUE(display.PumpUntilDrawsReturned());
        EXPECT_TRUE(WaitForLockCount(m_tracker ? kObjectLocks : 0)) << "the cut-off worker did not end";
        EXPECT_EQ(1, display.DrawCalls());
        EXPECT_EQ(0, display.UpdateCalls()) << "a display call started after the cut-off";
        EXPECT_TRUE(m_server->WaitUntil(
            [](const std::vector<sim::ConnectionReport>& connections, const std::vector<sim::CalibrationCall>&) {
                for (const auto& connection : connections) {
                    if (connection.open) return false;
                }
                return true;
            },
            kBoundMs));
        for (const sim::CalibrationCall& call : m_server->CalibrationCalls()) {
            EXPECT_EQ(sim::CalibrationCallKind::kClear, call.kind) << "a tracker call started after the cut-off";
        }
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    std::unique_ptr<sim::SimServer> m_server;
    ComPtr<IEyeTracker> m_tracker = CreateTracker();
};

TEST_F(CalibrateWithAHostThreadDisplay, EscapeReturnsWithoutWaitingForTheDrawThatNeedsTheHostsThread) {
    Watchdog watchdog("Calibrate after Escape");
    ComPtr<SendingDisplay> display = SendingDisplay::Create();

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));

    EXPECT_EQ(L"Calibrate: Calibration canceled", LastErrorText(m_tracker.get()));
    EXPECT_EQ(0, display->DrawsHandled()) << "Calibrate waited for the draw (it pumped the host's messages)";
    ExpectTheCutOffWorkerStoppedAfterItsDraw(*display.get());
    EXPECT_EQ(2, display->ReferenceCount());
    display->Release();
}

TEST_F(CalibrateWithAHostThreadDisplay, ASecondCalibrateDoesNotWaitForTheFirstWorkersDraw) {
    Watchdog watchdog("a second Calibrate");
    ComPtr<SendingDisplay> first = SendingDisplay::Create();
    ASSERT_EQ(E_FAIL, RunCalibrate(first.get()));
    ASSERT_EQ(0, first->DrawsHandled());

    ComPtr<SendingDisplay> second = SendingDisplay::Create();
    EXPECT_EQ(E_FAIL, RunCalibrate(second.get()));

    EXPECT_EQ(L"Calibrate: Calibration canceled", LastErrorText(m_tracker.get()));
    EXPECT_EQ(0, first->DrawsHandled());
    ExpectTheCutOffWorkerStoppedAfterItsDraw(*first.get());
    ExpectTheCutOffWorkerStoppedAfterItsDraw(*second.get());
    first->Release();
    second->Release();
}

TEST_F(CalibrateWithAHostThreadDisplay, NotConnectedReturnsWithoutWaitingForTheWorkersDraw) {
    Watchdog watchdog("Calibrate when not connected");
    ASSERT_TRUE(CreateThreadSeam::Install());
    Impl(m_tracker).SetSystemCheckCode(kTrackerErrorNotConnected);
    ComPtr<SendingDisplay> display = SendingDisplay::Create();
    // The host's thread looks at the connection status only once the new
    // worker waits inside its first DrawTarget.
    CreateThreadSeam::PauseAfterNext(display->DrawPending(), kBoundMs);

    EXPECT_EQ(E_FAIL, RunCalibrate(display.get()));
    CreateThreadSeam::Disarm();

    EXPECT_EQ(L"Calibrate: Tracker not connected", LastErrorText(m_tracker.get()));
    ASSERT_EQ(1, display->DrawCalls()) << "the worker was not inside its draw when Calibrate cut it off";
    EXPECT_EQ(0, display->DrawsHandled());
    ExpectTheCutOffWorkerStoppedAfterItsDraw(*display.get());
    display->Release();
}

TEST_F(CalibrateWithAHostThreadDisplay, DestroyingTheObjectDoesNotWaitForTheWorkersDraw) {
    Watchdog watchdog("the object's destruction");
    ComPtr<SendingDisplay> display = SendingDisplay::Create();
    ASSERT_EQ(E_FAIL, RunCalibrate(display.get()));
    ASSERT_EQ(0, display->DrawsHandled());

    m_tracker.reset();

    EXPECT_EQ(0, display->DrawsHandled()) << "the destruction waited for the draw";
    ExpectTheCutOffWorkerStoppedAfterItsDraw(*display.get());
    EXPECT_EQ(2, display->ReferenceCount()) << "the worker's reference was not given back";
    display->Release();
}

TEST_F(CalibrateWithAHostThreadDisplay, RepeatedCancelsAndDestructionsWhileDrawsArePendingNeverHangOrCallOn) {
    Watchdog watchdog("repeated cancels");
    constexpr int kRounds = 10;
    for (int round = 0; round < kRounds; ++round) {
        ComPtr<IEyeTracker> tracker = CreateTracker();
        PointAtServer(tracker.get());
        ComPtr<SendingDisplay> first = SendingDisplay::Create();
        ComPtr<SendingDisplay> second = SendingDisplay::Create();
        first->AddRef();
        ASSERT_EQ(E_FAIL, tracker->Calibrate(0, first.get(), 0, 0, 0, 0, 0, 0)) << "round " << round;
        second->AddRef();
        ASSERT_EQ(E_FAIL, tracker->Calibrate(0, second.get(), 0, 0, 0, 0, 0, 0)) << "round " << round;
        tracker.reset();  // both draws still wait for this thread

        ASSERT_TRUE(first->PumpUntilDrawsReturned()) << "round " << round;
        ASSERT_TRUE(second->PumpUntilDrawsReturned()) << "round " << round;
        ASSERT_TRUE(WaitForLockCount(kObjectLocks)) << "round " << round << ": a worker was left";
        EXPECT_EQ(1, first->DrawCalls()) << "round " << round;
        EXPECT_EQ(1, second->DrawCalls()) << "round " << round;
        EXPECT_EQ(0, first->UpdateCalls() + second->UpdateCalls()) << "round " << round;
        EXPECT_EQ(2, first->ReferenceCount()) << "round " << round;
        EXPECT_EQ(2, second->ReferenceCount()) << "round " << round;
        first->Release();
        second->Release();
    }
    EXPECT_TRUE(m_server->WaitUntil(
        [](const std::vector<sim::ConnectionReport>& connections, const std::vector<sim::CalibrationCall>& calls) {
            for (const auto& connection : connections) {
                if (connection.open) return false;
            }
            return calls.size() == static_cast<size_t>(2 * kRounds);
        },
        kBoundMs));
    for (const sim::CalibrationCall& call : m_server->CalibrationCalls()) {
        EXPECT_EQ(sim::CalibrationCallKind::kClear, call.kind) << "a tracker call started after a cut-off";
    }
}

}  // namespace
}  // namespace okulon::test
