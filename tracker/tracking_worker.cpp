#include "extension/eye_tracker_impl.h"

namespace okulon {

STDMETHODIMP CEyeTrackerImpl::StartTracking() { return E_NOTIMPL; }
STDMETHODIMP CEyeTrackerImpl::StopTracking() { return E_NOTIMPL; }
void CEyeTrackerImpl::EndTrackingWorkers() noexcept {}

}  // namespace okulon
