// The registry as the registrar and the registration program see it: a handful
// of operations modelled on the Win32 registry calls they stand for, returning
// Win32 error codes. The DLL supplies an implementation over the platform
// registry; tests and fuzz targets use MemoryRegistry. Registry text is UTF-16
// like the platform's, so the same interpreters build natively and for Windows.
// Used on the registering thread only; the caller owns the implementation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/hresults.h"

namespace okulon {

// A Win32 error code as the registry calls return it (LONG).
using RegError = int32_t;

constexpr RegError kErrorSuccess = 0;
constexpr RegError kErrorFileNotFound = 2;

// Returns the HRESULT of a registry error; evaluates its argument once.
#define OKULON_RETURN_IF_REG_ERROR(expression)                \
    do {                                                      \
        const ::okulon::RegError okulonError_ = (expression); \
        if (okulonError_ != ::okulon::kErrorSuccess) {        \
            return ::okulon::HResultFromWin32(okulonError_);  \
        }                                                     \
    } while (false)
constexpr RegError kErrorPathNotFound = 3;
constexpr RegError kErrorAccessDenied = 5;
constexpr RegError kErrorInvalidHandle = 6;
constexpr RegError kErrorOutOfMemory = 14;
constexpr RegError kErrorInvalidParameter = 87;
constexpr RegError kErrorMoreData = 234;
constexpr RegError kErrorNoMoreItems = 259;
constexpr RegError kErrorKeyDeleted = 1018;

// An open key. The predefined roots carry the platform's numbers; 0 is no key.
using RegKey = uintptr_t;

constexpr RegKey kNoKey = 0;
constexpr RegKey kClassesRoot = 0x80000000u;
constexpr RegKey kCurrentUser = 0x80000001u;
constexpr RegKey kLocalMachine = 0x80000002u;
constexpr RegKey kUsers = 0x80000003u;
constexpr RegKey kPerformanceData = 0x80000004u;
constexpr RegKey kCurrentConfig = 0x80000005u;
constexpr RegKey kDynData = 0x80000006u;

constexpr bool IsPredefinedKey(RegKey key) { return key >= kClassesRoot && key <= kDynData; }

// Access rights, with the platform's values.
using RegAccess = uint32_t;
constexpr RegAccess kKeyQueryValue = 0x0001;
constexpr RegAccess kKeySetValue = 0x0002;
constexpr RegAccess kKeyCreateSubKey = 0x0004;
constexpr RegAccess kKeyEnumerateSubKeys = 0x0008;
constexpr RegAccess kKeyRead = 0x20019;
constexpr RegAccess kKeyWrite = 0x20006;

// Value types, with the platform's values.
using RegValueType = uint32_t;
constexpr RegValueType kRegSz = 1;
constexpr RegValueType kRegBinary = 3;
constexpr RegValueType kRegDword = 4;
constexpr RegValueType kRegMultiSz = 7;

// Registry names compare without regard to case. Only ASCII letters are
// folded: every name this component writes is ASCII, and a wider folding
// would need the platform's tables.
constexpr char16_t FoldCase(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

inline bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

// Decimal text to an unsigned 32-bit number: optional spaces or tabs around
// an optional "+" and one or more decimal digits, nothing else. This is the
// part of the platform's string-to-number conversion that registry scripts
// rely on; hexadecimal, signs other than "+", separators and fractions are
// refused. kDispETypeMismatch for text that is not a number, kDispEOverflow
// for a number above 0xFFFFFFFF.
inline HResult ParseUnsigned32(std::u16string_view text, uint32_t* value) {
    *value = 0;
    size_t i = 0;
    auto isBlank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    if (i < text.size() && text[i] == u'+') {
        ++i;
    }
    const size_t firstDigit = i;
    uint64_t number = 0;
    bool overflow = false;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
        number = number * 10 + static_cast<uint64_t>(text[i] - u'0');
        if (number > 0xFFFFFFFFu) {
            overflow = true;
            number = 0xFFFFFFFFu;  // keeps the product bounded for long digit runs
        }
        ++i;
    }
    if (i == firstDigit) {
        return kDispETypeMismatch;
    }
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    if (i != text.size()) {
        return kDispETypeMismatch;
    }
    if (overflow) {
        return kDispEOverflow;
    }
    *value = static_cast<uint32_t>(number);
    return kSOk;
}

// REG_SZ data: the text's UTF-16 units, little-endian, and a terminating NUL.
inline std::vector<uint8_t> EncodeString(std::u16string_view text) {
    std::vector<uint8_t> data;
    data.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

// REG_MULTI_SZ data from text in which a backslash followed by "0" separates
// the strings. The list ends with its first empty string, so the data holds
// each string with its NUL up to and including that empty one.
inline std::vector<uint8_t> EncodeMultiString(std::u16string_view text) {
    std::u16string strings;
    strings.reserve(text.size() + 2);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\' && i + 1 < text.size() && text[i + 1] == u'0') {
            strings.push_back(u'\0');
            ++i;
        } else {
            strings.push_back(text[i]);
        }
    }
    strings.push_back(u'\0');
    strings.push_back(u'\0');
    size_t units = 0;
    while (true) {
        const size_t end = strings.find(u'\0', units);
        const bool emptyString = end == units;
        units = end + 1;
        if (emptyString) {
            break;
        }
    }
    std::vector<uint8_t> data;
    data.reserve(units * 2);
    for (size_t i = 0; i < units; ++i) {
        data.push_back(static_cast<uint8_t>(strings[i] & 0xFF));
        data.push_back(static_cast<uint8_t>(strings[i] >> 8));
    }
    return data;
}

