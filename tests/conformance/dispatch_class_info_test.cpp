// IProvideClassInfo: the coclass description from the component's own
// library, which must be registered (here from the DLL's path, for the
// length of the test).
#include <memory>

#include "dll_test_support.h"

namespace okulon::test {
namespace {

class DispatchClassInfo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
        EnsureUnregistered(LIBID_Okulon, 1, 0);
        ComPtr<IClassFactory> factory = m_dll.Factory();
        ASSERT_TRUE(factory);
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IProvideClassInfo, m_classInfo.put_void()));
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    OkulonDll m_dll;
    std::unique_ptr<RegisteredTypeLibrary> m_ownLibrary;  // unregistered after the object is gone
    ComPtr<IProvideClassInfo> m_classInfo;
};

TEST_F(DispatchClassInfo, ClassInformationFailsBeforeRegistrationAndDescribesTheCoclassAfterIt) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(static_cast<DWORD_PTR>(0xDEADBEEF));
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, m_classInfo->GetClassInfo(&typeInfo));
        EXPECT_EQ(nullptr, typeInfo);
    }

    m_ownLibrary = std::make_unique<RegisteredTypeLibrary>(m_dll.Path());
    ASSERT_EQ(S_OK, m_ownLibrary->result());

    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, m_classInfo->GetClassInfo(coclass.put()));
    ASSERT_TRUE(coclass);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_COCLASS, attributes->typekind);
    EXPECT_TRUE(IsEqualGUID(CLSID_CEyeTrackerImpl, attributes->guid));
    EXPECT_EQ(1, attributes->cImplTypes);
    coclass->ReleaseTypeAttr(attributes);

    INT flags = 0;
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    HREFTYPE reference = 0;
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &reference));
    ComPtr<ITypeInfo> defaultInterface;
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(reference, defaultInterface.put()));
    ASSERT_EQ(S_OK, defaultInterface->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(IID_IEyeTrackerImpl, attributes->guid));
    defaultInterface->ReleaseTypeAttr(attributes);

    // Loaded once: a second request hands out the same description.
    ComPtr<ITypeInfo> again;
    ASSERT_EQ(S_OK, m_classInfo->GetClassInfo(again.put()));
    EXPECT_EQ(coclass.get(), again.get());
}

TEST_F(DispatchClassInfo, ANullOutPointerIsRefused) { EXPECT_EQ(E_POINTER, m_classInfo->GetClassInfo(nullptr)); }

}  // namespace
}  // namespace okulon::test
