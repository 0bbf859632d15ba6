// The process-wide module object of Okulon.dll and the static records built
// with it when the DLL is loaded:
//  - COkulonModule: the lock count that tells COM whether the DLL may be
//    unloaded (objects alive, outside factory references, LockServer), the
//    termination list run when the DLL goes away, the module lock that guards
//    that list and the loading of type information, and the component's own
//    type-library identifier;
//  - the base-module record (the DLL's own handle);
//  - the class-module record (the object map and its lock);
//  - the initialisation-failure flag that makes DllMain refuse the load.
// The one instance of each is static: built before DllMain sees the process
// attach and torn down after it sees the detach (okulon_module.cpp). Any
// thread may use them; the lock count and the cached factories are atomic.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <atomic>

#include "base/lockable_module.h"
#include "server/registrar/registrar_base.h"

namespace okulon {

// The code below the COM server reaches it as LockableModule (ThisModule()).
class COkulonModule final : public LockableModule {
public:
    // Builds the module: lock count 0, empty termination list, module lock
    // (on failure the initialisation-failure flag is set and the size stamp
    // stays 0), and the component's library identifier.
    COkulonModule() noexcept;
    COkulonModule(const COkulonModule&) = delete;
    COkulonModule& operator=(const COkulonModule&) = delete;
    // Runs termination.
    ~COkulonModule();

    LONG Lock() noexcept override { return InterlockedIncrement(&m_lockCount); }
    // No lower bound: an unbalanced unlock leaves a negative count.
    LONG Unlock() noexcept override { return InterlockedDecrement(&m_lockCount); }
    LONG GetLockCount() noexcept override { return InterlockedCompareExchange(&m_lockCount, 0, 0); }
    // Adds "APPID" = the application identifier as braced GUID text.
    HRESULT AddCommonReplacements(IRegistrarBase& registrar) noexcept;

    // Pushes (callback, argument) at the head of the termination list, under
    // the module lock; E_OUTOFMEMORY when no node can be allocated.
    HRESULT AddTerminationCallback(TerminationCallback callback, DWORD_PTR argument) noexcept override;
    // Runs the termination list, most recently added first, and deletes the
    // module lock. Does nothing once done, or when construction failed.
    void Term() noexcept;

    CriticalSection& ModuleLock() noexcept override { return m_moduleLock; }
    const GUID& TypeLibraryId() const noexcept override { return m_libid; }
    DWORD SizeStamp() const noexcept { return m_sizeStamp; }

    // The component's own type library; the same GUID is the application identifier.
    static GUID m_libid;

private:
    struct TerminationNode {
        TerminationCallback callback;
        DWORD_PTR argument;
        TerminationNode* next;
    };

    DWORD m_sizeStamp = 0;  // the size stamp: 36 while built and not yet terminated, else 0
    volatile LONG m_lockCount = 0;
    TerminationNode* m_terminationList = nullptr;
    CriticalSection m_moduleLock;
};

// Builds one class factory around an instance creator (the map entry's class-factory creator).
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** object);
using ClassFactoryCreator = HRESULT (*)(InstanceCreator creator, REFIID iid, void** object);

// One class of the object map.
struct ObjectMapEntry {
    const CLSID* classId;
    HRESULT (*updateRegistry)(BOOL registering);  // null until the registration unit provides it
    ClassFactoryCreator classFactoryCreator;
    InstanceCreator instanceCreator;
    // Built once by the first successful DllGetClassObject, holds one
    // reference, released at teardown. Read without a lock; written once
    // under the object-map lock.
    std::atomic<IUnknown*> cachedFactory;
};

// The DLL's own module handle.
struct BaseModuleRecord {
    BaseModuleRecord() noexcept;
    HINSTANCE module;
};

// The object map and what guards it.
struct ClassModuleRecord {
    ClassModuleRecord() noexcept;
    // Releases the cached factories and deletes the object-map lock, once.
    ~ClassModuleRecord();
    DWORD sizeStamp = 0;
    ObjectMapEntry* mapBegin = nullptr;
    ObjectMapEntry* mapEnd = nullptr;
    CriticalSection objectMapLock;
};

// The process's module, base-module and class-module records.
COkulonModule& Module() noexcept;
BaseModuleRecord& BaseModule() noexcept;
ClassModuleRecord& ClassModule() noexcept;

// True when a critical section of the static records could not be created.
bool InitialisationFailed() noexcept;

}  // namespace okulon
