// How often the check tool's clock figures hold the truth: a simulated tracker
// whose clock runs at a known offset and drift, read as the check tool reads
// it, every 50 ms (the best of 3 reads), through a time library's picture of
// it. Natively each lane keeps a picture as the stand-in ttime.dll does (the
// best of 8 exchanges, once a second); under Wine the one lane reads the
// stand-in ttime.dll itself (run several processes side by side for more).
// The readings are cut into windows of the check's length, and each window is
// summarised as the check tool summarises it. Lanes run side by side, as
// other work would.
//   clock_coverage [--lanes N] [--windows N] [--seconds S] [--drift PPM]
// Prints, over all windows, how often the stated intervals held the truth and
// how the drift's error is spread in units of its standard error.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "simtracker/time_library_extras.h"
#include "tracker/tet_api.h"
#endif

#include "host/clock_readings.h"
#include "simtracker/clock_estimate.h"
#include "simtracker/monotonic_clock.h"
#include "simtracker/sim_server.h"
#include "simtracker/time_sync_client.h"

namespace {

using okulon::host::ClockFigures;
using okulon::host::ClockReadings;
using okulon::sim::MonotonicMicros;

struct Outcome {
    bool haveDrift = false;
    double driftError = 0;  // ppm
    double driftStandardError = 0;
    double driftInterval = 0;  // the stated half-width
    double driftLagBound = 0;
    int degreesOfFreedom = 0;
    bool offsetHeld = false;
    double offsetError = 0;  // microseconds
    double offsetBound = 0;
};

// One time library and one reader of it, for `windows` windows of `seconds`.
class Lane {
public:
    Lane(const okulon::sim::SimServer& server, double seconds, int windows, double truthPpm)
        : m_server(server), m_seconds(seconds), m_windows(windows), m_truthPpm(truthPpm) {}

    std::vector<Outcome> Run() {
#ifdef _WIN32
        // The stand-in time library itself: its picture is the process's.
        HMODULE ttime = LoadLibraryW(L"ttime.dll");
        if (ttime == nullptr) return {};
        const auto setServer =
            reinterpret_cast<PFN_TT_SetTimeServer>(reinterpret_cast<void*>(GetProcAddress(ttime, "TT_SetTimeServer")));
        m_stamp = reinterpret_cast<PFN_TT_GetLocalTimeStamp>(
            reinterpret_cast<void*>(GetProcAddress(ttime, "TT_GetLocalTimeStamp")));
        m_syncUncertainty = reinterpret_cast<PFN_TT_GetSyncUncertainty>(
            reinterpret_cast<void*>(GetProcAddress(ttime, "TT_GetSyncUncertainty")));
        if (setServer == nullptr || m_stamp == nullptr || m_syncUncertainty == nullptr ||
            setServer("127.0.0.1", m_server.Port()) != 0)
            return {};
        std::vector<Outcome> outcomes;
        for (int window = 0; window < m_windows; ++window) outcomes.push_back(ReadWindow());
        return outcomes;
#else
        okulon::sim::TimeSyncClient client(&MonotonicMicros);
        if (!client.Connect("127.0.0.1", m_server.Port(), 1000)) return {};
        Exchange(client);
        std::thread exchanges([&] {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (!m_stop) {
                if (m_wake.wait_for(lock, std::chrono::milliseconds(1000), [&] { return m_stop; })) break;
                lock.unlock();
                Exchange(client);
                lock.lock();
            }
        });
        std::vector<Outcome> outcomes;
        for (int window = 0; window < m_windows; ++window) outcomes.push_back(ReadWindow());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        exchanges.join();
        return outcomes;
#endif
    }

private:
    void Exchange(okulon::sim::TimeSyncClient& client) {
        okulon::sim::SyncPoint point;
        if (!client.Measure(8, 250, point)) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_estimate.Add(point);
    }

    int64_t TrackerNow() {
#ifdef _WIN32
        okulon::TrackerTimeStamp stamp{};
        m_stamp(&stamp);
        return int64_t{stamp.seconds} * 1000000 + stamp.microseconds;
#else
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_estimate.TrackerAt(MonotonicMicros());
#endif
    }

    int64_t SyncUncertainty() {
#ifdef _WIN32
        int32_t microseconds = 0;
        return m_syncUncertainty(&microseconds) == 0 ? microseconds : 0;
#else
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_estimate.Uncertainty();
#endif
    }

