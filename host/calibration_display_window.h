// WindowDisplay: the host program's calibration display. It shows each target
// as a filled circle in a top-level window of its own (offsets from the centre
// of the client area, y upwards) and reports Escape pressed in that window, or
// the window being closed, as key code 27. Every target is also written to
// stdout ("target 1 at (-511, 409)"), which is all it does when it runs
// headless: when asked to, or when no window can be made.
//
// Threads: create it, call WaitForKey and PumpMessages, and let it go on the
// host's thread, which owns the window. GetDisplaySize, DrawTarget and
// UpdateDisplay may come from the calibration worker: they never touch the
// window directly and never wait for the host's thread, they post to it. The
// window's messages are handled only while the host's thread is inside
// WaitForKey or PumpMessages.
// Ownership: reference counted; the creator holds the first reference. If the
// last reference goes on another thread, the window is destroyed by a message
// to the host's thread.
#pragma once

#include <windows.h>

#include <mutex>

#include "eye_tracker_host.h"
#include "host/calibration_display_unknown.h"

namespace okulon::host {

class WindowDisplay final : public CalibrationDisplayUnknown<WindowDisplay> {
public:
    enum class Mode { kWindowIfPossible, kHeadless };

    // A new display with one reference, owned by the caller; on the host's
    // thread. The size is the window's client area and what GetDisplaySize reports.
    static WindowDisplay* Create(Mode mode, ULONG width, ULONG height);

    bool HasWindow() const noexcept { return m_window != nullptr; }
    // Handles the window's messages for `milliseconds` (host's thread), for
    // instance to keep the last target on screen for a moment.
    void PumpMessages(DWORD milliseconds);

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
    friend class CalibrationDisplayUnknown<WindowDisplay>;  // deletes at the last Release
    WindowDisplay(ULONG width, ULONG height) noexcept;
    ~WindowDisplay();

    bool OpenWindow();
    // Pumps until the deadline or a key; the key, or 0.
    LONG Pump(DWORD milliseconds);

    const ULONG m_width;
    const ULONG m_height;
    const DWORD m_ownerThread;
    HWND m_window = nullptr;

    std::mutex m_targetMutex;  // the worker's drawing state
    LONG m_targetNumber = 0;
    LONG m_targetX = 0;
    LONG m_targetY = 0;
};

}  // namespace okulon::host
