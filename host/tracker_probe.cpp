#include "host/tracker_probe.h"

#include <windows.h>

#include <atomic>
#include <memory>

#include "base/com_support.h"
#include "tracker/contract/tet_api.h"

namespace okulon::host {
namespace {

int64_t SystemMicroseconds() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<int64_t>(static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart));
}

// What the worker thread works on. Shared with the caller, who may give up
// waiting; the last of the two to let go frees it.
struct ProbeWork {
    TetFunctions tet;
    std::string host;
    int32_t port = 0;
    int64_t deliveryMicroseconds = 0;
    int64_t deliveryStart = 0;
    bool stopRequested = false;
    std::atomic<bool> connected{false};  // between the connect and the disconnect
    // The newest record for the waiting caller: its time is published before
    // the count, so a count read carries a time at least that new.
    std::atomic<int64_t> newestRecord{0};
    std::atomic<uint64_t> publishedSamples{0};
    TrackerProbeResult result;
};

void WINAPI OnGaze(int32_t reason, TrackerRecord* record, void* context) {
    auto* work = static_cast<ProbeWork*>(context);
    if (reason != kTrackerReasonIdle && record != nullptr) {
        const int64_t stamp = TimeInMicroseconds(record->timeSeconds, record->timeMicroseconds);
        if (work->result.samples == 0) work->result.firstSampleMicroseconds = stamp;
        work->result.lastSampleMicroseconds = stamp;
        ++work->result.samples;
        work->newestRecord.store(stamp, std::memory_order_release);
        work->publishedSamples.store(work->result.samples, std::memory_order_release);
    }
    if (!work->stopRequested && SystemMicroseconds() - work->deliveryStart >= work->deliveryMicroseconds) {
        work->stopRequested = true;
        work->tet.stop();
    }
}

DWORD WINAPI RunProbe(void* parameter) {
    const std::shared_ptr<ProbeWork> work =
        std::move(*std::unique_ptr<std::shared_ptr<ProbeWork>>(static_cast<std::shared_ptr<ProbeWork>*>(parameter)));
    TrackerProbeResult& result = work->result;
    if (work->tet.connect(work->host.c_str(), work->port, kTrackerConnectMode) == -1) {
        result.connectErrorCode = work->tet.getLastError();
        return 0;
    }
    result.connected = true;
    work->connected = true;
    result.systemCheckRan = true;
    result.systemCheckCode = work->tet.performSystemCheck() == -1 ? work->tet.getLastError() : 0;
    work->deliveryStart = SystemMicroseconds();
    if (work->tet.start(&OnGaze, work.get(), 0) == -1) {
        result.startErrorCode = work->tet.getLastError();
    } else {
        result.streamed = true;
    }
    result.deliverySeconds = static_cast<double>(SystemMicroseconds() - work->deliveryStart) / 1e6;
    work->connected = false;
    work->tet.disconnect();
    return 0;
}

std::string NarrowToCodePage(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    return narrow;
}

}  // namespace

double TrackerProbeResult::SampleRate() const {
    if (samples < 2 || lastSampleMicroseconds <= firstSampleMicroseconds) return 0;
    return static_cast<double>(samples - 1) * 1e6 /
           static_cast<double>(lastSampleMicroseconds - firstSampleMicroseconds);
}

TrackerProbeResult TrackerProbe::Run(const std::wstring& host, int32_t port, double deliverySeconds,
                                     const std::function<void(const ProbeProgress&)>& whileConnected) const {
    TrackerProbeResult result;
    // The library stays loaded until the process ends: a worker that did not
    // finish in time may still be inside it.
    HMODULE tet = LoadLibraryExW(m_tetPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    auto work = std::make_shared<ProbeWork>();
    if (tet == nullptr || !work->tet.Bind(tet)) return result;
    result.libraryUsable = true;
    work->host = NarrowToCodePage(host);
    work->port = port;
    work->deliveryMicroseconds = static_cast<int64_t>(deliverySeconds * 1e6);
    work->result = result;

    auto handOver = std::make_unique<std::shared_ptr<ProbeWork>>(work);
    UniqueHandle thread(CreateThread(nullptr, 0, &RunProbe, handOver.get(), 0, nullptr));
    if (!thread) return result;
    static_cast<void>(handOver.release());  // the probe thread's now
    const DWORD marginMs = 15000;           // connecting and one system check
    const DWORD waitMs = static_cast<DWORD>(deliverySeconds * 1000) + marginMs;
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    while (WaitForSingleObject(thread.get(), 50) != WAIT_OBJECT_0) {
        if (GetTickCount64() >= deadline) return result;  // finishedInTime stays false
        if (!work->connected || !whileConnected) continue;
        ProbeProgress progress;
        progress.samples = work->publishedSamples.load(std::memory_order_acquire);
        progress.newestRecordMicros = work->newestRecord.load(std::memory_order_acquire);
        whileConnected(progress);
    }
    work->result.finishedInTime = true;
    return work->result;
}

}  // namespace okulon::host
