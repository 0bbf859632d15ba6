// The version of a file as its VERSIONINFO resource gives it ("1.0.0.0"), for
// the check tool's report.
#pragma once

#include <string>

namespace okulon::host {

// The fixed part's file version as four numbers, or an empty text when the
// file has no version information.
std::wstring FileVersionText(const std::wstring& path);

}  // namespace okulon::host
