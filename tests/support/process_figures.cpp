#include "process_figures.h"

#include <psapi.h>
#include <tlhelp32.h>

namespace okulon::reliability {
namespace {

DWORD CountThreadsOfThisProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    const DWORD self = GetCurrentProcessId();
    DWORD count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// Wine 8 answers GetProcessHandleCount with 0. It gives out handle values as
// multiples of 4, lowest free first, so every open handle is found by asking
// each value in turn until a long run of unused ones: a gap of 1024 could only
// be left by more than 1024 handles open at once, which none of these runs has.
DWORD CountHandlesByProbing() {
    constexpr uintptr_t kUnusedRunThatEnds = 1024;
    DWORD count = 0;
    uintptr_t unusedRun = 0;
    for (uintptr_t value = 4; unusedRun < kUnusedRunThatEnds; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            unusedRun = 0;
        } else {
            ++unusedRun;
        }
    }
    return count;
}

// Live allocations, whoever made them: a leak of the DLL's objects or queues
// shows here even when the address space does not grow.
uint64_t CountHeapBytes() {
    HANDLE heaps[64];
    const DWORD heapCount = GetProcessHeaps(64, heaps);
    uint64_t busy = 0;
    for (DWORD i = 0; i < heapCount && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
        }
        HeapUnlock(heaps[i]);
    }
    return busy;
}

// TlsAlloc gives out the lowest free index, so a fresh one counts the slots
// taken below it: one that a DLL never gives back raises it for good (a
// process has 1088, and code that cannot get one may abort).
DWORD CountTlsSlotsInUse() {
    const DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) return 0;
    TlsFree(slot);
    return slot;
}

}  // namespace

ProcessFigures ReadProcessFigures() {
    ProcessFigures figures;
    // Handles first: the snapshot below opens one of its own for a moment.
    GetProcessHandleCount(GetCurrentProcess(), &figures.handles);
    if (figures.handles == 0) figures.handles = CountHandlesByProbing();
    figures.threads = CountThreadsOfThisProcess();
    figures.tlsSlots = CountTlsSlotsInUse();
    figures.heapBytes = CountHeapBytes();
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        figures.privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
    }
    return figures;
}

ProcessFigures ReadSettledProcessFigures(DWORD threadsAtMost, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    ProcessFigures figures = ReadProcessFigures();
    while (figures.threads > threadsAtMost && GetTickCount64() < deadline) {
        Sleep(20);
        figures = ReadProcessFigures();
    }
    return figures;
}

}  // namespace okulon::reliability
