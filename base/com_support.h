// Small vocabulary shared by the COM-facing code: owners for the platform
// resources it uses, the COM pointer and the slim lock. The exception-to-HRESULT
// rule of its boundary is in hresults.h, shared with the registrar.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <new>
#include <utility>

#include "base/hresults.h"  // HResultFromCaughtException
#include "base/unique_resource.h"

namespace okulon {

// Owners of the platform resources the component, its host program and its
// tests use, all one template (base/unique_resource.h).
struct HandleTraits {
    // Threads, events and processes: empty when null (files: FileTraits).
    using Type = HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static bool IsOwned(Type handle) noexcept { return handle != nullptr; }
    static void Close(Type handle) noexcept { CloseHandle(handle); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

// A file as CreateFileW opens it: empty as INVALID_HANDLE_VALUE.
struct FileTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsOwned(Type file) noexcept { return file != INVALID_HANDLE_VALUE; }
    static void Close(Type file) noexcept { CloseHandle(file); }
};
using UniqueFile = UniqueResource<FileTraits>;

// A module loaded for its resources or for one export.
struct ModuleTraits {
    using Type = HMODULE;
    static Type Empty() noexcept { return nullptr; }
    static bool IsOwned(Type module) noexcept { return module != nullptr; }
    static void Close(Type module) noexcept { FreeLibrary(module); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

struct BstrTraits {
    using Type = BSTR;
    static Type Empty() noexcept { return nullptr; }
    static bool IsOwned(Type text) noexcept { return text != nullptr; }
    static void Close(Type text) noexcept { SysFreeString(text); }
};
using UniqueBstr = UniqueResource<BstrTraits>;

// A string allocated with CoTaskMemAlloc, as GetLastErrorText hands it out.
struct TaskMemStringTraits {
    using Type = wchar_t*;
    static Type Empty() noexcept { return nullptr; }
    static bool IsOwned(Type text) noexcept { return text != nullptr; }
    static void Close(Type text) noexcept { CoTaskMemFree(text); }
};
using UniqueTaskMemString = UniqueResource<TaskMemStringTraits>;

// The calling thread's membership of a COM apartment: the result of entering
// it, left again only when entering succeeded (S_FALSE included).
struct ApartmentTraits {
    using Type = HRESULT;
    static Type Empty() noexcept { return CO_E_NOTINITIALIZED; }
    static bool IsOwned(Type result) noexcept { return SUCCEEDED(result); }
    static void Close(Type) noexcept { CoUninitialize(); }
};
using ComApartment = UniqueResource<ApartmentTraits>;

[[nodiscard]] inline ComApartment EnterApartment(DWORD model) noexcept {
    return ComApartment(CoInitializeEx(nullptr, model));
}

// The calling thread's locale as it was before a switch, restored at the end
// of the scope.
struct ThreadLocaleTraits {
    using Type = LCID;
    static Type Empty() noexcept { return 0; }
    static bool IsOwned(Type saved) noexcept { return saved != 0; }
    static void Close(Type saved) noexcept { SetThreadLocale(saved); }
};
using ThreadLocaleScope = UniqueResource<ThreadLocaleTraits>;

// Empty when the platform refused the locale: nothing changed, nothing to restore.
[[nodiscard]] inline ThreadLocaleScope SwitchThreadLocale(LCID locale) noexcept {
    const LCID saved = GetThreadLocale();
    if (!SetThreadLocale(locale)) return ThreadLocaleScope();
    return ThreadLocaleScope(saved);
}

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

    // Takes over a reference the caller owns, without adding one.
    static ComPtr adopt(T* pointer) noexcept {
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

// The calling thread's last error as a result; a failed platform call whose
// last error is 0 is still a failure.
inline HRESULT HResultFromLastError() noexcept {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

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

using ExclusiveGuard = LockGuard<SrwLock, &SrwLock::LockExclusive, &SrwLock::UnlockExclusive>;
using SharedGuard = LockGuard<SrwLock, &SrwLock::LockShared, &SrwLock::UnlockShared>;

}  // namespace okulon
