// What Okulon.dll must be, checked on its file: the same checks serve the
// conformance tests under Wine (each build its own DLL) and the native check
// tool (a DLL that this machine cannot load). Each check gives the problems it
// found; none means it passed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/dll_check/pe_image.h"

namespace okulon::pe {

using Problems = std::vector<std::string>;

// PE32 for i386, PE32+ for AMD64, marked as a DLL.
Problems CheckMachine(const PeImage& dll, uint16_t expectedMachine);
// Exactly DllCanUnloadNow 1, DllGetClassObject 2, DllMain 3, DllRegisterServer 4,
// DllUnregisterServer 5, in a table named "Okulon.dll".
Problems CheckExports(const PeImage& dll);
// System libraries only; the tracker libraries are bound at run time.
Problems CheckImports(const PeImage& dll);
// TYPELIB 1 is a type library (the built one, when given) and REGISTRY 101
// is the registrar script (byte for byte, when given).
Problems CheckResources(const PeImage& dll, const std::optional<std::vector<uint8_t>>& typeLibrary,
                        const std::optional<std::vector<uint8_t>>& registrarScript);

// A VERSIONINFO resource (RT_VERSION 1) whose fixed part has the signature,
// the given file and product version (major.minor.patch.tweak) and the file
// type VFT_DLL, and whose strings name the product "Okulon".
Problems CheckVersionInformation(const PeImage& dll, const std::array<uint16_t, 4>& version);

}  // namespace okulon::pe