class RegistryApi {
public:
    virtual ~RegistryApi() = default;

    // Every operation that hands out a key sets *result to kNoKey when it fails.

    // RegOpenKeyExW: a name may be a path of "\"-separated keys; the empty
    // name opens a new handle to the parent itself.
    virtual RegError OpenKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) = 0;
    // RegCreateKeyExW, non-volatile and without class text: opens the key, or
    // creates it and any missing keys on its path.
    virtual RegError CreateKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) = 0;
    // RegCloseKey; closing a predefined root succeeds and does nothing.
    virtual RegError CloseKey(RegKey key) = 0;
    // RegDeleteKeyW: refuses a key that still has subkeys.
    virtual RegError DeleteKey(RegKey parent, std::u16string_view name) = 0;
    // RegEnumKeyExW: the name of subkey number index, kErrorNoMoreItems past the last.
    virtual RegError EnumKey(RegKey key, uint32_t index, std::u16string* name) = 0;
    // RegQueryInfoKeyW, the number of subkeys only.
    virtual RegError QuerySubkeyCount(RegKey key, uint32_t* count) = 0;
    // RegSetValueExW; the empty name is the key's default value.
    virtual RegError SetValue(RegKey key, std::u16string_view name, RegValueType type, const uint8_t* data,
                              uint32_t size) = 0;
    // RegDeleteValueW; the empty name is the key's default value.
    virtual RegError DeleteValue(RegKey key, std::u16string_view name) = 0;

    // Text of a "D" value to its number. The DLL may route this through the
    // platform's own conversion; the default accepts plain decimal text.
    virtual HResult ConvertToUnsigned32(std::u16string_view text, uint32_t* value) {
        return ParseUnsigned32(text, value);
    }
};

// Closes an open key when it goes out of scope; Close() reports the result for
// callers that must check it. Predefined roots are held but never closed.
class RegKeyOwner {
public:
    explicit RegKeyOwner(RegistryApi& registry) : m_registry(&registry) {}
    ~RegKeyOwner() { Close(); }
    RegKeyOwner(const RegKeyOwner&) = delete;
    RegKeyOwner& operator=(const RegKeyOwner&) = delete;

    RegKey Get() const { return m_key; }
    bool IsOpen() const { return m_key != kNoKey; }

    // Closes what is held, then hands out the address for a new key.
    RegKey* Put() {
        Close();
        return &m_key;
    }

    RegError Close() {
        const RegKey key = m_key;
        m_key = kNoKey;
        if (key == kNoKey || IsPredefinedKey(key)) {
            return kErrorSuccess;
        }
        return m_registry->CloseKey(key);
    }

private:
    RegistryApi* m_registry;
    RegKey m_key = kNoKey;
};

// Deletes a key and everything below it, deepest first, and stops at the first
// failure: a subkey that cannot be removed would come back as number 0 forever.
inline RegError DeleteKeyTree(RegistryApi& registry, RegKey parent, std::u16string_view name) {
    RegKeyOwner key(registry);
    RegError error = registry.OpenKey(parent, name, kKeyRead | kKeyWrite, key.Put());
    if (error != kErrorSuccess) return error;
    std::u16string subkey;
    while (registry.EnumKey(key.Get(), 0, &subkey) == kErrorSuccess) {
        error = DeleteKeyTree(registry, key.Get(), subkey);
        if (error != kErrorSuccess) return error;
    }
    key.Close();
    return registry.DeleteKey(parent, name);
}

}  // namespace okulon
