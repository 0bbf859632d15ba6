// Shared helpers of the conformance tests under Wine.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "extension/eye_tracker_impl.h"
#include "server/okulon_module.h"

namespace okulon::test {

// Poisoned out-parameter values: a method that must not write keeps them.
constexpr LONG kPoisonLong = static_cast<LONG>(0xDEADBEEF);

class ComApartment {
public:
    ComApartment() noexcept : m_result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(m_result)) CoUninitialize();
    }
    HRESULT result() const noexcept { return m_result; }

private:
    HRESULT m_result;
};

// A new object through the instance creator, as IEyeTracker.
inline ComPtr<IEyeTracker> CreateTracker() {
    ComPtr<IEyeTracker> tracker;
    EXPECT_EQ(S_OK, CreateEyeTrackerInstance(nullptr, IID_IEyeTracker, tracker.put_void()));
    return tracker;
}

inline std::wstring LastErrorText(IEyeTracker* tracker) {
    LPWSTR text = nullptr;
    EXPECT_EQ(S_OK, tracker->GetLastErrorText(&text));
    std::wstring copy = text ? text : L"<null>";
    CoTaskMemFree(text);
    return copy;
}

}  // namespace okulon::test
