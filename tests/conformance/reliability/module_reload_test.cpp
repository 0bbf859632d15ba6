// A host that unloads Okulon.dll whenever no object is left (as
// CoFreeUnusedLibraries does) and loads it again for the next session. Each
// load is a fresh copy of everything linked into the DLL, so whatever one copy
// keeps per thread of the host and never gives back is lost at every unload.
// The reliability runs found such losses: two handles per round, kept by the
// threads library for a host thread that had passed a function-local static's
// guard inside the DLL; and, in the i686 build only, two handles and a
// thread-local slot per load, kept for the thread that loaded the DLL when the
// start-up code registered the unwind tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "process_figures.h"
#include "reliability_support.h"

namespace okulon::reliability {
namespace {

constexpr int kRounds = 8;
constexpr DWORD kBoundMs = 30000;

void PrintFigures(const char* what, const ProcessFigures& before, const ProcessFigures& after) {
    std::printf("%s: %lu handles and %lu thread-local slots before, %lu and %lu after %d rounds\n", what,
                static_cast<unsigned long>(before.handles), static_cast<unsigned long>(before.tlsSlots),
                static_cast<unsigned long>(after.handles), static_cast<unsigned long>(after.tlsSlots), kRounds);
}

TEST(ModuleReload, LoadingCreatingReleasingAndUnloadingLeavesNoHandleBehind) {
    ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(SUCCEEDED(apartment.get()));
    {  // the first round may load the platform's libraries for good
        test::OkulonDll dll;
        ASSERT_TRUE(CreateThroughFactory(dll));
    }
    const ProcessFigures before = ReadProcessFigures();
    for (int round = 0; round < kRounds; ++round) {
        test::OkulonDll dll;
        ComPtr<IEyeTracker> tracker = CreateThroughFactory(dll);
        ASSERT_TRUE(tracker);
        tracker.reset();
        ASSERT_EQ(S_OK, dll.CanUnloadNow());
    }
    const ProcessFigures after = ReadProcessFigures();
    PrintFigures("create and release", before, after);
    EXPECT_LE(after.handles, before.handles)
        << "handles left behind by " << kRounds << " load-create-release-unload rounds";
    EXPECT_LE(after.tlsSlots, before.tlsSlots)
        << "thread-local slots left behind by " << kRounds << " load-create-release-unload rounds";
}

// One host session per load, every call on the host's thread: the settings,
// type information, the tracker's clock, a stream, tracking against the
// simulator until records arrive, and the stop; the DLL is unloaded once it
// says it may be.
void RunSession(IEyeTracker* tracker, int port) {
    ASSERT_EQ(S_OK, SendSetting(tracker, L"host 127.0.0.1"));
    ASSERT_EQ(S_OK, SendSetting(tracker, L"port " + std::to_wstring(port)));
    ASSERT_EQ(S_OK, SendSetting(tracker, L"width 1280"));
    ASSERT_EQ(S_OK, SendSetting(tracker, L"height 1024"));

    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, tracker->QueryInterface(IID_IDispatch, dispatch.put_void()));
    ComPtr<ITypeInfo> typeInfo;
    EXPECT_EQ(S_OK, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, typeInfo.put()));

    LONGLONG time = 0;
    EXPECT_EQ(S_OK, tracker->GetTimestamp(&time));

    ASSERT_EQ(S_OK, tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, tracker->StartTracking());
    EXPECT_TRUE(WaitUntil([tracker] { return !FetchAllGaze(tracker, 0).empty(); }, kBoundMs))
        << "no gaze record arrived";
    EXPECT_EQ(S_OK, tracker->StopTracking());
    EXPECT_EQ(S_OK, tracker->StopGazeData(0));
}

TEST(ModuleReload, AHostSessionBetweenLoadAndUnloadLeavesNoHandleBehind) {
    ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(SUCCEEDED(apartment.get()));
    sim::Scenario scenario;
    auto server = StartSimulator(scenario, 600);
    ASSERT_TRUE(server);

    const auto round = [&server] {
        test::OkulonDll dll;
        ComPtr<IEyeTracker> tracker = CreateThroughFactory(dll);
        ASSERT_TRUE(tracker);
        RunSession(tracker.get(), server->Port());
        tracker.reset();
        // The tracking worker pins the DLL until it has ended.
        ASSERT_TRUE(WaitUntil([&dll] { return dll.CanUnloadNow() == S_OK; }, kBoundMs));
        ASSERT_TRUE(WaitUntil([&server] { return AllConnectionsClosed(*server); }, kBoundMs));
    };
    round();  // Winsock, the tracker libraries and the platform's heaps load here for good
    if (HasFatalFailure()) return;
    const ProcessFigures before = ReadSettledProcessFigures(ReadProcessFigures().threads, 5000);
    for (int i = 0; i < kRounds; ++i) {
        round();
        if (HasFatalFailure()) return;
    }
    const ProcessFigures after = ReadSettledProcessFigures(before.threads, 5000);
    PrintFigures("host sessions", before, after);
    // Two handles of slack for what the platform opens lazily; the loss this
    // guards against was two per round, sixteen over the run.
    EXPECT_LE(after.handles, before.handles + 2)
        << "handles left behind by " << kRounds << " load-session-unload rounds";
    EXPECT_LE(after.threads, before.threads) << "a thread outlived its session";
}

}  // namespace
}  // namespace okulon::reliability
