// The five entry points of the in-process server.
#include <windows.h>

#include <cstring>

#include "server/component/okulon_module.h"
#include "server/component/registration.h"

using namespace okulon;

// The static records are built before this sees the attach and torn down
// after it sees the detach; it only refuses a load whose records failed.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) noexcept {
    return reason == DLL_PROCESS_ATTACH && InitialisationFailed() ? FALSE : TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID iid, void** object) noexcept {
    ClassModuleRecord& classes = ClassModule();
    if (classes.sizeStamp == 0) return E_UNEXPECTED;
    if (object == nullptr) return E_POINTER;
    *object = nullptr;

    ObjectMapEntry* entry = classes.mapBegin;
    while (entry != classes.mapEnd &&
           (entry->classFactoryCreator == nullptr || std::memcmp(entry->classId, &classId, sizeof(CLSID)) != 0)) {
        ++entry;
    }
    if (entry == classes.mapEnd) return CLASS_E_CLASSNOTAVAILABLE;

    // Callers on several threads build exactly one factory: check, lock,
    // check again; a cached factory is read without the lock.
    HRESULT result = S_OK;
    IUnknown* factory = entry->cachedFactory.load(std::memory_order_acquire);
    if (factory == nullptr) {
        CriticalSectionGuard guard(classes.objectMapLock);
        factory = entry->cachedFactory.load(std::memory_order_acquire);
        if (factory == nullptr) {
            result =
                entry->classFactoryCreator(entry->instanceCreator, IID_IUnknown, reinterpret_cast<void**>(&factory));
            // Published only when complete; a failed build leaves the cache
            // empty for the next call to retry.
            if (factory != nullptr) entry->cachedFactory.store(factory, std::memory_order_release);
        }
    }
    if (factory != nullptr) result = factory->QueryInterface(iid, object);
    if (*object == nullptr && result == S_OK) return CLASS_E_CLASSNOTAVAILABLE;
    return result;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() noexcept { return Module().GetLockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() noexcept { return okulon::RegisterServer(); }

extern "C" HRESULT WINAPI DllUnregisterServer() noexcept { return okulon::UnregisterServer(); }
