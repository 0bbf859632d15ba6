// Run-time binding of the vendor's tracker and time libraries (tet.dll,
// ttime.dll). Okulon.dll must load, register and answer the host when they are
// missing, so it never imports them: they are looked for in Okulon.dll's own
// folder first, then on the normal DLL search path, on first use. A missing
// tracker library fails every call like an unreachable tracker (code 1); a
// missing time library is replaced by the performance counter.
// Thread-safe: any thread may call; binding happens once per process.
#pragma once

#include "tracker/contract/tet_api.h"

namespace okulon {

class TrackerLibrary {
public:
    static TrackerLibrary& Instance() noexcept;

    bool HasTrackerLibrary() const noexcept { return m_tetModule != nullptr; }
    bool HasTimeLibrary() const noexcept { return m_ttimeModule != nullptr; }

    int32_t Connect(const char* host, int32_t port, int32_t mode) const noexcept;
    int32_t Disconnect() const noexcept;
    int32_t Start(TetGazeCallback callback, void* context, int32_t flags) const noexcept;
    int32_t Stop() const noexcept;
    int32_t PerformSystemCheck() const noexcept;
    int32_t CalibClear() const noexcept;
    int32_t CalibAddPoint(float x, float y, int32_t mode, int32_t a, int32_t b, int32_t c) const noexcept;
    int32_t CalibCalculateAndSet() const noexcept;
    int32_t GetLastError() const noexcept;
    // Fills the stamp from ttime.dll, or from the performance counter without it.
    void GetLocalTimeStamp(TrackerTimeStamp* stamp) const noexcept;

private:
    TrackerLibrary() noexcept;
    static BOOL CALLBACK BuildOnce(PINIT_ONCE once, PVOID parameter, PVOID* context) noexcept;

    HMODULE m_tetModule = nullptr;
    HMODULE m_ttimeModule = nullptr;
    TetFunctions m_tet;
    PFN_TT_GetLocalTimeStamp m_getLocalTimeStamp = nullptr;
};

}  // namespace okulon
