// What the stand-in ttime.dll offers besides TT_GetLocalTimeStamp. Okulon.dll
// never calls these: tet.dll tells the time library where the tracker is, and
// the check tool asks how well it is synchronised where a library says so.
#pragma once

#include <windows.h>

#include <cstdint>

using PFN_TT_SetTimeServer = int32_t(WINAPI*)(const char* host, int32_t port);
using PFN_TT_GetSyncUncertainty = int32_t(WINAPI*)(int32_t* microseconds);
