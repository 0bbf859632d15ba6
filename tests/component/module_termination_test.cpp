// The module object's termination list and lock count (on a module object of the test's own), the static records of the
// linked component, and unloading and reloading the real DLL.
#include <vector>

#include "dll_test_support.h"
#include "server/component/okulon_module.h"

namespace okulon::test {
namespace {

std::vector<int>* g_calls = nullptr;

void __stdcall RecordCall(DWORD_PTR argument) { g_calls->push_back(static_cast<int>(argument)); }

class ModuleTermination : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        g_calls = &m_calls;
    }
    void TearDown() override { g_calls = nullptr; }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    std::vector<int> m_calls;
};

TEST_F(ModuleTermination, CallbacksRunOnceEachMostRecentlyAddedFirst) {
    COkulonModule module;
    ASSERT_EQ(36u, module.SizeStamp());
    ASSERT_EQ(S_OK, module.AddTerminationCallback(&RecordCall, 1));
    ASSERT_EQ(S_OK, module.AddTerminationCallback(&RecordCall, 2));
    ASSERT_EQ(S_OK, module.AddTerminationCallback(&RecordCall, 3));
    EXPECT_TRUE(m_calls.empty());
    module.Term();
    EXPECT_EQ((std::vector<int>{3, 2, 1}), m_calls);
    EXPECT_EQ(0u, module.SizeStamp());
    module.Term();
    EXPECT_EQ(3u, m_calls.size());
}

TEST_F(ModuleTermination, DestroyingTheModuleRunsItsTermination) {
    {
        COkulonModule module;
        ASSERT_EQ(S_OK, module.AddTerminationCallback(&RecordCall, 7));
    }
    EXPECT_EQ((std::vector<int>{7}), m_calls);
}

TEST_F(ModuleTermination, LockAndUnlockReturnTheNewCountWithNoLowerBound) {
    COkulonModule module;
    EXPECT_EQ(0, module.GetLockCount());
    EXPECT_EQ(1, module.Lock());
    EXPECT_EQ(2, module.Lock());
    EXPECT_EQ(1, module.Unlock());
    EXPECT_EQ(0, module.Unlock());
    EXPECT_EQ(-1, module.Unlock());
    EXPECT_EQ(-1, module.GetLockCount());
}

TEST_F(ModuleTermination, TheLinkedComponentsStaticRecordsWereBuilt) {
    EXPECT_FALSE(InitialisationFailed());
    EXPECT_EQ(36u, Module().SizeStamp());
    EXPECT_EQ(40u, ClassModule().sizeStamp);
    EXPECT_EQ(1, ClassModule().mapEnd - ClassModule().mapBegin);
    EXPECT_TRUE(IsEqualGUID(CLSID_CEyeTrackerImpl, *ClassModule().mapBegin->classId));
    EXPECT_EQ(ThisModuleHandle(), BaseModule().module);
    EXPECT_TRUE(IsEqualGUID(LIBID_Okulon, COkulonModule::m_libid));
}

TEST_F(ModuleTermination, TheComponentFilePathIsTheLoadedImagesPath) {
    wchar_t path[MAX_PATH];
    ASSERT_EQ(S_OK, GetComponentFilePath(path));
    wchar_t expected[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, expected, MAX_PATH));
    EXPECT_STREQ(expected, path);
}

TEST_F(ModuleTermination, TheDllUnloadsAfterItsFactoryWasCachedAndServesAgainAfterReloading) {
    OkulonDll dll;
    ASSERT_TRUE(dll.IsLoaded());
    {
        ComPtr<IClassFactory> factory = dll.Factory();
        ASSERT_TRUE(factory);
        ComPtr<IEyeTracker> tracker;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEyeTracker, tracker.put_void()));
        // Load the process-wide type information too, so teardown has a holder to clean.
        RegisteredTypeLibrary host(HostLibraryPath());
        ASSERT_EQ(S_OK, host.result());
        ComPtr<ITypeInfo> typeInfo;
        EXPECT_EQ(S_OK, tracker->GetTypeInfo(0, LOCALE_NEUTRAL, typeInfo.put()));
    }
    ASSERT_EQ(S_OK, dll.CanUnloadNow());
    dll.Unload();
    ASSERT_EQ(nullptr, GetModuleHandleW(dll.Path().c_str()));

    ASSERT_TRUE(dll.Load());
    EXPECT_EQ(S_OK, dll.CanUnloadNow());
    ComPtr<IClassFactory> factory = dll.Factory();
    ASSERT_TRUE(factory);
    ComPtr<IEyeTracker> tracker;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEyeTracker, tracker.put_void()));
}

}  // namespace
}  // namespace okulon::test
