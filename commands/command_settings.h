// CommandSettings: what SendCommand sets. The tracker server's host name and
// port, which a worker copies when it starts (SnapshotEndpoint), and the
// screen size the gaze callback converts with.
//
// Threads: Apply and SnapshotEndpoint run on the host's thread, the only one
// that touches the host name buffer; the port and the screen size are whole
// atomic values, and the gaze callback's thread reads the screen size.
// Ownership: a member of the extension object.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "commands/command_parser.h"
#include "commands/tracker_endpoint.h"

namespace okulon {

class CommandSettings {
public:
    // localhost:4455 and the primary screen's size.
    CommandSettings() noexcept;
    CommandSettings(const CommandSettings&) = delete;
    CommandSettings& operator=(const CommandSettings&) = delete;

    // Stores the value of a recognised command; the platform's result when
    // the host name or port cannot be converted to the thread's code page.
    // Throws std::bad_alloc.
    HRESULT Apply(const ParsedCommand& command);

    // A copy of the host name and port for a worker about to start.
    TrackerEndpoint SnapshotEndpoint() const;

    int32_t ScreenWidth() const noexcept { return m_screenWidth.load(std::memory_order_relaxed); }
    int32_t ScreenHeight() const noexcept { return m_screenHeight.load(std::memory_order_relaxed); }

private:
    char m_trackerHost[kTrackerHostBufferSize] = {};
    std::atomic<int32_t> m_trackerPort{0};
    std::atomic<int32_t> m_screenWidth{0};
    std::atomic<int32_t> m_screenHeight{0};
};

}  // namespace okulon
