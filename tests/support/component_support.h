// White-box helpers of the component tests, which link the component and
// create the object inside their own process through its instance creator.
// Conformance tests reach the DLL only as a host does (dll_test_support.h).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "base/lockable_module.h"  // ThisModule
#include "extension/eye_tracker_impl.h"
#include "interface_support.h"
#include "object_access.h"
#include "server/component/instance_creator.h"

namespace okulon::test {

// A new object through the instance creator, as IEyeTracker.
inline ComPtr<IEyeTracker> CreateTracker() {
    ComPtr<IEyeTracker> tracker;
    EXPECT_EQ(S_OK, CreateEyeTrackerInstance(nullptr, IID_IEyeTracker, tracker.put_void()));
    return tracker;
}

// The object behind an IEyeTracker, reached through its identity.
inline CEyeTrackerImpl& Impl(const ComPtr<IEyeTracker>& tracker) {
    ComPtr<IEyeTrackerImpl> identity;
    EXPECT_EQ(S_OK, tracker->QueryInterface(IID_IEyeTrackerImpl, identity.put_void()));
    return *static_cast<CEyeTrackerImpl*>(identity.get());
}

inline const CommandSettings& Settings(const ComPtr<IEyeTracker>& tracker) {
    return EyeTrackerImplTestAccess::Settings(Impl(tracker));
}

}  // namespace okulon::test
