#include "extension/eye_tracker_impl.h"

#include <cstring>

#include "commands/command_parser.h"
#include "server/com_frame/interface_map.h"
#include "tracker/tracker_library.h"

namespace okulon {
namespace {

constexpr wchar_t kUnsupportedPupilEyeType[] =
    L"This Eye Tracker interface version doesn't support non-default eye types for pupil data";

}  // namespace

CEyeTrackerImpl::CEyeTrackerImpl() = default;

CEyeTrackerImpl::~CEyeTrackerImpl() = default;

HRESULT CEyeTrackerImpl::FinalConstruct() noexcept { return S_OK; }

void CEyeTrackerImpl::FinalRelease() noexcept {
    m_tracking.EndWorkers();
    m_calibration.EndWorker();
    // After the workers: no callback pushes into the recording any more.
    m_recorder.End();
}

namespace {

// First match wins. IDispatch is the identity's member-less dispatch, not
// IEyeTracker's; IUnknown always yields the first entry. Built when the DLL is
// loaded rather than as a function-local static, whose guard would register
// the host's thread with the threads library linked into this DLL (two
// handles that outlive an unloaded DLL).
const InterfaceMapEntry kEyeTrackerInterfaces[] = {
    {&IID_IEyeTrackerImpl, InterfaceOffset<CEyeTrackerImpl, IEyeTrackerImpl>(), InterfaceEntryKind::Plain},
    {&IID_IDispatch, InterfaceOffset<CEyeTrackerImpl, IEyeTrackerImpl>(), InterfaceEntryKind::Plain},
    {&IID_IEyeTracker, InterfaceOffset<CEyeTrackerImpl, IEyeTracker>(), InterfaceEntryKind::Plain},
    {&IID_IProvideClassInfo, InterfaceOffset<CEyeTrackerImpl, IProvideClassInfo>(), InterfaceEntryKind::Plain},
    {nullptr, 0, InterfaceEntryKind::End},
};

}  // namespace

HRESULT CEyeTrackerImpl::InternalQueryInterface(REFIID iid, void** object) noexcept {
    return QueryInterfaceFromMap(this, kEyeTrackerInterfaces, iid, object);
}

// --- internal operations -------------------------------------------------

LONG CEyeTrackerImpl::IsTrackerConnected() noexcept { return m_tracking.IsTrackerConnected(); }
LONG CEyeTrackerImpl::IsStreamingBlocked() noexcept { return m_tracking.IsStreamingBlocked(); }
LONG CEyeTrackerImpl::AddClient() noexcept { return m_streams.AddClient(); }
LONG CEyeTrackerImpl::RemoveClient() noexcept { return m_streams.RemoveClient(); }
uint32_t CEyeTrackerImpl::GetDataMask() noexcept { return m_streams.DataMask(); }
LONG CEyeTrackerImpl::GetClientCount() noexcept { return m_streams.ClientCount(); }
LONG CEyeTrackerImpl::IsStreaming() noexcept { return m_tracking.IsStreaming(); }
LONG CEyeTrackerImpl::IsThreadRunning() noexcept { return m_tracking.IsThreadRunning(); }
void CEyeTrackerImpl::SetSystemCheckCode(LONG code) noexcept {
    const auto lost = [](LONG check) {
        return check == kTrackerErrorNotConnected || check == kTrackerErrorConnectionLost;
    };
    const LONG previous = m_tracking.GetSystemCheckCode();
    m_tracking.SetSystemCheckCode(code);
    if (lost(code) && !lost(previous)) m_recorder.NoteDisconnect(code);
}
LONG CEyeTrackerImpl::GetSystemCheckCode() noexcept { return m_tracking.GetSystemCheckCode(); }
void CEyeTrackerImpl::SetLastValidityFirst(LONG validity) noexcept { m_lastValidity.SetFirst(validity); }
LONG CEyeTrackerImpl::GetLastValidityFirst() noexcept { return m_lastValidity.First(); }
void CEyeTrackerImpl::SetLastValiditySecond(LONG validity) noexcept { m_lastValidity.SetSecond(validity); }
LONG CEyeTrackerImpl::GetLastValiditySecond() noexcept { return m_lastValidity.Second(); }

// --- helpers -------------------------------------------------------------

HRESULT CEyeTrackerImpl::Fail(HRESULT code, const wchar_t* message) noexcept { return Fail(code, message, L""); }

HRESULT CEyeTrackerImpl::Fail(HRESULT code, const wchar_t* method, const wchar_t* detail) noexcept {
    try {
        std::wstring text = method;
        text += detail;
        m_lastError = std::move(text);
    } catch (...) {
        // No room for the text: the old one stays, and the host learns why.
        return HResultFromCaughtException();
    }
    return code;
}

template <class Record>
HRESULT CEyeTrackerImpl::Count(const RecordQueue<Record>& queue, LONG* count) noexcept {
    if (count == nullptr) return E_POINTER;
    *count = queue.Count();
    return S_OK;
}

template <class Record, class HostRecord>
HRESULT CEyeTrackerImpl::Fetch(RecordQueue<Record>& queue, LONG* count, HostRecord* records,
                               const wchar_t* method) noexcept {
    static_assert(sizeof(Record) == sizeof(HostRecord));
    if (count == nullptr || records == nullptr) return E_POINTER;
    if (*count < 0) return Fail(E_INVALIDARG, method, L": Invalid record count");
    *count = queue.Fetch(reinterpret_cast<Record*>(records), *count);
    return S_OK;
}

// --- IEyeTracker: general ------------------------------------------------

STDMETHODIMP CEyeTrackerImpl::GetLastErrorText(LPWSTR* text) noexcept {
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    // A recording that ended on a failing disk is told here: no call of the
    // host's failed, so nothing else would.
    try {
        std::wstring failure;
        if (m_recorder.TakeFailure(failure)) m_lastError = std::move(failure);
    } catch (...) {
        return HResultFromCaughtException();
    }
    const size_t bytes = (m_lastError.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (copy == nullptr) return E_OUTOFMEMORY;
    std::memcpy(copy, m_lastError.c_str(), bytes);
    *text = copy;
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::GetInterfaceVersion(LONG* version) noexcept {
    if (version == nullptr) return E_POINTER;
    *version = kInterfaceVersion;
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::SetOption(LONG) noexcept { return S_OK; }

STDMETHODIMP CEyeTrackerImpl::GetOption(VARIANT_BOOL* value) noexcept {
    if (value == nullptr) return E_POINTER;
    *value = VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::NoOperation() noexcept { return S_OK; }

STDMETHODIMP CEyeTrackerImpl::GetTimestamp(hyper* time) noexcept {
    if (time == nullptr) return E_POINTER;
    TrackerTimeStamp stamp{};
    TrackerLibrary::Instance().GetLocalTimeStamp(&stamp);
    *time = TimeInMicroseconds(stamp.seconds, stamp.microseconds);
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::SendCommand(BSTR text, LONG* result) noexcept {
    if (result == nullptr) return E_POINTER;
    *result = -1;
    try {
        const ParsedCommand command = ParseCommand(reinterpret_cast<const char16_t*>(text));
        if (command.outcome == CommandOutcome::NoParameters) {
            return Fail(E_FAIL, L"SendCommand: No parameters specified");
        }
        if (command.outcome == CommandOutcome::NotRecognized) {
            return Fail(E_FAIL, L"SendCommand: Command not recognized");
        }
        if (command.parameter == CommandParameter::Record || command.parameter == CommandParameter::RecordOff ||
            command.parameter == CommandParameter::Mark) {
            std::wstring message;
            if (!ApplyRecordingCommand(command, message)) return Fail(E_FAIL, L"SendCommand: ", message.c_str());
        } else {
            const HRESULT applied = m_settings.Apply(command);
            if (FAILED(applied)) return applied;
        }
        *result = 0;
        return S_OK;
    } catch (...) {
        *result = -1;
        return HResultFromCaughtException();
    }
}

bool CEyeTrackerImpl::ApplyRecordingCommand(const ParsedCommand& command, std::wstring& message) {
    const std::wstring value(reinterpret_cast<const wchar_t*>(command.value.data()), command.value.size());
    switch (command.parameter) {
    case CommandParameter::Record: {
        RecordingHeader header;
        const TrackerEndpoint endpoint = m_settings.SnapshotEndpoint();
        header.trackerHost = endpoint.host;
        header.trackerPort = endpoint.port;
        header.screenWidth = m_settings.ScreenWidth();
        header.screenHeight = m_settings.ScreenHeight();
        return m_recorder.Open(value, std::move(header), m_tracking.IsStreaming() != 0, message);
    }
    case CommandParameter::RecordOff:
        return m_recorder.Close(message);
    default:
        return m_recorder.Mark(value, message);
    }
}

// --- IEyeTracker: tracking and calibration -------------------------------

STDMETHODIMP CEyeTrackerImpl::StartTracking() noexcept {
    if (!m_tracking.StartWorker(&m_trackingLink, m_settings)) {
        return Fail(E_FAIL, L"StartTracking: Failed to create tracking thread");
    }
    if (m_tracking.IsTrackerConnected() == 0) return Fail(E_FAIL, L"StartTracking: Tracker not connected");
    m_tracking.StartStreamingUnlessBlocked();
    m_recorder.NoteStart();
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::StopTracking() noexcept {
    if (m_tracking.IsTrackerConnected() == 0) return Fail(E_FAIL, L"StopTracking: Tracker not connected");
    if (!m_tracking.HasWorker()) {
        return Fail(E_FAIL, L"StopTracking: Tracking thread not created, maybe tracking was not started");
    }
    m_tracking.StopWorker();
    // Everything up to the stop reaches the disk before the host goes on.
    m_recorder.NoteStop();
    return S_OK;
}

// A successful calibration, and a kind this tracker ignores, consume the
// host's reference on the display.
STDMETHODIMP CEyeTrackerImpl::Calibrate(LONG kind, ICalibrationDisplay* display, LONG, LONG, LONG, LONG, LONG,
                                        LONG) noexcept {
    try {
        if (kind == kCalibrationKindDriftCorrection) {
            return Fail(E_NOTIMPL, L"Calibrate: Drift Correction not implemented");
        }
        if (kind != kCalibrationKindCalibrate) {
            if (display != nullptr) display->Release();
            return S_OK;
        }
        if (display == nullptr) return E_POINTER;

        switch (m_calibration.Run(m_settings, m_tracking, display)) {
        case CalibrationOutcome::kActivated:
            display->Release();
            return S_OK;
        case CalibrationOutcome::kWorkerNotStarted:
            return Fail(E_FAIL, L"Calibrate: Failed to create calibration thread");
        case CalibrationOutcome::kTrackerNotConnected:
            return Fail(E_FAIL, L"Calibrate: Tracker not connected");
        case CalibrationOutcome::kCancelled:
            return Fail(E_FAIL, L"Calibrate: Calibration canceled");
        case CalibrationOutcome::kFailed:
            break;
        }
        return Fail(E_FAIL, L"Calibrate: Calibration failed");
    } catch (...) {
        return HResultFromCaughtException();
    }
}

// --- IEyeTracker: what this tracker does not offer -----------------------

// Each is a whole method: NotImplemented holds the boundary.
STDMETHODIMP CEyeTrackerImpl::SendTrigger(LONG) noexcept { return NotImplemented(L"SendTrigger not implemented"); }
STDMETHODIMP CEyeTrackerImpl::SendString(LONG) noexcept { return NotImplemented(L"SendString not implemented"); }
STDMETHODIMP CEyeTrackerImpl::SetRecording(LONG) noexcept { return NotImplemented(L"SetRecording not implemented"); }
STDMETHODIMP CEyeTrackerImpl::StartSaccadeEvents() noexcept {
    return NotImplemented(L"StartSaccadeEvents not implemented");
}
STDMETHODIMP CEyeTrackerImpl::StopSaccadeEvents() noexcept {
    return NotImplemented(L"StopSaccadeEvents not implemented");
}
STDMETHODIMP CEyeTrackerImpl::StartFixationEvents() noexcept {
    return NotImplemented(L"StartFixationEvents not implemented");
}
STDMETHODIMP CEyeTrackerImpl::StopFixationEvents() noexcept {
    return NotImplemented(L"StopFixationEvents not implemented");
}
STDMETHODIMP CEyeTrackerImpl::StartAOIEvents() noexcept { return NotImplemented(L"StartAOIEvents not implemented"); }
STDMETHODIMP CEyeTrackerImpl::StopAOIEvents() noexcept { return NotImplemented(L"StopAOIEvents not implemented"); }
STDMETHODIMP CEyeTrackerImpl::SetAOISet(LONG) noexcept { return NotImplemented(L"SetAOISet not implemented"); }
STDMETHODIMP CEyeTrackerImpl::IsRecording(LONG) noexcept { return NotImplemented(L"IsRecording not implemented"); }

// --- IEyeTracker: data streams -------------------------------------------

STDMETHODIMP CEyeTrackerImpl::StartGazeData(VARIANT_BOOL keepAll, LONG eyeType) noexcept {
    if (!RecordStreams::IsValidEyeType(eyeType)) return Fail(E_INVALIDARG, L"StartGazeData: Invalid eye type");
    m_streams.StartGaze(eyeType, keepAll != VARIANT_FALSE);
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::StopGazeData(LONG eyeType) noexcept {
    if (!RecordStreams::IsValidEyeType(eyeType)) return Fail(E_INVALIDARG, L"StopGazeData: Invalid eye type");
    m_streams.StopGaze(eyeType);
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::GetGazeDataCount(LONG* count, LONG eyeType) noexcept {
    if (count == nullptr) return E_POINTER;
    if (!RecordStreams::IsValidEyeType(eyeType)) return Fail(E_INVALIDARG, L"GetGazeDataCount: Invalid eye type");
    return Count(m_streams.Gaze(eyeType), count);
}

STDMETHODIMP CEyeTrackerImpl::GetGazeData(LONG* count, ::GazeRecord* records, LONG eyeType) noexcept {
    if (count == nullptr || records == nullptr) return E_POINTER;
    if (!RecordStreams::IsValidEyeType(eyeType)) return Fail(E_INVALIDARG, L"GetGazeData: Invalid eye type");
    return Fetch(m_streams.Gaze(eyeType), count, records, L"GetGazeData");
}

STDMETHODIMP CEyeTrackerImpl::StartPupilData(VARIANT_BOOL keepAll, LONG eyeType) noexcept {
    if (eyeType != 0) return Fail(E_UNSUPPORTED_EYE_TYPE, kUnsupportedPupilEyeType);
    m_streams.StartPupil(keepAll != VARIANT_FALSE);
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::StopPupilData(LONG) noexcept {
    m_streams.StopPupil();
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::GetPupilDataCount(LONG* count) noexcept { return Count(m_streams.Pupil(), count); }

STDMETHODIMP CEyeTrackerImpl::GetPupilData(LONG* count, ::PupilRecord* records, LONG eyeType) noexcept {
    if (count == nullptr || records == nullptr) return E_POINTER;
    if (eyeType != 0) return Fail(E_UNSUPPORTED_EYE_TYPE, kUnsupportedPupilEyeType);
    return Fetch(m_streams.Pupil(), count, records, L"GetPupilData");
}

STDMETHODIMP CEyeTrackerImpl::StartEyeEvents() noexcept {
    m_streams.StartEyeEvents();
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::StopEyeEvents() noexcept {
    m_streams.StopEyeEvents();
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::GetEyeEventCount(LONG* count) noexcept { return Count(m_streams.EyeEvents(), count); }

STDMETHODIMP CEyeTrackerImpl::GetEyeEvents(LONG* count, ::EyeEventRecord* records) noexcept {
    return Fetch(m_streams.EyeEvents(), count, records, L"GetEyeEvents");
}

STDMETHODIMP CEyeTrackerImpl::GetSaccadeEventCount(LONG* count) noexcept {
    return Count(m_streams.SaccadeEvents(), count);
}

STDMETHODIMP CEyeTrackerImpl::GetSaccadeEvents(LONG* count, ::SaccadeEventRecord* records) noexcept {
    return Fetch(m_streams.SaccadeEvents(), count, records, L"GetSaccadeEvents");
}

STDMETHODIMP CEyeTrackerImpl::GetFixationEventCount(LONG* count) noexcept {
    return Count(m_streams.FixationEvents(), count);
}

STDMETHODIMP CEyeTrackerImpl::GetFixationEvents(LONG* count, ::FixationEventRecord* records) noexcept {
    return Fetch(m_streams.FixationEvents(), count, records, L"GetFixationEvents");
}

STDMETHODIMP CEyeTrackerImpl::GetAOIEventCount(LONG* count) noexcept { return Count(m_streams.AoiEvents(), count); }

STDMETHODIMP CEyeTrackerImpl::GetAOIEvents(LONG* count, ::AOIEventRecord* records) noexcept {
    return Fetch(m_streams.AoiEvents(), count, records, L"GetAOIEvents");
}

STDMETHODIMP CEyeTrackerImpl::GetSpareRecordCount(LONG* count) noexcept { return Count(m_streams.Spares(), count); }

STDMETHODIMP CEyeTrackerImpl::GetSpareRecords(LONG* count, ::SpareRecord* records) noexcept {
    return Fetch(m_streams.Spares(), count, records, L"GetSpareRecords");
}

}  // namespace okulon
