// The registry seam over the platform registry (advapi32), so that the script
// interpreter and the registration program write the real HKEY_CLASSES_ROOT
// when the DLL registers itself. Keys are opened and created as the seam
// describes; created keys are non-volatile and carry no class text. "D"
// values are converted by the platform's VarUI4FromStr. Used on the
// registering thread for one registration call; the caller owns it (on its
// stack).
#pragma once

#include "server/registrar/registry_api.h"

namespace okulon {

class Win32Registry final : public RegistryApi {
public:
    Win32Registry() = default;
    Win32Registry(const Win32Registry&) = delete;
    Win32Registry& operator=(const Win32Registry&) = delete;

    RegError OpenKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) override;
    RegError CreateKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) override;
    RegError CloseKey(RegKey key) override;
    RegError DeleteKey(RegKey parent, std::u16string_view name) override;
    RegError EnumKey(RegKey key, uint32_t index, std::u16string* name) override;
    RegError QuerySubkeyCount(RegKey key, uint32_t* count) override;
    RegError SetValue(RegKey key, std::u16string_view name, RegValueType type, const uint8_t* data,
                      uint32_t size) override;
    RegError DeleteValue(RegKey key, std::u16string_view name) override;

    // VarUI4FromStr with locale 0 and no flags.
    HResult ConvertToUnsigned32(std::u16string_view text, uint32_t* value) override;
};

}  // namespace okulon
