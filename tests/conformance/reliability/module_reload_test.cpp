// A host that unloads Okulon.dll whenever no object is left (as
// CoFreeUnusedLibraries does) and loads it again for the next session.
#include <gtest/gtest.h>

#include <cstdio>

#include "process_figures.h"
#include "reliability_support.h"

namespace okulon::reliability {
namespace {

// Found by the reliability runs: every load, create, release and unload leaves
// two handles open (31 -> 33 -> 35 -> 37 -> 39 over four rounds under Wine 8,
// x86-64), while loading and unloading without asking for the class factory
// leaves none and repeated sessions with the DLL kept loaded leave none. Asking
// for the factory alone (DllGetClassObject, then releasing it) before the
// unload is enough to lose the two. Not yet known whether the DLL or the
// platform's libraries hold them. Disabled until the
// cause is found; the expectation is that the count does not grow at all.
TEST(ModuleReload, DISABLED_LoadingCreatingReleasingAndUnloadingLeavesNoHandleBehind) {
    ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(SUCCEEDED(apartment.get()));
    {  // the first round may load the platform's libraries for good
        test::OkulonDll dll;
        ASSERT_TRUE(CreateThroughFactory(dll));
    }
    const DWORD before = ReadProcessFigures().handles;
    constexpr int kRounds = 8;
    for (int round = 0; round < kRounds; ++round) {
        test::OkulonDll dll;
        ComPtr<IEyeTracker> tracker = CreateThroughFactory(dll);
        ASSERT_TRUE(tracker);
        tracker.reset();
        ASSERT_EQ(S_OK, dll.CanUnloadNow());
    }
    const DWORD after = ReadProcessFigures().handles;
    std::printf("handles: %lu before, %lu after %d rounds\n", static_cast<unsigned long>(before),
                static_cast<unsigned long>(after), kRounds);
    EXPECT_LE(after, before) << "handles left behind by " << kRounds << " load-create-release-unload rounds";
}

}  // namespace
}  // namespace okulon::reliability
