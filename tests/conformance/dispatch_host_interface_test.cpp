// Late binding to IEyeTracker as a real client does it: names and calls go
// through the host's type library, registered for the test from
// bin/EyeTrackerLib.tlb, and the platform's ITypeInfo::Invoke.
#include <memory>
#include <string>

#include "dll_test_support.h"

namespace okulon::test {
namespace {

constexpr DISPID kPoisonDispid = static_cast<DISPID>(0xDEADBEEF);

struct NameRequest {
    IEyeTracker* tracker;
    HANDLE start;
    DISPID id;
    HRESULT result;
};

DWORD WINAPI LookUpName(void* argument) {
    auto* request = static_cast<NameRequest*>(argument);
    WaitForSingleObject(request->start, 10000);
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetInterfaceVersion")};
    request->result = request->tracker->GetIDsOfNames(IID_NULL, names, 1, LOCALE_NEUTRAL, &request->id);
    return 0;
}

class DispatchHostInterface : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
        EnsureUnregistered(LIBID_EyeTrackerLib, 0, 0);
        m_factory = m_dll.Factory();
        ASSERT_TRUE(m_factory);
        ASSERT_EQ(S_OK, m_factory->CreateInstance(nullptr, IID_IEyeTracker, m_tracker.put_void()));
    }

    void RegisterHostLibrary() {
        m_hostLibrary = std::make_unique<RegisteredTypeLibrary>(HostLibraryPath());
        ASSERT_EQ(S_OK, m_hostLibrary->result());
    }

    // The identifier the registered library itself gives the name.
    DISPID LibraryId(const wchar_t* name) {
        ComPtr<ITypeLib> library;
        EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_EyeTrackerLib, 0, 0, LOCALE_NEUTRAL, library.put()));
        ComPtr<ITypeInfo> typeInfo;
        EXPECT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_IEyeTracker, typeInfo.put()));
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = kPoisonDispid;
        EXPECT_EQ(S_OK, typeInfo->GetIDsOfNames(names, 1, &id));
        return id;
    }

    HRESULT IdOf(const wchar_t* name, DISPID* id) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        *id = kPoisonDispid;
        return m_tracker->GetIDsOfNames(IID_NULL, names, 1, LOCALE_NEUTRAL, id);
    }

    HRESULT CallMethod(DISPID id, VARIANT* arguments, UINT count, EXCEPINFO* exception = nullptr,
                       VARIANT* result = nullptr) {
        DISPPARAMS parameters = {arguments, nullptr, count, 0};
        return m_tracker->Invoke(id, IID_NULL, LOCALE_NEUTRAL, DISPATCH_METHOD, &parameters, result, exception,
                                 nullptr);
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    OkulonDll m_dll;
    std::unique_ptr<RegisteredTypeLibrary> m_hostLibrary;  // unregistered after the objects are gone
    ComPtr<IClassFactory> m_factory;
    ComPtr<IEyeTracker> m_tracker;
};

TEST_F(DispatchHostInterface, NamesResolveToTheHostLibrarysIdentifiersTimeAfterTime) {
    RegisterHostLibrary();
    for (const wchar_t* name : {L"StartTracking", L"GetInterfaceVersion", L"SendCommand", L"IsRecording",
                                L"GetLastErrorText", L"QueryInterface"}) {
        const DISPID expected = LibraryId(name);
        DISPID id = kPoisonDispid;
        EXPECT_EQ(S_OK, IdOf(name, &id)) << name;
        EXPECT_EQ(expected, id) << name;
        EXPECT_EQ(S_OK, IdOf(name, &id)) << name;
        EXPECT_EQ(expected, id) << name;
    }
}