    Outcome ReadWindow() {
        ClockReadings readings;
        const int64_t end = MonotonicMicros() + static_cast<int64_t>(m_seconds * 1e6);
        int64_t lastSystem = 0;
        while (MonotonicMicros() < end) {
            int64_t shortestGap = INT64_MAX, system = 0, offset = 0;
            for (int attempt = 0; attempt < 3; ++attempt) {
                const int64_t before = MonotonicMicros();
                const int64_t tracker = TrackerNow();
                const int64_t after = MonotonicMicros();
                if (after - before < shortestGap) {
                    shortestGap = after - before;
                    system = before + (after - before) / 2;
                    offset = tracker - system;
                }
            }
            readings.AddReading(system, offset, (shortestGap + 1) / 2);
            lastSystem = system;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const ClockFigures figures = readings.Summarise(SyncUncertainty());
        Outcome outcome;
        outcome.haveDrift = figures.haveDrift;
        outcome.driftError = figures.driftPpm - m_truthPpm;
        outcome.driftStandardError = figures.driftStandardErrorPpm;
        outcome.driftInterval = figures.driftUncertaintyPpm;
        outcome.driftLagBound = figures.driftLagBoundPpm;
        outcome.degreesOfFreedom = figures.driftDegreesOfFreedom;
        const double trueOffset = static_cast<double>(m_server.TrackerTimeAt(lastSystem) - lastSystem);
        outcome.offsetError = std::fabs(figures.offsetMicros - trueOffset);
        outcome.offsetBound = figures.offsetUncertaintyMicros;
        outcome.offsetHeld = outcome.offsetError <= outcome.offsetBound;
        return outcome;
    }

    const okulon::sim::SimServer& m_server;
    double m_seconds;
    int m_windows;
    double m_truthPpm;
    std::mutex m_mutex;  // the picture and the stop flag
    std::condition_variable m_wake;
    okulon::sim::ClockEstimate m_estimate;
    bool m_stop = false;
#ifdef _WIN32
    PFN_TT_GetLocalTimeStamp m_stamp = nullptr;
    PFN_TT_GetSyncUncertainty m_syncUncertainty = nullptr;
#endif
};

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    int lanes = 1;
#else
    int lanes = 6;
#endif
    int windows = 10, drift = -50;
    double seconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--lanes")
            lanes = std::atoi(argv[i + 1]);
        else if (name == "--windows")
            windows = std::atoi(argv[i + 1]);
        else if (name == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (name == "--drift")
            drift = std::atoi(argv[i + 1]);
    }
    okulon::sim::Scenario scenario;
    scenario.port = 0;
    scenario.rate = 250;
    scenario.clockOffsetMicros = -7000000;
    scenario.clockDriftPpm = drift;
    scenario.lifetimeSeconds = static_cast<int32_t>(seconds * windows) + 600;
    okulon::sim::SimServer server(scenario);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "clock_coverage: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::vector<Outcome>> results(lanes);
    std::vector<std::thread> threads;
    for (int lane = 0; lane < lanes; ++lane)
        threads.emplace_back([&, lane] { results[lane] = Lane(server, seconds, windows, drift).Run(); });
    for (std::thread& thread : threads) thread.join();

    std::vector<double> z;
    int held = 0, offsetHeld = 0, read = 0, beyondTestBound = 0;
    std::vector<double> standardErrors, offsetErrors, offsetBounds;
    std::vector<int> dofs;
    for (const auto& lane : results) {
        for (const Outcome& outcome : lane) {
            ++read;
            offsetHeld += outcome.offsetHeld;
            offsetErrors.push_back(outcome.offsetError);
            offsetBounds.push_back(outcome.offsetBound);
            if (!outcome.haveDrift) continue;
            z.push_back(std::fabs(outcome.driftError) / outcome.driftStandardError);
            standardErrors.push_back(outcome.driftStandardError);
            dofs.push_back(outcome.degreesOfFreedom);
            held += std::fabs(outcome.driftError) <= outcome.driftInterval;
            // The check tool's test allows eight standard errors and the lag's bound.
            beyondTestBound += std::fabs(outcome.driftError) > 8 * outcome.driftStandardError + outcome.driftLagBound;
        }
    }
    if (read == 0) {
        std::fprintf(stderr, "clock_coverage: no window was read\n");
        return 1;
    }
    std::sort(z.begin(), z.end());
    std::sort(standardErrors.begin(), standardErrors.end());
    std::sort(dofs.begin(), dofs.end());
    std::sort(offsetErrors.begin(), offsetErrors.end());
    std::sort(offsetBounds.begin(), offsetBounds.end());
    const double n = static_cast<double>(z.size());
    const size_t all = offsetErrors.size();
    const auto beyond = [&](double k) {
        return static_cast<double>(z.end() - std::upper_bound(z.begin(), z.end(), k));
    };
    std::printf("windows: %d of %.0f s (%d lanes side by side), drift %d ppm; %zu long enough for a drift\n", read,
                seconds, lanes, drift, z.size());
    if (!z.empty()) {
        std::printf("drift: stated interval held the truth in %d (%.1f %%); median standard error %.2f ppm\n", held,
                    100.0 * held / n, standardErrors[z.size() / 2]);
        std::printf(
            "drift error in standard errors: median %.2f, beyond 2: %.0f, beyond 3: %.0f, beyond 4: %.0f, "
            "beyond 6: %.0f, largest %.2f\n",
            z[z.size() / 2], beyond(2), beyond(3), beyond(4), beyond(6), z.back());
        std::printf("median degrees of freedom %d\n", dofs[dofs.size() / 2]);
        std::printf("drift error beyond eight standard errors and the lag's bound: %d\n", beyondTestBound);
    }
    std::printf(
        "offset: stated bound held the truth in %d (%.1f %%); median error %.0f us, median bound %.0f us, "
        "largest error %.0f us\n",
        offsetHeld, 100.0 * offsetHeld / all, offsetErrors[all / 2], offsetBounds[all / 2], offsetErrors.back());
    return 0;
}
