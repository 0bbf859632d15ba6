// CEyeTrackerImpl: the extension's one object class. The host creates it
// through the class factory and drives it through IEyeTracker from one thread.
// Each job has an owner of its own, a member of the object: the record
// streams (extension/record_streams), the endpoint settings
// (commands/command_settings), the tracking worker (tracker/tracking_controller),
// the recording file (recording/recorder) and the calibration
// (calibration/calibration_controller); the host-interface
// methods check their arguments, delegate and leave the error text.
// The tracking worker and the gaze callback reach the object only through
// TrackingTarget (tracker/tracking_target.h), its member m_trackingLink; they
// never hold a reference, and the object cuts them off before it is destroyed.
#pragma once

#include <windows.h>

#include <string>

#include "base/com_support.h"
#include "calibration/calibration_controller.h"
#include "commands/command_settings.h"
#include "extension/records/record_streams.h"
#include "extension/records/records.h"
#include "commands/tracker_endpoint.h"
#include "recording/recorder.h"
#include "eye_tracker_host.h"  // IEyeTracker, ICalibrationDisplay, host record structs
#include "okulon.h"            // IEyeTrackerImpl, CLSID_CEyeTrackerImpl, LIBID_Okulon
#include "server/com_frame/dispatch_impl.h"
#include "tracker/gaze_conversion.h"
#include "tracker/tracking_controller.h"
#include "tracker/tracking_target.h"