TEST_F(DispatchHostInterface, NamesTheCacheDoesNotHoldArePassedToTheTypeInformation) {
    RegisterHostLibrary();
    const DISPID startTracking = LibraryId(L"StartTracking");
    DISPID id = kPoisonDispid;
    // The platform's own lookup ignores case; the cache alone would not.
    EXPECT_EQ(S_OK, IdOf(L"starttracking", &id));
    EXPECT_EQ(startTracking, id);
    EXPECT_EQ(S_OK, IdOf(L"STARTTRACKING", &id));
    EXPECT_EQ(startTracking, id);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOf(L"StartTrackin", &id));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOf(L"StartTrackingX", &id));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOf(L"", &id));

    // A method and its parameter's name together.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"SendCommand"), const_cast<LPOLESTR>(L"text")};
    DISPID ids[2] = {kPoisonDispid, kPoisonDispid};
    EXPECT_EQ(S_OK, m_tracker->GetIDsOfNames(IID_NULL, names, 2, LOCALE_NEUTRAL, ids));
    EXPECT_EQ(LibraryId(L"SendCommand"), ids[0]);
    EXPECT_EQ(0, ids[1]);
}

TEST_F(DispatchHostInterface, ManyThreadsLookingUpNamesAtFirstUseShareOneLoadedDescription) {
    RegisterHostLibrary();
    constexpr int kThreads = 8;
    UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(start);
    NameRequest requests[kThreads];
    UniqueHandle threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        requests[i] = {m_tracker.get(), start.get(), kPoisonDispid, E_FAIL};
        threads[i].reset(CreateThread(nullptr, 0, &LookUpName, &requests[i], 0, nullptr));
        ASSERT_TRUE(threads[i]);
    }
    SetEvent(start.get());
    for (auto& thread : threads) ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
    const DISPID expected = LibraryId(L"GetInterfaceVersion");
    for (const NameRequest& request : requests) {
        EXPECT_EQ(S_OK, request.result);
        EXPECT_EQ(expected, request.id);
    }
    ComPtr<ITypeInfo> first;
    ComPtr<ITypeInfo> second;
    ASSERT_EQ(S_OK, m_tracker->GetTypeInfo(0, LOCALE_NEUTRAL, first.put()));
    ASSERT_EQ(S_OK, m_tracker->GetTypeInfo(0, LOCALE_NEUTRAL, second.put()));
    EXPECT_EQ(first.get(), second.get());
}

TEST_F(DispatchHostInterface, MissingNameArraysAreRefused) {
    RegisterHostLibrary();
    DISPID id = kPoisonDispid;
    EXPECT_EQ(E_POINTER, m_tracker->GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_NEUTRAL, &id));
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"StartTracking")};
    EXPECT_EQ(E_POINTER, m_tracker->GetIDsOfNames(IID_NULL, names, 1, LOCALE_NEUTRAL, nullptr));
    EXPECT_EQ(kPoisonDispid, id);
}

TEST_F(DispatchHostInterface, GetInterfaceVersionIsReachedThroughInvoke) {
    RegisterHostLibrary();
    DISPID id = kPoisonDispid;
    ASSERT_EQ(S_OK, IdOf(L"GetInterfaceVersion", &id));
    LONG version = kPoisonLong;
    VARIANT argument;
    V_VT(&argument) = VT_BYREF | VT_I4;
    V_I4REF(&argument) = &version;
    EXPECT_EQ(S_OK, CallMethod(id, &argument, 1));
    EXPECT_EQ(99, version);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, CallMethod(id, nullptr, 0));
}

TEST_F(DispatchHostInterface, SendCommandIsReachedThroughInvoke) {
    RegisterHostLibrary();
    DISPID id = kPoisonDispid;
    ASSERT_EQ(S_OK, IdOf(L"SendCommand", &id));
    LONG outcome = kPoisonLong;
    VARIANT arguments[2];  // in reverse order: the last parameter first
    V_VT(&arguments[0]) = VT_BYREF | VT_I4;
    V_I4REF(&arguments[0]) = &outcome;
    V_VT(&arguments[1]) = VT_BSTR;
    V_BSTR(&arguments[1]) = SysAllocString(L"width 800");
    EXCEPINFO exception{};
    const HRESULT result = CallMethod(id, arguments, 2, &exception);
    SysFreeString(V_BSTR(&arguments[1]));
    if (result == S_OK) {
        EXPECT_EQ(0, outcome);
    } else {
        // A failing method comes back as an exception carrying its code.
        EXPECT_EQ(DISP_E_EXCEPTION, result);
        EXPECT_EQ(E_NOTIMPL, exception.scode);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
    }
}

