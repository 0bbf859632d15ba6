// Where the registry says the extension lives, as a host would find it: the
// ProgID's class identifier and the file of the class's in-process server.
// A program sees the registry view of its own architecture, so the 32-bit
// check tool reads the 32-bit registration and the 64-bit one the 64-bit one.
#pragma once

#include <string>

namespace okulon::host {

class ComponentRegistration {
public:
    // Reads the registration of the ProgID; never fails, the answers say what is missing.
    static ComponentRegistration Read(const wchar_t* progId);

    bool HasProgId() const { return !m_classId.empty(); }
    bool HasServerPath() const { return !m_serverPath.empty(); }
    bool ServerFileExists() const { return m_serverFileExists; }
    const std::wstring& ClassId() const { return m_classId; }        // braced text
    const std::wstring& ServerPath() const { return m_serverPath; }  // as registered
    std::wstring ServerFolder() const;                               // with a trailing backslash

private:
    std::wstring m_classId;
    std::wstring m_serverPath;
    bool m_serverFileExists = false;
};

}  // namespace okulon::host