namespace okulon {

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
static_assert(sizeof(::DisplaySize) == 8 && offsetof(::DisplaySize, height) == 0 &&
              offsetof(::DisplaySize, width) == 4);

// Type information shared by every object: IEyeTracker's from the host's
// registered library (version 0.0), the coclass's from the component's own (1.0).
inline CComTypeInfoHolder g_hostInterfaceTypeInfo{&IID_IEyeTracker, &LIBID_EyeTrackerLib, 0, 0};
inline CComTypeInfoHolder g_classTypeInfo{&CLSID_CEyeTrackerImpl, &LIBID_Okulon, 1, 0};

constexpr HRESULT E_UNSUPPORTED_EYE_TYPE = static_cast<HRESULT>(0x80040200);
constexpr LONG kInterfaceVersion = 99;

class CEyeTrackerImpl : public MemberlessDispatchImpl<IEyeTrackerImpl, &IID_IEyeTrackerImpl>,
                        public HostDispatchImpl<IEyeTracker, g_hostInterfaceTypeInfo>,
                        public ProvideClassInfoImpl<g_classTypeInfo> {
public:
    CEyeTrackerImpl();
    CEyeTrackerImpl(const CEyeTrackerImpl&) = delete;
    CEyeTrackerImpl& operator=(const CEyeTrackerImpl&) = delete;

    HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;
    HRESULT InternalQueryInterface(REFIID iid, void** object) noexcept;

    // Internal operations, in the order of their slots after IDispatch.
    virtual LONG IsTrackerConnected() noexcept;
    virtual LONG IsStreamingBlocked() noexcept;
    virtual LONG AddClient() noexcept;
    virtual LONG RemoveClient() noexcept;
    virtual uint32_t GetDataMask() noexcept;
    virtual LONG GetClientCount() noexcept;
    virtual LONG IsStreaming() noexcept;
    virtual LONG IsThreadRunning() noexcept;
    virtual void SetSystemCheckCode(LONG code) noexcept;
    virtual LONG GetSystemCheckCode() noexcept;
    virtual void SetLastValidityFirst(LONG validity) noexcept;
    virtual LONG GetLastValidityFirst() noexcept;
    virtual void SetLastValiditySecond(LONG validity) noexcept;
    virtual LONG GetLastValiditySecond() noexcept;
    virtual ~CEyeTrackerImpl();

    // Producer side of the queues: the gaze callback's thread.
    void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept { m_streams.PushGaze(record, eyeType); }
    void PushPupilSample(const PupilRecord& record) noexcept { m_streams.PushPupil(record); }
    void PushEyeEvent(const EyeEventRecord& record) noexcept { m_streams.PushEyeEvent(record); }

    // Tests and benchmarks reach the settings and the tracking link through
    // it (tests/support/component_support.h); the object offers them nothing.
    friend struct EyeTrackerImplTestAccess;

    // IEyeTracker
    STDMETHODIMP GetLastErrorText(LPWSTR* text) noexcept override;
    STDMETHODIMP GetInterfaceVersion(LONG* version) noexcept override;
    STDMETHODIMP SetOption(LONG option) noexcept override;
    STDMETHODIMP GetOption(VARIANT_BOOL* value) noexcept override;
    STDMETHODIMP SendTrigger(LONG trigger) noexcept override;
    STDMETHODIMP SendString(LONG text) noexcept override;
    STDMETHODIMP GetSpareRecordCount(LONG* count) noexcept override;
    STDMETHODIMP GetSpareRecords(LONG* count, ::SpareRecord* records) noexcept override;
    STDMETHODIMP StartTracking() noexcept override;
    STDMETHODIMP StopTracking() noexcept override;
    STDMETHODIMP SetRecording(LONG recording) noexcept override;
    STDMETHODIMP Calibrate(LONG kind, ICalibrationDisplay* display, LONG arg1, LONG arg2, LONG arg3, LONG arg4,
                           LONG arg5, LONG arg6) noexcept override;
    STDMETHODIMP NoOperation() noexcept override;
    STDMETHODIMP StartGazeData(VARIANT_BOOL keepAll, LONG eyeType) noexcept override;
    STDMETHODIMP StopGazeData(LONG eyeType) noexcept override;
    STDMETHODIMP GetGazeDataCount(LONG* count, LONG eyeType) noexcept override;
    STDMETHODIMP GetGazeData(LONG* count, ::GazeRecord* records, LONG eyeType) noexcept override;
    STDMETHODIMP StartSaccadeEvents() noexcept override;
    STDMETHODIMP StopSaccadeEvents() noexcept override;
    STDMETHODIMP GetSaccadeEventCount(LONG* count) noexcept override;
    STDMETHODIMP GetSaccadeEvents(LONG* count, ::SaccadeEventRecord* records) noexcept override;
    STDMETHODIMP StartFixationEvents() noexcept override;
    STDMETHODIMP StopFixationEvents() noexcept override;
    STDMETHODIMP GetFixationEventCount(LONG* count) noexcept override;
    STDMETHODIMP GetFixationEvents(LONG* count, ::FixationEventRecord* records) noexcept override;
    STDMETHODIMP StartAOIEvents() noexcept override;
    STDMETHODIMP StopAOIEvents() noexcept override;
    STDMETHODIMP GetAOIEventCount(LONG* count) noexcept override;
    STDMETHODIMP GetAOIEvents(LONG* count, ::AOIEventRecord* records) noexcept override;
    STDMETHODIMP StartPupilData(VARIANT_BOOL keepAll, LONG eyeType) noexcept override;
    STDMETHODIMP StopPupilData(LONG eyeType) noexcept override;
    STDMETHODIMP GetPupilDataCount(LONG* count) noexcept override;
    STDMETHODIMP GetPupilData(LONG* count, ::PupilRecord* records, LONG eyeType) noexcept override;
    STDMETHODIMP SetAOISet(LONG aoiSet) noexcept override;
    STDMETHODIMP GetTimestamp(hyper* time) noexcept override;
    STDMETHODIMP SendCommand(BSTR text, LONG* result) noexcept override;
    STDMETHODIMP StartEyeEvents() noexcept override;
    STDMETHODIMP StopEyeEvents() noexcept override;
    STDMETHODIMP GetEyeEventCount(LONG* count) noexcept override;
    STDMETHODIMP GetEyeEvents(LONG* count, ::EyeEventRecord* records) noexcept override;
    STDMETHODIMP IsRecording(LONG recording) noexcept override;

protected:
    // Reference count of the single-threaded object (the host calls from one thread).
    LONG m_refCount = 0;

private:
    // Leaves the message (method and detail, joined) for GetLastErrorText and
    // returns code; E_OUTOFMEMORY, with the old text kept, when the text finds
    // no room.
    HRESULT Fail(HRESULT code, const wchar_t* message) noexcept;
    HRESULT Fail(HRESULT code, const wchar_t* method, const wchar_t* detail) noexcept;
    // The whole body of a method this tracker does not offer.
    HRESULT NotImplemented(const wchar_t* message) noexcept { return Fail(E_NOTIMPL, message); }
    template <class Record, class HostRecord>
    HRESULT Fetch(RecordQueue<Record>& queue, LONG* count, HostRecord* records, const wchar_t* method) noexcept;
    template <class Record>
    static HRESULT Count(const RecordQueue<Record>& queue, LONG* count) noexcept;
    // record PATH, record off, mark TEXT; false with the reason in `message`.
    // Throws std::bad_alloc.
    bool ApplyRecordingCommand(const ParsedCommand& command, std::wstring& message);

    // The tracking worker's and the gaze callback's way into the object. A
    // member rather than a base: the internal operations keep their slots
    // in the object's own table.
    class TrackingLink final : public TrackingTarget {
    public:
        explicit TrackingLink(CEyeTrackerImpl& object) noexcept : m_object(object) {}
        int32_t IsThreadRunning() noexcept override { return m_object.IsThreadRunning(); }
        int32_t IsStreaming() noexcept override { return m_object.IsStreaming(); }
        void SetSystemCheckCode(int32_t code) noexcept override { m_object.SetSystemCheckCode(code); }
        int32_t GetClientCount() noexcept override { return m_object.GetClientCount(); }
        uint32_t GetDataMask() noexcept override { return m_object.GetDataMask(); }
        int32_t GetEyeSelection() noexcept override { return m_object.m_streams.EyeSelection(); }
        int32_t GetScreenWidth() noexcept override { return m_object.m_settings.ScreenWidth(); }
        int32_t GetScreenHeight() noexcept override { return m_object.m_settings.ScreenHeight(); }
        int32_t GetLastValidityFirst() noexcept override { return m_object.GetLastValidityFirst(); }
        void SetLastValidityFirst(int32_t validity) noexcept override { m_object.SetLastValidityFirst(validity); }
        int32_t GetLastValiditySecond() noexcept override { return m_object.GetLastValiditySecond(); }
        void SetLastValiditySecond(int32_t validity) noexcept override { m_object.SetLastValiditySecond(validity); }
        void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept override {
            m_object.PushGazeSample(record, eyeType);
        }
        void PushPupilSample(const PupilRecord& record) noexcept override { m_object.PushPupilSample(record); }
        void PushEyeEvent(const EyeEventRecord& record) noexcept override { m_object.PushEyeEvent(record); }
        void RecordSample(const TrackerRecord& record, int32_t width, int32_t height) noexcept override {
            m_object.m_recorder.PushSample(record, width, height);
        }
        void RecordDeliveryFailure(int32_t code) noexcept override { m_object.m_recorder.NoteDisconnect(code); }

    private:
        CEyeTrackerImpl& m_object;
    };

    std::wstring m_lastError;
    RecordStreams m_streams;
    CommandSettings m_settings;
    TrackingController m_tracking;
    ValidityMemory m_lastValidity;
    Recorder m_recorder;
    TrackingLink m_trackingLink{*this};
    CalibrationController m_calibration;
};

}  // namespace okulon
