// TrackingController: StartTracking's and StopTracking's switch for the
// tracking worker. Owns the handle of the worker the object holds, its
// session, the sessions StopTracking detached (cut off from the object at its
// destruction), and the status flags the workers and the callback share with
// the object. Neither switch waits for the tracker server.
//
// Threads: StartWorker, StopWorker and EndWorkers run on the host's thread;
// the workers and the gaze callback read and write the flags, each one whole
// 32-bit value.
// Ownership: a member of the extension object.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include "base/com_support.h"

namespace okulon {

class CommandSettings;
class TrackingSession;
class TrackingTarget;

class TrackingController {
public:
    TrackingController() = default;
    TrackingController(const TrackingController&) = delete;
    TrackingController& operator=(const TrackingController&) = delete;

    // Cuts a held worker off, waits until no detached worker's callback is
    // inside the object, and starts a new worker for `object` connecting to
    // the settings' endpoint. False when the worker could not be started.
    bool StartWorker(TrackingTarget* object, const CommandSettings& settings) noexcept;
    // Streaming on, unless the last system check said the server blocks it.
    void StartStreamingUnlessBlocked() noexcept;
    bool HasWorker() const noexcept { return static_cast<bool>(m_trackingThread); }
    // Detaches the held worker: it stops on its own signal.
    void StopWorker() noexcept;
    // At the object's destruction: no worker uses the object once this returns.
    void EndWorkers() noexcept;

    LONG IsTrackerConnected() const noexcept;
    LONG IsStreamingBlocked() const noexcept;
    LONG IsStreaming() const noexcept { return m_streaming.load(std::memory_order_relaxed); }
    LONG IsThreadRunning() const noexcept { return m_threadRunning.load(std::memory_order_relaxed); }
    void SetSystemCheckCode(LONG code) noexcept { m_systemCheckCode = code; }
    LONG GetSystemCheckCode() const noexcept { return m_systemCheckCode; }

private:
    void ForgetEndedSessions() noexcept;

    std::atomic<LONG> m_streaming{0};
    std::atomic<LONG> m_threadRunning{0};
    std::atomic<LONG> m_systemCheckCode{0};

    UniqueHandle m_trackingThread;
    std::shared_ptr<TrackingSession> m_trackingSession;
    std::vector<std::shared_ptr<TrackingSession>> m_detachedTrackingSessions;
};

}  // namespace okulon
