// The instance creator of CEyeTrackerImpl's entry in the object map: the one
// place that builds the concrete object, CComObject<CEyeTrackerImpl>. Any
// thread may call it; the caller owns the reference it returns.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace okulon {

// Refuses an outer object, otherwise builds a new object and asks it for iid.
HRESULT CreateEyeTrackerInstance(IUnknown* outer, REFIID iid, void** object) noexcept;

}  // namespace okulon
