// The process-wide module object of Okulon.dll: the lock count that tells COM
// whether the DLL may be unloaded (objects alive, factory references,
// LockServer, running worker threads).
#pragma once

#include <windows.h>

namespace okulon {

class COkulonModule {
public:
    COkulonModule() noexcept = default;
    COkulonModule(const COkulonModule&) = delete;
    COkulonModule& operator=(const COkulonModule&) = delete;
    virtual ~COkulonModule() = default;

    virtual LONG Lock() noexcept { return InterlockedIncrement(&m_lockCount); }
    virtual LONG Unlock() noexcept { return InterlockedDecrement(&m_lockCount); }
    virtual LONG GetLockCount() noexcept { return InterlockedCompareExchange(&m_lockCount, 0, 0); }

private:
    volatile LONG m_lockCount = 0;
};

COkulonModule& Module() noexcept;

// The image that holds this code (Okulon.dll, or a test executable linking it statically).
HMODULE ThisModuleHandle() noexcept;

}  // namespace okulon
