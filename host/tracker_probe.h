// The check tool's look at the tracker through a given tet.dll: connect, one
// system check, then gaze delivery for a while, counting samples and their
// time stamps. All of it runs on one worker thread of the probe's own (the
// library keeps one connection per thread) and the caller waits for it at
// most the delivery time plus a margin, so a tracker that never answers
// cannot hang the check.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace okulon::host {

struct TrackerProbeResult {
    bool libraryUsable = false;  // loaded, with every function the extension calls
    bool finishedInTime = false;
    bool connected = false;
    int32_t connectErrorCode = 0;
    bool systemCheckRan = false;
    int32_t systemCheckCode = 0;  // 0: passed
    bool streamed = false;
    int32_t startErrorCode = 0;
    uint64_t samples = 0;
    int64_t firstSampleMicroseconds = 0;  // tracker clock
    int64_t lastSampleMicroseconds = 0;
    double deliverySeconds = 0;  // measured on the system clock

    // Samples per second from the tracker's own time stamps (0 with fewer than two samples).
    double SampleRate() const;
};

// The delivery so far, as the caller sees it while it waits.
struct ProbeProgress {
    uint64_t samples = 0;
    int64_t newestRecordMicros = 0;  // tracker clock; meaningful once samples > 0
};

class TrackerProbe {
public:
    explicit TrackerProbe(std::wstring tetPath) : m_tetPath(std::move(tetPath)) {}

    // whileConnected runs on the caller's thread about every 50 ms from the
    // connect to the disconnect, while the caller waits.
    // host in the tracker library's terms: the system's ANSI code page.
    TrackerProbeResult Run(const std::wstring& host, int32_t port, double deliverySeconds,
                           const std::function<void(const ProbeProgress&)>& whileConnected) const;

private:
    std::wstring m_tetPath;
};

}  // namespace okulon::host
