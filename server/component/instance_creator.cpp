#include "server/component/instance_creator.h"

#include "extension/eye_tracker_impl.h"
#include "server/component/com_object.h"

namespace okulon {

HRESULT CreateEyeTrackerInstance(IUnknown* outer, REFIID iid, void** object) noexcept {
    if (outer != nullptr) {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    return CComObject<CEyeTrackerImpl>::CreateInstance(iid, object);
}

}  // namespace okulon
