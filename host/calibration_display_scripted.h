// ScriptedDisplay: a calibration display object for tests. It answers the
// calls that Calibrate makes with a configured size and scripted key presses,
// records every call with its thread and arguments, and records a violation
// for every call the extension must not make (the operations it never uses,
// and drawing after the test has declared drawing over).
//
// Threads: every method may be called from any thread at once (the host's
// thread waits for keys while the calibration worker draws); reference
// counting is atomic. Ownership: reference counted; the creator holds the
// first reference.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "eye_tracker_host.h"
#include "host/calibration_display_unknown.h"

namespace okulon::host {

enum class DisplayCallKind { GetDisplaySize, DrawTarget, UpdateDisplay, WaitForKey };

struct DisplayCall {
    DisplayCallKind kind;
    DWORD threadId;
    LONG first;   // DrawTarget: x; WaitForKey: time-out in milliseconds
    LONG second;  // DrawTarget: y
};

class ScriptedDisplay final : public CalibrationDisplayUnknown<ScriptedDisplay> {
public:
    static constexpr LONG kEscape = 27;

    // A new display with one reference, owned by the caller.
    static ScriptedDisplay* Create(ULONG width, ULONG height);

    // Script. Call before handing the display over.
    // The n-th WaitForKey (1-based) and every later one report `keyCode`.
    void PressKeyAtWaitForKey(int n, LONG keyCode = kEscape);
    // The first WaitForKey after the n-th DrawTarget (1-based) and every later
    // one report `keyCode`.
    void PressKeyAfterTarget(int n, LONG keyCode = kEscape);
    // Asked at every WaitForKey (on the caller's thread, after the call is
    // recorded); returning true reports `keyCode`. Replaces any earlier hook.
    void SetKeyHook(std::function<bool()> hook, LONG keyCode = kEscape);
    // From now on GetDisplaySize, DrawTarget and UpdateDisplay are violations.
    void ForbidDrawing();

    // Observations.
    std::vector<DisplayCall> Calls() const;
    std::vector<DisplayCall> CallsOf(DisplayCallKind kind) const;
    std::vector<std::string> Violations() const;
    // Bounded wait until `count` DrawTarget calls were made.
    bool WaitForTargets(size_t count, DWORD timeoutMs) const;

    // ICalibrationDisplay
    STDMETHODIMP BeginDisplay() override;
    STDMETHODIMP EndDisplay() override;
    STDMETHODIMP ClearDisplay() override;
    STDMETHODIMP SetBackground(LONG colour) override;
    STDMETHODIMP GetDisplaySize(::DisplaySize* size) override;
    STDMETHODIMP DrawTarget(LONG x, LONG y) override;
    STDMETHODIMP UpdateDisplay() override;
    STDMETHODIMP PlaySound(LONG sound) override;
    STDMETHODIMP ShowMessage(LONG message) override;
    STDMETHODIMP WaitForKey(LONG timeoutMs, LONG* keyCode) override;

private:
    friend class CalibrationDisplayUnknown<ScriptedDisplay>;  // deletes at the last Release
    ScriptedDisplay(ULONG width, ULONG height) noexcept;
    ~ScriptedDisplay() = default;

    void Record(DisplayCallKind kind, LONG first, LONG second);
    HRESULT Unexpected(const char* operation);
    size_t CountOf(DisplayCallKind kind) const;  // caller holds m_mutex

    const ULONG m_height;
    const ULONG m_width;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<DisplayCall> m_calls;
    std::vector<std::string> m_violations;
    int m_keyAtWait = 0;  // 0: not scripted
    int m_keyAfterTarget = 0;
    LONG m_scriptedKey = kEscape;
    std::function<bool()> m_keyHook;
    LONG m_hookKey = kEscape;
    bool m_drawingForbidden = false;
};

}  // namespace okulon::host
