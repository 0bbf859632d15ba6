// Self-registration of Okulon.dll: what DllRegisterServer and
// DllUnregisterServer do. Three mechanisms in a fixed order — the
// application-identifier script (resource "REGISTRY" 101, run by CRegObject),
// the class registration program of each class in the object map
// (CRegistryVirtualMachine), and the embedded type library — all applied to
// the platform registry through Win32Registry, with the calling thread's
// locale switched to the system default for the duration. Runs entirely on
// the caller's thread and takes no lock; nothing stays allocated between calls.
#pragma once

#include <windows.h>

#include "server/registrar/registrar_base.h"

namespace okulon {

// The resource id of the application-identifier script (okulon.rgs).
constexpr UINT kAppIdScriptResourceId = 101;

// DllRegisterServer: the script, then each class, then the type library; the
// first failure ends it (nothing written before is rolled back).
HRESULT RegisterServer() noexcept;

// DllUnregisterServer: each class, then the type library, then the script.
// A type library that is not registered counts as already unregistered.
HRESULT UnregisterServer() noexcept;

// Adds "APPID" = the application identifier as braced GUID text; the module's
// AddCommonReplacements forwards here.
HRESULT AddCommonReplacements(IRegistrarBase& registrar) noexcept;

// The registration function of CEyeTrackerImpl's object-map entry: runs the
// class registration program in register or unregister mode.
HRESULT UpdateEyeTrackerRegistry(BOOL registering) noexcept;

// The module's script runner: runs the "REGISTRY" resource of the component's
// own file with the caller's replacement pairs (names and texts, ending with
// a null name), the common replacements, "Module" and "Module_Raw".
HRESULT RunRegistrarScript(UINT resourceId, bool doRegister, const wchar_t* const* replacementPairs) noexcept;

// The type-library step of DllRegisterServer and DllUnregisterServer.
HRESULT RegisterTypeLibrary() noexcept;
HRESULT UnregisterTypeLibrary() noexcept;

}  // namespace okulon
