// A random host: a seeded sequence of calls of the 41 host-interface methods
// with valid and invalid arguments, against the real Okulon.dll and a
// simulated tracker that is made to drop, stall, refuse and flip its status
// meanwhile. After every call it checks what any host may rely on: the
// HRESULT is one the method may give, the last-error text goes with it,
// counts are never negative, fetched records are well formed and in time
// order per stream, and the call returned within a bound.
//
//   random_host_test [--seed=1] [--calls=3000] [--corpus=<folder of SendCommand texts>]
//
// The seed fixes the sequence of calls and arguments; the tracker's timing
// does not repeat exactly, so a replay follows the same calls against a
// tracker in a similar, not identical, state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "host/calibration_display_scripted.h"
#include "reliability_support.h"

namespace okulon::reliability {
namespace {

using host::ScriptedDisplay;

long long g_seed = 1;
long long g_calls = 3000;
std::string g_corpusFolder;

constexpr HRESULT kUnsupportedEyeType = static_cast<HRESULT>(0x80040200);
constexpr DWORD kBoundMs = 30000;
// See tracker_fault_test.cpp: no host call may wait for the tracker.
constexpr ULONGLONG kHostCallBoundMs = 2000;
// Calibrate returns by the first WaitForKey that reports Escape, after at most
// the worker's connect and first target; on a loaded machine well within 15 s.
constexpr ULONGLONG kCalibrateBoundMs = 15000;
constexpr LONG kLargeCount = 100000;  // the fetch buffer below has room for this many of the largest record
constexpr int kMethodCount = 41;

const wchar_t* const kPupilEyeTypeMessage =
    L"This Eye Tracker interface version doesn't support non-default eye types for pupil data";

std::vector<std::wstring> ReadCorpus(const std::string& folder) {
    std::vector<std::wstring> texts;
    if (folder.empty()) return texts;
    // A Linux path given to a program under Wine is reached through drive Z:.
    const std::string windowsFolder = folder[0] == '/' ? "Z:" + folder : folder;
    WIN32_FIND_DATAA entry{};
    const HANDLE find = FindFirstFileA((windowsFolder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return texts;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        FILE* file = std::fopen((windowsFolder + "\\" + entry.cFileName).c_str(), "rb");
        if (file == nullptr) continue;
        std::vector<char> bytes;
        char buffer[4096];
        size_t read = 0;
        while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + read);
        std::fclose(file);
        std::wstring text(bytes.size() / 2, L'\0');
        std::memcpy(text.data(), bytes.data(), text.size() * 2);  // UTF-16LE, embedded NULs kept
        texts.push_back(text);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return texts;
}

class RandomHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_TRUE(m_dll.IsLoaded());
        m_random.seed(static_cast<uint32_t>(g_seed));
        m_corpus = ReadCorpus(g_corpusFolder);
        sim::Scenario scenario;
        scenario.rate = 2000;
        m_server = StartSimulator(scenario, 3600);
        ASSERT_TRUE(m_server);
        m_tracker = CreateThroughFactory(m_dll);
        ASSERT_TRUE(m_tracker);
        PointAtSimulator();
        m_fetchBuffer.resize(static_cast<size_t>(kLargeCount) * 4);  // 32 bytes per record
    }

    void PointAtSimulator() {
        ASSERT_EQ(S_OK, SendSetting(m_tracker.get(), L"host 127.0.0.1"));
        ASSERT_EQ(S_OK, SendSetting(m_tracker.get(), L"port " + std::to_wstring(m_server->Port())));
    }

    int Pick(int bound) { return static_cast<int>(m_random() % static_cast<uint32_t>(bound)); }
    bool Chance(int percent) { return Pick(100) < percent; }
    LONG EyeType() { return Chance(75) ? Pick(3) : (Chance(50) ? -1 : 3); }
    LONG RequestedCount() {
        static const LONG counts[] = {-1, 0, 1, 7, 1000, kLargeCount};
        return counts[Pick(6)];
    }

