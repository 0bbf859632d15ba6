#include "extension/eye_tracker_impl.h"

namespace okulon {

STDMETHODIMP CEyeTrackerImpl::SendCommand(BSTR, LONG*) { return E_NOTIMPL; }

}  // namespace okulon