TEST_F(DispatchHostInterface, InvokeCallsTheObjectItWasAskedOn) {
    RegisterHostLibrary();
    ComPtr<IEyeTracker> other;
    ASSERT_EQ(S_OK, m_factory->CreateInstance(nullptr, IID_IEyeTracker, other.put_void()));
    DISPID id = kPoisonDispid;
    ASSERT_EQ(S_OK, IdOf(L"SendTrigger", &id));
    VARIANT argument;
    V_VT(&argument) = VT_I4;
    V_I4(&argument) = 5;
    EXCEPINFO exception{};
    EXPECT_EQ(DISP_E_EXCEPTION, CallMethod(id, &argument, 1, &exception));
    EXPECT_EQ(E_NOTIMPL, exception.scode);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    EXPECT_EQ(L"SendTrigger not implemented", LastErrorText(m_tracker.get()));
    EXPECT_EQ(L"", LastErrorText(other.get()));
}

// The platform cannot carry an [out] LPWSTR* through a VARIANT: the call is
// refused before it reaches the object, and the caller's pointer stays as it was.
TEST_F(DispatchHostInterface, GetLastErrorTextCannotBeReachedLateBound) {
    RegisterHostLibrary();
    m_tracker->SendTrigger(1);
    DISPID id = kPoisonDispid;
    ASSERT_EQ(S_OK, IdOf(L"GetLastErrorText", &id));
    LPWSTR text = reinterpret_cast<LPWSTR>(static_cast<DWORD_PTR>(0xDEADBEEF));
    VARIANT argument;
    V_VT(&argument) = VT_BYREF | VT_LPWSTR;
    V_BYREF(&argument) = &text;
    EXPECT_EQ(DISP_E_BADVARTYPE, CallMethod(id, &argument, 1));
    EXPECT_EQ(reinterpret_cast<LPWSTR>(static_cast<DWORD_PTR>(0xDEADBEEF)), text);
    EXPECT_EQ(L"SendTrigger not implemented", LastErrorText(m_tracker.get()));
}

TEST_F(DispatchHostInterface, TypeInformationIsTheHostsDescriptionWhateverTheIndex) {
    RegisterHostLibrary();
    UINT count = 0;
    EXPECT_EQ(S_OK, m_tracker->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> first;
    ComPtr<ITypeInfo> third;
    ASSERT_EQ(S_OK, m_tracker->GetTypeInfo(0, LOCALE_NEUTRAL, first.put()));
    ASSERT_EQ(S_OK, m_tracker->GetTypeInfo(3, LOCALE_NEUTRAL, third.put()));
    EXPECT_EQ(first.get(), third.get());
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, first->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(IID_IEyeTracker, attributes->guid));
    EXPECT_EQ(7 + 41, attributes->cFuncs);
    first->ReleaseTypeAttr(attributes);
    ComPtr<ITypeInfo2> typeInfo2;
    EXPECT_EQ(S_OK, first->QueryInterface(IID_ITypeInfo2, typeInfo2.put_void()));
    EXPECT_EQ(E_POINTER, m_tracker->GetTypeInfo(0, LOCALE_NEUTRAL, nullptr));
    EXPECT_EQ(E_POINTER, m_tracker->GetTypeInfoCount(nullptr));
}

