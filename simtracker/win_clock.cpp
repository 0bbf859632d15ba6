#include "simtracker/win_clock.h"

#include <windows.h>

namespace okulon::sim {

int64_t QpcMicroseconds() {
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart > 0 ? value.QuadPart : int64_t{1};
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // Split so that counter * 1e6 cannot overflow however long the machine has run.
    const int64_t whole = counter.QuadPart / frequency;
    const int64_t part = counter.QuadPart % frequency;
    return whole * 1000000 + part * 1000000 / frequency;
}

}  // namespace okulon::sim
