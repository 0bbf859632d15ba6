// The replacement-list interface shared by the two registrars (the script
// interpreter CRegObject and the registration program's
// CRegistryVirtualMachine), and the one the module's AddCommonReplacements
// fills. A plain abstract class with the slot order of its COM ancestor, so
// that it builds without the platform headers. Both registrars live on the
// registering thread's stack for one run; nobody reference-counts them.
#pragma once

#include <cstdint>

#include "base/hresults.h"

namespace okulon {

// A GUID with the platform's layout.
struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

inline bool operator==(const Guid& a, const Guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.data4[i] != b.data4[i]) {
            return false;
        }
    }
    return true;
}
inline bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }

// {00000000-0000-0000-C000-000000000046}
constexpr Guid kIidIUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {E21F8A85-B05D-4243-8183-C7CB405588F7}
constexpr Guid kIidIRegistrarBase = {0xE21F8A85, 0xB05D, 0x4243, {0x81, 0x83, 0xC7, 0xCB, 0x40, 0x55, 0x88, 0xF7}};

class IRegistrarBase {
public:
    virtual HResult QueryInterface(const Guid& iid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // Appends a copy of (name, text); an earlier pair with the same name stays
    // and keeps winning lookups. kEInvalidArg when either is null.
    virtual HResult AddReplacement(const char16_t* name, const char16_t* text) = 0;
    virtual HResult ClearReplacements() = 0;
    virtual ~IRegistrarBase() = default;
};

}  // namespace okulon
