// The platform half of the command channel: the text syntax and the number
// reading live in commands/command_parser; here the value is converted with
// the calling thread's ANSI code page and stored.
#include "commands/command_settings.h"

#include "base/com_support.h"

#include <climits>
#include <cstring>
#include <string>

namespace okulon {
namespace {

// The code page that CP_THREAD_ACP stands for on this thread: the ANSI code
// page of the thread's locale, or the process's for a locale that has none.
UINT ThreadAnsiCodePage() noexcept {
    DWORD codePage = 0;
    const int written = GetLocaleInfoW(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                                       reinterpret_cast<LPWSTR>(&codePage), sizeof(codePage) / sizeof(WCHAR));
    if (written == 0 || codePage == CP_ACP) return GetACP();
    return codePage;
}

// UTF-16 to 8-bit text with the calling thread's ANSI code page and the
// platform's default handling of characters the code page lacks (best fit,
// else the default character).
HRESULT ConvertToThreadAnsi(std::u16string_view value, std::string& converted) {
    converted.clear();
    if (value.empty()) return S_OK;  // the conversion refuses a zero length
    if (value.size() > static_cast<size_t>(INT_MAX)) return E_OUTOFMEMORY;
    const auto* wide = reinterpret_cast<const WCHAR*>(value.data());
    const int units = static_cast<int>(value.size());
    const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return HResultFromLastError();
    converted.resize(static_cast<size_t>(bytes));
    const int stored = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, units, &converted[0], bytes, nullptr, nullptr);
    if (stored <= 0) return HResultFromLastError();
    converted.resize(static_cast<size_t>(stored));
    return S_OK;
}

// Fits the converted host name into the 256-byte buffer without splitting a
// multi-byte character of the code page it was converted with.
void StoreHostName(const std::string& converted, char (&buffer)[kTrackerHostBufferSize]) {
    const UINT codePage = ThreadAnsiCodePage();
    if (codePage == CP_UTF8) {
        StoreTrackerHost(converted, Utf8CharacterLength, buffer);
        return;
    }
    StoreTrackerHost(
        converted,
        [codePage](unsigned char lead) -> size_t {
            return IsDBCSLeadByteEx(codePage, static_cast<BYTE>(lead)) ? 2 : 1;
        },
        buffer);
}

}  // namespace

CommandSettings::CommandSettings() noexcept
    : m_trackerPort(4455), m_screenWidth(GetSystemMetrics(SM_CXSCREEN)), m_screenHeight(GetSystemMetrics(SM_CYSCREEN)) {
    std::strcpy(m_trackerHost, "localhost");
}

TrackerEndpoint CommandSettings::SnapshotEndpoint() const {
    TrackerEndpoint endpoint;
    endpoint.host.assign(m_trackerHost, strnlen(m_trackerHost, sizeof(m_trackerHost)));
    endpoint.port = m_trackerPort.load();
    return endpoint;
}

HRESULT CommandSettings::Apply(const ParsedCommand& command) {
    switch (command.parameter) {
    case CommandParameter::Host: {
        std::string converted;
        const HRESULT converting = ConvertToThreadAnsi(command.value, converted);
        if (FAILED(converting)) return converting;
        // Workers connect with a copy taken when they start (SnapshotEndpoint),
        // so rewriting the buffer here never races a connect.
        StoreHostName(converted, m_trackerHost);
        break;
    }
    case CommandParameter::Port: {
        std::string converted;
        const HRESULT converting = ConvertToThreadAnsi(command.value, converted);
        if (FAILED(converting)) return converting;
        m_trackerPort = ReadDecimalInt32(std::string_view(converted));
        break;
    }
    case CommandParameter::Width:
        m_screenWidth = ReadDecimalInt32(command.value);
        break;
    case CommandParameter::Height:
        m_screenHeight = ReadDecimalInt32(command.value);
        break;
    case CommandParameter::Record:
    case CommandParameter::RecordOff:
    case CommandParameter::Mark:
        return E_UNEXPECTED;  // the recorder's commands, not settings
    }
    return S_OK;
}

}  // namespace okulon
