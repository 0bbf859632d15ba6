// Stand-in ttime.dll: the tracker's clock as seen from this computer. Like a
// real time-synchronisation library it does not stamp anything itself: it
// asks the tracker for its time over a connection of its own, keeps the
// answer with the shortest round trip, and asks again about once a second to
// follow the drift; TT_GetLocalTimeStamp carries the newest answer forward to
// now. tet.dll tells it where the tracker is at every successful connect;
// until then it has nothing to follow and answers with the performance counter.
//
// Any thread may call in; one lock serialises them. A call that falls due for
// an exchange waits for it (about a millisecond, at most half a second when
// the tracker has gone silent).
#include <windows.h>

#include <cstdint>
#include <string>

#include "simtracker/clock_estimate.h"
#include "simtracker/time_sync_client.h"
#include "simtracker/win_clock.h"
#include "tracker/tet_api.h"

namespace {

using okulon::sim::QpcMicroseconds;

constexpr int64_t kResyncMicros = 1000000;
constexpr int kRoundsPerExchange = 8;
constexpr int kTimeoutMs = 250;
// Hosts take successive time stamps to be in order: a small correction
// backwards holds the clock until it has caught up, while a larger one (a new
// tracker, a restarted tracker clock) is passed on as it is.
constexpr int64_t kLargestHeldCorrection = 10000;

struct TimeLibrary {
    std::string host;
    int32_t port = 0;
    int64_t lastAttempt = 0;
    int64_t lastAnswer = INT64_MIN + kLargestHeldCorrection;  // none yet
    okulon::sim::TimeSyncClient client{&QpcMicroseconds};
    okulon::sim::ClockEstimate estimate;

    void Synchronise() {
        lastAttempt = QpcMicroseconds();
        if (!client.IsConnected() && !client.Connect(host.c_str(), port, kTimeoutMs)) return;
        okulon::sim::SyncPoint point;
        if (client.Measure(kRoundsPerExchange, kTimeoutMs, point)) estimate.Add(point);
    }
};

// Namespace scope, not a function-local static: a guarded static would make
// the threads library adopt the loading thread at every load.
SRWLOCK g_lock = SRWLOCK_INIT;
TimeLibrary g_library;

struct ExclusiveLock {
    ExclusiveLock() { AcquireSRWLockExclusive(&g_lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&g_lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
};

}  // namespace

extern "C" {

int32_t WINAPI TT_GetLocalTimeStamp(okulon::TrackerTimeStamp* stamp) {
    if (stamp == nullptr) return -1;
    int64_t now = 0;
    try {
        ExclusiveLock lock;
        if (!g_library.host.empty() && QpcMicroseconds() - g_library.lastAttempt >= kResyncMicros) {
            g_library.Synchronise();
        }
        // Read after any exchange, so the time is that of the call's end.
        now = g_library.estimate.TrackerAt(QpcMicroseconds());
        if (now < g_library.lastAnswer && now >= g_library.lastAnswer - kLargestHeldCorrection) {
            now = g_library.lastAnswer;
        }
        g_library.lastAnswer = now;
    } catch (...) {
        return -1;
    }
    int64_t seconds = now / 1000000;
    int64_t micros = now % 1000000;
    if (micros < 0) {
        micros += 1000000;
        seconds -= 1;
    }
    stamp->seconds = static_cast<int32_t>(seconds);
    stamp->microseconds = static_cast<int32_t>(micros);
    return 0;
}

// Not part of the time library's interface that hosts use: tet.dll calls it
// after each successful connect. A new tracker starts a new estimate.
int32_t WINAPI TT_SetTimeServer(const char* host, int32_t port) {
    if (host == nullptr || port < 1 || port > 65535) return -1;
    try {
        ExclusiveLock lock;
        if (g_library.host != host || g_library.port != port) {
            g_library.client.Close();
            g_library.estimate.Clear();
            g_library.host = host;
            g_library.port = port;
        }
        // The first exchange here, on the connecting thread, so that the host's first GetTimestamp does not wait for it.
        if (!g_library.estimate.Synchronised()) g_library.Synchronise();
    } catch (...) {
        return -1;
    }
    return 0;
}

// How far the newest exchange's tracker time may be off (half its round
// trip, microseconds); -1 before the first exchange.
int32_t WINAPI TT_GetSyncUncertainty(int32_t* microseconds) {
    if (microseconds == nullptr) return -1;
    ExclusiveLock lock;
    if (!g_library.estimate.Synchronised()) return -1;
    *microseconds = static_cast<int32_t>(g_library.estimate.Uncertainty());
    return 0;
}

}  // extern "C"
