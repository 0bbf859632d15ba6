// The five entry points of the in-process server.
#include <windows.h>

#include "server/okulon_module.h"

using namespace okulon;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID, REFIID, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return Module().GetLockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() { return E_NOTIMPL; }

extern "C" HRESULT WINAPI DllUnregisterServer() { return E_NOTIMPL; }
