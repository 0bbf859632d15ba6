#include "host/tracker_library_location.h"

#include <windows.h>

#include "host/file_version.h"

namespace okulon::host {

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
    if (location.Found()) location.m_version = FileVersionText(location.m_path);
    return location;
}

}  // namespace okulon::host
