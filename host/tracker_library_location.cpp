#include "host/tracker_library_location.h"

#include <windows.h>

#include "host/file_version.h"

namespace okulon::host {
namespace {

// 32 or 64 from the file's PE header, 0 for anything else.
int ImageBits(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    IMAGE_DOS_HEADER dos{};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    DWORD read = 0;
    const bool ok = ReadFile(file, &dos, sizeof dos, &read, nullptr) && read == sizeof dos &&
                    dos.e_magic == IMAGE_DOS_SIGNATURE &&
                    SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                    ReadFile(file, &signature, sizeof signature, &read, nullptr) && read == sizeof signature &&
                    signature == IMAGE_NT_SIGNATURE && ReadFile(file, &header, sizeof header, &read, nullptr) &&
                    read == sizeof header;
    CloseHandle(file);
    if (!ok) return 0;
    if (header.Machine == IMAGE_FILE_MACHINE_I386) return 32;
    if (header.Machine == IMAGE_FILE_MACHINE_AMD64) return 64;
    return 0;
}

}  // namespace

TrackerLibraryLocation TrackerLibraryLocation::Find(const std::wstring& componentFolder, const wchar_t* fileName) {
    TrackerLibraryLocation location;
    const std::wstring beside = componentFolder + fileName;
    if (!componentFolder.empty() && GetFileAttributesW(beside.c_str()) != INVALID_FILE_ATTRIBUTES) {
        location.m_path = beside;
        location.m_besideComponent = true;
    } else {
        wchar_t found[MAX_PATH];
        const DWORD length = SearchPathW(nullptr, fileName, nullptr, MAX_PATH, found, nullptr);
        if (length > 0 && length < MAX_PATH) location.m_path.assign(found, length);
    }
    if (location.Found()) {
        location.m_version = FileVersionText(location.m_path);
        location.m_bits = ImageBits(location.m_path);
        location.m_standIn = okulon::host::IsSimulatorStandIn(location.m_path);
    }
    return location;
}

}  // namespace okulon::host