// A generic caller finds each method by its table offset and calling
// convention in the description: slots are 4 bytes on i686 and 8 on x86-64,
// and stdcall is what the i686 table is built with (x86-64 has one convention,
// which the library still records as stdcall).
TEST_F(DispatchHostInterface, TheDescriptionsSlotsAndCallingConventionReachTheMethodsOnThisArchitecture) {
#if defined(__x86_64__)
    constexpr SHORT kSlotSize = 8;
#else
    constexpr SHORT kSlotSize = 4;
#endif
    static_assert(kSlotSize == sizeof(void*), "a table slot holds one function pointer");
    RegisterHostLibrary();
    ComPtr<ITypeInfo> dispatchInfo;
    ASSERT_EQ(S_OK, m_tracker->GetTypeInfo(0, LOCALE_NEUTRAL, dispatchInfo.put()));
    HREFTYPE vtableReference = 0;
    ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeOfImplType(-1, &vtableReference));
    ComPtr<ITypeInfo> vtableInfo;
    ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeInfo(vtableReference, vtableInfo.put()));

    SHORT versionSlot = -1;
    CALLCONV versionConvention = CC_MAX;
    for (UINT index = 0; index < 41; ++index) {
        FUNCDESC* function = nullptr;
        ASSERT_EQ(S_OK, vtableInfo->GetFuncDesc(index, &function));
        EXPECT_EQ((7 + static_cast<SHORT>(index)) * kSlotSize, function->oVft) << "method " << index;
        EXPECT_EQ(CC_STDCALL, function->callconv) << "method " << index;
        UniqueBstr name;
        UINT count = 0;
        ASSERT_EQ(S_OK, vtableInfo->GetNames(function->memid, name.put(), 1, &count));
        if (std::wstring(name.get()) == L"GetInterfaceVersion") {
            versionSlot = function->oVft;
            versionConvention = function->callconv;
        }
        vtableInfo->ReleaseFuncDesc(function);
    }
    ASSERT_NE(-1, versionSlot);

    LONG version = 0;
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_BYREF | VT_I4;
    V_I4REF(&argument) = &version;
    VARIANT* arguments[] = {&argument};
    VARTYPE types[] = {VT_BYREF | VT_I4};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK,
              DispCallFunc(m_tracker.get(), versionSlot, versionConvention, VT_ERROR, 1, types, arguments, &result));
    EXPECT_EQ(S_OK, V_ERROR(&result));
    EXPECT_EQ(99, version);
}

TEST_F(DispatchHostInterface, AnUnregisteredHostLibraryFailsEachTimeUntilItIsRegistered) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        DISPID id = kPoisonDispid;
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, IdOf(L"GetInterfaceVersion", &id));
        EXPECT_EQ(kPoisonDispid, id);
        ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(static_cast<DWORD_PTR>(0xDEADBEEF));
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, m_tracker->GetTypeInfo(0, LOCALE_NEUTRAL, &typeInfo));
        EXPECT_EQ(nullptr, typeInfo);
        UINT count = 0;
        EXPECT_EQ(S_OK, m_tracker->GetTypeInfoCount(&count));
        EXPECT_EQ(1u, count);
        LONG version = kPoisonLong;
        VARIANT argument;
        V_VT(&argument) = VT_BYREF | VT_I4;
        V_I4REF(&argument) = &version;
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, CallMethod(0x60020001, &argument, 1));
        EXPECT_EQ(kPoisonLong, version);
    }
    // Early binding never needed the library.
    LONG version = kPoisonLong;
    EXPECT_EQ(S_OK, m_tracker->GetInterfaceVersion(&version));
    EXPECT_EQ(99, version);

    RegisterHostLibrary();
    DISPID id = kPoisonDispid;
    ASSERT_EQ(S_OK, IdOf(L"GetInterfaceVersion", &id));
    EXPECT_EQ(LibraryId(L"GetInterfaceVersion"), id);
    version = kPoisonLong;
    VARIANT argument;
    V_VT(&argument) = VT_BYREF | VT_I4;
    V_I4REF(&argument) = &version;
    EXPECT_EQ(S_OK, CallMethod(id, &argument, 1));
    EXPECT_EQ(99, version);
}

}  // namespace
}  // namespace okulon::test
