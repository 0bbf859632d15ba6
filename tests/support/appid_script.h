// The text of server/okulon.rgs, the registrar script that Okulon.dll embeds,
// unit for unit: generated from that file when the build is configured, so
// the tests run and compare the script the DLL carries, not a copy of it.
#pragma once

#include <cstddef>

namespace okulon {

extern const char16_t kAppIdScript[];
extern const std::size_t kAppIdScriptLength;

}  // namespace okulon
