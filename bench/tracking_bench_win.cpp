// End-to-end figures of the tracking path under Wine: simulated tracker ->
// TCP -> stand-in tet.dll -> gaze callback -> queues -> a polling host.
//   1. highest sustained rate with no record lost (tracker flat out)
//   2. added latency from the callback to visibility in GetGazeDataCount
//   3. time of StartTracking, StopTracking and the object's destruction with an
//      unreachable, a streaming and a silent tracker
//   4. CPU used by a worker that only performs system checks
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/lockable_module.h"
#include "extension/eye_tracker_impl.h"
#include "object_access.h"
#include "server/component/instance_creator.h"
#include "simtracker/sim_server.h"
#include "tracker/tracking_session.h"

namespace {

using okulon::ComPtr;
using okulon::sim::Scenario;
using okulon::sim::SimServer;

double Microseconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1e6 / frequency;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

ComPtr<IEyeTracker> NewTracker(int port) {
    ComPtr<IEyeTracker> tracker;
    okulon::CreateEyeTrackerInstance(nullptr, IID_IEyeTracker, tracker.put_void());
    for (std::wstring command : {std::wstring(L"host 127.0.0.1"), L"port " + std::to_wstring(port)}) {
        const okulon::UniqueBstr text(SysAllocString(command.c_str()));
        LONG result = 0;
        tracker->SendCommand(text.get(), &result);
    }
    return tracker;
}

std::unique_ptr<SimServer> StartServer(Scenario scenario) {
    scenario.port = 0;
    scenario.idleExitSeconds = 0;
    scenario.lifetimeSeconds = 600;
    auto server = std::make_unique<SimServer>(scenario);
    std::string error;
    if (!server->Start(&error)) std::fprintf(stderr, "server: %s\n", error.c_str());
    return server;
}

// Every sample a distinct x, rising through the file: a repeated, lost or
// reordered record shows in the sequence the host receives.
std::string ReplayFile(int samples) {
    char folder[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "okb", 0, path);
    FILE* file = std::fopen(path, "w");
    for (int i = 0; i < samples; ++i) {
        const double x = 0.1 + 0.8 * i / samples;
        std::fprintf(file, "%.7f,0.5,3.0,0,%.7f,0.5,3.1,0\n", x, x);
    }
    std::fclose(file);
    return path;
}

void SustainedRate() {
    const int samples = 300000;
    Scenario scenario;
    scenario.rate = Scenario::kFlatOut;
    scenario.csvPath = ReplayFile(samples);
    scenario.sampleLimit = samples;
    auto server = StartServer(scenario);  // reads the file once
    std::remove(scenario.csvPath.c_str());
    ComPtr<IEyeTracker> tracker = NewTracker(server->Port());
    tracker->StartGazeData(VARIANT_TRUE, 0);
    std::vector<::GazeRecord> buffer(65536);
    size_t received = 0;
    int64_t previousTime = INT64_MIN;
    double previousX = -1e300;
    size_t disorder = 0;
    tracker->StartTracking();
    double first = 0, last = 0;
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (received < static_cast<size_t>(samples) && GetTickCount64() < deadline) {
        LONG count = static_cast<LONG>(buffer.size());
        tracker->GetGazeData(&count, buffer.data(), 0);
        if (count == 0) {
            Sleep(1);
            continue;
        }
        if (received == 0) first = Microseconds();
        for (LONG i = 0; i < count; ++i) {
            if (buffer[i].x <= previousX || buffer[i].time < previousTime) ++disorder;
            previousX = buffer[i].x;
            previousTime = buffer[i].time;
        }
        received += count;
        last = Microseconds();
    }
    tracker->StopTracking();
    std::printf(
        "1. sustained rate, tracker flat out: %zu of %d records in %.2f s = %.0f records/s; "
        "out of order or repeated: %zu; lost: %lld\n",
        received, samples, (last - first) / 1e6, received / ((last - first) / 1e6), disorder,
        static_cast<long long>(samples) - static_cast<long long>(received));
}

void CallbackToVisibilityLatency() {
    ComPtr<IEyeTracker> tracker = NewTracker(1);
    ComPtr<IEyeTrackerImpl> identity;
    tracker->QueryInterface(IID_IEyeTrackerImpl, identity.put_void());
    auto* impl = static_cast<okulon::CEyeTrackerImpl*>(identity.get());
    tracker->StartGazeData(VARIANT_TRUE, 0);
    tracker->StartTracking();  // streaming wanted; its own worker finds no tracker on port 1
    auto session = std::make_shared<okulon::TrackingSession>(&okulon::EyeTrackerImplTestAccess::TrackingLink(*impl),
                                                             okulon::TrackerEndpoint{"127.0.0.1", 1});
    const int records = 5000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < records; ++i) {
            okulon::TrackerRecord record{};
            const double now = Microseconds();
            record.timeSeconds = static_cast<int32_t>(now / 1e6);
            record.timeMicroseconds = static_cast<int32_t>(now - record.timeSeconds * 1e6);
            record.first = {0.5f, 0.5f, 0, 0, 3.f, 600.f, 0};
            record.second = record.first;
            okulon::TrackingSession::GazeCallback(okulon::kTrackerReasonSample, &record, session.get());
            Sleep(1);  // about 1000 Hz; leaves a core to the polling host
        }
        done = true;
    });
    std::vector<double> latencies;
    ::GazeRecord record;
    for (;;) {
        LONG count = 0;
        tracker->GetGazeDataCount(&count, 0);
        if (count > 0) {
            const double seen = Microseconds();
            LONG one = 1;
            tracker->GetGazeData(&one, &record, 0);
            latencies.push_back(seen - static_cast<double>(record.time));
            // Drain the rest unmeasured (the host saw them later than their arrival only by polling).
            std::vector<::GazeRecord> rest(count);
            LONG n = count;
            tracker->GetGazeData(&n, rest.data(), 0);
        } else if (done) {
            break;
        }
    }
    producer.join();
    std::printf(
        "2. callback -> visible in GetGazeDataCount, host polling: median %.1f us, p99 %.1f us, "
        "p99.9 %.1f us (%zu samples)\n",
        Percentile(latencies, 0.5), Percentile(latencies, 0.99), Percentile(latencies, 0.999), latencies.size());
}

