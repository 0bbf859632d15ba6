// The DLL's lock count as a host sees it through DllCanUnloadNow: factory
// references, living objects and LockServer.
#include "dll_test_support.h"

namespace okulon::test {
namespace {

class ModuleLockCount : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    OkulonDll m_dll;
};

TEST_F(ModuleLockCount, AFreshlyLoadedDllCanBeUnloaded) { EXPECT_EQ(S_OK, m_dll.CanUnloadNow()); }

TEST_F(ModuleLockCount, AnOutsideFactoryReferenceHoldsTheDllUntilReleasedWhileTheFactoryStaysCached) {
    ComPtr<IClassFactory> factory = m_dll.Factory();
    ASSERT_TRUE(factory);
    const void* first = factory.get();
    EXPECT_EQ(S_FALSE, m_dll.CanUnloadNow());
    factory.reset();
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());

    factory = m_dll.Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(first, static_cast<const void*>(factory.get()));
    EXPECT_EQ(S_FALSE, m_dll.CanUnloadNow());
}

TEST_F(ModuleLockCount, ManyHoldersOfTheFactoryTakeOneLockBetweenThem) {
    ComPtr<IClassFactory> first = m_dll.Factory();
    ComPtr<IClassFactory> second = m_dll.Factory();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(1, ProbeLockCount(m_dll, first.get()));

    ComPtr<IClassFactory> third;
    ASSERT_EQ(S_OK, first->QueryInterface(IID_IClassFactory, third.put_void()));
    EXPECT_EQ(1, ProbeLockCount(m_dll, first.get()));

    // The cache's reference is the first: three outside holders make four.
    EXPECT_EQ(5u, first->AddRef());
    EXPECT_EQ(4u, first->Release());

    second.reset();
    third.reset();
    EXPECT_EQ(S_FALSE, m_dll.CanUnloadNow());
    first.reset();
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());
}

TEST_F(ModuleLockCount, EachLivingObjectHoldsOneLockUntilItsLastReferenceGoes) {
    ComPtr<IClassFactory> factory = m_dll.Factory();
    ASSERT_TRUE(factory);
    ComPtr<IEyeTracker> first;
    ComPtr<IEyeTracker> second;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEyeTracker, first.put_void()));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEyeTracker, second.put_void()));
    EXPECT_EQ(3, ProbeLockCount(m_dll, factory.get()));

    ComPtr<IUnknown> extra;
    ASSERT_EQ(S_OK, first->QueryInterface(IID_IUnknown, extra.put_void()));
    first.reset();
    EXPECT_EQ(3, ProbeLockCount(m_dll, factory.get()));
    extra.reset();
    EXPECT_EQ(2, ProbeLockCount(m_dll, factory.get()));
    second.reset();
    EXPECT_EQ(1, ProbeLockCount(m_dll, factory.get()));

    factory.reset();
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());
}

TEST_F(ModuleLockCount, AnObjectOutlivingTheFactoryStillHoldsTheDll) {
    ComPtr<IEyeTracker> tracker;
    {
        ComPtr<IClassFactory> factory = m_dll.Factory();
        ASSERT_TRUE(factory);
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEyeTracker, tracker.put_void()));
    }
    EXPECT_EQ(S_FALSE, m_dll.CanUnloadNow());
    tracker.reset();
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());
}

TEST_F(ModuleLockCount, LockServerCountsEveryCallAndAnUnbalancedUnlockGoesBelowZero) {
    ComPtr<IClassFactory> factory = m_dll.Factory();
    ASSERT_TRUE(factory);
    // The factory reference itself is one lock.
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(3, ProbeLockCount(m_dll, factory.get()));

    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());

    // One unlock more than locks: the count is -1, and that is not "unloadable".
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, m_dll.CanUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());

    // Give the factory reference its lock back before releasing it.
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.reset();
    EXPECT_EQ(S_OK, m_dll.CanUnloadNow());
}

}  // namespace
}  // namespace okulon::test
