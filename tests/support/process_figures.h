// What a leak shows first in a long-running host: the process's open handles,
// its threads and its private memory, read the way a monitoring tool would.
#pragma once

#include <windows.h>

#include <cstdint>

namespace okulon::reliability {

struct ProcessFigures {
    DWORD handles = 0;          // GetProcessHandleCount, or counted by probing (below)
    DWORD threads = 0;          // threads of this process in a Toolhelp snapshot
    uint64_t privateBytes = 0;  // PrivateUsage of GetProcessMemoryInfo, or PagefileUsage
    uint64_t heapBytes = 0;     // bytes in busy blocks of every heap of the process
    DWORD tlsSlots = 0;         // thread-local slots in use below the lowest free one
};

// Reads all of them for the calling process. Fields that cannot be read stay 0.
ProcessFigures ReadProcessFigures();

// Reads until the thread count is at most `threadsAtMost` or `timeoutMs` has
// passed, and gives the last reading. Threads that the simulator and the
// platform end lazily (a session thread reaped on the next accept slice) are
// not counted as left behind while they are still on their way out.
ProcessFigures ReadSettledProcessFigures(DWORD threadsAtMost, DWORD timeoutMs);

}  // namespace okulon::reliability
