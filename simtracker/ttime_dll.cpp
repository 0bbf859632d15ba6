// Stand-in ttime.dll: the local time stamp on the clock that tet.dll stamps
// its records with.
#include <windows.h>

#include "simtracker/win_clock.h"
#include "tracker/tet_api.h"

extern "C" int32_t WINAPI TT_GetLocalTimeStamp(okulon::TrackerTimeStamp* stamp) {
    if (stamp == nullptr) return -1;
    const int64_t now = okulon::sim::QpcMicroseconds();
    stamp->seconds = static_cast<int32_t>(now / 1000000);
    stamp->microseconds = static_cast<int32_t>(now % 1000000);
    return 0;
}
