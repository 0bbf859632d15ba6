#include "recording/recorder.h"

#include <new>
#include <utility>

#include "base/worker_thread.h"

namespace okulon {
namespace {

// The system's text for an error code, without its line break.
std::wstring SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message;
    if (length != 0 && text != nullptr) message.assign(text, length);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() &&
           (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' || message.back() == L'.'))
        message.pop_back();
    if (message.empty()) message = L"error " + std::to_wstring(error);
    return message;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string converted(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), bytes, nullptr,
                            nullptr);
    return converted;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring converted(units > 0 ? static_cast<std::size_t>(units) : 0, L'\0');
    if (units > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), units);
    return converted;
}

class FileSink final : public RecordingSink {
public:
    explicit FileSink(HANDLE file) noexcept : m_file(file) {}
    bool Write(const char* data, std::size_t size, std::string& failure) noexcept override {
        while (size > 0) {
            const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
            DWORD written = 0;
            if (!WriteFile(m_file, data, chunk, &written, nullptr) || written == 0) {
                failure = Reason();
                return false;
            }
            data += written;
            size -= written;
        }
        return true;
    }
    bool Flush(std::string& failure) noexcept override {
        if (FlushFileBuffers(m_file)) return true;
        failure = Reason();
        return false;
    }

private:
    static std::string Reason() noexcept {
        const DWORD error = GetLastError();
        try {
            return ToUtf8(SystemMessage(error));
        } catch (...) {
            return std::string();
        }
    }
    HANDLE m_file;
};

std::unique_ptr<RecordingSink> MakeFileSink(HANDLE file) { return std::make_unique<FileSink>(file); }

// Namespace scope, constant-initialised: no guard runs on the host's thread.
Recorder::SinkFactory g_sinkFactory = nullptr;

std::string UtcNow() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[32];
    wsprintfA(text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
              now.wSecond, now.wMilliseconds);
    return text;
}

}  // namespace

// What one recording's writer thread shares with the object.
struct RecordingSession {
    RecordingSession(std::shared_ptr<RecordingChannel> shared, UniqueFile openFile, std::unique_ptr<RecordingSink> out,
                     uint32_t generation)
        : channel(std::move(shared)),
          file(std::move(openFile)),
          sink(std::move(out)),
          writer(channel->samples, channel->controls, *sink, clock, generation) {}

    std::shared_ptr<RecordingChannel> channel;
    UniqueFile file;
    std::unique_ptr<RecordingSink> sink;
    SystemClock clock;
    RecordingWriter writer;
    RecordingHeader header;
    UniqueHandle wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle progress{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> flushesAsked{0};
    std::atomic<uint32_t> flushesDone{0};
    // Set by the writer once it has ended the file, the failure text before it.
    std::atomic<bool> ended{false};
    std::atomic<bool> failed{false};
    std::string failure;

    static DWORD WriterMain(void* argument) noexcept;
    void Run() noexcept;
};

DWORD RecordingSession::WriterMain(void* argument) noexcept {
    const std::unique_ptr<std::shared_ptr<RecordingSession>> handedOver(
        static_cast<std::shared_ptr<RecordingSession>*>(argument));
    const std::shared_ptr<RecordingSession> session = std::move(*handedOver);
    session->Run();
    return 0;
}

void RecordingSession::Run() noexcept {
    bool ok = writer.Begin(header);
    while (ok) {
        WaitForSingleObject(wake.get(), Recorder::kWriterWakeMs);
        const bool stopping = stop.load(std::memory_order_acquire);
        const uint32_t asked = flushesAsked.load(std::memory_order_acquire);
        const bool flush = asked != flushesDone.load(std::memory_order_relaxed);
        ok = writer.Pump(flush);
        if (ok && flush) {
            flushesDone.store(asked, std::memory_order_release);
            SetEvent(progress.get());
        }
        if (stopping) break;
    }
    if (ok) writer.Finish();
    if (writer.Failed()) {
        try {
            failure = writer.Failure();
        } catch (...) {
        }
        failed.store(true, std::memory_order_release);
    }
    sink.reset();
    file.reset();
    ended.store(true, std::memory_order_release);
    SetEvent(progress.get());
}

Recorder::Recorder() noexcept = default;

Recorder::~Recorder() { End(); }

void Recorder::SetSinkFactoryForTesting(SinkFactory factory) noexcept { g_sinkFactory = factory; }

bool Recorder::Open(const std::wstring& path, RecordingHeader header, bool tracking, std::wstring& message) {
    if (m_session) {
        if (!m_session->ended.load(std::memory_order_acquire)) {
            message = L"A recording is already open";
            return false;
        }
        std::wstring ignored;
        EndSession(ignored);  // it ended on a disk failure; make way
    }
    if (m_lingering) {
        if (WaitForSingleObject(m_lingeringThread.get(), 0) != WAIT_OBJECT_0) {
            message = L"The previous recording is still being written: its disk does not answer";
            return false;
        }
        m_lingering.reset();
        m_lingeringThread.reset();
    }
    if (!m_channel) m_channel = std::make_shared<RecordingChannel>(kHandoffCapacity);

    // CREATE_NEW: an existing file, a recording of an earlier session perhaps, is never overwritten.
    UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        message = L"Recording file could not be created: " + SystemMessage(GetLastError());
        return false;
    }
    std::unique_ptr<RecordingSink> sink =
        g_sinkFactory != nullptr ? g_sinkFactory(file.get()) : MakeFileSink(file.get());
    const uint32_t generation = ++m_lastGeneration == 0 ? ++m_lastGeneration : m_lastGeneration;
    auto session = std::make_shared<RecordingSession>(m_channel, std::move(file), std::move(sink), generation);
    header.componentVersion = OKULON_VERSION_TEXT;
    header.startPcUs = session->clock.PcMicroseconds();
    header.startTrackerUs = session->clock.TrackerMicroseconds();
    header.startUtc = UtcNow();
    session->header = std::move(header);
    if (!session->wake || !session->progress) {
        message = L"Recording could not start: " + SystemMessage(GetLastError());
        DeleteFileW(path.c_str());
        return false;
    }
    auto argument = std::make_unique<std::shared_ptr<RecordingSession>>(session);
    UniqueHandle thread = CreateWorkerThread(&RecordingSession::WriterMain, argument.get());
    if (!thread) {
        message = L"Recording could not start: " + SystemMessage(GetLastError());
        session->file.reset();
        DeleteFileW(path.c_str());
        return false;
    }
    static_cast<void>(argument.release());  // the writer's now
    m_session = std::move(session);
    m_writerThread = std::move(thread);
    m_failureReported = false;
    m_liveGeneration.store(generation, std::memory_order_release);
    if (tracking) NoteStart();
    return true;
}

