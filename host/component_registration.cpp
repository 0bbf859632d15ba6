#include "host/component_registration.h"

#include <windows.h>

#include <vector>

namespace okulon::host {
namespace {

// A REG_EXPAND_SZ value is expanded and answers as REG_SZ (asking for
// RRF_RT_REG_EXPAND_SZ without RRF_NOEXPAND is an invalid parameter).
constexpr DWORD kStringTypes = RRF_RT_REG_SZ;

// The default value of a key under HKEY_CLASSES_ROOT, or an empty text.
std::wstring DefaultValue(const std::wstring& subKey) {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CLASSES_ROOT, subKey.c_str(), nullptr, kStringTypes, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return {};
    std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CLASSES_ROOT, subKey.c_str(), nullptr, kStringTypes, nullptr, text.data(), &bytes) !=
        ERROR_SUCCESS)
        return {};
    return text.data();
}

}  // namespace

ComponentRegistration ComponentRegistration::Read(const wchar_t* progId) {
    ComponentRegistration registration;
    registration.m_classId = DefaultValue(std::wstring(progId) + L"\\CLSID");
    if (registration.m_classId.empty()) return registration;
    registration.m_serverPath = DefaultValue(L"CLSID\\" + registration.m_classId + L"\\InprocServer32");
    registration.m_serverFileExists = !registration.m_serverPath.empty() &&
                                      GetFileAttributesW(registration.m_serverPath.c_str()) != INVALID_FILE_ATTRIBUTES;
    return registration;
}

std::wstring ComponentRegistration::ServerFolder() const {
    const size_t slash = m_serverPath.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : m_serverPath.substr(0, slash + 1);
}

}  // namespace okulon::host