    void Log(const std::string& line) {
        m_recent.push_back(line);
        if (m_recent.size() > 12) m_recent.pop_front();
    }
    std::string Where() const {
        std::string where = "seed " + std::to_string(g_seed) + ", call " + std::to_string(m_callIndex) + "; recent:";
        for (const std::string& line : m_recent) where += "\n  " + line;
        return where;
    }

    // The HRESULT is one the method may give and the last-error text goes
    // with it: unchanged after S_OK, one of the method's messages after one
    // of its failures. A caller error (null pointer, eye type or count out of
    // range) may instead give E_POINTER or E_INVALIDARG, whose text, if any,
    // names the method first.
    void CheckResult(const char* method, HRESULT hr, bool callerError, std::initializer_list<HRESULT> allowed,
                     std::initializer_list<const wchar_t*> messages) {
        const std::wstring text = LastErrorText(m_tracker.get());
        bool listed = false;
        for (HRESULT code : allowed) listed = listed || code == hr;
        if (listed && hr == S_OK) {
            EXPECT_EQ(Narrow(m_lastText), Narrow(text))
                << method << ": a successful call changed the text; " << Where();
        } else if (listed) {
            bool known = false;
            for (const wchar_t* message : messages) known = known || text == message;
            EXPECT_TRUE(known) << method << " failed with \"" << Narrow(text) << "\"; " << Where();
        } else if (callerError && (hr == E_POINTER || hr == E_INVALIDARG)) {
            const std::wstring prefix = std::wstring(method, method + std::strlen(method)) + L":";
            EXPECT_TRUE(text == m_lastText || text.rfind(prefix, 0) == 0)
                << method << " refused a caller error with \"" << Narrow(text) << "\"; " << Where();
        } else {
            ADD_FAILURE() << method << " gave 0x" << std::hex << static_cast<unsigned long>(hr) << std::dec << "; "
                          << Where();
        }
        m_lastText = text;
    }

    void CheckCount(const char* method, HRESULT hr, LONG count) {
        if (hr == S_OK) {
            EXPECT_GE(count, 0) << method << "; " << Where();
        }
    }

    void CheckTime(int64_t& last, int64_t time, const char* stream) {
        ++m_recordsChecked;
        EXPECT_GE(time, last) << stream << " went back in time; " << Where();
        last = time;
    }

    template <class Fetch>
    LONG FetchWith(const char* method, bool nullCount, bool nullArray, LONG requested, Fetch fetch, HRESULT* hr) {
        LONG count = requested;
        *hr = fetch(nullCount ? nullptr : &count, nullArray ? nullptr : m_fetchBuffer.data());
        if (*hr == S_OK && !nullCount) {
            EXPECT_GE(count, 0) << method << "; " << Where();
            if (requested >= 0) {
                EXPECT_LE(count, requested) << method << "; " << Where();
            }
            return count;
        }
        return 0;
    }

    void CheckGaze(LONG eyeType, LONG count) {
        const auto* records = reinterpret_cast<const ::GazeRecord*>(m_fetchBuffer.data());
        for (LONG i = 0; i < count; ++i) {
            CheckTime(m_lastGazeTime[eyeType], records[i].time, "gaze");
            EXPECT_TRUE(std::isfinite(records[i].x) && std::isfinite(records[i].y)) << Where();
        }
    }
    void CheckPupil(LONG count) {
        const auto* records = reinterpret_cast<const ::PupilRecord*>(m_fetchBuffer.data());
        for (LONG i = 0; i < count; ++i) {
            CheckTime(m_lastPupilTime, records[i].time, "pupil");
            EXPECT_EQ(0, records[i].reserved) << Where();
        }
    }
    void CheckEyeEvents(LONG count) {
        const auto* records = reinterpret_cast<const ::EyeEventRecord*>(m_fetchBuffer.data());
        for (LONG i = 0; i < count; ++i) {
            CheckTime(m_lastEventTime, records[i].time, "eye event");
            EXPECT_TRUE(records[i].kind == 0 || records[i].kind == 1) << "kind " << records[i].kind << "; " << Where();
        }
    }

