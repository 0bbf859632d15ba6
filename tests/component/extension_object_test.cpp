// The extension object driven through its IEyeTracker table, as the host does.
#include "component_support.h"

#include <functional>
#include <vector>

namespace okulon::test {
namespace {

class ExtensionObject : public ::testing::Test {
protected:
    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ComPtr<IEyeTracker> m_tracker = CreateTracker();
};

TEST_F(ExtensionObject, StartsWithAnEmptyLastErrorText) {
    LPWSTR text = reinterpret_cast<LPWSTR>(0xDEADBEEF);
    ASSERT_EQ(S_OK, m_tracker->GetLastErrorText(&text));
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(L'\0', text[0]);
    CoTaskMemFree(text);
}

TEST_F(ExtensionObject, AnswersTheConstantMethodsAlike) {
    LONG version = kPoisonLong;
    EXPECT_EQ(S_OK, m_tracker->GetInterfaceVersion(&version));
    EXPECT_EQ(99, version);
    EXPECT_EQ(S_OK, m_tracker->NoOperation());
    for (LONG option : {0L, 1L, -1L, 0x7FFFFFFFL}) {
        EXPECT_EQ(S_OK, m_tracker->SetOption(option));
        VARIANT_BOOL value = VARIANT_TRUE;
        EXPECT_EQ(S_OK, m_tracker->GetOption(&value));
        EXPECT_EQ(VARIANT_FALSE, value) << "after SetOption(" << option << ")";
    }
}

struct NotImplementedCase {
    const wchar_t* message;
    std::function<HRESULT(IEyeTracker*)> call;
};

TEST_F(ExtensionObject, EveryMissingFunctionAnswersNotImplementedWithItsMessage) {
    const std::vector<NotImplementedCase> cases = {
        {L"SendTrigger not implemented", [](IEyeTracker* t) { return t->SendTrigger(7); }},
        {L"SendString not implemented", [](IEyeTracker* t) { return t->SendString(7); }},
        {L"SetRecording not implemented", [](IEyeTracker* t) { return t->SetRecording(1); }},
        {L"StartSaccadeEvents not implemented", [](IEyeTracker* t) { return t->StartSaccadeEvents(); }},
        {L"StopSaccadeEvents not implemented", [](IEyeTracker* t) { return t->StopSaccadeEvents(); }},
        {L"StartFixationEvents not implemented", [](IEyeTracker* t) { return t->StartFixationEvents(); }},
        {L"StopFixationEvents not implemented", [](IEyeTracker* t) { return t->StopFixationEvents(); }},
        {L"StartAOIEvents not implemented", [](IEyeTracker* t) { return t->StartAOIEvents(); }},
        {L"StopAOIEvents not implemented", [](IEyeTracker* t) { return t->StopAOIEvents(); }},
        {L"SetAOISet not implemented", [](IEyeTracker* t) { return t->SetAOISet(3); }},
        {L"IsRecording not implemented", [](IEyeTracker* t) { return t->IsRecording(0); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(E_NOTIMPL, c.call(m_tracker.get())) << c.message;
        EXPECT_EQ(c.message, LastErrorText(m_tracker.get()));
        // A second call leaves exactly its own message, not a concatenation.
        EXPECT_EQ(E_NOTIMPL, c.call(m_tracker.get()));
        EXPECT_EQ(c.message, LastErrorText(m_tracker.get()));
    }
    EXPECT_EQ(0, Impl(m_tracker).GetClientCount());
    EXPECT_EQ(0u, Impl(m_tracker).GetDataMask());
}

TEST_F(ExtensionObject, ASuccessfulCallKeepsTheLastFailuresMessage) {
    EXPECT_EQ(E_NOTIMPL, m_tracker->SendTrigger(1));
    EXPECT_EQ(E_NOTIMPL, m_tracker->SendString(1));
    EXPECT_EQ(S_OK, m_tracker->NoOperation());
    LONG version = 0;
    EXPECT_EQ(S_OK, m_tracker->GetInterfaceVersion(&version));
    EXPECT_EQ(S_OK, m_tracker->StartEyeEvents());
    EXPECT_EQ(L"SendString not implemented", LastErrorText(m_tracker.get()));
}

TEST_F(ExtensionObject, NullOutPointersAreRefusedWithoutAnyOtherEffect) {
    EXPECT_EQ(E_NOTIMPL, m_tracker->SendTrigger(1));
    EXPECT_EQ(E_POINTER, m_tracker->GetLastErrorText(nullptr));
    EXPECT_EQ(E_POINTER, m_tracker->GetInterfaceVersion(nullptr));
    EXPECT_EQ(E_POINTER, m_tracker->GetOption(nullptr));
    EXPECT_EQ(E_POINTER, m_tracker->GetTimestamp(nullptr));
    EXPECT_EQ(E_POINTER, m_tracker->GetGazeDataCount(nullptr, 0));
    EXPECT_EQ(E_POINTER, m_tracker->GetPupilDataCount(nullptr));
    EXPECT_EQ(E_POINTER, m_tracker->GetEyeEventCount(nullptr));
    EXPECT_EQ(E_POINTER, m_tracker->GetSpareRecordCount(nullptr));
    LONG count = 5;
    ::GazeRecord gaze[1];
    EXPECT_EQ(E_POINTER, m_tracker->GetGazeData(nullptr, gaze, 0));
    EXPECT_EQ(E_POINTER, m_tracker->GetGazeData(&count, nullptr, 0));
    EXPECT_EQ(E_POINTER, m_tracker->GetEyeEvents(&count, nullptr));
    EXPECT_EQ(5, count);
    EXPECT_EQ(L"SendTrigger not implemented", LastErrorText(m_tracker.get()));
}

TEST_F(ExtensionObject, TimestampsComeFromOneMonotonicMicrosecondClock) {
    hyper first = 0, second = 0;
    ASSERT_EQ(S_OK, m_tracker->GetTimestamp(&first));
    Sleep(20);
    ASSERT_EQ(S_OK, m_tracker->GetTimestamp(&second));
    EXPECT_GT(first, 0);
    // At least the 20 ms slept, in microseconds (not milliseconds or ticks).
    EXPECT_GE(second - first, 15000);
}

TEST_F(ExtensionObject, ConnectionStatusFollowsTheSystemCheckCode) {
    CEyeTrackerImpl& impl = Impl(m_tracker);
    EXPECT_EQ(1, impl.IsTrackerConnected()) << "before any system check";
    EXPECT_EQ(0, impl.IsStreamingBlocked());
    struct Case {
        LONG code;
        LONG connected;
        LONG blocked;
    };
    for (const Case& c : {Case{0, 1, 0}, Case{1, 0, 0}, Case{2, 0, 0}, Case{3, 1, 0}, Case{13, 1, 1}, Case{-1, 1, 0},
                          Case{0x7FFFFFFF, 1, 0}}) {
        impl.SetSystemCheckCode(c.code);
        EXPECT_EQ(c.code, impl.GetSystemCheckCode());
        EXPECT_EQ(c.connected, impl.IsTrackerConnected()) << c.code;
        EXPECT_EQ(c.blocked, impl.IsStreamingBlocked()) << c.code;
    }
}

TEST_F(ExtensionObject, AnUnmatchedStopLeavesTheClientCountAtZero) {
    CEyeTrackerImpl& impl = Impl(m_tracker);
    EXPECT_EQ(0, impl.RemoveClient());
    EXPECT_EQ(0, impl.GetClientCount());
    EXPECT_EQ(S_OK, m_tracker->StopEyeEvents());
    EXPECT_EQ(0, impl.GetClientCount());
    EXPECT_EQ(0u, impl.GetDataMask() & 0x20);
    EXPECT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    EXPECT_EQ(1, impl.GetClientCount()) << "a start after a stray stop must count";
}

// The internal operations sit in the identity's table right after IDispatch,
// in their fixed order, with the destructor last.
TEST_F(ExtensionObject, InternalOperationsOccupyTheirSlotsInOrder) {
    CEyeTrackerImpl& impl = Impl(m_tracker);
    IEyeTrackerImpl* identity = &impl;
    void** table = *reinterpret_cast<void***>(identity);
    using Getter = LONG(__attribute__((thiscall))*)(void*);
    using Setter = void(__attribute__((thiscall))*)(void*, LONG);
    auto get = [&](int slot) { return reinterpret_cast<Getter>(table[slot])(identity); };
    auto set = [&](int slot, LONG value) { reinterpret_cast<Setter>(table[slot])(identity, value); };

    set(15, 13);             // SetSystemCheckCode
    EXPECT_EQ(13, get(16));  // GetSystemCheckCode
    EXPECT_EQ(1, get(7));    // IsTrackerConnected
    EXPECT_EQ(1, get(8));    // IsStreamingBlocked
    EXPECT_EQ(1, get(9));    // AddClient
    EXPECT_EQ(2, get(9));
    EXPECT_EQ(1, get(10));   // RemoveClient
    EXPECT_EQ(1, get(12));   // GetClientCount
    EXPECT_EQ(0, get(11));   // GetDataMask
    EXPECT_EQ(0, get(13));   // IsStreaming
    EXPECT_EQ(0, get(14));   // IsThreadRunning
    EXPECT_EQ(-1, get(18));  // GetLastValidityFirst
    EXPECT_EQ(-1, get(20));  // GetLastValiditySecond
    set(17, 4);              // SetLastValidityFirst
    set(19, 2);              // SetLastValiditySecond
    EXPECT_EQ(4, get(18));
    EXPECT_EQ(2, get(20));
    EXPECT_EQ(4, impl.GetLastValidityFirst());
    EXPECT_EQ(2, impl.GetLastValiditySecond());
}

TEST_F(ExtensionObject, IdentityAndDispatchShareOnePointerAndIEyeTrackerIsTheSecond) {
    ComPtr<IUnknown> unknown, unknownFromImpl;
    ComPtr<IDispatch> dispatch;
    ComPtr<IEyeTrackerImpl> identity;
    ComPtr<IProvideClassInfo> classInfo;
    ASSERT_EQ(S_OK, m_tracker->QueryInterface(IID_IUnknown, unknown.put_void()));
    ASSERT_EQ(S_OK, m_tracker->QueryInterface(IID_IDispatch, dispatch.put_void()));
    ASSERT_EQ(S_OK, m_tracker->QueryInterface(IID_IEyeTrackerImpl, identity.put_void()));
    ASSERT_EQ(S_OK, m_tracker->QueryInterface(IID_IProvideClassInfo, classInfo.put_void()));
    ASSERT_EQ(S_OK, classInfo->QueryInterface(IID_IUnknown, unknownFromImpl.put_void()));
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(identity.get()));
    EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(identity.get()));
    EXPECT_EQ(unknown.get(), unknownFromImpl.get());
    EXPECT_NE(static_cast<void*>(dispatch.get()), static_cast<void*>(m_tracker.get()));
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"StartTracking");
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
}

TEST_F(ExtensionObject, ReferenceCountsAreSharedByAllThreePointers) {
    ComPtr<IProvideClassInfo> classInfo;
    ASSERT_EQ(S_OK, m_tracker->QueryInterface(IID_IProvideClassInfo, classInfo.put_void()));
    const ULONG afterAdd = m_tracker->AddRef();
    EXPECT_EQ(afterAdd - 1, classInfo->Release());
}

TEST(ExtensionObjectLifetime, EachObjectHoldsOneModuleLockUntilItsLastRelease) {
    ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    const LONG before = ThisModule().GetLockCount();
    {
        ComPtr<IEyeTracker> first = CreateTracker();
        ComPtr<IEyeTracker> second = CreateTracker();
        EXPECT_EQ(before + 2, ThisModule().GetLockCount());
    }
    EXPECT_EQ(before, ThisModule().GetLockCount());
}

TEST(ExtensionObjectLifetime, CreationForAnUnknownInterfaceLeavesNoObjectAndNoLock) {
    ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    const LONG before = ThisModule().GetLockCount();
    void* object = reinterpret_cast<void*>(0xDEADBEEF);
    EXPECT_EQ(E_NOINTERFACE, CreateEyeTrackerInstance(nullptr, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(before, ThisModule().GetLockCount());
}

TEST(ExtensionObjectLifetime, AggregationIsRefused) {
    ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ComPtr<IEyeTracker> outer = CreateTracker();
    void* object = reinterpret_cast<void*>(0xDEADBEEF);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CreateEyeTrackerInstance(outer.get(), IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, CreateEyeTrackerInstance(outer.get(), IID_IUnknown, nullptr));
}

}  // namespace
}  // namespace okulon::test
