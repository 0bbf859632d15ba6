// The check tool (okulon_check.exe) as a researcher runs it: against the
// simulated tracker, against a port where no server listens, without the
// tracker libraries, and with the component not registered. Each case
// registers the DLL it needs through its entry points and unregisters it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "server/com_support.h"
#include "simtracker/sim_server.h"

namespace {

using okulon::UniqueHandle;
using okulon::sim::Scenario;
using okulon::sim::SimServer;

std::wstring BinaryFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c);
    return narrow;
}

struct ProgramRun {
    bool started = false;
    bool ended = false;
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

// Runs a program with its output captured; waits at most a minute for it to end.
ProgramRun RunProgram(const std::wstring& program, const std::wstring& arguments) {
    ProgramRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
    UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = writer.get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    const std::wstring folder = program.substr(0, program.find_last_of(L'\\') + 1);
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup,
                        &process))
        return run;
    run.started = true;
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    writer.reset();
    // Read while the program runs and once more after it ended. Not up to the
    // pipe's end: a helper process that Wine starts for the program (its
    // desktop) inherits the pipe and keeps it open.
    const ULONGLONG deadline = GetTickCount64() + 60000;
    for (;;) {
        const bool ended = WaitForSingleObject(processHandle.get(), 20) == WAIT_OBJECT_0;
        DWORD available = 0;
        while (PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[4096];
            DWORD read = 0;
            if (!ReadFile(reader.get(), buffer, sizeof buffer, &read, nullptr) || read == 0) break;
            run.output.append(buffer, read);
        }
        if (ended) {
            run.ended = true;
            break;
        }
        if (GetTickCount64() > deadline) break;
    }
    GetExitCodeProcess(processHandle.get(), &run.exitCode);
    return run;
}

// Registers one Okulon.dll through its own entry point while it lives, and
// unregisters it afterwards.
class ComponentRegistered {
public:
    explicit ComponentRegistered(const std::wstring& dllPath) : m_dll(LoadLibraryW(dllPath.c_str())) {
        m_registered = Call("DllRegisterServer") == S_OK;
    }
    ~ComponentRegistered() {
        if (m_registered) Call("DllUnregisterServer");
    }
    bool Registered() const { return m_registered; }

private:
    HRESULT Call(const char* entryPoint) {
        if (!m_dll) return E_FAIL;
        using EntryPoint = HRESULT(WINAPI*)();
        auto function = reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(m_dll.get(), entryPoint)));
        return function ? function() : E_FAIL;
    }

    okulon::UniqueModule m_dll;
    bool m_registered = false;
};

// A folder of its own with copies of the named files of the build's folder.
class CopiedFolder {
public:
    explicit CopiedFolder(std::initializer_list<const wchar_t*> files) : m_files(files) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_folder = std::wstring(temp) + L"okulon check " + std::to_wstring(GetCurrentProcessId()) + L"\\";
        CreateDirectoryW(m_folder.c_str(), nullptr);
        for (const wchar_t* file : m_files)
            EXPECT_TRUE(CopyFileW((BinaryFolder() + file).c_str(), (m_folder + file).c_str(), FALSE)) << Narrow(file);
    }
    ~CopiedFolder() {
        for (const wchar_t* file : m_files) DeleteFileW((m_folder + file).c_str());
        RemoveDirectoryW(m_folder.c_str());
    }
    const std::wstring& Path() const { return m_folder; }

private:
    std::vector<const wchar_t*> m_files;
    std::wstring m_folder;
};

std::unique_ptr<SimServer> StartSimulator(const Scenario& base) {
    Scenario scenario = base;
    scenario.port = 0;
    scenario.lifetimeSeconds = 120;
    auto server = std::make_unique<SimServer>(scenario);
    std::string error;
    EXPECT_TRUE(server->Start(&error)) << error;
    return server;
}

// The number after `label` in the output, or -1.
double NumberAfter(const std::string& output, const std::string& label) {
    const size_t at = output.find(label);
    if (at == std::string::npos) return -1;
    return std::atof(output.c_str() + at + label.size());
}

const std::wstring kCheckTool = L"okulon_check.exe";

