#include "server/component/registration.h"

#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>

#include <climits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/com_support.h"
#include "server/component/okulon_module.h"
#include "server/registrar/reg_object.h"
#include "server/registrar/registration_program.h"
#include "server/component/win32_registry.h"

namespace okulon {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "registry text is UTF-16 on this platform");

const char16_t* AsText16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
const wchar_t* AsWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// The attributes of a loaded type library, given back to it on scope exit.
class TypeLibraryAttributes {
public:
    explicit TypeLibraryAttributes(ITypeLib* library) noexcept : m_library(library) {}
    ~TypeLibraryAttributes() {
        if (m_attributes != nullptr) {
            m_library->ReleaseTLibAttr(m_attributes);
        }
    }
    TypeLibraryAttributes(const TypeLibraryAttributes&) = delete;
    TypeLibraryAttributes& operator=(const TypeLibraryAttributes&) = delete;

    HRESULT Read() noexcept { return m_library->GetLibAttr(&m_attributes); }
    const TLIBATTR& Get() const noexcept { return *m_attributes; }

private:
    ITypeLib* m_library;
    TLIBATTR* m_attributes = nullptr;
};

// Full path of a module into MAX_PATH units: nothing at all is the thread's
// last error, a full buffer may have been cut short.
HRESULT GetModulePath(HMODULE module, wchar_t (&path)[MAX_PATH]) noexcept {
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0) {
        return HResultFromLastError();
    }
    if (length >= MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    return S_OK;
}

bool IsProcessExecutable(HMODULE module) noexcept { return module == nullptr || module == GetModuleHandleW(nullptr); }

// The platform's file-information query, loaded only for the registration
// call so that the host's process does not map the shell for nothing.
HRESULT FileIsExecutable(const wchar_t* path, bool* executable) noexcept {
    *executable = false;
    const UniqueModule shell(LoadLibraryW(L"shell32.dll"));
    if (shell.get() == nullptr) {
        return HResultFromLastError();
    }
    using GetFileInfoFunction = DWORD_PTR(WINAPI*)(LPCWSTR, DWORD, SHFILEINFOW*, UINT, UINT);
    const auto getFileInfo =
        reinterpret_cast<GetFileInfoFunction>(reinterpret_cast<void*>(GetProcAddress(shell.get(), "SHGetFileInfoW")));
    if (getFileInfo == nullptr) {
        return HResultFromLastError();
    }
    *executable = getFileInfo(path, 0, nullptr, 0, SHGFI_EXETYPE) != 0;
    return S_OK;
}

// Reads the script resource of a file and runs it.
HRESULT RegisterFromResource(CRegObject& registrar, const wchar_t* path, UINT resourceId, const wchar_t* type,
                             bool doRegister) {
    const UniqueModule file(LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (file.get() == nullptr) {
        return HResultFromLastError();
    }
    HRSRC resource = FindResourceW(file.get(), MAKEINTRESOURCEW(resourceId), type);
    if (resource == nullptr) {
        return HResultFromLastError();
    }
    HGLOBAL loaded = LoadResource(file.get(), resource);
    if (loaded == nullptr) {
        return HResultFromLastError();
    }
    SetLastError(ERROR_SUCCESS);
    const DWORD size = SizeofResource(file.get(), resource);
    if (size == 0 && GetLastError() != ERROR_SUCCESS) {
        return HResultFromLastError();
    }
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr) {
        return HResultFromLastError();
    }
    // The conversion counts in int, and the text needs one unit more.
    if (size >= static_cast<DWORD>(INT_MAX)) {
        return E_OUTOFMEMORY;
    }
    std::vector<wchar_t> text(static_cast<size_t>(size) + 1, L'\0');
    int units = 0;
    if (size != 0) {
        units = MultiByteToWideChar(CP_THREAD_ACP, 0, static_cast<const char*>(bytes), static_cast<int>(size),
                                    text.data(), static_cast<int>(size));
        if (units == 0) {
            return HResultFromLastError();
        }
    }
    text[static_cast<size_t>(units)] = L'\0';
    return registrar.ProcessScript(std::u16string_view(AsText16(text.data()), static_cast<size_t>(units)), doRegister);
}