bool Recorder::Post(ControlKind kind, int32_t code, std::string text) noexcept {
    const uint32_t generation = m_liveGeneration.load(std::memory_order_acquire);
    if (generation == 0) return false;
    std::unique_ptr<ControlEntry> entry(new (std::nothrow) ControlEntry);
    if (!entry) return false;
    entry->kind = kind;
    entry->generation = generation;
    entry->samplesBefore = m_channel->samples.PushedCount();
    entry->pcUs = m_clock.PcMicroseconds();
    entry->trackerUs = m_clock.TrackerMicroseconds();
    entry->code = code;
    entry->text = std::move(text);
    m_channel->controls.Post(std::move(entry));
    return true;
}

void Recorder::Wake() noexcept {
    if (m_session) SetEvent(m_session->wake.get());
}

bool Recorder::Mark(const std::wstring& text, std::wstring& message) {
    if (!m_session) {
        message = L"No recording is open";
        return false;
    }
    if (m_session->ended.load(std::memory_order_acquire)) {
        message = L"The recording has ended: " + FromUtf8(m_session->failure);
        return false;
    }
    if (!Post(ControlKind::kMark, 0, ToUtf8(text))) throw std::bad_alloc();
    Wake();
    return true;
}

void Recorder::NoteStart() noexcept {
    if (Post(ControlKind::kStart, 0, std::string())) Wake();
}

void Recorder::NoteStop() noexcept {
    if (!m_session || !Post(ControlKind::kStop, 0, std::string())) return;
    const uint32_t asked = m_session->flushesAsked.fetch_add(1, std::memory_order_acq_rel) + 1;
    Wake();
    const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
    while (asked - m_session->flushesDone.load(std::memory_order_acquire) < 0x80000000u &&
           asked != m_session->flushesDone.load(std::memory_order_acquire) &&
           !m_session->ended.load(std::memory_order_acquire)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        WaitForSingleObject(m_session->progress.get(), static_cast<DWORD>(deadline - now));
    }
}

// On the tracking worker, inside the object: it touches only what lives as
// long as the object, and the writer wakes for it within kWriterWakeMs.
void Recorder::NoteDisconnect(int32_t code) noexcept { Post(ControlKind::kDisconnect, code, std::string()); }

bool Recorder::Close(std::wstring& message) noexcept {
    if (!m_session) {
        message = L"No recording is open";
        return false;
    }
    return EndSession(message);
}

bool Recorder::EndSession(std::wstring& message) noexcept {
    m_liveGeneration.store(0, std::memory_order_release);
    std::shared_ptr<RecordingSession> session = std::move(m_session);
    UniqueHandle thread = std::move(m_writerThread);
    session->stop.store(true, std::memory_order_release);
    SetEvent(session->wake.get());
    if (WaitForSingleObject(thread.get(), kStopWaitMs) != WAIT_OBJECT_0) {
        m_lingering = std::move(session);
        m_lingeringThread = std::move(thread);
        message = L"The recording's disk does not answer; the file is finished once it does";
        return false;
    }
    if (session->failed.load(std::memory_order_acquire)) {
        try {
            message = L"The recording ended early: " + FromUtf8(session->failure);
        } catch (...) {
        }
        m_failureReported = true;
        return false;
    }
    return true;
}

bool Recorder::TakeFailure(std::wstring& text) {
    if (!m_session || m_failureReported || !m_session->failed.load(std::memory_order_acquire)) return false;
    text = L"Recording: " + FromUtf8(m_session->failure) + L"; the recording has ended, tracking goes on";
    m_failureReported = true;
    return true;
}

void Recorder::End() noexcept {
    if (m_session) {
        std::wstring ignored;
        EndSession(ignored);
    }
    // A lingering writer keeps its own share and ends when its disk answers.
}

}  // namespace okulon
