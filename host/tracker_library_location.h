// Which file of a tracker-vendor library (tet.dll, ttime.dll) the extension
// would load: Okulon.dll looks in its own folder first and then on the normal
// DLL search path (the host program's folder, the system folders, PATH). The
// check tool runs the same search from its own process.
#pragma once

#include <string>

namespace okulon::host {

class TrackerLibraryLocation {
public:
    static TrackerLibraryLocation Find(const std::wstring& componentFolder, const wchar_t* fileName);

    bool Found() const { return !m_path.empty(); }
    bool BesideComponent() const { return m_besideComponent; }
    const std::wstring& Path() const { return m_path; }
    const std::wstring& Version() const { return m_version; }  // empty without version information

private:
    std::wstring m_path;
    std::wstring m_version;
    bool m_besideComponent = false;
};

}  // namespace okulon::host