// The component's type library and the path it was loaded from: the library
// inside the component's own file, or failing that a .tlb file beside it.
HRESULT LocateTypeLibrary(HMODULE module, UniqueBstr& loadedPath, ComPtr<ITypeLib>& library) {
    wchar_t path[MAX_PATH] = {};
    OKULON_RETURN_IF_FAILED(GetModulePath(module, path));
    std::wstring used = path;
    if (FAILED(LoadTypeLib(used.c_str(), library.put()))) {
        const size_t lastSeparator = used.find_last_of(L'\\');
        const size_t fileStart = lastSeparator == std::wstring::npos ? 0 : lastSeparator + 1;
        const size_t dot = used.find_last_of(L'.');
        if (dot != std::wstring::npos && dot >= fileStart) {
            used.erase(dot);
        }
        used += L".tlb";
        if (used.size() >= MAX_PATH) {
            return E_FAIL;
        }
        OKULON_RETURN_IF_FAILED(LoadTypeLib(used.c_str(), library.put()));
    }
    loadedPath.reset(SysAllocString(used.c_str()));
    if (!loadedPath) {
        library.reset();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// Whether the platform still holds a registration of exactly this library
// version; only an answer of "not registered" counts as no.
bool TypeLibraryIsRegistered(const TLIBATTR& attributes) noexcept {
    UniqueBstr path;
    const HRESULT hr = QueryPathOfRegTypeLib(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum,
                                             attributes.lcid, path.put());
    return hr != TYPE_E_LIBNOTREGISTERED;
}

// A class without a registration function cannot be registered; saying so
// beats reporting success for entries never written. No class belongs to a
// component category, so there is no category step.
HRESULT UpdateClassRegistries(BOOL registering) {
    ClassModuleRecord& classes = ClassModule();
    for (ObjectMapEntry* entry = classes.mapBegin; entry != classes.mapEnd; ++entry) {
        OKULON_RETURN_IF_FAILED(entry->updateRegistry != nullptr ? entry->updateRegistry(registering) : E_NOTIMPL);
    }
    return S_OK;
}

HRESULT RegisterServerSteps() {
    const wchar_t* const callerReplacements[] = {L"APPID", AsWide(kAppIdText), nullptr};
    OKULON_RETURN_IF_FAILED(RunRegistrarScript(kAppIdScriptResourceId, true, callerReplacements));
    OKULON_RETURN_IF_FAILED(UpdateClassRegistries(TRUE));
    return RegisterTypeLibrary();
}

HRESULT UnregisterServerSteps() {
    OKULON_RETURN_IF_FAILED(UpdateClassRegistries(FALSE));
    OKULON_RETURN_IF_FAILED(UnregisterTypeLibrary());
    const wchar_t* const callerReplacements[] = {L"APPID", AsWide(kAppIdText), nullptr};
    return RunRegistrarScript(kAppIdScriptResourceId, false, callerReplacements);
}

}  // namespace

HRESULT AddCommonReplacements(IRegistrarBase& registrar) noexcept {
    return registrar.AddReplacement(u"APPID", kAppIdText);
}

HRESULT UpdateEyeTrackerRegistry(BOOL registering) noexcept {
    try {
        const HMODULE module = ThisModuleHandle();
        wchar_t path[MAX_PATH] = {};
        OKULON_RETURN_IF_FAILED(GetModulePath(module, path));
        ModuleFacts facts;
        facts.path = AsText16(path);
        facts.isProcessExecutable = IsProcessExecutable(module);
        OKULON_RETURN_IF_FAILED(FileIsExecutable(path, &facts.fileIsExecutable));
        Win32Registry registry;
        return RunClassRegistration(
            registry, facts, [](IRegistrarBase& registrar) { return Module().AddCommonReplacements(registrar); },
            registering != FALSE);
    } catch (...) {
        return HResultFromCaughtException();
    }
}

HRESULT RunRegistrarScript(UINT resourceId, bool doRegister, const wchar_t* const* replacementPairs) noexcept {
    try {
        Win32Registry registry;
        CRegObject registrar(registry);
        for (const wchar_t* const* pair = replacementPairs; pair != nullptr && pair[0] != nullptr; pair += 2) {
            // The caller's pairs are offered, not required: their results are not checked.
            registrar.AddReplacement(AsText16(pair[0]), AsText16(pair[1]));
        }
        OKULON_RETURN_IF_FAILED(Module().AddCommonReplacements(registrar));
        const HMODULE module = ThisModuleHandle();
        wchar_t path[MAX_PATH] = {};
        OKULON_RETURN_IF_FAILED(GetModulePath(module, path));
        ModuleFacts facts;
        facts.path = AsText16(path);
        facts.isProcessExecutable = IsProcessExecutable(module);
        OKULON_RETURN_IF_FAILED(AddScriptModuleReplacements(registrar, facts));
        return RegisterFromResource(registrar, path, resourceId, L"REGISTRY", doRegister);
    } catch (...) {
        return HResultFromCaughtException();
    }
}

HRESULT RegisterTypeLibrary() noexcept {
    try {
        UniqueBstr path;
        ComPtr<ITypeLib> library;
        OKULON_RETURN_IF_FAILED(LocateTypeLibrary(ThisModuleHandle(), path, library));
        std::wstring helpDirectory(path.get(), SysStringLen(path.get()));
        const size_t separator = helpDirectory.find_last_of(L"\\/:");
        helpDirectory.erase(separator == std::wstring::npos ? 0 : separator + 1);
        return RegisterTypeLib(library.get(), path.get(), helpDirectory.data());
    } catch (...) {
        return HResultFromCaughtException();
    }
}

HRESULT UnregisterTypeLibrary() noexcept {
    try {
        UniqueBstr path;
        ComPtr<ITypeLib> library;
        OKULON_RETURN_IF_FAILED(LocateTypeLibrary(ThisModuleHandle(), path, library));
        TypeLibraryAttributes attributes(library.get());
        OKULON_RETURN_IF_FAILED(attributes.Read());
        const TLIBATTR& libraryAttributes = attributes.Get();
        HRESULT hr =
            UnRegisterTypeLib(libraryAttributes.guid, libraryAttributes.wMajorVerNum, libraryAttributes.wMinorVerNum,
                              libraryAttributes.lcid, libraryAttributes.syskind);
        // The platforms refuse to remove a library that is not registered
        // (E_INVALIDARG, TYPE_E_REGISTRYACCESS or TYPE_E_LIBNOTREGISTERED
        // depending on the platform): that is the state unregistering wants,
        // and failing here would leave the application-identifier entries
        // behind. Any other refusal still ends unregistration.
        if (FAILED(hr) && !TypeLibraryIsRegistered(libraryAttributes)) {
            hr = S_OK;
        }
        return hr;
    } catch (...) {
        return HResultFromCaughtException();
    }
}

HRESULT RegisterServer() noexcept {
    try {
        // Restored on every path out of the registration call.
        const ThreadLocaleScope locale = SwitchThreadLocale(LOCALE_SYSTEM_DEFAULT);
        return RegisterServerSteps();
    } catch (...) {
        return HResultFromCaughtException();
    }
}

HRESULT UnregisterServer() noexcept {
    try {
        // Restored on every path out of the registration call.
        const ThreadLocaleScope locale = SwitchThreadLocale(LOCALE_SYSTEM_DEFAULT);
        return UnregisterServerSteps();
    } catch (...) {
        return HResultFromCaughtException();
    }
}

}  // namespace okulon
