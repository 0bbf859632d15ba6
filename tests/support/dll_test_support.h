// Helpers of the conformance tests that drive the real Okulon.dll: the DLL
// loaded by path from the test executable's folder with its exports reached
// through GetProcAddress (as the platform's activation does), a probe of the
// DLL's lock count, and registration of a type library for the length of a test.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "interface_support.h"
#include "okulon.h"  // CLSID_CEyeTrackerImpl

namespace okulon::test {

inline std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

class OkulonDll {
public:
    using GetClassObjectFunction = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    using CanUnloadNowFunction = HRESULT(WINAPI*)();
    using MainFunction = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

    OkulonDll() : m_path(ExecutableFolder() + L"Okulon.dll") { Load(); }
    ~OkulonDll() { Unload(); }
    OkulonDll(const OkulonDll&) = delete;
    OkulonDll& operator=(const OkulonDll&) = delete;

    bool Load() {
        if (!m_module) m_module.reset(LoadLibraryW(m_path.c_str()));
        if (!m_module) return false;
        m_getClassObject = reinterpret_cast<GetClassObjectFunction>(
            reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllGetClassObject")));
        m_canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(
            reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllCanUnloadNow")));
        m_main = reinterpret_cast<MainFunction>(reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllMain")));
        return m_getClassObject != nullptr && m_canUnloadNow != nullptr && m_main != nullptr;
    }
    void Unload() {
        m_module.reset();
        m_getClassObject = nullptr;
        m_canUnloadNow = nullptr;
        m_main = nullptr;
    }

    bool IsLoaded() const { return m_getClassObject != nullptr && m_canUnloadNow != nullptr && m_main != nullptr; }
    const std::wstring& Path() const { return m_path; }
    HMODULE Handle() const { return m_module.get(); }

    HRESULT GetClassObject(REFCLSID classId, REFIID iid, void** object) const {
        return m_getClassObject(classId, iid, object);
    }
    HRESULT CanUnloadNow() const { return m_canUnloadNow(); }
    BOOL Main(DWORD reason) const { return m_main(m_module.get(), reason, nullptr); }

    ComPtr<IClassFactory> Factory() const {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, GetClassObject(CLSID_CEyeTrackerImpl, IID_IClassFactory, factory.put_void()));
        return factory;
    }

private:
    std::wstring m_path;
    UniqueModule m_module;
    GetClassObjectFunction m_getClassObject = nullptr;
    CanUnloadNowFunction m_canUnloadNow = nullptr;
    MainFunction m_main = nullptr;
};

// The DLL's lock count, read through the only window a host has on it: it
// unlocks through LockServer until DllCanUnloadNow answers S_OK, then locks
// the same number of times again. Gives -1 when the count is not within
// 0..limit (a negative count never reaches S_OK by unlocking).
inline LONG ProbeLockCount(const OkulonDll& dll, IClassFactory* factory, LONG limit = 64) {
    LONG unlocks = 0;
    while (dll.CanUnloadNow() != S_OK && unlocks <= limit) {
        factory->LockServer(FALSE);
        ++unlocks;
    }
    const bool reachedZero = dll.CanUnloadNow() == S_OK;
    for (LONG i = 0; i < unlocks; ++i) factory->LockServer(TRUE);
    return reachedZero ? unlocks : -1;
}

// A type library registered from a file for the length of a scope; the
// registration is removed again at the end.
class RegisteredTypeLibrary {
public:
    explicit RegisteredTypeLibrary(const std::wstring& path) {
        ComPtr<ITypeLib> library;
        m_result = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
        if (FAILED(m_result)) return;
        std::wstring mutablePath = path;  // RegisterTypeLib is declared with a non-const path
        m_result = RegisterTypeLib(library.get(), mutablePath.data(), nullptr);
        if (FAILED(m_result)) return;
        TLIBATTR* attributes = nullptr;
        m_result = library->GetLibAttr(&attributes);
        if (FAILED(m_result)) return;
        m_attributes = *attributes;
        library->ReleaseTLibAttr(attributes);
        m_registered = true;
    }
    ~RegisteredTypeLibrary() {
        if (m_registered) {
            UnRegisterTypeLib(m_attributes.guid, m_attributes.wMajorVerNum, m_attributes.wMinorVerNum,
                              m_attributes.lcid, m_attributes.syskind);
        }
    }
    RegisteredTypeLibrary(const RegisteredTypeLibrary&) = delete;
    RegisteredTypeLibrary& operator=(const RegisteredTypeLibrary&) = delete;

    HRESULT result() const { return m_result; }

private:
    HRESULT m_result = E_FAIL;
    bool m_registered = false;
    TLIBATTR m_attributes{};
};

// The platform this build is for: type libraries compiled for it carry this
// kind.
constexpr bool kIs64Bit = sizeof(void*) == 8;
constexpr SYSKIND kThisSysKind = kIs64Bit ? SYS_WIN64 : SYS_WIN32;

// Removes a registration that an earlier, interrupted test may have left in the prefix.
inline void EnsureUnregistered(REFGUID libraryId, WORD major, WORD minor) {
    UnRegisterTypeLib(libraryId, major, minor, LOCALE_NEUTRAL, kThisSysKind);
}

inline std::wstring HostLibraryPath() { return ExecutableFolder() + L"EyeTrackerLib.tlb"; }

}  // namespace okulon::test
