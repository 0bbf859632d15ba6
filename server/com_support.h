// Small vocabulary shared by the COM-facing code: the exception-to-HRESULT rule
// of the COM boundary, and owners for the platform resources it uses.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <new>
#include <utility>

namespace okulon {

// Called inside catch (...): nothing may escape into the host.
inline HRESULT HResultFromCaughtException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// Owner of a handle that is invalid when null (threads, events, modules are not: see UniqueModule).
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : m_handle(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }
    [[nodiscard]] HANDLE release() noexcept { return std::exchange(m_handle, nullptr); }
    void reset(HANDLE handle = nullptr) noexcept {
        HANDLE old = std::exchange(m_handle, handle);
        if (old != nullptr) CloseHandle(old);
    }

private:
    HANDLE m_handle = nullptr;
};

// Owning COM pointer: one reference, released on destruction. put() releases first.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(T* pointer) noexcept : m_pointer(pointer) {  // NOLINT: adds a reference
        if (m_pointer) m_pointer->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_pointer) {}
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_pointer, other.m_pointer);
        return *this;
    }
    ~ComPtr() { reset(); }

    static ComPtr Attach(T* pointer) noexcept {
        ComPtr result;
        result.m_pointer = pointer;
        return result;
    }
    T* get() const noexcept { return m_pointer; }
    T* operator->() const noexcept { return m_pointer; }
    explicit operator bool() const noexcept { return m_pointer != nullptr; }
    T** put() noexcept {
        reset();
        return &m_pointer;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    [[nodiscard]] T* detach() noexcept { return std::exchange(m_pointer, nullptr); }
    void reset() noexcept {
        if (T* old = std::exchange(m_pointer, nullptr)) old->Release();
    }

private:
    T* m_pointer = nullptr;
};

// Slim reader/writer lock and its guards.
class SrwLock {
public:
    SrwLock() noexcept = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;
    void LockExclusive() noexcept { AcquireSRWLockExclusive(&m_lock); }
    void UnlockExclusive() noexcept { ReleaseSRWLockExclusive(&m_lock); }
    void LockShared() noexcept { AcquireSRWLockShared(&m_lock); }
    void UnlockShared() noexcept { ReleaseSRWLockShared(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class [[nodiscard]] ExclusiveGuard {
public:
    explicit ExclusiveGuard(SrwLock& lock) noexcept : m_lock(lock) { m_lock.LockExclusive(); }
    ~ExclusiveGuard() { m_lock.UnlockExclusive(); }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

private:
    SrwLock& m_lock;
};

class [[nodiscard]] SharedGuard {
public:
    explicit SharedGuard(SrwLock& lock) noexcept : m_lock(lock) { m_lock.LockShared(); }
    ~SharedGuard() { m_lock.UnlockShared(); }
    SharedGuard(const SharedGuard&) = delete;
    SharedGuard& operator=(const SharedGuard&) = delete;

private:
    SrwLock& m_lock;
};

}  // namespace okulon

// The body of every method that the host or COM can call.
#define OKULON_COM_TRY try {
#define OKULON_COM_CATCH                                  \
    }                                                     \
    catch (...) {                                         \
        return ::okulon::HResultFromCaughtException();    \
    }
