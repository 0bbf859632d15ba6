// QueueLock: the short mutual exclusion that a record queue needs between the
// gaze callback's thread and the host's thread. A slim reader/writer lock in
// the DLL (no dependence on the compiler's thread model, no kernel object to
// create or fail), std::mutex in the native build. Non-recursive; owned by the
// queue that embeds it; any thread may take it.
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
        InitializeSRWLock(&m_lock);
#endif
    }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;

    void Lock() noexcept {
#ifdef _WIN32
        AcquireSRWLockExclusive(&m_lock);
#else
        // std::mutex::lock throws only for a deadlock it detects or a broken
        // system; neither can happen for this non-nested, short use.
        m_lock.lock();
#endif
    }

    void Unlock() noexcept {
#ifdef _WIN32
        ReleaseSRWLockExclusive(&m_lock);
#else
        m_lock.unlock();
#endif
    }

private:
#ifdef _WIN32
    SRWLOCK m_lock;  // needs no destruction
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
