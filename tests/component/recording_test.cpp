// The recording file as a host drives it through SendCommand, against the
// simulated tracker: every delivered sample on disk whatever the host
// fetches, the refusals, and a disk that fails or hangs (through the
// recorder's sink seam).
#include "component_support.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "recording/recorder.h"
#include "simtracker/sim_server.h"
#include "wait_until.h"

namespace okulon::test {
namespace {

using sim::Scenario;
using sim::SimServer;

std::wstring NewPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + name + std::to_wstring(GetCurrentProcessId()) + L".tsv";
    DeleteFileW(path.c_str());
    return path;
}

std::string Narrow(const std::wstring& path) { return std::string(path.begin(), path.end()); }

std::vector<std::vector<std::string>> Entries(const std::wstring& path, const std::string& kind) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    std::vector<std::vector<std::string>> entries;
    std::string line;
    while (std::getline(whole, line)) {
        if (whole.eof()) break;  // no line break: not an entry
        std::vector<std::string> fields;
        std::istringstream fieldsIn(line);
        for (std::string field; std::getline(fieldsIn, field, '\t');) fields.push_back(field);
        if (!fields.empty() && fields[0] == kind) entries.push_back(fields);
    }
    return entries;
}

// The disk as the tests make it: a real file that can be made to fail or hang.
HANDLE g_release = nullptr;  // set: a hung write goes on
LONG g_writesBeforeFailure = -1;
LONG g_writesBeforeHang = -1;

class SeamSink final : public RecordingSink {
public:
    explicit SeamSink(HANDLE file) : m_file(file) {}
    bool Write(const char* data, std::size_t size, std::string& failure) noexcept override {
        if (InterlockedDecrement(&g_writesBeforeFailure) == -1) {
            failure = "There is not enough space on the disk";
            return false;
        }
        if (InterlockedDecrement(&g_writesBeforeHang) == -1) WaitForSingleObject(g_release, INFINITE);
        DWORD written = 0;
        return WriteFile(m_file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    }
    bool Flush(std::string&) noexcept override { return true; }

private:
    HANDLE m_file;
};

class Recording : public ::testing::Test {
protected:
    void SetUp() override {
        g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Recorder::SetSinkFactoryForTesting(
            [](HANDLE file) -> std::unique_ptr<RecordingSink> { return std::make_unique<SeamSink>(file); });
    }
    void TearDown() override {
        SetEvent(g_release);
        m_tracker.reset();
        Recorder::SetSinkFactoryForTesting(nullptr);
        g_writesBeforeFailure = g_writesBeforeHang = -1;
        CloseHandle(g_release);
        for (const std::wstring& path : m_paths) DeleteFileW(path.c_str());
    }
    std::wstring Path(const wchar_t* name) {
        m_paths.push_back(NewPath(name));
        return m_paths.back();
    }
    // With `usable`, samples of both eyes usable, one gaze record of eye type 0 each.
    void StartServer(int rate, int samples, bool usable = false, uint64_t dropAfter = 0) {
        Scenario scenario;
        scenario.dropAfter = dropAfter;
        if (usable) {
            scenario.csvPath = Narrow(Path(L"okulon-replay"));
            std::ofstream replay(scenario.csvPath);
            for (int i = 0; i < samples; ++i) replay << "0.25,0.5,3.0,0,0.75,0.5,3.1,0\n";
        }
        scenario.port = 0;
        scenario.idleExitSeconds = 0;
        scenario.lifetimeSeconds = 120;
        scenario.rate = rate;
        scenario.sampleLimit = samples;
        m_server = std::make_unique<SimServer>(scenario);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        ASSERT_EQ(S_OK, Command(L"host 127.0.0.1"));
        ASSERT_EQ(S_OK, Command(L"port " + std::to_wstring(m_server->Port())));
    }
    HRESULT Command(const std::wstring& command) {
        const UniqueBstr text(SysAllocString(command.c_str()));
        LONG result = 7;
        const HRESULT hr = m_tracker->SendCommand(text.get(), &result);
        EXPECT_EQ(SUCCEEDED(hr) ? 0 : -1, result) << command.c_str();
        return hr;
    }
    uint64_t SamplesSent() {
        uint64_t sent = 0;
        for (const auto& connection : m_server->Connections()) sent += connection.samplesSent;
        return sent;
    }
    std::vector<::GazeRecord> FetchGaze(LONG eyeType) {
        std::vector<::GazeRecord> records(64);
        LONG count = static_cast<LONG>(records.size());
        EXPECT_EQ(S_OK, m_tracker->GetGazeData(&count, records.data(), eyeType));
        records.resize(count);
        return records;
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ComPtr<IEyeTracker> m_tracker = CreateTracker();
    std::unique_ptr<SimServer> m_server;
    std::vector<std::wstring> m_paths;
};

TEST_F(Recording, EverySampleSentReachesTheFileWhileTheHostFetchesNewestOnlyAndRarely) {
    StartServer(1000, 2000);
    const std::wstring path = Path(L"okulon-every");
    ASSERT_EQ(S_OK, Command(L"record " + path));
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_FALSE, 1));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_EQ(S_OK, Command(L"mark trial\t1"));
    int fetches = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            Sleep(250);
            LONG count = -1;
            EXPECT_EQ(S_OK, m_tracker->GetGazeDataCount(&count, 1));
            EXPECT_LE(count, 1) << "newest-only keeps one record";
            EXPECT_LE(FetchGaze(1).size(), 1u);
            ++fetches;
            return SamplesSent() == 2000 && Entries(path, "sample").size() == 2000;
        },
        30000))
        << Entries(path, "sample").size() << " samples on disk of " << SamplesSent() << " sent";
    ASSERT_EQ(S_OK, m_tracker->StopTracking());
    ASSERT_EQ(S_OK, Command(L"record off"));
    EXPECT_EQ(E_FAIL, Command(L"mark late"));
    EXPECT_EQ(L"SendCommand: No recording is open", LastErrorText(m_tracker.get()));

    const auto samples = Entries(path, "sample");
    ASSERT_EQ(samples.size(), 2000u);
    for (size_t i = 1; i < samples.size(); ++i)
        ASSERT_LT(std::stoll(samples[i - 1][1]), std::stoll(samples[i][1])) << "sample " << i;
    EXPECT_EQ(Entries(path, "start").size(), 1u);
    EXPECT_EQ(Entries(path, "stop").size(), 1u);
    ASSERT_EQ(Entries(path, "mark").size(), 1u);
    EXPECT_EQ(Entries(path, "mark")[0][3], "trial\\t1");
    const auto end = Entries(path, "end");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0][3], "2000");
    EXPECT_EQ(end[0][4], "0");
    EXPECT_GT(fetches, 1);
}

