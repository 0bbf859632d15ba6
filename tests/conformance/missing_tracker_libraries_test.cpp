// Okulon.dll without the tracker vendor's libraries: it still loads and answers
// the host; the tracker counts as unreachable and the clock falls back to the
// system's performance counter. Run as a separate host process from a folder
// that holds no tet.dll or ttime.dll.
#include <string>

#include "dll_test_support.h"
#include "program_run.h"

namespace okulon::test {
namespace {

// A fresh folder with the host program, the component and the host's library only.
std::wstring MakeInstallFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"okulon-no-tracker-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* file : {L"okulon_host.exe", L"Okulon.dll", L"EyeTrackerLib.tlb"})
        EXPECT_TRUE(CopyFileW((ExecutableFolder() + file).c_str(), (folder + file).c_str(), FALSE)) << file;
    return folder;
}

void RemoveInstallFolder(const std::wstring& folder) {
    for (const wchar_t* file : {L"okulon_host.exe", L"Okulon.dll", L"EyeTrackerLib.tlb"})
        DeleteFileW((folder + file).c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(MissingTrackerLibraries, TheComponentAnswersTheHostAndTheTrackerCountsAsUnreachable) {
    const std::wstring folder = MakeInstallFolder();
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"tet.dll").c_str()));
    const ProgramRun result =
        RunProgram(folder + L"okulon_host.exe",
                   L"--dll \"" + folder + L"Okulon.dll\" --port 4455 --seconds 0.3 --calibrate headless");
    RemoveInstallFolder(folder);

    ASSERT_TRUE(result.ended) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("interface version: 99")) << result.output;
    EXPECT_EQ(std::string::npos, result.output.find("tracker clock: 0 us")) << "the fallback clock runs";
    EXPECT_NE(std::string::npos, result.output.find("tracker clock: ")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("StartTracking: 0x00000000")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("Calibrate: Tracker not connected")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("by path (--dll), not the registered one")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("CLOCKS DIFFER: no ttime.dll would be loaded")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("tet.dll would not be found")) << result.output;
    EXPECT_EQ(3u, result.exitCode) << "no gaze record without a tracker\n" << result.output;
}

}  // namespace
}  // namespace okulon::test
