#include "host/calibration_display_window.h"

#include <cstdio>
#include <memory>

namespace okulon::host {
namespace {

constexpr wchar_t kWindowClass[] = L"OkulonCalibrationDisplay";
constexpr UINT kShowTargetMessage = WM_APP + 1;  // wParam x, lParam y
constexpr UINT kDestroyMessage = WM_APP + 2;
constexpr int kTargetRadius = 12;

// What the window shows and the key it saw; owned by the window and touched
// only on its thread, so a display released on another thread leaves nothing
// behind that the window procedure could reach.
struct WindowState {
    bool hasTarget = false;
    LONG x = 0;
    LONG y = 0;
    LONG pendingKey = 0;
};

WindowState* StateOf(HWND window) { return reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

void Paint(HWND window, const WindowState& state) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    if (state.hasTarget) {
        const int centreX = (client.right - client.left) / 2 + state.x;
        const int centreY = (client.bottom - client.top) / 2 - state.y;  // y upwards
        HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(WHITE_BRUSH));
        HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
        Ellipse(dc, centreX - kTargetRadius, centreY - kTargetRadius, centreX + kTargetRadius, centreY + kTargetRadius);
        SelectObject(dc, GetStockObject(BLACK_BRUSH));
        Ellipse(dc, centreX - 3, centreY - 3, centreX + 3, centreY + 3);
        SelectObject(dc, oldPen);
        SelectObject(dc, oldBrush);
    }
    EndPaint(window, &paint);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(window, message, wParam, lParam);
    }
    WindowState* state = StateOf(window);
    if (state == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
    case kShowTargetMessage:
        state->hasTarget = true;
        state->x = static_cast<LONG>(wParam);
        state->y = static_cast<LONG>(lParam);
        InvalidateRect(window, nullptr, TRUE);
        return 0;
    case kDestroyMessage:
        DestroyWindow(window);
        return 0;
    case WM_KEYDOWN:
        state->pendingKey = static_cast<LONG>(wParam);
        return 0;
    case WM_CLOSE:
        // Closing the window cancels like Escape; the display's owner destroys it.
        state->pendingKey = VK_ESCAPE;
        return 0;
    case WM_ERASEBKGND:
        return 1;  // WM_PAINT fills the whole client area
    case WM_PAINT:
        Paint(window, *state);
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete state;
        return DefWindowProcW(window, message, wParam, lParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool RegisterWindowClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &WindowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

WindowDisplay* WindowDisplay::Create(Mode mode, ULONG width, ULONG height) {
    auto* display = new WindowDisplay(width, height);
    if (mode == Mode::kWindowIfPossible && !display->OpenWindow()) {
        std::printf("calibration display: no window, running headless\n");
        std::fflush(stdout);
    }
    return display;
}

WindowDisplay::WindowDisplay(ULONG width, ULONG height) noexcept
    : m_width(width), m_height(height), m_ownerThread(GetCurrentThreadId()) {}

WindowDisplay::~WindowDisplay() {
    if (m_window == nullptr) return;
    if (GetCurrentThreadId() == m_ownerThread) {
        DestroyWindow(m_window);
    } else {
        PostMessageW(m_window, kDestroyMessage, 0, 0);
    }
}

bool WindowDisplay::OpenWindow() {
    if (!RegisterWindowClass()) return false;
    RECT frame{0, 0, static_cast<LONG>(m_width), static_cast<LONG>(m_height)};
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    AdjustWindowRect(&frame, style, FALSE);
    auto state = std::make_unique<WindowState>();
    m_window =
        CreateWindowExW(0, kWindowClass, L"Calibration", style, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                        frame.bottom - frame.top, nullptr, nullptr, GetModuleHandleW(nullptr), state.get());
    if (m_window == nullptr) return false;  // WM_NCCREATE did not take the state over
    static_cast<void>(state.release());     // the window's now, deleted at WM_NCDESTROY
    ShowWindow(m_window, SW_SHOW);
    UpdateWindow(m_window);
    return true;
}

LONG WindowDisplay::Pump(DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));  // leave it for the host's own loop
                return 0;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (m_window != nullptr) {
            WindowState* state = StateOf(m_window);
            if (state != nullptr && state->pendingKey != 0) {
                const LONG key = state->pendingKey;
                state->pendingKey = 0;
                return key;
            }
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return 0;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void WindowDisplay::PumpMessages(DWORD milliseconds) {
    if (GetCurrentThreadId() == m_ownerThread) Pump(milliseconds);
}

STDMETHODIMP WindowDisplay::BeginDisplay() { return S_OK; }
STDMETHODIMP WindowDisplay::EndDisplay() { return S_OK; }
STDMETHODIMP WindowDisplay::ClearDisplay() { return S_OK; }
STDMETHODIMP WindowDisplay::SetBackground(LONG) { return S_OK; }
STDMETHODIMP WindowDisplay::PlaySound(LONG) { return S_OK; }
STDMETHODIMP WindowDisplay::ShowMessage(LONG) { return S_OK; }

STDMETHODIMP WindowDisplay::GetDisplaySize(::DisplaySize* size) {
    if (size == nullptr) return E_POINTER;
    size->height = m_height;
    size->width = m_width;
    return S_OK;
}

STDMETHODIMP WindowDisplay::DrawTarget(LONG x, LONG y) {
    LONG number = 0;
    {
        std::lock_guard<std::mutex> lock(m_targetMutex);
        number = ++m_targetNumber;
        m_targetX = x;
        m_targetY = y;
    }
    std::printf("target %ld at (%ld, %ld)\n", static_cast<long>(number), static_cast<long>(x), static_cast<long>(y));
    std::fflush(stdout);
    return S_OK;
}

STDMETHODIMP WindowDisplay::UpdateDisplay() {
    if (m_window == nullptr) return S_OK;
    LONG x = 0;
    LONG y = 0;
    {
        std::lock_guard<std::mutex> lock(m_targetMutex);
        x = m_targetX;
        y = m_targetY;
    }
    // Drawing belongs to the window's thread: hand the position over.
    PostMessageW(m_window, kShowTargetMessage, static_cast<WPARAM>(x), static_cast<LPARAM>(y));
    return S_OK;
}

STDMETHODIMP WindowDisplay::WaitForKey(LONG timeoutMs, LONG* keyCode) {
    if (keyCode == nullptr) return E_POINTER;
    const DWORD wait = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0;
    if (GetCurrentThreadId() != m_ownerThread) {
        Sleep(wait);  // only the owner can pump the window's messages
        *keyCode = 0;
        return S_OK;
    }
    *keyCode = Pump(wait);
    return S_OK;
}

}  // namespace okulon::host