template <class Body>
std::vector<double> Timed(int rounds, Body body) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) times.push_back(body());
    return times;
}

void ControlCallTimes() {
    struct Kind {
        const char* name;
        Scenario scenario;
        bool reachable;
    };
    Scenario streaming;
    streaming.rate = 1000;
    Scenario silent;
    silent.rate = 1000;
    silent.stallAfter = 1;
    silent.stallMs = 600000;
    const Kind kinds[] = {{"unreachable", Scenario{}, false}, {"streaming", streaming, true}, {"silent", silent, true}};
    for (const Kind& kind : kinds) {
        auto server = StartServer(kind.scenario);
        const int port = kind.reachable ? server->Port() : 1;
        std::vector<double> start, stop, destroy;
        for (int i = 0; i < 15; ++i) {
            ComPtr<IEyeTracker> tracker = NewTracker(port);
            tracker->StartGazeData(VARIANT_TRUE, 0);
            double t0 = Microseconds();
            tracker->StartTracking();
            start.push_back(Microseconds() - t0);
            Sleep(30);
            t0 = Microseconds();
            tracker->StopTracking();
            stop.push_back(Microseconds() - t0);
            tracker->StartTracking();
            Sleep(30);
            t0 = Microseconds();
            tracker.reset();
            destroy.push_back(Microseconds() - t0);
        }
        std::printf(
            "3. %-11s tracker: StartTracking median %.0f us max %.0f us; StopTracking median %.0f us max "
            "%.0f us; destruction median %.0f us max %.0f us\n",
            kind.name, Percentile(start, 0.5), Percentile(start, 1), Percentile(stop, 0.5), Percentile(stop, 1),
            Percentile(destroy, 0.5), Percentile(destroy, 1));
        const ULONGLONG deadline = GetTickCount64() + 10000;
        while (okulon::ThisModule().GetLockCount() != 0 && GetTickCount64() < deadline) Sleep(5);
    }
}

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](FILETIME t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7; };
    return seconds(kernel) + seconds(user);
}

void SystemCheckWorkerCpu() {
    Scenario scenario;
    scenario.systemCheck = {13};  // streaming never switched on: system checks only
    auto server = StartServer(scenario);
    ComPtr<IEyeTracker> tracker = NewTracker(server->Port());
    ComPtr<IEyeTrackerImpl> identity;
    tracker->QueryInterface(IID_IEyeTrackerImpl, identity.put_void());
    static_cast<okulon::CEyeTrackerImpl*>(identity.get())->SetSystemCheckCode(13);
    tracker->StartTracking();
    Sleep(300);
    const double cpu0 = ProcessCpuSeconds(), wall0 = Microseconds();
    uint32_t checks0 = 0;
    for (const auto& c : server->Connections()) checks0 += c.systemChecks;
    Sleep(3000);
    const double cpu = ProcessCpuSeconds() - cpu0, wall = (Microseconds() - wall0) / 1e6;
    uint32_t checks = 0;
    for (const auto& c : server->Connections()) checks += c.systemChecks;
    tracker->StopTracking();
    std::printf(
        "4. worker doing only system checks (no pause between checks): %.0f checks/s; process CPU %.0f%% of "
        "one core (worker, stand-in library and the in-process simulator together)\n",
        (checks - checks0) / wall, 100.0 * cpu / wall);
}

}  // namespace

int main() {
    const okulon::ComApartment apartment = okulon::EnterApartment(COINIT_APARTMENTTHREADED);
    SustainedRate();
    CallbackToVisibilityLatency();
    ControlCallTimes();
    SystemCheckWorkerCpu();
    return 0;
}
