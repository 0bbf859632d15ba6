#include "calibration/calibration_session.h"

#include <new>
#include <utility>

#include "base/worker_thread.h"
#include "tracker/tracker_library.h"

namespace okulon {
namespace {

constexpr DWORD kTargetDwellMs = 1500;

// Upper left, upper right, lower right, lower left, centre. Single precision
// on purpose: the tracker library receives these very values, and the drawn
// pixel positions are computed from them.
constexpr float kTargetFractions[5][2] = {
    {0.1f, 0.1f}, {0.9f, 0.1f}, {0.9f, 0.9f}, {0.1f, 0.9f}, {0.5f, 0.5f},
};

}  // namespace

std::shared_ptr<CalibrationSession> CalibrationSession::Create(const TrackerEndpoint& endpoint,
                                                               ICalibrationDisplay* display) {
    UniqueHandle cutOffEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!cutOffEvent) return nullptr;
    return std::shared_ptr<CalibrationSession>(new CalibrationSession(endpoint, display, std::move(cutOffEvent)));
}

CalibrationSession::CalibrationSession(const TrackerEndpoint& endpoint, ICalibrationDisplay* display,
                                       UniqueHandle cutOffEvent)
    : m_endpoint(endpoint), m_display(display), m_cutOffEvent(std::move(cutOffEvent)) {}

UniqueHandle CalibrationSession::StartWorker(const std::shared_ptr<CalibrationSession>& session) noexcept {
    std::unique_ptr<std::shared_ptr<CalibrationSession>> argument(new (std::nothrow)
                                                                      std::shared_ptr<CalibrationSession>(session));
    if (!argument) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return UniqueHandle();
    }
    UniqueHandle thread = CreateWorkerThread(&CalibrationSession::WorkerMain, argument.get());
    if (!thread) {
        const DWORD error = GetLastError();
        argument.reset();
        SetLastError(error);
        return thread;
    }
    static_cast<void>(argument.release());  // the worker's now
    return thread;
}

DWORD CalibrationSession::WorkerMain(void* argument) {
    // The worker's share of the session ends with the thread, not with the object.
    std::unique_ptr<std::shared_ptr<CalibrationSession>> session(
        static_cast<std::shared_ptr<CalibrationSession>*>(argument));
    const DWORD exitCode = (*session)->Run();
    (*session)->ReleaseDisplay();
    return exitCode;
}

void CalibrationSession::CutOff() noexcept {
    ComPtr<ICalibrationDisplay> display;
    {
        ExclusiveGuard guard(m_lock);  // a tracker call in progress ends first
        m_cutOff = true;
        display = std::move(m_display);
    }
    SetEvent(m_cutOffEvent.get());
    // `display` releases the session's reference here, outside the lock; a
    // display call still in progress holds a reference of its own.
}

void CalibrationSession::ReleaseDisplay() noexcept {
    ComPtr<ICalibrationDisplay> display;
    {
        ExclusiveGuard guard(m_lock);
        display = std::move(m_display);
    }
}

DWORD CalibrationSession::FailureCode() const noexcept {
    const int32_t code = TrackerLibrary::Instance().GetLastError();
    // A failure must never read as the success code 0.
    return code != 0 ? static_cast<DWORD>(code) : static_cast<DWORD>(-1);
}

bool CalibrationSession::Dwell() const noexcept {
    return WaitForSingleObject(m_cutOffEvent.get(), kTargetDwellMs) == WAIT_TIMEOUT;
}

DWORD CalibrationSession::Run() noexcept {
    const TrackerLibrary& tracker = TrackerLibrary::Instance();
    if (IsCutOff()) return kCalibrationCutOffExitCode;
    // A connect may last the network's time-out, so it is made outside the
    // lock and a cut-off never waits for it. It acts on nothing but this
    // thread's own connection, which is closed again below.
    if (tracker.Connect(m_endpoint.host.c_str(), m_endpoint.port, kTrackerConnectMode) == -1) {
        if (IsCutOff()) return kCalibrationCutOffExitCode;
        m_failedToConnect = true;
        return FailureCode();
    }
    const DWORD exitCode = RunConnected();
    // Every path closes the connection this thread opened, also when the
    // worker was cut off or failed: the connection belongs to the thread and
    // would otherwise stay open on the tracker server.
    tracker.Disconnect();
    return exitCode;
}

DWORD CalibrationSession::RunConnected() noexcept {
    const TrackerLibrary& tracker = TrackerLibrary::Instance();
    DWORD failure = 0;
    if (!CallTracker([&tracker] { return tracker.CalibClear(); }, &failure)) return kCalibrationCutOffExitCode;
    if (failure != 0) return failure;

    ::DisplaySize size{};
    if (!CallDisplay([&size](ICalibrationDisplay* display) { display->GetDisplaySize(&size); })) {
        return kCalibrationCutOffExitCode;
    }
    const float height = static_cast<float>(size.height);
    const float width = static_cast<float>(size.width);

    for (const auto& fraction : kTargetFractions) {
        const float fx = fraction[0];
        const float fy = fraction[1];
        // Double precision from the single-precision fraction, cut toward zero.
        const LONG x = static_cast<LONG>(static_cast<double>(width) * (static_cast<double>(fx) - 0.5));
        const LONG y = static_cast<LONG>(static_cast<double>(height) * (0.5 - static_cast<double>(fy)));
        if (!CallDisplay([x, y](ICalibrationDisplay* display) { display->DrawTarget(x, y); }) ||
            !CallDisplay([](ICalibrationDisplay* display) { display->UpdateDisplay(); }) || !Dwell()) {
            return kCalibrationCutOffExitCode;
        }
        const auto addPoint = [&tracker, fx, fy] {
            return tracker.CalibAddPoint(fx, fy, kTrackerCalibPointMode, 0, 0, 0);
        };
        if (!CallTracker(addPoint, &failure)) return kCalibrationCutOffExitCode;
        if (failure != 0) return failure;
    }

    if (!CallTracker([&tracker] { return tracker.CalibCalculateAndSet(); }, &failure)) {
        return kCalibrationCutOffExitCode;
    }
    return failure;
}

}  // namespace okulon
