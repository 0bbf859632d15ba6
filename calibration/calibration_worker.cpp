#include "extension/eye_tracker_impl.h"

namespace okulon {

STDMETHODIMP CEyeTrackerImpl::Calibrate(LONG, ICalibrationDisplay*, LONG, LONG, LONG, LONG, LONG, LONG) {
    return E_NOTIMPL;
}
void CEyeTrackerImpl::EndCalibrationWorker() noexcept {}

}  // namespace okulon
