// A program of the build run as its own process, as a researcher runs it: the
// working folder is the program's, the output (standard output and error
// together) is captured, and the wait is bounded.
#pragma once

#include <windows.h>

#include <string>

#include "base/com_support.h"

namespace okulon::test {

struct ProgramRun {
    bool started = false;
    bool ended = false;
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

// Runs `program` with `arguments` and waits at most `timeoutMs` for it to end.
inline ProgramRun RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000) {
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
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
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

}  // namespace okulon::test
