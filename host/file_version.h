// What a file's VERSIONINFO resource says of it: its version ("1.0.0.0") for
// the check tool's report, and whether it is one of the simulator's stand-in
// tracker libraries, which must never pass for the tracker vendor's.
#pragma once

#include <string>

namespace okulon::host {

// The fixed part's file version as four numbers, or an empty text when the
// file has no version information.
std::wstring FileVersionText(const std::wstring& path);

// One text of the file's version information (L"CompanyName",
// L"FileDescription"), or an empty text.
std::wstring FileVersionString(const std::wstring& path, const wchar_t* name);

// True for Okulon's stand-in tet.dll and ttime.dll: made by Okulon and
// describing themselves as stand-ins. Data through them are simulated.
bool IsSimulatorStandIn(const std::wstring& path);

}  // namespace okulon::host
