#include "extension/eye_tracker_impl.h"

#include <cstring>

#include "server/com_object.h"
#include "tracker/tracker_library.h"

namespace okulon {
namespace {

constexpr wchar_t kUnsupportedPupilEyeType[] =
    L"This Eye Tracker interface version doesn't support non-default eye types for pupil data";

bool IsValidEyeType(LONG eyeType) noexcept { return eyeType >= 0 && eyeType < kEyeTypeCount; }

}  // namespace

CEyeTrackerImpl::CEyeTrackerImpl() : m_gazeQueues(kEyeTypeCount) {}

CEyeTrackerImpl::~CEyeTrackerImpl() = default;

HRESULT CEyeTrackerImpl::FinalConstruct() noexcept {
    m_dataMask = 0;
    m_eyeSelection = 0;
    m_bufferSamples = 0;
    m_clientCount = 0;
    std::strcpy(m_trackerHost, "localhost");
    m_trackerPort = 4455;
    m_streaming = 0;
    m_threadRunning = 0;
    m_systemCheckCode = 0;
    m_lastValidityFirst = -1;
    m_lastValiditySecond = -1;
    m_screenWidth = GetSystemMetrics(SM_CXSCREEN);
    m_screenHeight = GetSystemMetrics(SM_CYSCREEN);
    return S_OK;
}

void CEyeTrackerImpl::FinalRelease() noexcept {
    m_threadRunning = 0;
    EndTrackingWorkers();
    EndCalibrationWorker();
}

HRESULT CEyeTrackerImpl::InternalQueryInterface(REFIID iid, void** object) noexcept {
    // First match wins. IDispatch is the identity's member-less dispatch, not
    // IEyeTracker's; IUnknown always yields the first entry.
    static const InterfaceMapEntry kInterfaces[] = {
        {&IID_IEyeTrackerImpl, InterfaceOffset<CEyeTrackerImpl, IEyeTrackerImpl>(), InterfaceEntryKind::Plain},
        {&IID_IDispatch, InterfaceOffset<CEyeTrackerImpl, IEyeTrackerImpl>(), InterfaceEntryKind::Plain},
        {&IID_IEyeTracker, InterfaceOffset<CEyeTrackerImpl, IEyeTracker>(), InterfaceEntryKind::Plain},
        {&IID_IProvideClassInfo, InterfaceOffset<CEyeTrackerImpl, IProvideClassInfo>(), InterfaceEntryKind::Plain},
        {nullptr, 0, InterfaceEntryKind::End},
    };
    return QueryInterfaceFromMap(this, kInterfaces, iid, object);
}

HRESULT CreateEyeTrackerInstance(IUnknown* outer, REFIID iid, void** object) noexcept {
    if (outer != nullptr) {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    return CComObject<CEyeTrackerImpl>::CreateInstance(iid, object);
}

// --- internal operations -------------------------------------------------

LONG CEyeTrackerImpl::IsTrackerConnected() {
    const LONG code = m_systemCheckCode;
    return (code == kTrackerErrorNotConnected || code == kTrackerErrorConnectionLost) ? 0 : 1;
}

LONG CEyeTrackerImpl::IsStreamingBlocked() {
    const LONG code = GetSystemCheckCode();
    return (IsTrackerConnected() != 0 && code == kTrackerErrorStreamingOff) ? 1 : 0;
}

LONG CEyeTrackerImpl::AddClient() { return ++m_clientCount; }

// An unmatched stop ("stop everything first") must not leave a negative count
// that would make the next start count as zero and silently deliver nothing.
LONG CEyeTrackerImpl::RemoveClient() {
    LONG count = m_clientCount.load();
    while (count > 0 && !m_clientCount.compare_exchange_weak(count, count - 1)) {
    }
    return count > 0 ? count - 1 : count;
}

uint32_t CEyeTrackerImpl::GetDataMask() { return m_dataMask.load(std::memory_order_relaxed); }
LONG CEyeTrackerImpl::GetClientCount() { return m_clientCount.load(std::memory_order_relaxed); }
LONG CEyeTrackerImpl::IsStreaming() { return m_streaming.load(std::memory_order_relaxed); }
LONG CEyeTrackerImpl::IsThreadRunning() { return m_threadRunning.load(std::memory_order_relaxed); }
void CEyeTrackerImpl::SetSystemCheckCode(LONG code) { m_systemCheckCode = code; }
LONG CEyeTrackerImpl::GetSystemCheckCode() { return m_systemCheckCode; }
void CEyeTrackerImpl::SetLastValidityFirst(LONG validity) { m_lastValidityFirst.store(validity, std::memory_order_relaxed); }
LONG CEyeTrackerImpl::GetLastValidityFirst() { return m_lastValidityFirst.load(std::memory_order_relaxed); }
void CEyeTrackerImpl::SetLastValiditySecond(LONG validity) { m_lastValiditySecond.store(validity, std::memory_order_relaxed); }
LONG CEyeTrackerImpl::GetLastValiditySecond() { return m_lastValiditySecond.load(std::memory_order_relaxed); }

// --- producer side -------------------------------------------------------

void CEyeTrackerImpl::PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept {
    if (!IsValidEyeType(eyeType)) return;
    m_gazeQueues[eyeType].Push(record, m_bufferSamples.load(std::memory_order_relaxed) != 0);
}

void CEyeTrackerImpl::PushPupilSample(const PupilRecord& record) noexcept {
    m_pupilQueue.Push(record, m_bufferSamples.load(std::memory_order_relaxed) != 0);
}

void CEyeTrackerImpl::PushEyeEvent(const EyeEventRecord& record) noexcept {
    m_eyeEventQueue.Push(record, m_bufferSamples.load(std::memory_order_relaxed) != 0);
}

// --- helpers -------------------------------------------------------------

HRESULT CEyeTrackerImpl::Fail(HRESULT code, const wchar_t* message) {
    m_lastError = message;
    return code;
}

template <class Record>
HRESULT CEyeTrackerImpl::Count(const RecordQueue<Record>& queue, LONG* count) {
    if (count == nullptr) return E_POINTER;
    *count = queue.Count();
    return S_OK;
}

template <class Record, class HostRecord>
HRESULT CEyeTrackerImpl::Fetch(RecordQueue<Record>& queue, LONG* count, HostRecord* records, const wchar_t* method) {
    static_assert(sizeof(Record) == sizeof(HostRecord));
    if (count == nullptr || records == nullptr) return E_POINTER;
    if (*count < 0) return Fail(E_INVALIDARG, (std::wstring(method) + L": Invalid record count").c_str());
    *count = queue.Fetch(reinterpret_cast<Record*>(records), *count);
    return S_OK;
}

// --- IEyeTracker: general ------------------------------------------------

STDMETHODIMP CEyeTrackerImpl::GetLastErrorText(LPWSTR* text) {
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    const size_t bytes = (m_lastError.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (copy == nullptr) return E_OUTOFMEMORY;
    std::memcpy(copy, m_lastError.c_str(), bytes);
    *text = copy;
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::GetInterfaceVersion(LONG* version) {
    if (version == nullptr) return E_POINTER;
    *version = kInterfaceVersion;
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::SetOption(LONG) { return S_OK; }

STDMETHODIMP CEyeTrackerImpl::GetOption(VARIANT_BOOL* value) {
    if (value == nullptr) return E_POINTER;
    *value = VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP CEyeTrackerImpl::NoOperation() { return S_OK; }

STDMETHODIMP CEyeTrackerImpl::GetTimestamp(hyper* time) {
    if (time == nullptr) return E_POINTER;
    TrackerTimeStamp stamp{};
    TrackerLibrary::Instance().GetLocalTimeStamp(&stamp);
    *time = TimeInMicroseconds(stamp.seconds, stamp.microseconds);
    return S_OK;
}

// --- IEyeTracker: what this tracker does not offer -----------------------

STDMETHODIMP CEyeTrackerImpl::SendTrigger(LONG) OKULON_COM_TRY return NotImplemented(L"SendTrigger not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::SendString(LONG) OKULON_COM_TRY return NotImplemented(L"SendString not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::SetRecording(LONG) OKULON_COM_TRY return NotImplemented(L"SetRecording not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::StartSaccadeEvents() OKULON_COM_TRY return NotImplemented(L"StartSaccadeEvents not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::StopSaccadeEvents() OKULON_COM_TRY return NotImplemented(L"StopSaccadeEvents not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::StartFixationEvents() OKULON_COM_TRY return NotImplemented(L"StartFixationEvents not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::StopFixationEvents() OKULON_COM_TRY return NotImplemented(L"StopFixationEvents not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::StartAOIEvents() OKULON_COM_TRY return NotImplemented(L"StartAOIEvents not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::StopAOIEvents() OKULON_COM_TRY return NotImplemented(L"StopAOIEvents not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::SetAOISet(LONG) OKULON_COM_TRY return NotImplemented(L"SetAOISet not implemented"); OKULON_COM_CATCH
STDMETHODIMP CEyeTrackerImpl::IsRecording(LONG) OKULON_COM_TRY return NotImplemented(L"IsRecording not implemented"); OKULON_COM_CATCH

// --- IEyeTracker: data streams -------------------------------------------

STDMETHODIMP CEyeTrackerImpl::StartGazeData(VARIANT_BOOL keepAll, LONG eyeType) OKULON_COM_TRY
    if (!IsValidEyeType(eyeType)) return Fail(E_INVALIDARG, L"StartGazeData: Invalid eye type");
    AddClient();
    m_dataMask |= kStreamGaze;
    m_eyeSelection = eyeType;
    m_gazeQueues[eyeType].Clear();
    m_bufferSamples = keepAll;
    return S_OK;
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::StopGazeData(LONG eyeType) OKULON_COM_TRY
    if (!IsValidEyeType(eyeType)) return Fail(E_INVALIDARG, L"StopGazeData: Invalid eye type");
    RemoveClient();
    m_dataMask &= ~kStreamGaze;
    m_gazeQueues[eyeType].Clear();
    return S_OK;
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetGazeDataCount(LONG* count, LONG eyeType) OKULON_COM_TRY
    if (count == nullptr) return E_POINTER;
    if (!IsValidEyeType(eyeType)) return Fail(E_INVALIDARG, L"GetGazeDataCount: Invalid eye type");
    return Count(m_gazeQueues[eyeType], count);
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetGazeData(LONG* count, ::GazeRecord* records, LONG eyeType) OKULON_COM_TRY
    if (count == nullptr || records == nullptr) return E_POINTER;
    if (!IsValidEyeType(eyeType)) return Fail(E_INVALIDARG, L"GetGazeData: Invalid eye type");
    return Fetch(m_gazeQueues[eyeType], count, records, L"GetGazeData");
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::StartPupilData(VARIANT_BOOL keepAll, LONG eyeType) OKULON_COM_TRY
    if (eyeType != 0) return Fail(E_UNSUPPORTED_EYE_TYPE, kUnsupportedPupilEyeType);
    AddClient();
    m_dataMask |= kStreamPupil;
    m_eyeSelection = 0;
    m_pupilQueue.Clear();
    m_bufferSamples = keepAll;
    return S_OK;
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::StopPupilData(LONG) OKULON_COM_TRY
    RemoveClient();
    m_dataMask &= ~kStreamPupil;
    m_pupilQueue.Clear();
    return S_OK;
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetPupilDataCount(LONG* count) OKULON_COM_TRY
    return Count(m_pupilQueue, count);
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetPupilData(LONG* count, ::PupilRecord* records, LONG eyeType) OKULON_COM_TRY
    if (count == nullptr || records == nullptr) return E_POINTER;
    if (eyeType != 0) return Fail(E_UNSUPPORTED_EYE_TYPE, kUnsupportedPupilEyeType);
    return Fetch(m_pupilQueue, count, records, L"GetPupilData");
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::StartEyeEvents() OKULON_COM_TRY
    AddClient();
    m_dataMask |= kStreamEyeEvents;
    m_eyeEventQueue.Clear();
    return S_OK;
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::StopEyeEvents() OKULON_COM_TRY
    RemoveClient();
    m_dataMask &= ~kStreamEyeEvents;
    m_eyeEventQueue.Clear();
    return S_OK;
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetEyeEventCount(LONG* count) OKULON_COM_TRY
    return Count(m_eyeEventQueue, count);
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetEyeEvents(LONG* count, ::EyeEventRecord* records) OKULON_COM_TRY
    return Fetch(m_eyeEventQueue, count, records, L"GetEyeEvents");
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetSaccadeEventCount(LONG* count) OKULON_COM_TRY
    return Count(m_saccadeEventQueue, count);
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetSaccadeEvents(LONG* count, ::SaccadeEventRecord* records) OKULON_COM_TRY
    return Fetch(m_saccadeEventQueue, count, records, L"GetSaccadeEvents");
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetFixationEventCount(LONG* count) OKULON_COM_TRY
    return Count(m_fixationEventQueue, count);
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetFixationEvents(LONG* count, ::FixationEventRecord* records) OKULON_COM_TRY
    return Fetch(m_fixationEventQueue, count, records, L"GetFixationEvents");
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetAOIEventCount(LONG* count) OKULON_COM_TRY
    return Count(m_aoiEventQueue, count);
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetAOIEvents(LONG* count, ::AOIEventRecord* records) OKULON_COM_TRY
    return Fetch(m_aoiEventQueue, count, records, L"GetAOIEvents");
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetSpareRecordCount(LONG* count) OKULON_COM_TRY
    return Count(m_spareQueue, count);
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::GetSpareRecords(LONG* count, ::SpareRecord* records) OKULON_COM_TRY
    return Fetch(m_spareQueue, count, records, L"GetSpareRecords");
OKULON_COM_CATCH

}  // namespace okulon
