// Which file of a tracker-vendor library (tet.dll, ttime.dll) the extension
// would load: Okulon.dll looks in its own folder first and then on the normal
// DLL search path (the host program's folder, the system folders, PATH). The
// check tool runs the same search from its own process, so it sees what a host
// of its own architecture sees, and reads what the found file is.
#pragma once

#include <cstdint>
#include <string>

namespace okulon::host {

class TrackerLibraryLocation {
public:
    static TrackerLibraryLocation Find(const std::wstring& componentFolder, const wchar_t* fileName);

    bool Found() const { return !m_path.empty(); }
    bool BesideComponent() const { return m_besideComponent; }
    const std::wstring& Path() const { return m_path; }
    const std::wstring& Version() const { return m_version; }  // empty without version information
    int Bits() const { return m_bits; }                        // 32 or 64; 0 when not a DLL of either
    bool FitsThisProcess() const { return m_bits == static_cast<int>(sizeof(void*) * 8); }
    bool IsSimulatorStandIn() const { return m_standIn; }

private:
    std::wstring m_path;
    std::wstring m_version;
    int m_bits = 0;
    bool m_besideComponent = false;
    bool m_standIn = false;
};

}  // namespace okulon::host
