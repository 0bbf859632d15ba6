// CEyeTrackerImpl: the extension's one object class. The host creates it
// through the class factory and drives it through IEyeTracker from one thread.
// The tracking worker, the calibration worker and the gaze callback reach it
// through the internal operations and the push operations; they never hold a
// reference, and the object ends or cuts them off before it is destroyed.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "eye_tracker_host.h"  // IEyeTracker, ICalibrationDisplay, host record structs
#include "okulon.h"            // IEyeTrackerImpl, CLSID_CEyeTrackerImpl
#include "extension/record_queue.h"
#include "extension/records.h"
#include "extension/tracker_endpoint.h"
#include "server/com_support.h"
#include "server/dispatch_impl.h"

namespace okulon {

class TrackingSession;
class CalibrationSession;

// The host library's structs and the platform-free ones are the same bytes.
static_assert(sizeof(::GazeRecord) == sizeof(GazeRecord));
static_assert(sizeof(::PupilRecord) == sizeof(PupilRecord));
static_assert(sizeof(::EyeEventRecord) == sizeof(EyeEventRecord));
static_assert(sizeof(::SaccadeEventRecord) == sizeof(SaccadeEventRecord));
static_assert(sizeof(::FixationEventRecord) == sizeof(FixationEventRecord));
static_assert(sizeof(::AOIEventRecord) == sizeof(AoiEventRecord));
static_assert(sizeof(::SpareRecord) == sizeof(SpareRecord));
static_assert(offsetof(::GazeRecord, time) == 0 && offsetof(::GazeRecord, x) == 8 && offsetof(::GazeRecord, y) == 16);
static_assert(offsetof(::PupilRecord, firstPupil) == 8 && offsetof(::PupilRecord, secondPupil) == 16 &&
              offsetof(::PupilRecord, reserved) == 24);
static_assert(offsetof(::EyeEventRecord, x) == 8 && offsetof(::EyeEventRecord, y) == 16 &&
              offsetof(::EyeEventRecord, kind) == 24 && offsetof(::EyeEventRecord, reserved) == 28);
static_assert(sizeof(::DisplaySize) == 8 && offsetof(::DisplaySize, height) == 0 && offsetof(::DisplaySize, width) == 4);

constexpr HRESULT E_UNSUPPORTED_EYE_TYPE = static_cast<HRESULT>(0x80040200);
constexpr LONG kInterfaceVersion = 99;
constexpr size_t kTrackerHostCapacity = 256;  // bytes, NUL included

class CEyeTrackerImpl : public MemberlessDispatchImpl<IEyeTrackerImpl>,
                        public HostDispatchImpl<IEyeTracker>,
                        public ProvideClassInfoImpl {
public:
    CEyeTrackerImpl();
    CEyeTrackerImpl(const CEyeTrackerImpl&) = delete;
    CEyeTrackerImpl& operator=(const CEyeTrackerImpl&) = delete;

    HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;
    HRESULT InternalQueryInterface(REFIID iid, void** object) noexcept;

    // Internal operations, in the order of their slots after IDispatch.
    virtual LONG IsTrackerConnected();
    virtual LONG IsStreamingBlocked();
    virtual LONG AddClient();
    virtual LONG RemoveClient();
    virtual uint32_t GetDataMask();
    virtual LONG GetClientCount();
    virtual LONG IsStreaming();
    virtual LONG IsThreadRunning();
    virtual void SetSystemCheckCode(LONG code);
    virtual LONG GetSystemCheckCode();
    virtual void SetLastValidityFirst(LONG validity);
    virtual LONG GetLastValidityFirst();
    virtual void SetLastValiditySecond(LONG validity);
    virtual LONG GetLastValiditySecond();
    virtual ~CEyeTrackerImpl();

    // Producer side of the queues: the gaze callback's thread.
    void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept;
    void PushPupilSample(const PupilRecord& record) noexcept;
    void PushEyeEvent(const EyeEventRecord& record) noexcept;

    // Settings as the callback and the workers read them.
    int32_t GetEyeSelection() const noexcept { return m_eyeSelection.load(std::memory_order_relaxed); }
    int32_t GetScreenWidth() const noexcept { return m_screenWidth.load(std::memory_order_relaxed); }
    int32_t GetScreenHeight() const noexcept { return m_screenHeight.load(std::memory_order_relaxed); }
    // Host name and port copied on the host's thread, for a worker about to start.
    TrackerEndpoint SnapshotEndpoint() const;

    // IEyeTracker
    STDMETHODIMP GetLastErrorText(LPWSTR* text) override;
    STDMETHODIMP GetInterfaceVersion(LONG* version) override;
    STDMETHODIMP SetOption(LONG option) override;
    STDMETHODIMP GetOption(VARIANT_BOOL* value) override;
    STDMETHODIMP SendTrigger(LONG trigger) override;
    STDMETHODIMP SendString(LONG text) override;
    STDMETHODIMP GetSpareRecordCount(LONG* count) override;
    STDMETHODIMP GetSpareRecords(LONG* count, ::SpareRecord* records) override;
    STDMETHODIMP StartTracking() override;
    STDMETHODIMP StopTracking() override;
    STDMETHODIMP SetRecording(LONG recording) override;
    STDMETHODIMP Calibrate(LONG kind, ICalibrationDisplay* display, LONG arg1, LONG arg2, LONG arg3, LONG arg4,
                           LONG arg5, LONG arg6) override;
    STDMETHODIMP NoOperation() override;
    STDMETHODIMP StartGazeData(VARIANT_BOOL keepAll, LONG eyeType) override;
    STDMETHODIMP StopGazeData(LONG eyeType) override;
    STDMETHODIMP GetGazeDataCount(LONG* count, LONG eyeType) override;
    STDMETHODIMP GetGazeData(LONG* count, ::GazeRecord* records, LONG eyeType) override;
    STDMETHODIMP StartSaccadeEvents() override;
    STDMETHODIMP StopSaccadeEvents() override;
    STDMETHODIMP GetSaccadeEventCount(LONG* count) override;
    STDMETHODIMP GetSaccadeEvents(LONG* count, ::SaccadeEventRecord* records) override;
    STDMETHODIMP StartFixationEvents() override;
    STDMETHODIMP StopFixationEvents() override;
    STDMETHODIMP GetFixationEventCount(LONG* count) override;
    STDMETHODIMP GetFixationEvents(LONG* count, ::FixationEventRecord* records) override;
    STDMETHODIMP StartAOIEvents() override;
    STDMETHODIMP StopAOIEvents() override;
    STDMETHODIMP GetAOIEventCount(LONG* count) override;
    STDMETHODIMP GetAOIEvents(LONG* count, ::AOIEventRecord* records) override;
    STDMETHODIMP StartPupilData(VARIANT_BOOL keepAll, LONG eyeType) override;
    STDMETHODIMP StopPupilData(LONG eyeType) override;
    STDMETHODIMP GetPupilDataCount(LONG* count) override;
    STDMETHODIMP GetPupilData(LONG* count, ::PupilRecord* records, LONG eyeType) override;
    STDMETHODIMP SetAOISet(LONG aoiSet) override;
    STDMETHODIMP GetTimestamp(hyper* time) override;
    STDMETHODIMP SendCommand(BSTR text, LONG* result) override;
    STDMETHODIMP StartEyeEvents() override;
    STDMETHODIMP StopEyeEvents() override;
    STDMETHODIMP GetEyeEventCount(LONG* count) override;
    STDMETHODIMP GetEyeEvents(LONG* count, ::EyeEventRecord* records) override;
    STDMETHODIMP IsRecording(LONG recording) override;

protected:
    // Reference count of the single-threaded object (the host calls from one thread).
    LONG m_refCount = 0;

private:
    HRESULT Fail(HRESULT code, const wchar_t* message);
    HRESULT NotImplemented(const wchar_t* message) { return Fail(E_NOTIMPL, message); }
    template <class Record, class HostRecord>
    HRESULT Fetch(RecordQueue<Record>& queue, LONG* count, HostRecord* records, const wchar_t* method);
    template <class Record>
    static HRESULT Count(const RecordQueue<Record>& queue, LONG* count);
    void EndTrackingWorkers() noexcept;
    void ForgetEndedTrackingSessions() noexcept;
    void EndCalibrationWorker() noexcept;

    std::wstring m_lastError;
    RecordQueue<EyeEventRecord> m_eyeEventQueue;
    RecordQueue<AoiEventRecord> m_aoiEventQueue;
    RecordQueue<FixationEventRecord> m_fixationEventQueue;
    RecordQueue<SaccadeEventRecord> m_saccadeEventQueue;
    RecordQueue<SpareRecord> m_spareQueue;
    RecordQueue<PupilRecord> m_pupilQueue;
    std::vector<RecordQueue<GazeRecord>> m_gazeQueues;

    // Status shared with the workers and the callback: whole 32-bit values.
    std::atomic<LONG> m_streaming{0};
    std::atomic<LONG> m_threadRunning{0};
    std::atomic<LONG> m_systemCheckCode{0};
    std::atomic<LONG> m_lastValidityFirst{-1};
    std::atomic<LONG> m_lastValiditySecond{-1};
    UniqueHandle m_trackingThread;
    UniqueHandle m_calibrationThread;
    std::atomic<int32_t> m_eyeSelection{0};
    std::atomic<uint32_t> m_dataMask{0};
    std::atomic<int16_t> m_bufferSamples{0};
    std::atomic<LONG> m_clientCount{0};
    char m_trackerHost[kTrackerHostCapacity] = {};
    std::atomic<int32_t> m_trackerPort{0};
    std::atomic<int32_t> m_screenWidth{0};
    std::atomic<int32_t> m_screenHeight{0};
    ICalibrationDisplay* m_calibrationDisplay = nullptr;

    // Workers: the one the object holds, and those StopTracking detached,
    // which are cut off from the object at its destruction.
    std::shared_ptr<TrackingSession> m_trackingSession;
    std::vector<std::shared_ptr<TrackingSession>> m_detachedTrackingSessions;
    std::shared_ptr<CalibrationSession> m_calibrationSession;

    friend class TrackingSession;
    friend class CalibrationSession;
};

// The instance creator of the class factory: refuses an outer object, otherwise
// builds a CComObject<CEyeTrackerImpl> and asks it for the interface.
HRESULT CreateEyeTrackerInstance(IUnknown* outer, REFIID iid, void** object) noexcept;

}  // namespace okulon
