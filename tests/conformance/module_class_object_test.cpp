// DllGetClassObject, DllMain and the class factory's own QueryInterface,
// called through the exports of the loaded DLL.
#include <initializer_list>

#include "dll_test_support.h"

namespace okulon::test {
namespace {

void* const kPoison = reinterpret_cast<void*>(static_cast<DWORD_PTR>(0xDEADBEEF));

// {CD388263-B06C-4075-83EA-9955A69AA0B3}: the class identifier with its last byte changed.
constexpr CLSID kNearClassId = {0xCD388263, 0xB06C, 0x4075, {0x83, 0xEA, 0x99, 0x55, 0xA6, 0x9A, 0xA0, 0xB3}};

class ModuleClassObject : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    OkulonDll m_dll;
};

TEST_F(ModuleClassObject, ANullOutPointerIsRefused) {
    EXPECT_EQ(E_POINTER, m_dll.GetClassObject(CLSID_CEyeTrackerImpl, IID_IClassFactory, nullptr));
}

TEST_F(ModuleClassObject, AnUnknownOrNearlyMatchingClassIsNotAvailableAndTakesNoLock) {
    void* object = kPoison;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, m_dll.GetClassObject(IID_IEyeTracker, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    object = kPoison;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, m_dll.GetClassObject(kNearClassId, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());
}

TEST_F(ModuleClassObject, TheFactoryAnswersIUnknownAndIClassFactoryWithItself) {
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, m_dll.GetClassObject(CLSID_CEyeTrackerImpl, IID_IUnknown, unknown.put_void()));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(factory.get()));
    ComPtr<IUnknown> again;
    ASSERT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, again.put_void()));
    EXPECT_EQ(unknown.get(), again.get());
}

TEST_F(ModuleClassObject, AnInterfaceTheFactoryLacksGivesNoInterfaceAndLeavesTheFactoryUsable) {
    void* object = kPoison;
    EXPECT_EQ(E_NOINTERFACE, m_dll.GetClassObject(CLSID_CEyeTrackerImpl, IID_IDispatch, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());

    ComPtr<IClassFactory> factory = m_dll.Factory();
    ASSERT_TRUE(factory);
    // Cache, this reference, and the one AddRef adds.
    EXPECT_EQ(3u, factory->AddRef());
    factory->Release();
}

TEST_F(ModuleClassObject, TheFactoryRefusesOtherInterfacesAndNearMissesWithANullPointer) {
    ComPtr<IClassFactory> factory = m_dll.Factory();
    ASSERT_TRUE(factory);
    IID nearClassFactory = IID_IClassFactory;
    nearClassFactory.Data4[7] ^= 0x01;
    IID nearUnknown = IID_IUnknown;  // (its first byte changed would be IClassFactory)
    nearUnknown.Data4[7] ^= 0x01;
    for (const IID* iid :
         std::initializer_list<const IID*>{&IID_IDispatch, &IID_IEyeTracker, &nearClassFactory, &nearUnknown}) {
        void* object = kPoison;
        EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(*iid, &object));
        EXPECT_EQ(nullptr, object);
    }
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(1, ProbeLockCount(m_dll, factory.get()));
}

TEST_F(ModuleClassObject, DllMainAcceptsThreadNotificationsAndDoesNothingWithThem) {
    EXPECT_TRUE(m_dll.Main(DLL_THREAD_ATTACH));
    EXPECT_TRUE(m_dll.Main(DLL_THREAD_DETACH));
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());
    ComPtr<IClassFactory> factory = m_dll.Factory();
    EXPECT_TRUE(factory);
}

struct FactoryRequest {
    const OkulonDll* dll;
    HANDLE start;
    IClassFactory* factory;
    HRESULT result;
};

DWORD WINAPI RequestFactory(void* argument) {
    auto* request = static_cast<FactoryRequest*>(argument);
    WaitForSingleObject(request->start, 10000);
    request->result = request->dll->GetClassObject(CLSID_CEyeTrackerImpl, IID_IClassFactory,
                                                   reinterpret_cast<void**>(&request->factory));
    return 0;
}

TEST_F(ModuleClassObject, FactoriesRequestedFromManyThreadsAtOnceAreOneObject) {
    constexpr int kThreads = 8;
    using Request = FactoryRequest;
    UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(start);
    Request requests[kThreads];
    UniqueHandle threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        requests[i] = {&m_dll, start.get(), nullptr, E_FAIL};
        threads[i].reset(CreateThread(nullptr, 0, &RequestFactory, &requests[i], 0, nullptr));
        ASSERT_TRUE(threads[i]);
    }
    SetEvent(start.get());
    for (auto& thread : threads) ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
    for (const Request& request : requests) {
        ASSERT_EQ(S_OK, request.result);
        EXPECT_EQ(requests[0].factory, request.factory);
    }
    // One cached reference plus one per thread.
    EXPECT_EQ(static_cast<ULONG>(kThreads + 2), requests[0].factory->AddRef());
    requests[0].factory->Release();
    for (const Request& request : requests) request.factory->Release();
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());
}

}  // namespace
}  // namespace okulon::test
