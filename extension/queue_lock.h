// QueueLock: the short mutual exclusion that a record queue needs between the
// gaze callback's thread and the host's thread. A critical section in the DLL
// (no dependence on the compiler's thread model; under Wine it costs half a
// slim reader/writer lock's round trip; spinning before sleeping measured
// worse on two cores with the host fetching), std::mutex in the native build. Owned by
// the queue that embeds it; any thread may take it; never taken recursively.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace okulon {

class QueueLock {
public:
    QueueLock() noexcept {
#ifdef _WIN32
        // Cannot fail on any system this runs on; no debug information is allocated.
        InitializeCriticalSectionEx(&m_lock, kSpinCount, CRITICAL_SECTION_NO_DEBUG_INFO);
#endif
    }
#ifdef _WIN32
    ~QueueLock() { DeleteCriticalSection(&m_lock); }
#endif
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;

    void Lock() noexcept {
#ifdef _WIN32
        EnterCriticalSection(&m_lock);
#else
        // std::mutex::lock throws only for a deadlock it detects or a broken
        // system; neither can happen for this non-nested, short use.
        m_lock.lock();
#endif
    }

    void Unlock() noexcept {
#ifdef _WIN32
        LeaveCriticalSection(&m_lock);
#else
        m_lock.unlock();
#endif
    }

private:
#ifdef _WIN32
    static constexpr DWORD kSpinCount = 0;
    CRITICAL_SECTION m_lock;
#else
    std::mutex m_lock;
#endif
};

// Holds a QueueLock for the lifetime of one scope.
class [[nodiscard]] QueueLockGuard {
public:
    explicit QueueLockGuard(QueueLock& lock) noexcept : m_lock(lock) { m_lock.Lock(); }
    ~QueueLockGuard() { m_lock.Unlock(); }
    QueueLockGuard(const QueueLockGuard&) = delete;
    QueueLockGuard& operator=(const QueueLockGuard&) = delete;

private:
    QueueLock& m_lock;
};

}  // namespace okulon
