// A host that dies mid-session: okulon_host records against the simulator and
// is killed with TerminateProcess. The file must read up to its last complete
// line and lack at most the last second before the kill.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/com_support.h"
#include "dll_test_support.h"
#include "simtracker/sim_server.h"
#include "wait_until.h"

namespace okulon::test {
namespace {

using Fields = std::vector<std::string>;

// The complete lines of the file; a last line without its line break is not one.
std::vector<Fields> CompleteLines(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    std::vector<Fields> lines;
    std::string line;
    while (std::getline(whole, line) && !whole.eof()) {
        Fields fields;
        std::istringstream fieldsIn(line);
        for (std::string field; std::getline(fieldsIn, field, '\t');) fields.push_back(field);
        lines.push_back(fields);
    }
    return lines;
}

size_t CountKind(const std::vector<Fields>& lines, const char* kind) {
    size_t count = 0;
    for (const Fields& fields : lines) count += !fields.empty() && fields[0] == kind;
    return count;
}

int64_t PcMicroseconds() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart / frequency.QuadPart * 1000000 +
           counter.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

TEST(RecordingCrash, AKilledHostLeavesAReadableFileThatLacksAtMostTheLastSecond) {
    sim::Scenario scenario;
    scenario.port = 0;
    scenario.lifetimeSeconds = 120;
    scenario.rate = 1000;
    sim::SimServer server(scenario);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;

    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path =
        std::wstring(folder) + L"okulon-crash-" + std::to_wstring(GetCurrentProcessId()) + L".tsv";
    DeleteFileW(path.c_str());
    std::wstring commandLine = L"\"" + ExecutableFolder() + L"okulon_host.exe\" --dll \"" + ExecutableFolder() +
                               L"Okulon.dll\" --port " + std::to_wstring(server.Port()) +
                               L" --seconds 120 --calibrate no --record \"" + path + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nul.get();
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, ExecutableFolder().c_str(),
                               &startup, &process));
    UniqueHandle host(process.hProcess), thread(process.hThread);

    ASSERT_TRUE(WaitUntil([&] { return CountKind(CompleteLines(path), "sample") >= 2000; }, 60000))
        << "the host recorded " << CountKind(CompleteLines(path), "sample") << " samples";
    const int64_t killedPcUs = PcMicroseconds();
    ASSERT_TRUE(TerminateProcess(host.get(), 9));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(host.get(), 10000));

    const std::vector<Fields> lines = CompleteLines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], (Fields{"okulon-recording", "1"}));
    EXPECT_EQ(CountKind(lines, "end"), 0u) << "nobody finished the file";
    int64_t lastSample = 0, clockTracker = 0, clockPc = 0;
    for (const Fields& fields : lines) {
        if (fields[0] == "sample") {
            ASSERT_EQ(fields.size(), 14u);
            const int64_t time = std::stoll(fields[1]);
            ASSERT_GT(time, lastSample);
            lastSample = time;
        } else if (fields[0] == "clock") {
            ASSERT_EQ(fields.size(), 4u);
            clockTracker = std::stoll(fields[2]);
            clockPc = (std::stoll(fields[1]) + std::stoll(fields[3])) / 2;
        }
    }
    ASSERT_NE(clockPc, 0) << "a clock entry maps the tracker's time to the PC's";
    // The newest sample on disk, on the PC's clock, against the moment of the kill.
    const int64_t lastSamplePcUs = lastSample - clockTracker + clockPc;
    EXPECT_LE(killedPcUs - lastSamplePcUs, 1000000) << "the file lacks more than the last second";
    DeleteFileW(path.c_str());
}

}  // namespace
}  // namespace okulon::test
