// Stand-in ttime.dll: the tracker's clock as seen from this computer. Like a
// real time-synchronisation library it does not stamp anything itself: it
// asks the tracker for its time over a connection of its own, keeps the
// answer with the shortest round trip, and asks again about once a second to
// follow the drift; TT_GetLocalTimeStamp carries the newest answer forward to
// now, without waiting for the network. tet.dll tells it where the tracker is
// at every successful connect; until then it has nothing to follow and
// answers with the performance counter.
//
// Threads: any thread may read the time; the exchanges run on the thread
// that tells it of a new tracker (the first) and then on a thread of the
// library's own, started then and living as long as the process (the library
// pins itself, so no unload can pull the code from under it). One lock guards
// the exchanges, another the picture; reading takes only the second.
#include <windows.h>

#include <cstdint>
#include <string>

#include "simtracker/clock_estimate.h"
#include "simtracker/time_sync_client.h"
#include "simtracker/win_clock.h"
#include "tracker/contract/tet_api.h"

namespace {

using okulon::sim::QpcMicroseconds;

constexpr DWORD kResyncMs = 1000;
constexpr int kRoundsPerExchange = 8;
constexpr int kTimeoutMs = 250;
// Hosts take successive time stamps to be in order: a small correction
// backwards holds the clock until it has caught up, while a larger one (a new
// tracker, a restarted tracker clock) is passed on as it is.
constexpr int64_t kLargestHeldCorrection = 10000;

class Lock {
public:
    explicit Lock(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ~Lock() { ReleaseSRWLockExclusive(&m_lock); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    SRWLOCK& m_lock;
};

// Namespace scope, not function-local statics: a guarded static would make
// the threads library adopt the loading thread at every load.
SRWLOCK g_pictureLock = SRWLOCK_INIT;  // the three below
std::string g_host;
int32_t g_port = 0;
uint64_t g_tracker = 0;  // counts the trackers told of, so a late exchange with the previous one is dropped
okulon::sim::ClockEstimate g_estimate;
int64_t g_lastAnswer = INT64_MIN + kLargestHeldCorrection;  // none yet

SRWLOCK g_exchangeLock = SRWLOCK_INIT;  // the connection below
okulon::sim::TimeSyncClient g_client{&QpcMicroseconds};
std::string g_clientHost;
int32_t g_clientPort = 0;

LONG g_threadStarted = 0;

void ExchangeOnce() {
    Lock exchange(g_exchangeLock);
    std::string host;
    int32_t port = 0;
    uint64_t tracker = 0;
    {
        Lock picture(g_pictureLock);
        host = g_host;
        port = g_port;
        tracker = g_tracker;
    }
    if (host.empty()) return;
    if (host != g_clientHost || port != g_clientPort) {
        g_client.Close();
        g_clientHost = host;
        g_clientPort = port;
    }
    if (!g_client.IsConnected() && !g_client.Connect(host.c_str(), port, kTimeoutMs)) return;
    okulon::sim::SyncPoint point;
    if (!g_client.Measure(kRoundsPerExchange, kTimeoutMs, point)) return;
    Lock picture(g_pictureLock);
    if (tracker == g_tracker) g_estimate.Add(point);
}

DWORD WINAPI ExchangeEverySecond(void*) {
    while (true) {
        Sleep(kResyncMs);
        try {
            ExchangeOnce();
        } catch (...) {
            // Out of memory: the picture stays as it was; try again later.
        }
    }
}

void StartExchangeThreadOnce() {
    if (InterlockedCompareExchange(&g_threadStarted, 1, 0) != 0) return;
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&ExchangeEverySecond), &self);
    HANDLE thread = CreateThread(nullptr, 0, &ExchangeEverySecond, nullptr, 0, nullptr);
    if (thread == nullptr) {
        g_threadStarted = 0;  // the next tracker may try again
        return;
    }
    CloseHandle(thread);
}

}  // namespace

extern "C" {

int32_t WINAPI TT_GetLocalTimeStamp(okulon::TrackerTimeStamp* stamp) {
    if (stamp == nullptr) return -1;
    int64_t now = 0;
    {
        Lock picture(g_pictureLock);
        now = g_estimate.TrackerAt(QpcMicroseconds());
        if (now < g_lastAnswer && now >= g_lastAnswer - kLargestHeldCorrection) now = g_lastAnswer;
        g_lastAnswer = now;
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
// after each successful connect. A new tracker starts a new picture, whose
// first exchange happens here, on the connecting thread, so that the host's
// next time stamp is already on the tracker's clock.
int32_t WINAPI TT_SetTimeServer(const char* host, int32_t port) {
    if (host == nullptr || port < 1 || port > 65535) return -1;
    try {
        bool fresh = false;
        {
            Lock picture(g_pictureLock);
            if (g_host != host || g_port != port) {
                g_host = host;
                g_port = port;
                ++g_tracker;
                g_estimate.Clear();
            }
            fresh = !g_estimate.Synchronised();
        }
        if (fresh) ExchangeOnce();
        StartExchangeThreadOnce();
    } catch (...) {
        return -1;
    }
    return 0;
}

// How far the newest exchange's tracker time may be off (half its round
// trip, microseconds); -1 before the first exchange.
int32_t WINAPI TT_GetSyncUncertainty(int32_t* microseconds) {
    if (microseconds == nullptr) return -1;
    Lock picture(g_pictureLock);
    if (!g_estimate.Synchronised()) return -1;
    *microseconds = static_cast<int32_t>(g_estimate.Uncertainty());
    return 0;
}

}  // extern "C"
