// Helpers over the host's interface alone, for tests of either face: what a
// host can do with an IEyeTracker it holds, however the object was made.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/com_support.h"
#include "eye_tracker_host.h"

namespace okulon::test {

// Poisoned out-parameter values: a method that must not write keeps them.
constexpr LONG kPoisonLong = static_cast<LONG>(0xDEADBEEF);

inline std::wstring LastErrorText(IEyeTracker* tracker) {
    UniqueTaskMemString text;
    EXPECT_EQ(S_OK, tracker->GetLastErrorText(text.put()));
    return text ? text.get() : L"<null>";
}

}  // namespace okulon::test