    void ChangeTracker();
    void CallCalibrate();
    void CallSendCommand();
    void CallMethod(int method);

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    test::OkulonDll m_dll;
    std::unique_ptr<sim::SimServer> m_server;
    ComPtr<IEyeTracker> m_tracker;
    std::mt19937 m_random;
    std::vector<std::wstring> m_corpus;
    std::vector<uint64_t> m_fetchBuffer;
    std::vector<ComPtr<ScriptedDisplay>> m_displays;
    std::wstring m_lastText;
    std::deque<std::string> m_recent;
    long long m_callIndex = 0;
    int64_t m_lastGazeTime[3] = {INT64_MIN, INT64_MIN, INT64_MIN};
    int64_t m_lastPupilTime = INT64_MIN;
    int64_t m_lastEventTime = INT64_MIN;
    int64_t m_lastTimestamp = INT64_MIN;
    long long m_calls[kMethodCount] = {};
    long long m_callsSinceFailure = 0;
    long long m_recordsChecked = 0;
    long long m_trackerChanges = 0;
};

void RandomHost::ChangeTracker() {
    sim::Scenario scenario;
    scenario.rate = 2000;
    std::string what;
    // clang-format off: one scenario a line reads as a table
    switch (Pick(8)) {
    case 0:
        what = "healthy";
        break;
    case 1:
        scenario.systemCheck = {1};
        what = "status 1";
        break;
    case 2:
        scenario.systemCheck = {2};
        what = "status 2";
        break;
    case 3:
        scenario.systemCheck = {13};
        what = "status 13";
        break;
    case 4:
        scenario.systemCheck = {0, 0, 13, 0};
        what = "status 0,0,13,0";
        break;
    case 5:
        scenario.refuse = m_server->RefusedConnections() + 1 + Pick(3);
        what = "refuse";
        break;
    case 6:
        scenario.dropAfter = 100 + Pick(500);
        what = "drop";
        break;
    default:
        scenario.stallAfter = 50 + Pick(200);
        scenario.stallMs = 200 + Pick(1000);
        what = "stall";
        break;
    }
    // clang-format on
    m_server->SetScenario(scenario);
    ++m_trackerChanges;
    Log("tracker: " + what);
}

void RandomHost::CallCalibrate() {
    static const LONG kinds[] = {0, 0, 0, 0, 1, 2, -1};
    const LONG kind = kinds[Pick(7)];
    const bool nullDisplay = Chance(5);
    // Escape at a random WaitForKey; now and then never, so the calibration runs to its end.
    const int escapeAtWait = Chance(3) ? 0 : 1 + Pick(4);
    ComPtr<ScriptedDisplay> display = ComPtr<ScriptedDisplay>::adopt(ScriptedDisplay::Create(1024, 768));
    // The host's thread must look at the keyboard at least every WaitForKey
    // time-out (100 ms) while Calibrate runs; measured as the longest gap
    // between the start of the call and the WaitForKey calls.
    ULONGLONG lastLook = GetTickCount64();
    ULONGLONG longestGap = 0;
    int waits = 0;
    display->SetKeyHook([&] {
        const ULONGLONG now = GetTickCount64();
        longestGap = std::max(longestGap, now - lastLook);
        lastLook = now;
        return ++waits == escapeAtWait;
    });
    ScriptedDisplay* handed = nullDisplay ? nullptr : display.get();
    if (handed != nullptr) handed->AddRef();  // the host's reference, consumed by S_OK
    const LONG before = display->ReferenceCount();
    const ULONGLONG start = GetTickCount64();
    lastLook = start;
    const HRESULT hr = m_tracker->Calibrate(kind, handed, 0, 0, 0, 0, 0, 0);
    const ULONGLONG elapsed = GetTickCount64() - start;
    longestGap = std::max(longestGap, GetTickCount64() - lastLook);
    display->SetKeyHook(nullptr);
    EXPECT_LE(longestGap, kHostCallBoundMs)
        << "Calibrate did not look at the keyboard for " << longestGap << " ms; " << Where();
    if (escapeAtWait != 0) {
        EXPECT_LE(elapsed, kCalibrateBoundMs) << "Calibrate outlasted its Escape; " << Where();
    }
    Log("Calibrate(" + std::to_string(kind) + (nullDisplay ? ", null" : "") + ", escape at wait " +
        std::to_string(escapeAtWait) + ") = " + std::to_string(hr) + " after " + std::to_string(elapsed) + " ms");
    if (kind == 0) {
        CheckResult("Calibrate", hr, nullDisplay, {S_OK, E_FAIL},
                    {L"Calibrate: Failed to create calibration thread", L"Calibrate: Tracker not connected",
                     L"Calibrate: Calibration canceled", L"Calibrate: Calibration failed"});
    } else if (kind == 1) {
        CheckResult("Calibrate", hr, nullDisplay, {E_NOTIMPL}, {L"Calibrate: Drift Correction not implemented"});
    } else {
        CheckResult("Calibrate", hr, nullDisplay, {S_OK}, {});
    }
    if (handed != nullptr) {
        if (hr == S_OK) {
            EXPECT_EQ(before - 1, display->ReferenceCount()) << "S_OK consumes the handed-over reference; " << Where();
        } else {
            handed->Release();
        }
        m_displays.push_back(display);
    }
}

void RandomHost::CallSendCommand() {
    std::wstring text;
    const int choice = Pick(10);
    if (choice < 5 && !m_corpus.empty()) {
        text = m_corpus[static_cast<size_t>(Pick(static_cast<int>(m_corpus.size())))];
    } else if (choice < 7) {
        text = L"host 127.0.0.1";
    } else if (choice < 9) {
        text = L"port " + std::to_wstring(m_server->Port());
    } else {
        text = Chance(50) ? L"width 1280" : L"height 1024";
    }
    const bool nullText = Chance(3);
    const bool nullResult = Chance(3);
    const UniqueBstr bstr(nullText ? nullptr : SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    LONG result = test::kPoisonLong;
    const HRESULT hr = m_tracker->SendCommand(bstr.get(), nullResult ? nullptr : &result);
    Log("SendCommand(\"" + Narrow(text.substr(0, 40)) + "\") = " + std::to_string(hr));
    CheckResult("SendCommand", hr, nullResult, {S_OK, E_FAIL},
                {L"SendCommand: No parameters specified", L"SendCommand: Command not recognized"});
    if (!nullResult && hr == S_OK) {
        EXPECT_EQ(0, result) << Where();
    }
    if (!nullResult && hr == E_FAIL) {
        EXPECT_EQ(-1, result) << Where();
    }
}

void RandomHost::CallMethod(int method) {
    IEyeTracker* t = m_tracker.get();
    const bool nullOut = Chance(4);
    const bool nullArray = Chance(4);
    HRESULT hr = S_OK;
    LONG count = test::kPoisonLong;
    auto notImplemented = [&](const char* name, HRESULT result, const wchar_t* message) {
        CheckResult(name, result, false, {E_NOTIMPL}, {message});
    };
    switch (method) {
    case 0: {
        UniqueTaskMemString text;
        hr = t->GetLastErrorText(nullOut ? nullptr : text.put());
        if (hr == S_OK && text) {
            EXPECT_EQ(Narrow(m_lastText), Narrow(text.get())) << Where();
        }
        CheckResult("GetLastErrorText", hr, nullOut, {S_OK}, {});
        break;
    }
    case 1: {
        LONG version = 0;
        hr = t->GetInterfaceVersion(nullOut ? nullptr : &version);
        CheckResult("GetInterfaceVersion", hr, nullOut, {S_OK}, {});
        if (hr == S_OK && !nullOut) {
            EXPECT_EQ(99, version) << Where();
        }
        break;
    }
    case 2:
        CheckResult("SetOption", t->SetOption(static_cast<LONG>(m_random())), false, {S_OK}, {});
        break;
    case 3: {
        VARIANT_BOOL value = VARIANT_TRUE;
        hr = t->GetOption(nullOut ? nullptr : &value);
        CheckResult("GetOption", hr, nullOut, {S_OK}, {});
        if (hr == S_OK && !nullOut) {
            EXPECT_EQ(0, value) << Where();
        }
        break;
    }
    case 4:
        notImplemented("SendTrigger", t->SendTrigger(1), L"SendTrigger not implemented");
        break;
    case 5:
        notImplemented("SendString", t->SendString(1), L"SendString not implemented");
        break;
    case 6:
        hr = t->GetSpareRecordCount(nullOut ? nullptr : &count);
        CheckResult("GetSpareRecordCount", hr, nullOut, {S_OK}, {});
        if (hr == S_OK && !nullOut) {
            EXPECT_EQ(0, count) << Where();
        }
        break;
    case 7: {
        const LONG requested = RequestedCount();
        const LONG n = FetchWith(
            "GetSpareRecords", nullOut, nullArray, requested,
            [&](LONG* c, void* r) { return t->GetSpareRecords(c, static_cast<::SpareRecord*>(r)); }, &hr);
        CheckResult("GetSpareRecords", hr, nullOut || nullArray || requested < 0, {S_OK}, {});
        EXPECT_EQ(0, n) << Where();
        break;
    }
    case 8:
        CheckResult("StartTracking", t->StartTracking(), false, {S_OK, E_FAIL},
                    {L"StartTracking: Failed to create tracking thread", L"StartTracking: Tracker not connected"});
        break;
    case 9:
        CheckResult("StopTracking", t->StopTracking(), false, {S_OK, E_FAIL},
                    {L"StopTracking: Tracker not connected",
                     L"StopTracking: Tracking thread not created, maybe tracking was not started"});
        break;
    case 10:
        notImplemented("SetRecording", t->SetRecording(1), L"SetRecording not implemented");
        break;
    case 11:
        CallCalibrate();
        break;
    case 12:
        CheckResult("NoOperation", t->NoOperation(), false, {S_OK}, {});
        break;
    case 13: {
        const LONG eye = EyeType();
        CheckResult("StartGazeData", t->StartGazeData(Chance(60) ? VARIANT_TRUE : VARIANT_FALSE, eye),
                    eye < 0 || eye > 2, {S_OK}, {});
        break;
    }
    case 14: {
        const LONG eye = EyeType();
        CheckResult("StopGazeData", t->StopGazeData(eye), eye < 0 || eye > 2, {S_OK}, {});
        break;
    }
    case 15: {
        const LONG eye = EyeType();
        hr = t->GetGazeDataCount(nullOut ? nullptr : &count, eye);
        CheckResult("GetGazeDataCount", hr, nullOut || eye < 0 || eye > 2, {S_OK}, {});
        if (!nullOut) CheckCount("GetGazeDataCount", hr, count);
        break;
    }
    case 16: {
        const LONG eye = EyeType();
        const LONG requested = RequestedCount();
        const LONG n = FetchWith(
            "GetGazeData", nullOut, nullArray, requested,
            [&](LONG* c, void* r) { return t->GetGazeData(c, static_cast<::GazeRecord*>(r), eye); }, &hr);
        CheckResult("GetGazeData", hr, nullOut || nullArray || eye < 0 || eye > 2 || requested < 0, {S_OK}, {});
        if (hr == S_OK && eye >= 0 && eye <= 2) CheckGaze(eye, n);
        break;
    }
    case 17:
        notImplemented("StartSaccadeEvents", t->StartSaccadeEvents(), L"StartSaccadeEvents not implemented");
        break;
    case 18:
        notImplemented("StopSaccadeEvents", t->StopSaccadeEvents(), L"StopSaccadeEvents not implemented");
        break;
    case 19:
        hr = t->GetSaccadeEventCount(nullOut ? nullptr : &count);
        CheckResult("GetSaccadeEventCount", hr, nullOut, {S_OK}, {});
        if (hr == S_OK && !nullOut) {
            EXPECT_EQ(0, count) << Where();
        }
        break;
    case 20: {
        const LONG requested = RequestedCount();
        const LONG n = FetchWith(
            "GetSaccadeEvents", nullOut, nullArray, requested,
            [&](LONG* c, void* r) { return t->GetSaccadeEvents(c, static_cast<::SaccadeEventRecord*>(r)); }, &hr);
        CheckResult("GetSaccadeEvents", hr, nullOut || nullArray || requested < 0, {S_OK}, {});
        EXPECT_EQ(0, n) << Where();
        break;
    }
    case 21:
        notImplemented("StartFixationEvents", t->StartFixationEvents(), L"StartFixationEvents not implemented");
        break;
    case 22:
        notImplemented("StopFixationEvents", t->StopFixationEvents(), L"StopFixationEvents not implemented");
        break;
    case 23:
        hr = t->GetFixationEventCount(nullOut ? nullptr : &count);
        CheckResult("GetFixationEventCount", hr, nullOut, {S_OK}, {});
        if (hr == S_OK && !nullOut) {
            EXPECT_EQ(0, count) << Where();
        }
        break;
    case 24: {
        const LONG requested = RequestedCount();
        const LONG n = FetchWith(
            "GetFixationEvents", nullOut, nullArray, requested,
            [&](LONG* c, void* r) { return t->GetFixationEvents(c, static_cast<::FixationEventRecord*>(r)); }, &hr);
        CheckResult("GetFixationEvents", hr, nullOut || nullArray || requested < 0, {S_OK}, {});
        EXPECT_EQ(0, n) << Where();
        break;
    }
    case 25:
        notImplemented("StartAOIEvents", t->StartAOIEvents(), L"StartAOIEvents not implemented");
        break;
    case 26:
        notImplemented("StopAOIEvents", t->StopAOIEvents(), L"StopAOIEvents not implemented");
        break;
    case 27:
        hr = t->GetAOIEventCount(nullOut ? nullptr : &count);
        CheckResult("GetAOIEventCount", hr, nullOut, {S_OK}, {});
        if (hr == S_OK && !nullOut) {
            EXPECT_EQ(0, count) << Where();
        }
        break;
    case 28: {
        const LONG requested = RequestedCount();
        const LONG n = FetchWith(
            "GetAOIEvents", nullOut, nullArray, requested,
            [&](LONG* c, void* r) { return t->GetAOIEvents(c, static_cast<::AOIEventRecord*>(r)); }, &hr);
        CheckResult("GetAOIEvents", hr, nullOut || nullArray || requested < 0, {S_OK}, {});
        EXPECT_EQ(0, n) << Where();
        break;
    }
    case 29: {
        const LONG eye = EyeType();
        const HRESULT result = t->StartPupilData(Chance(60) ? VARIANT_TRUE : VARIANT_FALSE, eye);
        CheckResult("StartPupilData", result, false, {eye == 0 ? S_OK : kUnsupportedEyeType}, {kPupilEyeTypeMessage});
        break;
    }
    case 30:
        CheckResult("StopPupilData", t->StopPupilData(EyeType()), false, {S_OK}, {});
        break;
    case 31:
        hr = t->GetPupilDataCount(nullOut ? nullptr : &count);
        CheckResult("GetPupilDataCount", hr, nullOut, {S_OK}, {});
        if (!nullOut) CheckCount("GetPupilDataCount", hr, count);
        break;
    case 32: {
        const LONG eye = EyeType();
        const LONG requested = RequestedCount();
        const LONG n = FetchWith(
            "GetPupilData", nullOut, nullArray, requested,
            [&](LONG* c, void* r) { return t->GetPupilData(c, static_cast<::PupilRecord*>(r), eye); }, &hr);
        CheckResult("GetPupilData", hr, nullOut || nullArray || requested < 0, {eye == 0 ? S_OK : kUnsupportedEyeType},
                    {kPupilEyeTypeMessage});
        if (hr == S_OK) CheckPupil(n);
        break;
    }
    case 33:
        notImplemented("SetAOISet", t->SetAOISet(1), L"SetAOISet not implemented");
        break;
    case 34: {
        hyper time = 0;
        hr = t->GetTimestamp(nullOut ? nullptr : &time);
        CheckResult("GetTimestamp", hr, nullOut, {S_OK}, {});
        if (hr == S_OK && !nullOut) CheckTime(m_lastTimestamp, time, "GetTimestamp");
        break;
    }
    case 35:
        CallSendCommand();
        break;
    case 36:
        CheckResult("StartEyeEvents", t->StartEyeEvents(), false, {S_OK}, {});
        break;
    case 37:
        CheckResult("StopEyeEvents", t->StopEyeEvents(), false, {S_OK}, {});
        break;
    case 38:
        hr = t->GetEyeEventCount(nullOut ? nullptr : &count);
        CheckResult("GetEyeEventCount", hr, nullOut, {S_OK}, {});
        if (!nullOut) CheckCount("GetEyeEventCount", hr, count);
        break;
    case 39: {
        const LONG requested = RequestedCount();
        const LONG n = FetchWith(
            "GetEyeEvents", nullOut, nullArray, requested,
            [&](LONG* c, void* r) { return t->GetEyeEvents(c, static_cast<::EyeEventRecord*>(r)); }, &hr);
        CheckResult("GetEyeEvents", hr, nullOut || nullArray || requested < 0, {S_OK}, {});
        if (hr == S_OK) CheckEyeEvents(n);
        break;
    }
    default:
        notImplemented("IsRecording", t->IsRecording(1), L"IsRecording not implemented");
        break;
    }
}

TEST_F(RandomHost, SeededCallsOfEveryMethodKeepEveryPromiseOfTheInterface) {
    std::printf("random host: seed %lld, %lld calls, %zu command texts\n", g_seed, g_calls, m_corpus.size());
    const ULONGLONG started = GetTickCount64();
    ULONGLONG slowest = 0;
    for (m_callIndex = 1; m_callIndex <= g_calls; ++m_callIndex) {
        if (Chance(1)) ChangeTracker();
        // Corpus texts point the object anywhere; a host that notices sets it right again.
        if (Chance(2)) {
            PointAtSimulator();
            m_lastText = LastErrorText(m_tracker.get());
            Log("pointed at the simulator");
        }
        const int method = Pick(kMethodCount);
        ++m_calls[method];
        Log("method " + std::to_string(method + 1));
        const ULONGLONG start = GetTickCount64();
        CallMethod(method);
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (method != 11) {
            EXPECT_LE(elapsed, kHostCallBoundMs) << "method " << method + 1 << " blocked the host; " << Where();
            slowest = std::max(slowest, elapsed);
        }
        // A few calls past the first failure show its consequences; then stop.
        if (HasFailure() && ++m_callsSinceFailure > 20) FAIL() << "stopped after the first failure; " << Where();
    }
    m_tracker.reset();
    EXPECT_TRUE(WaitUntil([&] { return m_dll.CanUnloadNow() == S_OK; }, kBoundMs))
        << "a worker kept the module after the object was released; seed " << g_seed;
    EXPECT_TRUE(WaitUntil([&] { return AllConnectionsClosed(*m_server); }, kBoundMs)) << "seed " << g_seed;
    for (const auto& display : m_displays) EXPECT_EQ(1, display->ReferenceCount()) << "a display was kept";
    const long long rarest = *std::min_element(std::begin(m_calls), std::end(m_calls));
    std::printf("random host: each method called at least %lld times\n", rarest);
    std::printf(
        "random host: seed %lld, %lld calls in %.1f s, slowest non-calibration call %llu ms, "
        "%lld tracker changes, %zu connections, %zu calibrations with a display, %lld records and time "
        "stamps checked\n",
        g_seed, g_calls, (GetTickCount64() - started) / 1000.0, static_cast<unsigned long long>(slowest),
        m_trackerChanges, m_server->Connections().size(), m_displays.size(), m_recordsChecked);
}

}  // namespace
}  // namespace okulon::reliability

int main(int argc, char** argv) {
    okulon::reliability::g_seed = okulon::reliability::NumberArgument(argc, argv, "seed", 1);
    okulon::reliability::g_calls = okulon::reliability::NumberArgument(argc, argv, "calls", 3000);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--corpus=", 0) == 0) okulon::reliability::g_corpusFolder = argument.substr(9);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
