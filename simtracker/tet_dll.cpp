// Stand-in tet.dll: a client of the simulated tracker server. Each thread that
// calls in has its own connection and last failure code (a TLS slot holds
// them), so the extension's tracking and calibration workers can be connected
// at the same time. The delivery runs on the thread that calls Tet_Start.
// Nothing here lets an exception out to the caller.
#include <windows.h>

#include <new>

#include "simtracker/sim_client.h"
#include "simtracker/sim_error_codes.h"
#include "simtracker/time_library_extras.h"
#include "simtracker/win_clock.h"
#include "tracker/contract/tet_api.h"

namespace {

using okulon::TrackerRecord;
using okulon::sim::SimClient;

struct ThreadState {
    SimClient client{&okulon::sim::QpcMicroseconds};
    int32_t lastError = 0;
};

DWORD g_tlsSlot = TLS_OUT_OF_INDEXES;

ThreadState* CurrentState() {
    auto* state = static_cast<ThreadState*>(TlsGetValue(g_tlsSlot));
    if (state == nullptr) {
        state = new (std::nothrow) ThreadState();
        if (state != nullptr) TlsSetValue(g_tlsSlot, state);
    }
    return state;
}

void ReleaseCurrentState() {
    if (g_tlsSlot == TLS_OUT_OF_INDEXES) return;
    delete static_cast<ThreadState*>(TlsGetValue(g_tlsSlot));  // says goodbye if still connected
    TlsSetValue(g_tlsSlot, nullptr);
}

// Runs one library call on the calling thread's state: 0 stays 0, a failure
// code becomes -1 with the code kept for Tet_GetLastError.
template <typename Call>
int32_t RunCall(Call call) {
    ThreadState* state = CurrentState();
    if (state == nullptr) return -1;
    int32_t code = okulon::sim::kSimErrorInternal;
    try {
        code = call(state->client);
    } catch (...) {
        code = okulon::sim::kSimErrorInternal;
    }
    if (code == 0) return 0;
    state->lastError = code;
    return -1;
}

// The time library follows the tracker this process talks to; one the host
// has not loaded has nothing to follow.
void TellTimeLibrary(const char* host, int32_t port) {
    HMODULE ttime = GetModuleHandleW(L"ttime.dll");
    if (ttime == nullptr) return;
    const auto setServer =
        reinterpret_cast<PFN_TT_SetTimeServer>(reinterpret_cast<void*>(GetProcAddress(ttime, "TT_SetTimeServer")));
    if (setServer != nullptr) setServer(host, port);
}

struct Delivery {
    TetGazeCallback callback;
    void* context;
};

void DeliverToCaller(int32_t reason, TrackerRecord* record, void* context) {
    const auto* delivery = static_cast<const Delivery*>(context);
    delivery->callback(reason, record, delivery->context);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        g_tlsSlot = TlsAlloc();
        return g_tlsSlot != TLS_OUT_OF_INDEXES;
    case DLL_THREAD_DETACH:
        ReleaseCurrentState();
        break;
    case DLL_PROCESS_DETACH:
        // At process exit other threads are gone and their sockets with them;
        // on FreeLibrary only the calling thread's state can be reached.
        if (reserved == nullptr) {
            ReleaseCurrentState();
            TlsFree(g_tlsSlot);
            g_tlsSlot = TLS_OUT_OF_INDEXES;
        }
        break;
    default:
        break;
    }
    return TRUE;
}

extern "C" {

int32_t WINAPI Tet_Connect(const char* host, int32_t port, int32_t mode) {
    const int32_t result = RunCall([&](SimClient& client) { return client.Connect(host, port, mode); });
    if (result == 0) TellTimeLibrary(host, port);
    return result;
}

int32_t WINAPI Tet_Disconnect(void) {
    return RunCall([](SimClient& client) { return client.Disconnect(); });
}

int32_t WINAPI Tet_Start(TetGazeCallback callback, void* context, int32_t flags) {
    if (callback == nullptr) {
        return RunCall([](SimClient&) { return okulon::sim::kSimErrorInvalidArgument; });
    }
    Delivery delivery{callback, context};
    return RunCall([&](SimClient& client) { return client.Start(&DeliverToCaller, &delivery, flags); });
}

int32_t WINAPI Tet_Stop(void) {
    return RunCall([](SimClient& client) { return client.RequestStop(); });
}

int32_t WINAPI Tet_PerformSystemCheck(void) {
    return RunCall([](SimClient& client) { return client.SystemCheck(); });
}

int32_t WINAPI Tet_CalibClear(void) {
    return RunCall([](SimClient& client) { return client.CalibClear(); });
}

int32_t WINAPI Tet_CalibAddPoint(float x, float y, int32_t mode, int32_t reserved1, int32_t reserved2,
                                 int32_t reserved3) {
    return RunCall(
        [&](SimClient& client) { return client.CalibAddPoint(x, y, mode, reserved1, reserved2, reserved3); });
}

int32_t WINAPI Tet_CalibCalculateAndSet(void) {
    return RunCall([](SimClient& client) { return client.CalibCalculate(); });
}

int32_t WINAPI Tet_GetLastError(void) {
    const auto* state =
        g_tlsSlot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<const ThreadState*>(TlsGetValue(g_tlsSlot));
    return state == nullptr ? 0 : state->lastError;
}

}  // extern "C"
