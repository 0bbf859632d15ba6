// Bounded polling, for a condition that another thread (a worker, the
// simulated tracker) makes true some time later. The bound only ends a test
// that has already failed; it never assumes a speed.
#pragma once

#include <windows.h>

#include <functional>

namespace okulon::test {

// Polls `condition` every few milliseconds; false once `timeoutMs` has passed.
inline bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(2);
    }
    return true;
}

}  // namespace okulon::test
