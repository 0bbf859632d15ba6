// Okulon.dll without the tracker vendor's libraries: it still loads and answers
// the host; the tracker counts as unreachable and the clock falls back to the
// system's performance counter. Run as a separate host process from a folder
// that holds no tet.dll or ttime.dll.
#include "test_support.h"

#include <string>

namespace okulon::test {
namespace {

std::wstring BinaryFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// A fresh folder with the host program, the component and the host's library only.
std::wstring MakeInstallFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"okulon-no-tracker-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* file : {L"okulon_host.exe", L"Okulon.dll", L"EyeTrackerLib.tlb"})
        EXPECT_TRUE(CopyFileW((BinaryFolder() + file).c_str(), (folder + file).c_str(), FALSE)) << file;
    return folder;
}

void RemoveInstallFolder(const std::wstring& folder) {
    for (const wchar_t* file : {L"okulon_host.exe", L"Okulon.dll", L"EyeTrackerLib.tlb"})
        DeleteFileW((folder + file).c_str());
    RemoveDirectoryW(folder.c_str());
}

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
    bool ended = false;
};

ProcessResult RunHost(const std::wstring& folder, std::wstring arguments) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = writer.get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + folder + L"okulon_host.exe\" " + arguments;
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup,
                        &process))
        return result;
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    writer.reset();
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(reader.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) result.output.append(buffer, read);
    result.ended = WaitForSingleObject(processHandle.get(), 60000) == WAIT_OBJECT_0;
    GetExitCodeProcess(processHandle.get(), &result.exitCode);
    return result;
}

TEST(MissingTrackerLibraries, TheComponentAnswersTheHostAndTheTrackerCountsAsUnreachable) {
    const std::wstring folder = MakeInstallFolder();
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"tet.dll").c_str()));
    const ProcessResult result =
        RunHost(folder, L"--create factory --port 4455 --seconds 0.3 --calibrate headless");
    RemoveInstallFolder(folder);

    ASSERT_TRUE(result.ended) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("interface version: 99")) << result.output;
    EXPECT_EQ(std::string::npos, result.output.find("tracker clock: 0 us")) << "the fallback clock runs";
    EXPECT_NE(std::string::npos, result.output.find("tracker clock: ")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("StartTracking: 0x00000000")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("Calibrate: Tracker not connected")) << result.output;
    EXPECT_EQ(2u, result.exitCode) << "no gaze record without a tracker\n" << result.output;
}

}  // namespace
}  // namespace okulon::test
