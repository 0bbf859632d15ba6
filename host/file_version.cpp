#include "host/file_version.h"

#include <windows.h>

#include <vector>

namespace okulon::host {
namespace {

std::vector<BYTE> ReadVersionBlock(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return {};
    return block;
}

}  // namespace

std::wstring FileVersionText(const std::wstring& path) {
    std::vector<BYTE> block = ReadVersionBlock(path);
    if (block.empty()) return {};
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) return {};
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwFileVersionLS));
}

std::wstring FileVersionString(const std::wstring& path, const wchar_t* name) {
    std::vector<BYTE> block = ReadVersionBlock(path);
    if (block.empty()) return {};
    // The first language and code page that the file lists.
    struct Translation {
        WORD language;
        WORD codePage;
    };
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < sizeof(Translation))
        return {};
    const auto* translation = static_cast<const Translation*>(value);
    wchar_t query[64];
    swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language, translation->codePage, name);
    if (!VerQueryValueW(block.data(), query, &value, &length) || length == 0) return {};
    return static_cast<const wchar_t*>(value);
}

bool IsSimulatorStandIn(const std::wstring& path) {
    return FileVersionString(path, L"CompanyName") == L"Okulon" &&
           FileVersionString(path, L"FileDescription").find(L"stand-in") != std::wstring::npos;
}

}  // namespace okulon::host
