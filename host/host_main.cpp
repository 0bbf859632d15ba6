// The host substitute's program: creates the extension object and drives it
// through IEyeTracker the way the experiment host does. It is the main job.
#include <windows.h>

#include <cstdio>

#include "extension/eye_tracker_impl.h"

namespace {

using okulon::ComPtr;

class ComApartment {
public:
    ComApartment() noexcept : m_result(CoInitialize(nullptr)) {}
    ~ComApartment() {
        if (SUCCEEDED(m_result)) CoUninitialize();
    }
    HRESULT result() const noexcept { return m_result; }

private:
    HRESULT m_result;
};

void PrintLastError(IEyeTracker* tracker) {
    LPWSTR text = nullptr;
    if (SUCCEEDED(tracker->GetLastErrorText(&text)) && text != nullptr) {
        std::printf("last error: \"%ls\"\n", text);
        CoTaskMemFree(text);
    }
}

}  // namespace

int main() {
    ComApartment apartment;
    if (FAILED(apartment.result())) {
        std::fprintf(stderr, "CoInitialize failed: 0x%08lx\n", apartment.result());
        return 1;
    }
    ComPtr<IEyeTracker> tracker;
    HRESULT result = okulon::CreateEyeTrackerInstance(nullptr, IID_IEyeTracker, tracker.put_void());
    if (FAILED(result)) {
        std::fprintf(stderr, "creating the extension object failed: 0x%08lx\n", result);
        return 1;
    }
    LONG version = 0;
    tracker->GetInterfaceVersion(&version);
    std::printf("interface version: %ld\n", version);

    hyper timestamp = 0;
    tracker->GetTimestamp(&timestamp);
    std::printf("tracker clock: %lld us\n", static_cast<long long>(timestamp));

    std::printf("SendTrigger: 0x%08lx\n", tracker->SendTrigger(1));
    std::printf("SendString: 0x%08lx\n", tracker->SendString(0));
    PrintLastError(tracker.get());
    return 0;
}
