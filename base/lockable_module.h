// The DLL's module as the code below the COM server reaches it: workers and
// objects lock it so that the DLL stays loaded while they live, and the type
// information kept process-wide loads under its lock and is released when it
// terminates. server/component/okulon_module.cpp implements it; its one instance
// registers itself when static initialisation builds it, before any object,
// worker or type information can exist, and stays registered: its storage is
// static, so a thread still running while a test process exits finds it. Any
// thread may use it.
#pragma once

#include <windows.h>

#include "base/unique_resource.h"

namespace okulon {

// A platform critical section that remembers whether it was created, so that
// a failed creation is reported rather than used.
class CriticalSection {
public:
    CriticalSection() noexcept = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() { Delete(); }

    // False when the platform had no memory for it.
    bool Create() noexcept;
    void Delete() noexcept;
    bool IsCreated() const noexcept { return m_created; }
    void Enter() noexcept { EnterCriticalSection(&m_section); }
    void Leave() noexcept { LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section{};
    bool m_created = false;
};

using CriticalSectionGuard = LockGuard<CriticalSection, &CriticalSection::Enter, &CriticalSection::Leave>;

// A callback run once when the module terminates.
using TerminationCallback = void(__stdcall*)(DWORD_PTR argument);

class LockableModule {
public:
    // One more (one fewer) reason to keep the DLL loaded; returns the new count.
    virtual LONG Lock() noexcept = 0;
    virtual LONG Unlock() noexcept = 0;
    virtual LONG GetLockCount() noexcept = 0;
    // Guards module-wide state built on first use.
    virtual CriticalSection& ModuleLock() noexcept = 0;
    // Runs callback(argument) once when the module terminates.
    virtual HRESULT AddTerminationCallback(TerminationCallback callback, DWORD_PTR argument) noexcept = 0;
    // The component's own type library, which its file holds.
    virtual const GUID& TypeLibraryId() const noexcept = 0;

protected:
    ~LockableModule() = default;
};

// The registered module.
LockableModule& ThisModule() noexcept;
// Called once, when static initialisation builds the process's module.
void RegisterThisModule(LockableModule* module) noexcept;

// The image that holds this code (Okulon.dll, or a test executable linking it statically).
HMODULE ThisModuleHandle() noexcept;

// Full path of the component's file into a buffer of MAX_PATH units; E_FAIL
// when the path is empty or does not fit.
HRESULT GetComponentFilePath(wchar_t (&path)[MAX_PATH]) noexcept;

}  // namespace okulon
