#include "host/calibration_display_scripted.h"

#include <chrono>
#include <cstdio>

namespace okulon::host {

ScriptedDisplay* ScriptedDisplay::Create(ULONG width, ULONG height) { return new ScriptedDisplay(width, height); }

ScriptedDisplay::ScriptedDisplay(ULONG width, ULONG height) noexcept : m_height(height), m_width(width) {}

void ScriptedDisplay::PressKeyAtWaitForKey(int n, LONG keyCode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keyAtWait = n;
    m_scriptedKey = keyCode;
}

void ScriptedDisplay::PressKeyAfterTarget(int n, LONG keyCode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keyAfterTarget = n;
    m_scriptedKey = keyCode;
}

void ScriptedDisplay::SetKeyHook(std::function<bool()> hook, LONG keyCode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keyHook = std::move(hook);
    m_hookKey = keyCode;
}

void ScriptedDisplay::ForbidDrawing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_drawingForbidden = true;
}

std::vector<DisplayCall> ScriptedDisplay::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<DisplayCall> ScriptedDisplay::CallsOf(DisplayCallKind kind) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<DisplayCall> calls;
    for (const DisplayCall& call : m_calls) {
        if (call.kind == kind) calls.push_back(call);
    }
    return calls;
}

std::vector<std::string> ScriptedDisplay::Violations() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_violations;
}

bool ScriptedDisplay::WaitForTargets(size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return CountOf(DisplayCallKind::DrawTarget) >= count; });
}

size_t ScriptedDisplay::CountOf(DisplayCallKind kind) const {
    size_t count = 0;
    for (const DisplayCall& call : m_calls) {
        if (call.kind == kind) ++count;
    }
    return count;
}

void ScriptedDisplay::Record(DisplayCallKind kind, LONG first, LONG second) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(DisplayCall{kind, GetCurrentThreadId(), first, second});
        if (m_drawingForbidden && kind != DisplayCallKind::WaitForKey) {
            char text[96];
            std::snprintf(text, sizeof text, "drawing call %d (%ld, %ld) after drawing was over",
                          static_cast<int>(kind), static_cast<long>(first), static_cast<long>(second));
            m_violations.emplace_back(text);
        }
    }
    m_changed.notify_all();
}

HRESULT ScriptedDisplay::Unexpected(const char* operation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_violations.push_back(std::string("unexpected call of ") + operation);
    return E_UNEXPECTED;
}

STDMETHODIMP ScriptedDisplay::BeginDisplay() { return Unexpected("BeginDisplay"); }
STDMETHODIMP ScriptedDisplay::EndDisplay() { return Unexpected("EndDisplay"); }
STDMETHODIMP ScriptedDisplay::ClearDisplay() { return Unexpected("ClearDisplay"); }
STDMETHODIMP ScriptedDisplay::SetBackground(LONG) { return Unexpected("SetBackground"); }
STDMETHODIMP ScriptedDisplay::PlaySound(LONG) { return Unexpected("PlaySound"); }
STDMETHODIMP ScriptedDisplay::ShowMessage(LONG) { return Unexpected("ShowMessage"); }

STDMETHODIMP ScriptedDisplay::GetDisplaySize(::DisplaySize* size) {
    Record(DisplayCallKind::GetDisplaySize, 0, 0);
    if (size == nullptr) return E_POINTER;
    size->height = m_height;
    size->width = m_width;
    return S_OK;
}

STDMETHODIMP ScriptedDisplay::DrawTarget(LONG x, LONG y) {
    Record(DisplayCallKind::DrawTarget, x, y);
    return S_OK;
}

STDMETHODIMP ScriptedDisplay::UpdateDisplay() {
    Record(DisplayCallKind::UpdateDisplay, 0, 0);
    return S_OK;
}

// Waits like a real display (up to the time-out), but returns as soon as a
// target is drawn, so that a key scripted after a target comes promptly.
STDMETHODIMP ScriptedDisplay::WaitForKey(LONG timeoutMs, LONG* keyCode) {
    Record(DisplayCallKind::WaitForKey, timeoutMs, 0);
    std::function<bool()> hook;
    LONG hookKey = kEscape;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const size_t waits = CountOf(DisplayCallKind::WaitForKey);
        const size_t targets = CountOf(DisplayCallKind::DrawTarget);
        const bool keyAtWait = m_keyAtWait > 0 && waits >= static_cast<size_t>(m_keyAtWait);
        const bool keyAfterTarget = m_keyAfterTarget > 0 && targets >= static_cast<size_t>(m_keyAfterTarget);
        if (keyAtWait || keyAfterTarget) {
            if (keyCode != nullptr) *keyCode = m_scriptedKey;
            return S_OK;
        }
        hook = m_keyHook;
        hookKey = m_hookKey;
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                           [&] { return CountOf(DisplayCallKind::DrawTarget) != targets; });
    }
    if (hook && hook()) {
        if (keyCode != nullptr) *keyCode = hookKey;
    }
    return S_OK;
}

}  // namespace okulon::host
