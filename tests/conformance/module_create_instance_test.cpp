// IClassFactory::CreateInstance of the loaded DLL's factory: new objects,
// refused aggregation, and interfaces the object does not answer.
#include "dll_test_support.h"

namespace okulon::test {
namespace {

void* const kPoison = reinterpret_cast<void*>(static_cast<DWORD_PTR>(0xDEADBEEF));

// An outer object that must never be called: aggregation is refused before any use.
class UntouchableOuter final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void**) override {
        ADD_FAILURE() << "the outer object was asked for an interface";
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        ADD_FAILURE() << "the outer object was referenced";
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ADD_FAILURE() << "the outer object was released";
        return 1;
    }
};

class ModuleCreateInstance : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
        m_factory = m_dll.Factory();
        ASSERT_TRUE(m_factory);
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    OkulonDll m_dll;
    ComPtr<IClassFactory> m_factory;
};

TEST_F(ModuleCreateInstance, EveryCallBuildsANewObject) {
    ComPtr<IUnknown> first;
    ComPtr<IUnknown> second;
    ASSERT_EQ(S_OK, m_factory->CreateInstance(nullptr, IID_IUnknown, first.put_void()));
    ASSERT_EQ(S_OK, m_factory->CreateInstance(nullptr, IID_IUnknown, second.put_void()));
    EXPECT_NE(first.get(), second.get());
    // A fresh object has exactly the reference handed out.
    EXPECT_EQ(2u, first->AddRef());
    EXPECT_EQ(1u, first->Release());
}

TEST_F(ModuleCreateInstance, ANullOutPointerIsRefusedWithOrWithoutAnOuterObject) {
    UntouchableOuter outer;
    EXPECT_EQ(E_POINTER, m_factory->CreateInstance(nullptr, IID_IEyeTracker, nullptr));
    EXPECT_EQ(E_POINTER, m_factory->CreateInstance(&outer, IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, m_factory->CreateInstance(&outer, IID_IEyeTracker, nullptr));
    EXPECT_EQ(1, ProbeLockCount(m_dll, m_factory.get()));
}

TEST_F(ModuleCreateInstance, AggregationIsRefusedForIUnknownAndForAnyOtherInterface) {
    UntouchableOuter outer;
    for (const IID* iid : {&IID_IUnknown, &IID_IEyeTracker, &IID_IDispatch}) {
        void* object = kPoison;
        EXPECT_EQ(CLASS_E_NOAGGREGATION, m_factory->CreateInstance(&outer, *iid, &object));
        EXPECT_EQ(nullptr, object);
    }
    EXPECT_EQ(1, ProbeLockCount(m_dll, m_factory.get()));
}

TEST_F(ModuleCreateInstance, AnInterfaceTheObjectLacksDestroysItAndLeavesTheLockCountUnchanged) {
    for (const IID* iid : {&IID_IClassFactory, &IID_IProvideClassInfo2, &IID_IPersist}) {
        void* object = kPoison;
        EXPECT_EQ(E_NOINTERFACE, m_factory->CreateInstance(nullptr, *iid, &object));
        EXPECT_EQ(nullptr, object);
        EXPECT_EQ(1, ProbeLockCount(m_dll, m_factory.get()));
    }
    m_factory.reset();
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());
}

TEST_F(ModuleCreateInstance, TheHostInterfaceOfANewObjectWorksEarlyBound) {
    ComPtr<IEyeTracker> tracker;
    ASSERT_EQ(S_OK, m_factory->CreateInstance(nullptr, IID_IEyeTracker, tracker.put_void()));
    LONG version = kPoisonLong;
    EXPECT_EQ(S_OK, tracker->GetInterfaceVersion(&version));
    EXPECT_EQ(99, version);
    EXPECT_EQ(L"", LastErrorText(tracker.get()));
}

}  // namespace
}  // namespace okulon::test
