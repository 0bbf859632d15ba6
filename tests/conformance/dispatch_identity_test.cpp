// The identity's member-less dispatch: every name and call is answered
// negatively, and its type information comes from the library inside the
// DLL's own file without any registration.
#include <initializer_list>

#include "dll_test_support.h"

namespace okulon::test {
namespace {

constexpr DISPID kPoisonDispid = static_cast<DISPID>(0xDEADBEEF);

class DispatchIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
        // Whatever an earlier run left registered must not help here.
        EnsureUnregistered(LIBID_Okulon, 1, 0);
        EnsureUnregistered(LIBID_EyeTrackerLib, 0, 0);
        ComPtr<IClassFactory> factory = m_dll.Factory();
        ASSERT_TRUE(factory);
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, m_dispatch.put_void()));
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    OkulonDll m_dll;
    ComPtr<IDispatch> m_dispatch;
};

TEST_F(DispatchIdentity, NoNameIsKnownAndTheOutArrayIsNotWritten) {
    for (const wchar_t* name : {L"StartTracking", L"GetInterfaceVersion", L""}) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = kPoisonDispid;
        EXPECT_EQ(DISP_E_UNKNOWNNAME, m_dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_NEUTRAL, &id));
        EXPECT_EQ(kPoisonDispid, id);
    }
}

TEST_F(DispatchIdentity, InvokeWithoutArgumentsFindsNoMemberAndEmptiesTheResult) {
    for (DISPID id : std::initializer_list<DISPID>{0, 1, 0x60020001, DISPID_VALUE}) {
        DISPPARAMS parameters = {nullptr, nullptr, 0, 0};
        VARIANT result;
        V_VT(&result) = VT_I4;
        V_I4(&result) = 42;
        EXCEPINFO exception{};
        exception.scode = kPoisonLong;
        UINT argumentError = 77;
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND, m_dispatch->Invoke(id, IID_NULL, LOCALE_NEUTRAL, DISPATCH_METHOD, &parameters,
                                                            &result, &exception, &argumentError));
        EXPECT_EQ(VT_EMPTY, V_VT(&result));
        EXPECT_EQ(kPoisonLong, exception.scode);
        EXPECT_EQ(77u, argumentError);
    }
    DISPPARAMS parameters = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              m_dispatch->Invoke(1, IID_NULL, LOCALE_NEUTRAL, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr));
}

TEST_F(DispatchIdentity, InvokeWithArgumentsOrWithoutAParameterBlockIsRefused) {
    VARIANT argument;
    V_VT(&argument) = VT_I4;
    V_I4(&argument) = 1;
    DISPPARAMS parameters = {&argument, nullptr, 1, 0};
    VARIANT result;
    V_VT(&result) = VT_I4;
    V_I4(&result) = 42;
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              m_dispatch->Invoke(1, IID_NULL, LOCALE_NEUTRAL, DISPATCH_METHOD, &parameters, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, V_VT(&result));
    EXPECT_EQ(DISP_E_BADVARTYPE,
              m_dispatch->Invoke(1, IID_NULL, LOCALE_NEUTRAL, DISPATCH_METHOD, nullptr, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, V_VT(&result));
}

TEST_F(DispatchIdentity, TypeInformationComesFromTheDllWithoutRegistration) {
    UINT count = 0xDEAD;
    EXPECT_EQ(S_OK, m_dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);

    ComPtr<ITypeInfo> typeInfo;
    ASSERT_EQ(S_OK, m_dispatch->GetTypeInfo(0, LOCALE_NEUTRAL, typeInfo.put()));
    ASSERT_TRUE(typeInfo);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, typeInfo->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(IID_IEyeTrackerImpl, attributes->guid));
    EXPECT_EQ(7, attributes->cFuncs);  // only what IUnknown and IDispatch bring
    typeInfo->ReleaseTypeAttr(attributes);
}

TEST_F(DispatchIdentity, EachRequestLoadsAFreshDescriptionThatTheCallerOwns) {
    ComPtr<ITypeInfo> first;
    ComPtr<ITypeInfo> second;
    ASSERT_EQ(S_OK, m_dispatch->GetTypeInfo(0, LOCALE_NEUTRAL, first.put()));
    ASSERT_EQ(S_OK, m_dispatch->GetTypeInfo(0, 0x0409, second.put()));
    UniqueBstr name;
    ASSERT_EQ(S_OK, second->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"IEyeTrackerImpl", name.get());
    first.reset();
    // The second one is still usable after the first was given back.
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, second->GetTypeAttr(&attributes));
    second->ReleaseTypeAttr(attributes);
}

TEST_F(DispatchIdentity, OnlyIndexZeroHasTypeInformationAndNullOutPointersAreRefused) {
    ComPtr<ITypeInfo> typeInfo;
    EXPECT_EQ(DISP_E_BADINDEX, m_dispatch->GetTypeInfo(1, LOCALE_NEUTRAL, typeInfo.put()));
    EXPECT_EQ(DISP_E_BADINDEX, m_dispatch->GetTypeInfo(3, LOCALE_NEUTRAL, typeInfo.put()));
    EXPECT_EQ(DISP_E_BADINDEX, m_dispatch->GetTypeInfo(3, LOCALE_NEUTRAL, nullptr));
    EXPECT_EQ(E_POINTER, m_dispatch->GetTypeInfo(0, LOCALE_NEUTRAL, nullptr));
    EXPECT_EQ(E_POINTER, m_dispatch->GetTypeInfoCount(nullptr));
}

}  // namespace
}  // namespace okulon::test
