// StartTracking and Calibrate when a worker cannot be started: every
// allocation on the way to the worker, and the thread's creation itself, is
// made to fail in turn. Each failure must take the one documented path
// (message, E_FAIL, no worker, nothing half changed).
//
// This executable replaces the global allocation functions, so that the n-th
// allocation from now on the test's thread can be made to fail; the
// component is linked in statically and allocates through them.
#include "component_support.h"

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "base/lockable_module.h"
#include "create_thread_seam.h"
#include "host/calibration_display_scripted.h"
#include "simtracker/sim_server.h"
#include "wait_until.h"

// The replacements below pair malloc with free on purpose; the compiler sees
// only that memory from operator new reaches free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// 0: no failure armed; n: the n-th allocation from now on this thread fails.
thread_local int t_allocationsUntilFailure = 0;

bool ThisAllocationFails() noexcept {
    if (t_allocationsUntilFailure == 0) return false;
    return --t_allocationsUntilFailure == 0;
}

void* Allocate(std::size_t size) noexcept { return std::malloc(size != 0 ? size : 1); }

}  // namespace

void* operator new(std::size_t size) {
    void* memory = ThisAllocationFails() ? nullptr : Allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return ThisAllocationFails() ? nullptr : Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return ThisAllocationFails() ? nullptr : Allocate(size);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace okulon::test {
namespace {

using host::ScriptedDisplay;

constexpr DWORD kBoundMs = 30000;
constexpr int kMostAllocations = 64;  // far more than a worker's start needs

class WorkerStartFailure : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CreateThreadSeam::Install()); }
    void TearDown() override {
        t_allocationsUntilFailure = 0;
        CreateThreadSeam::Disarm();
        EXPECT_TRUE(WaitUntil([&] { return ThisModule().GetLockCount() == m_baseLocks + 1; }, kBoundMs))
            << "a worker was left";
        if (m_server) m_server->Stop();
    }

    void StartServer() {
        sim::Scenario scenario;
        scenario.port = 0;
        scenario.rate = 1000;
        scenario.lifetimeSeconds = 120;
        scenario.idleExitSeconds = 0;
        m_server = std::make_unique<sim::SimServer>(scenario);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        PointAt(m_server->Port());
    }
    void PointAt(int port) {
        for (const std::wstring& command : {std::wstring(L"host 127.0.0.1"), L"port " + std::to_wstring(port)}) {
            const UniqueBstr text(SysAllocString(command.c_str()));
            LONG result = kPoisonLong;
            EXPECT_EQ(S_OK, m_tracker->SendCommand(text.get(), &result));
        }
    }
    // The n-th allocation of the call fails; true when the call made fewer.
    template <class Call>
    bool WithAllocationFailing(int nth, Call call) {
        t_allocationsUntilFailure = nth;
        call();
        const bool nothingFailed = t_allocationsUntilFailure != 0;
        t_allocationsUntilFailure = 0;
        return nothingFailed;
    }
    void ExpectNoTrackingWorker(const std::string& context) {
        EXPECT_EQ(0, Impl(m_tracker).IsThreadRunning()) << context;
        EXPECT_TRUE(WaitUntil([&] { return ThisModule().GetLockCount() == m_baseLocks + 1; }, kBoundMs)) << context;
        EXPECT_EQ(E_FAIL, m_tracker->StopTracking()) << context << ": a thread handle is held";
        EXPECT_EQ(L"StopTracking: Tracking thread not created, maybe tracking was not started",
                  LastErrorText(m_tracker.get()))
            << context;
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    const LONG m_baseLocks = ThisModule().GetLockCount();
    ComPtr<IEyeTracker> m_tracker = CreateTracker();
    std::unique_ptr<sim::SimServer> m_server;
};

TEST_F(WorkerStartFailure, StartTrackingReportsAThreadThatCannotBeCreatedAndEndsThePreviousWorker) {
    StartServer();
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil(
        [&] {
            LONG count = 0;
            m_tracker->GetGazeDataCount(&count, 0);
            return count > 20;
        },
        kBoundMs))
        << "delivering";

    CreateThreadSeam::FailNext(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(E_FAIL, m_tracker->StartTracking());
    CreateThreadSeam::Disarm();

    EXPECT_EQ(L"StartTracking: Failed to create tracking thread", LastErrorText(m_tracker.get()));
    EXPECT_TRUE(WaitUntil([&] { return !m_server->Connections()[0].open; }, kBoundMs)) << "the previous worker runs on";
    ExpectNoTrackingWorker("thread creation");
    ASSERT_EQ(S_OK, m_tracker->StartTracking()) << "the object recovers";
    EXPECT_TRUE(WaitUntil([&] { return m_server->Connections().size() == 2; }, kBoundMs));
    EXPECT_EQ(S_OK, m_tracker->StopTracking());
}

TEST_F(WorkerStartFailure, EveryAllocationThatFailsInStartTrackingTakesTheFailedToCreatePath) {
    PointAt(1);  // nothing listens: a started worker ends by itself after its connect
    int nth = 1;
    for (; nth <= kMostAllocations; ++nth) {
        ASSERT_EQ(S_OK, m_tracker->StartTracking()) << "a worker for the next start to replace";
        HRESULT result = S_OK;
        if (WithAllocationFailing(nth, [&] { result = m_tracker->StartTracking(); })) {
            EXPECT_EQ(S_OK, result) << "allocation " << nth << " was never made";
            EXPECT_EQ(S_OK, m_tracker->StopTracking());
            break;
        }
        const std::string context = "allocation " + std::to_string(nth);
        EXPECT_EQ(E_FAIL, result) << context;
        EXPECT_EQ(L"StartTracking: Failed to create tracking thread", LastErrorText(m_tracker.get())) << context;
        ExpectNoTrackingWorker(context);
    }
    EXPECT_GT(nth, 2) << "the start made too few allocations to have tried them";
    EXPECT_LE(nth, kMostAllocations);
}

TEST_F(WorkerStartFailure, CalibrateReportsAThreadThatCannotBeCreatedAndKeepsTheDisplay) {
    ComPtr<ScriptedDisplay> display = ComPtr<ScriptedDisplay>::adopt(ScriptedDisplay::Create(1024, 768));
    display->AddRef();  // handed over, as the host does

    CreateThreadSeam::FailNext(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(E_FAIL, m_tracker->Calibrate(0, display.get(), 0, 0, 0, 0, 0, 0));
    CreateThreadSeam::Disarm();

    EXPECT_EQ(L"Calibrate: Failed to create calibration thread", LastErrorText(m_tracker.get()));
    EXPECT_EQ(2, display->ReferenceCount()) << "a failed Calibrate keeps the handed-over reference";
    EXPECT_TRUE(display->Calls().empty());
    EXPECT_EQ(m_baseLocks + 1, ThisModule().GetLockCount()) << "no worker";
    display->Release();
}

TEST_F(WorkerStartFailure, EveryAllocationThatFailsInCalibrateTakesTheFailedToCreatePath) {
    PointAt(1);
    int nth = 1;
    for (; nth <= kMostAllocations; ++nth) {
        ComPtr<ScriptedDisplay> display = ComPtr<ScriptedDisplay>::adopt(ScriptedDisplay::Create(1024, 768));
        display->PressKeyAtWaitForKey(1);
        EXPECT_EQ(E_NOTIMPL, m_tracker->SendTrigger(0));  // a message that no Calibrate leaves
        HRESULT result = S_OK;
        display->AddRef();
        const bool nothingFailed =
            WithAllocationFailing(nth, [&] { result = m_tracker->Calibrate(0, display.get(), 0, 0, 0, 0, 0, 0); });
        const std::wstring message = LastErrorText(m_tracker.get());
        const std::string context = "allocation " + std::to_string(nth);
        if (nothingFailed || message != L"Calibrate: Failed to create calibration thread") {
            // The worker was started: every allocation before it has been tried.
            EXPECT_TRUE(WaitUntil([&] { return ThisModule().GetLockCount() == m_baseLocks + 1; }, kBoundMs)) << context;
            display->Release();
            break;
        }
        EXPECT_EQ(E_FAIL, result) << context;
        EXPECT_EQ(2, display->ReferenceCount()) << context;
        EXPECT_TRUE(display->Calls().empty()) << context;
        EXPECT_EQ(m_baseLocks + 1, ThisModule().GetLockCount()) << context << ": no worker";
        display->Release();
    }
    EXPECT_GT(nth, 2) << "the start made too few allocations to have tried them";
    EXPECT_LE(nth, kMostAllocations);
}

}  // namespace
}  // namespace okulon::test
