// The tracker vendor's libraries as Okulon.dll calls them: tet.dll (tracker
// connection, delivery, calibration) and ttime.dll (time stamps). Every function
// and the gaze callback are __stdcall and exported under their plain names.
// Connection state lives per thread in tet.dll: each thread that calls
// Tet_Connect has its own connection, and Tet_GetLastError reports the calling
// thread's last failure.
#pragma once

#include <windows.h>

#include <cstdint>

#include "tracker/contract/tracker_records.h"

extern "C" {

// reason: kTrackerReasonIdle (no record) or another code with a record.
typedef void(WINAPI* TetGazeCallback)(int32_t reason, okulon::TrackerRecord* record, void* context);

#ifdef OKULON_BUILDING_TRACKER_LIBRARY
#define OKULON_TRACKER_API __declspec(dllexport)
#else
#define OKULON_TRACKER_API __declspec(dllimport)
#endif

// All return -1 on failure (code from Tet_GetLastError), anything else on success.
OKULON_TRACKER_API int32_t WINAPI Tet_Connect(const char* host, int32_t port, int32_t mode);
OKULON_TRACKER_API int32_t WINAPI Tet_Disconnect(void);
OKULON_TRACKER_API int32_t WINAPI Tet_Start(TetGazeCallback callback, void* context, int32_t flags);
OKULON_TRACKER_API int32_t WINAPI Tet_Stop(void);
OKULON_TRACKER_API int32_t WINAPI Tet_PerformSystemCheck(void);
OKULON_TRACKER_API int32_t WINAPI Tet_CalibClear(void);
OKULON_TRACKER_API int32_t WINAPI Tet_CalibAddPoint(float x, float y, int32_t mode, int32_t reserved1,
                                                    int32_t reserved2, int32_t reserved3);
OKULON_TRACKER_API int32_t WINAPI Tet_CalibCalculateAndSet(void);
OKULON_TRACKER_API int32_t WINAPI Tet_GetLastError(void);

OKULON_TRACKER_API int32_t WINAPI TT_GetLocalTimeStamp(okulon::TrackerTimeStamp* stamp);

}  // extern "C"

// Function types, for Okulon.dll's run-time binding (it must load without the
// libraries): each is the type of its prototype above, so the two cannot differ.
using PFN_Tet_Connect = decltype(&Tet_Connect);
using PFN_Tet_Void = decltype(&Tet_Disconnect);  // every function without arguments
using PFN_Tet_Start = decltype(&Tet_Start);
using PFN_Tet_CalibAddPoint = decltype(&Tet_CalibAddPoint);
using PFN_TT_GetLocalTimeStamp = decltype(&TT_GetLocalTimeStamp);

namespace okulon {

// One function of a loaded library, found by name; null when it lacks it.
template <class Function>
void FindExport(HMODULE module, const char* name, Function& function) noexcept {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// tet.dll's functions found by name in a loaded module: the one binding that
// Okulon.dll's TrackerLibrary and the check tool's probe share.
struct TetFunctions {
    decltype(&Tet_Connect) connect = nullptr;
    decltype(&Tet_Disconnect) disconnect = nullptr;
    decltype(&Tet_Start) start = nullptr;
    decltype(&Tet_Stop) stop = nullptr;
    decltype(&Tet_PerformSystemCheck) performSystemCheck = nullptr;
    decltype(&Tet_CalibClear) calibClear = nullptr;
    decltype(&Tet_CalibAddPoint) calibAddPoint = nullptr;
    decltype(&Tet_CalibCalculateAndSet) calibCalculateAndSet = nullptr;
    decltype(&Tet_GetLastError) getLastError = nullptr;

    // Finds every function; true only when the module has them all: a library
    // without the whole interface is no usable tracker library.
    bool Bind(HMODULE module) noexcept {
        FindExport(module, "Tet_Connect", connect);
        FindExport(module, "Tet_Disconnect", disconnect);
        FindExport(module, "Tet_Start", start);
        FindExport(module, "Tet_Stop", stop);
        FindExport(module, "Tet_PerformSystemCheck", performSystemCheck);
        FindExport(module, "Tet_CalibClear", calibClear);
        FindExport(module, "Tet_CalibAddPoint", calibAddPoint);
        FindExport(module, "Tet_CalibCalculateAndSet", calibCalculateAndSet);
        FindExport(module, "Tet_GetLastError", getLastError);
        return connect && disconnect && start && stop && performSystemCheck && calibClear && calibAddPoint &&
               calibCalculateAndSet && getLastError;
    }
};

}  // namespace okulon
