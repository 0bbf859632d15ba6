#include "server/component/win32_registry.h"

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>

namespace okulon {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "registry text is UTF-16 on this platform");

HKEY ToHkey(RegKey key) { return reinterpret_cast<HKEY>(key); }
RegKey FromHkey(HKEY key) { return reinterpret_cast<RegKey>(key); }

// The seam's names are views without a terminator; the platform wants one.
std::wstring Terminated(std::u16string_view text) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

// A name that cannot be copied must not turn into an exception inside the
// interpreters' noexcept runs: it is the registry's own out-of-memory error.
constexpr RegError kNoMemoryForName = kErrorOutOfMemory;

// Registry key names are at most 255 units; one more for the terminator.
constexpr DWORD kKeyNameBufferUnits = 256;

}  // namespace

RegError Win32Registry::OpenKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) {
    *result = kNoKey;
    try {
        const std::wstring keyName = Terminated(name);
        HKEY key = nullptr;
        const LONG error = RegOpenKeyExW(ToHkey(parent), keyName.c_str(), 0, access, &key);
        if (error == ERROR_SUCCESS) {
            *result = FromHkey(key);
        }
        return error;
    } catch (const std::bad_alloc&) {
        return kNoMemoryForName;
    }
}

RegError Win32Registry::CreateKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) {
    *result = kNoKey;
    try {
        const std::wstring keyName = Terminated(name);
        HKEY key = nullptr;
        const LONG error = RegCreateKeyExW(ToHkey(parent), keyName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                           nullptr, &key, nullptr);
        if (error == ERROR_SUCCESS) {
            *result = FromHkey(key);
        }
        return error;
    } catch (const std::bad_alloc&) {
        return kNoMemoryForName;
    }
}

RegError Win32Registry::CloseKey(RegKey key) {
    if (IsPredefinedKey(key)) {
        return kErrorSuccess;
    }
    return RegCloseKey(ToHkey(key));
}

RegError Win32Registry::DeleteKey(RegKey parent, std::u16string_view name) {
    try {
        const std::wstring keyName = Terminated(name);
        return RegDeleteKeyW(ToHkey(parent), keyName.c_str());
    } catch (const std::bad_alloc&) {
        return kNoMemoryForName;
    }
}

RegError Win32Registry::EnumKey(RegKey key, uint32_t index, std::u16string* name) {
    try {
        name->clear();
        wchar_t buffer[kKeyNameBufferUnits] = {};
        DWORD units = kKeyNameBufferUnits;
        const LONG error = RegEnumKeyExW(ToHkey(key), index, buffer, &units, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_SUCCESS) {
            name->assign(reinterpret_cast<const char16_t*>(buffer), units);
        }
        return error;
    } catch (const std::bad_alloc&) {
        return kNoMemoryForName;
    }
}

RegError Win32Registry::QuerySubkeyCount(RegKey key, uint32_t* count) {
    *count = 0;
    DWORD subkeys = 0;
    const LONG error = RegQueryInfoKeyW(ToHkey(key), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_SUCCESS) {
        *count = subkeys;
    }
    return error;
}

RegError Win32Registry::SetValue(RegKey key, std::u16string_view name, RegValueType type, const uint8_t* data,
                                 uint32_t size) {
    try {
        const std::wstring valueName = Terminated(name);
        return RegSetValueExW(ToHkey(key), valueName.c_str(), 0, type, data, size);
    } catch (const std::bad_alloc&) {
        return kNoMemoryForName;
    }
}

RegError Win32Registry::DeleteValue(RegKey key, std::u16string_view name) {
    try {
        const std::wstring valueName = Terminated(name);
        return RegDeleteValueW(ToHkey(key), valueName.c_str());
    } catch (const std::bad_alloc&) {
        return kNoMemoryForName;
    }
}

HResult Win32Registry::ConvertToUnsigned32(std::u16string_view text, uint32_t* value) {
    *value = 0;
    try {
        // VarUI4FromStr reads a terminated text; the declaration wants it writable.
        std::wstring number = Terminated(text);
        ULONG converted = 0;
        const HRESULT hr = VarUI4FromStr(number.data(), 0, 0, &converted);
        if (SUCCEEDED(hr)) {
            *value = converted;
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return kEOutOfMemory;
    }
}

}  // namespace okulon