TEST_F(Recording, ALostConnectionIsAnEntryAfterTheLastSampleItDelivered) {
    StartServer(1000, 0, false, 300);
    const std::wstring path = Path(L"okulon-lost");
    ASSERT_EQ(S_OK, Command(L"record " + path));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    ASSERT_TRUE(WaitUntil([&] { return Entries(path, "disconnect").size() == 1; }, 20000));
    ASSERT_EQ(S_OK, Command(L"record off"));
    const auto disconnect = Entries(path, "disconnect")[0];
    EXPECT_NE(disconnect[3], "0") << "the tracker library's code";
    EXPECT_EQ(Entries(path, "sample").size(), 300u);
    EXPECT_LT(std::stoll(Entries(path, "sample").back()[1]), std::stoll(disconnect[1]));
}

TEST_F(Recording, BadCommandsAreRefusedWithAReasonAndNothingWrittenIsLost) {
    EXPECT_EQ(E_FAIL, Command(L"mark nothing open"));
    EXPECT_EQ(L"SendCommand: No recording is open", LastErrorText(m_tracker.get()));
    EXPECT_EQ(E_FAIL, Command(L"record off"));
    EXPECT_EQ(L"SendCommand: No recording is open", LastErrorText(m_tracker.get()));

    EXPECT_EQ(E_FAIL, Command(L"record C:\\no\\such\\folder\\okulon.tsv"));
    const std::wstring missingFolder = LastErrorText(m_tracker.get());
    EXPECT_EQ(0u, missingFolder.find(L"SendCommand: Recording file could not be created: "));
    EXPECT_GT(missingFolder.size(), 52u) << "the system's reason follows";

    const std::wstring existing = Path(L"okulon-existing");
    { std::ofstream(existing.c_str()) << "an earlier session\n"; }
    EXPECT_EQ(E_FAIL, Command(L"record " + existing));
    EXPECT_NE(missingFolder, LastErrorText(m_tracker.get()));
    std::ifstream kept(existing.c_str());
    std::string line;
    std::getline(kept, line);
    EXPECT_EQ("an earlier session", line);

    const std::wstring first = Path(L"okulon-first"), second = Path(L"okulon-second");
    ASSERT_EQ(S_OK, Command(L"record " + first));
    EXPECT_EQ(E_FAIL, Command(L"record " + second));
    EXPECT_EQ(L"SendCommand: A recording is already open", LastErrorText(m_tracker.get()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(second.c_str()));
    ASSERT_EQ(S_OK, Command(L"mark still recording"));
    ASSERT_EQ(S_OK, Command(L"record off"));
    EXPECT_EQ(Entries(first, "mark").size(), 1u);
    EXPECT_EQ(Entries(first, "end").size(), 1u);
}

TEST_F(Recording, AFailingDiskEndsTheRecordingTellsTheHostAndTrackingGoesOn) {
    StartServer(500, 0);
    g_writesBeforeFailure = 3;
    const std::wstring path = Path(L"okulon-full");
    ASSERT_EQ(S_OK, Command(L"record " + path));
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    const std::wstring told =
        L"Recording: Write failed: There is not enough space on the disk; the recording has ended, tracking goes on";
    ASSERT_TRUE(WaitUntil([&] { return LastErrorText(m_tracker.get()) == told; }, 20000));
    const uint64_t sentAtFailure = SamplesSent();
    ASSERT_TRUE(WaitUntil([&] { return SamplesSent() > sentAtFailure + 200; }, 20000));
    LONG count = 0;
    EXPECT_EQ(S_OK, m_tracker->GetGazeDataCount(&count, 0));
    EXPECT_GT(count, 200) << "the host's stream goes on";
    EXPECT_EQ(E_FAIL, Command(L"mark after the failure"));
    EXPECT_EQ(L"SendCommand: The recording has ended: Write failed: There is not enough space on the disk",
              LastErrorText(m_tracker.get()));
    EXPECT_EQ(S_OK, m_tracker->StopTracking());
    EXPECT_EQ(E_FAIL, Command(L"record off"));
    EXPECT_EQ(Entries(path, "header").size(), 6u) << "what was written before stays";
    // A new recording starts afresh.
    g_writesBeforeFailure = -1;
    const std::wstring next = Path(L"okulon-next");
    EXPECT_EQ(S_OK, Command(L"record " + next));
    EXPECT_EQ(S_OK, Command(L"record off"));
    EXPECT_EQ(Entries(next, "end").size(), 1u);
}

TEST_F(Recording, AHungDiskDropsAndCountsHoldsUpNoCallAndTheFileIsFinishedOnceItAnswers) {
    StartServer(2000, 24000, true);
    g_writesBeforeHang = 1;  // the header goes through, then the disk hangs
    const std::wstring path = Path(L"okulon-hung");
    ASSERT_EQ(S_OK, Command(L"record " + path));
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartTracking());
    std::vector<::GazeRecord> received;
    const auto fetchAll = [&] {
        for (auto batch = FetchGaze(0); !batch.empty(); batch = FetchGaze(0))
            received.insert(received.end(), batch.begin(), batch.end());
    };
    ASSERT_TRUE(WaitUntil(
        [&] {
            fetchAll();
            return received.size() == 24000;
        },
        60000))
        << received.size() << " records of " << SamplesSent() << " sent";
    // Bounded: each returns although the writer is stuck in a write.
    EXPECT_EQ(S_OK, m_tracker->StopTracking());
    EXPECT_EQ(E_FAIL, Command(L"record off"));
    EXPECT_EQ(L"SendCommand: The recording's disk does not answer; the file is finished once it does",
              LastErrorText(m_tracker.get()));
    const std::wstring next = Path(L"okulon-after-hang");
    EXPECT_EQ(E_FAIL, Command(L"record " + next));
    EXPECT_EQ(L"SendCommand: The previous recording is still being written: its disk does not answer",
              LastErrorText(m_tracker.get()));
    fetchAll();

    SetEvent(g_release);
    ASSERT_TRUE(WaitUntil([&] { return Entries(path, "end").size() == 1; }, 20000));
    const auto end = Entries(path, "end")[0];
    const uint64_t written = std::stoull(end[3]), dropped = std::stoull(end[4]);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(written + dropped, 24000u) << "every sample written or counted";
    EXPECT_EQ(Entries(path, "sample").size(), written);
    uint64_t droppedInEntries = 0;
    for (const auto& entry : Entries(path, "dropped")) droppedInEntries += std::stoull(entry[2]);
    EXPECT_EQ(droppedInEntries, dropped);
    EXPECT_EQ(received.size(), 24000u) << "the host's stream lost nothing";
    EXPECT_EQ(S_OK, Command(L"record " + next));
    EXPECT_EQ(S_OK, Command(L"record off"));
}

}  // namespace
}  // namespace okulon::test
