// Helpers of the tests under Wine that create the object inside their own
// process through its instance creator: the component tests, and the
// conformance tests that reach the object that way too.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "extension/eye_tracker_impl.h"
#include "server/okulon_module.h"

namespace okulon::test {

// Poisoned out-parameter values: a method that must not write keeps them.
constexpr LONG kPoisonLong = static_cast<LONG>(0xDEADBEEF);

// A new object through the instance creator, as IEyeTracker.
inline ComPtr<IEyeTracker> CreateTracker() {
    ComPtr<IEyeTracker> tracker;
    EXPECT_EQ(S_OK, CreateEyeTrackerInstance(nullptr, IID_IEyeTracker, tracker.put_void()));
    return tracker;
}

inline std::wstring LastErrorText(IEyeTracker* tracker) {
    UniqueTaskMemString text;
    EXPECT_EQ(S_OK, tracker->GetLastErrorText(text.put()));
    return text ? text.get() : L"<null>";
}

}  // namespace okulon::test