TEST(CheckTool, ReportsAWorkingSetupWithFilesVersionsSampleRateAndClockAgainstTheSimulator) {
    Scenario scenario;
    scenario.rate = 250;
    auto server = StartSimulator(scenario);
    ComponentRegistered component(BinaryFolder() + L"Okulon.dll");
    ASSERT_TRUE(component.Registered());

    const ProgramRun run = RunProgram(BinaryFolder() + kCheckTool,
                               L"--host 127.0.0.1 --port " + std::to_wstring(server->Port()) + L" --seconds 1");
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(0u, run.exitCode) << run.output;
    const std::string folder = Narrow(BinaryFolder());
    EXPECT_NE(std::string::npos, run.output.find("registered: yes, \"Okulon.EyeTrackerImpl\" is class {")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("file: " + folder + "Okulon.dll (file version ")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("created by ProgID: yes")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("tet.dll: " + folder + "tet.dll (file version ")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("ttime.dll: " + folder + "ttime.dll (file version ")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("beside Okulon.dll")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("connect: yes")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("system check: passed, code 0 (the tracker is ready)")) << run.output;
    // The simulator stamps its samples at exact 1/rate steps of its clock.
    EXPECT_NEAR(250.0, NumberAfter(run.output, "sample rate "), 2.5) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("clock offset: tracker clock - system clock = ")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("Result: Okulon can be used.")) << run.output;
    ASSERT_FALSE(server->Connections().empty());
    EXPECT_EQ(1u, server->Connections().front().systemChecks);
}

TEST(CheckTool, ExplainsAFailedSystemCheckCodeOfTheTracker) {
    Scenario scenario;
    scenario.systemCheck = {2};
    auto server = StartSimulator(scenario);
    ComponentRegistered component(BinaryFolder() + L"Okulon.dll");
    ASSERT_TRUE(component.Registered());

    const ProgramRun run = RunProgram(BinaryFolder() + kCheckTool,
                               L"--host 127.0.0.1 --port " + std::to_wstring(server->Port()) + L" --seconds 0.5");
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("system check: FAILED, code 2 (connection lost")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("Result: Okulon cannot be used: the tracker's system check reports no connection."))
        << run.output;
}

TEST(CheckTool, SaysTheTrackerDoesNotAnswerWhenNoServerListensOnThePort) {
    uint16_t freePort = 0;
    {
        auto server = StartSimulator(Scenario{});
        freePort = server->Port();
    }  // stopped: nothing listens there any more
    ComponentRegistered component(BinaryFolder() + L"Okulon.dll");
    ASSERT_TRUE(component.Registered());

    const ProgramRun run = RunProgram(BinaryFolder() + kCheckTool, L"--host 127.0.0.1 --port " + std::to_wstring(freePort));
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("connect: failed, code ")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("port " + std::to_string(freePort) + "?")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("Result: Okulon cannot be used: the tracker does not answer."))
        << run.output;
}

TEST(CheckTool, SaysNoTrackerLibraryWouldBeLoadedWhenNoneIsBesideTheComponentOrOnThePath) {
    CopiedFolder folder({L"Okulon.dll", L"okulon_check.exe"});
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder.Path() + L"tet.dll").c_str()));
    ComponentRegistered component(folder.Path() + L"Okulon.dll");
    ASSERT_TRUE(component.Registered());

    const ProgramRun run = RunProgram(folder.Path() + kCheckTool, L"");
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("file: " + Narrow(folder.Path()) + "Okulon.dll")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("tet.dll: none would be loaded")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("ttime.dll: none would be loaded")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("next to Okulon.dll or in a folder on PATH")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("Result: Okulon cannot be used: tet.dll would not be found"))
        << run.output;
}

TEST(CheckTool, SaysTheComponentIsNotRegisteredAndExitsWithOne) {
    {
        ComponentRegistered component(BinaryFolder() + L"Okulon.dll");
    }  // registered and unregistered again: no entries left
    const ProgramRun run = RunProgram(BinaryFolder() + kCheckTool, L"");
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("registered: no")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("run install.cmd")) << run.output;
}

TEST(CheckTool, RefusesUnknownOptionsAndOutOfRangeDurationsWithUsage) {
    for (const wchar_t* arguments : {L"--seconds 0", L"--seconds 100", L"--colour blue", L"--port"}) {
        const ProgramRun run = RunProgram(BinaryFolder() + kCheckTool, arguments);
        ASSERT_TRUE(run.ended) << run.output;
        EXPECT_EQ(2u, run.exitCode) << Narrow(arguments) << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find("usage: okulon_check")) << run.output;
    }
}

}  // namespace
