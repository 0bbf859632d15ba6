// QueryInterface of an object built by the loaded DLL: the identity, the
// three interface pointers, and identifiers that only nearly match.
#include <initializer_list>

#include "dll_test_support.h"

namespace okulon::test {
namespace {

void* const kPoison = reinterpret_cast<void*>(static_cast<DWORD_PTR>(0xDEADBEEF));

class DispatchQueryInterface : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
        ComPtr<IClassFactory> factory = m_dll.Factory();
        ASSERT_TRUE(factory);
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, m_identity.put_void()));
    }

    void* Query(IUnknown* from, REFIID iid) {
        void* object = kPoison;
        const HRESULT result = from->QueryInterface(iid, &object);
        EXPECT_EQ(S_OK, result);
        if (FAILED(result)) return nullptr;
        static_cast<IUnknown*>(object)->Release();  // the object stays alive through m_identity
        return object;
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    OkulonDll m_dll;
    ComPtr<IUnknown> m_identity;
};

TEST_F(DispatchQueryInterface, IUnknownIEyeTrackerImplAndIDispatchAreAllTheIdentity) {
    void* identity = m_identity.get();
    EXPECT_EQ(identity, Query(m_identity.get(), IID_IUnknown));
    EXPECT_EQ(identity, Query(m_identity.get(), IID_IEyeTrackerImpl));
    EXPECT_EQ(identity, Query(m_identity.get(), IID_IDispatch));
}

TEST_F(DispatchQueryInterface, IEyeTrackerAndIProvideClassInfoArePointersOfTheirOwn) {
    void* tracker = Query(m_identity.get(), IID_IEyeTracker);
    void* classInfo = Query(m_identity.get(), IID_IProvideClassInfo);
    ASSERT_NE(nullptr, tracker);
    ASSERT_NE(nullptr, classInfo);
    EXPECT_NE(static_cast<void*>(m_identity.get()), tracker);
    EXPECT_NE(static_cast<void*>(m_identity.get()), classInfo);
    EXPECT_NE(tracker, classInfo);
}

TEST_F(DispatchQueryInterface, EveryPointerLeadsBackToTheSameIdentityAndInterfaces) {
    for (const IID* from : {&IID_IEyeTracker, &IID_IProvideClassInfo, &IID_IDispatch}) {
        auto* pointer = static_cast<IUnknown*>(Query(m_identity.get(), *from));
        ASSERT_NE(nullptr, pointer);
        EXPECT_EQ(static_cast<void*>(m_identity.get()), Query(pointer, IID_IUnknown));
        EXPECT_EQ(static_cast<void*>(m_identity.get()), Query(pointer, IID_IDispatch));
        EXPECT_EQ(Query(m_identity.get(), IID_IEyeTracker), Query(pointer, IID_IEyeTracker));
        EXPECT_EQ(Query(m_identity.get(), IID_IProvideClassInfo), Query(pointer, IID_IProvideClassInfo));
    }
}

TEST_F(DispatchQueryInterface, AllPointersShareOneReferenceCount) {
    ComPtr<IEyeTracker> tracker;
    ASSERT_EQ(S_OK, m_identity->QueryInterface(IID_IEyeTracker, tracker.put_void()));
    ComPtr<IProvideClassInfo> classInfo;
    ASSERT_EQ(S_OK, tracker->QueryInterface(IID_IProvideClassInfo, classInfo.put_void()));
    EXPECT_EQ(4u, classInfo->AddRef());
    EXPECT_EQ(5u, tracker->AddRef());
    EXPECT_EQ(4u, m_identity->Release());
    EXPECT_EQ(3u, classInfo->Release());
}

TEST_F(DispatchQueryInterface, IdentifiersThatMatchOnlyInPartAreNotAnswered) {
    IID lastBytesDiffer = IID_IEyeTracker;  // first 12 bytes equal, last 4 not
    lastBytesDiffer.Data4[4] ^= 0x80;
    IID lastByteDiffers = IID_IEyeTrackerImpl;
    lastByteDiffers.Data4[7] ^= 0x01;
    IID firstByteDiffers = IID_IProvideClassInfo;
    firstByteDiffers.Data1 ^= 0x01;
    IID nearUnknown = IID_IUnknown;
    nearUnknown.Data4[7] ^= 0x01;
    for (const IID* iid :
         std::initializer_list<const IID*>{&lastBytesDiffer, &lastByteDiffers, &firstByteDiffers, &nearUnknown,
                                           &IID_IClassFactory, &IID_IProvideClassInfo2, &IID_IPersist}) {
        void* object = kPoison;
        EXPECT_EQ(E_NOINTERFACE, m_identity->QueryInterface(*iid, &object));
        EXPECT_EQ(nullptr, object);
    }
    // No reference was added by the failures.
    EXPECT_EQ(2u, m_identity->AddRef());
    m_identity->Release();
}

TEST_F(DispatchQueryInterface, ANullOutPointerIsRefusedOnEveryPointer) {
    EXPECT_EQ(E_POINTER, m_identity->QueryInterface(IID_IUnknown, nullptr));
    auto* tracker = static_cast<IUnknown*>(Query(m_identity.get(), IID_IEyeTracker));
    ASSERT_NE(nullptr, tracker);
    EXPECT_EQ(E_POINTER, tracker->QueryInterface(IID_IEyeTracker, nullptr));
}

}  // namespace
}  // namespace okulon::test
