// The host program's window display, looked at on a real X server: a
// calibration through Okulon.dll (class factory, simulated tracker in this
// process) draws its five targets in the window, and after each one the test
// takes a screenshot of the window's client area from the screen and finds
// the target's pixels where the target's offsets put them (from the client
// centre, y upwards), for a few display sizes. Run by scripts/wine-x11-run.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/calibration_display_window.h"
#include "reliability_support.h"

namespace okulon::reliability {
namespace {

using host::WindowDisplay;

constexpr LONG kEscape = 27;
constexpr int kTargetCount = 5;
constexpr int kTargetRadius = 12;   // the window display's target circle
constexpr DWORD kSettleMs = 250;    // painting and the X server catching up
constexpr DWORD kLookForMs = 1200;  // a target not seen by then is missing (dwell 1.5 s)
constexpr DWORD kCalibrationBoundMs = 60000;

struct Pixel {
    uint8_t blue, green, red, unused;
    bool IsWhite() const { return red > 230 && green > 230 && blue > 230; }
    bool IsBlack() const { return red < 25 && green < 25 && blue < 25; }
    bool IsGrey() const { return std::abs(red - 128) < 12 && std::abs(green - 128) < 12 && std::abs(blue - 128) < 12; }
};

// The window's client area as the screen shows it, 32 bits per pixel, top row first.
class Screenshot {
public:
    static Screenshot OfClientArea(HWND window) {
        Screenshot shot;
        RECT client{};
        GetClientRect(window, &client);
        POINT origin{0, 0};
        ClientToScreen(window, &origin);
        shot.m_width = client.right;
        shot.m_height = client.bottom;
        shot.m_pixels.resize(static_cast<size_t>(shot.m_width) * shot.m_height);

        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = shot.m_width;
        info.bmiHeader.biHeight = -shot.m_height;  // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (bitmap != nullptr && bits != nullptr) {
            HGDIOBJ old = SelectObject(memory, bitmap);
            if (BitBlt(memory, 0, 0, shot.m_width, shot.m_height, screen, origin.x, origin.y, SRCCOPY | CAPTUREBLT)) {
                GdiFlush();
                std::memcpy(shot.m_pixels.data(), bits, shot.m_pixels.size() * sizeof(Pixel));
                shot.m_taken = true;
            }
            SelectObject(memory, old);
            DeleteObject(bitmap);
        }
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
        return shot;
    }

    bool Taken() const { return m_taken; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    const Pixel& At(int x, int y) const { return m_pixels[static_cast<size_t>(y) * m_width + x]; }

private:
    bool m_taken = false;
    int m_width = 0;
    int m_height = 0;
    std::vector<Pixel> m_pixels;
};

// What a screenshot shows of one target expected at client pixel (centreX, centreY).
// Empty when the target is there: a white disc of the target's radius around
// that point with a black centre, on grey, and nothing else white.
std::string ProblemsWithTarget(const Screenshot& shot, int centreX, int centreY) {
    if (!shot.Taken()) return "no screenshot";
    int left = shot.Width(), top = shot.Height(), right = -1, bottom = -1, whitePixels = 0;
    for (int y = 0; y < shot.Height(); ++y) {
        for (int x = 0; x < shot.Width(); ++x) {
            if (!shot.At(x, y).IsWhite()) continue;
            ++whitePixels;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    if (whitePixels == 0) return "no white pixel in the window";
    std::string problems;
    const auto add = [&problems](const std::string& text) { problems += text + "; "; };
    const double foundX = (left + right) / 2.0;
    const double foundY = (top + bottom) / 2.0;
    if (std::abs(foundX - centreX) > 1.0 || std::abs(foundY - centreY) > 1.0) {
        add("white area centred at (" + std::to_string(foundX) + ", " + std::to_string(foundY) + ")");
    }
    const int diameter = 2 * kTargetRadius;
    if (right - left + 1 < diameter - 3 || right - left + 1 > diameter + 1 || bottom - top + 1 < diameter - 3 ||
        bottom - top + 1 > diameter + 1) {
        add("white area " + std::to_string(right - left + 1) + " x " + std::to_string(bottom - top + 1));
    }
    const double disc = 3.14159 * kTargetRadius * kTargetRadius;
    if (whitePixels < disc * 0.7 || whitePixels > disc * 1.1) add(std::to_string(whitePixels) + " white pixels");
    if (!shot.At(centreX, centreY).IsBlack()) add("centre pixel not black");
    const int outside = kTargetRadius + 8;
    for (const auto& [dx, dy] :
         {std::pair{outside, 0}, std::pair{-outside, 0}, std::pair{0, outside}, std::pair{0, -outside}}) {
        const int x = centreX + dx, y = centreY + dy;
        if (x >= 0 && y >= 0 && x < shot.Width() && y < shot.Height() && !shot.At(x, y).IsGrey()) {
            add("background beside the target not grey");
            break;
        }
    }
    return problems;
}

// Where a target of the five-point calibration belongs on a display of the
// given size, worked out here from the fractions in single precision.
POINT ExpectedTarget(int index, ULONG width, ULONG height) {
    static const float kFractions[kTargetCount][2] = {
        {0.1f, 0.1f}, {0.9f, 0.1f}, {0.9f, 0.9f}, {0.1f, 0.9f}, {0.5f, 0.5f}};
    const double x = std::trunc(static_cast<double>(width) * (static_cast<double>(kFractions[index][0]) - 0.5));
    const double y = std::trunc(static_cast<double>(height) * (0.5 - static_cast<double>(kFractions[index][1])));
    return {static_cast<LONG>(x), static_cast<LONG>(y)};
}

// The window display with a look at the screen after each target: the
// extension's worker draws through it, and on the host's thread, while
// Calibrate polls for keys, it photographs the window until the newest target
// shows (or the time runs out) and presses Escape after the last one.
class LookingDisplay final : public ICalibrationDisplay {
public:
    explicit LookingDisplay(WindowDisplay* window) : m_window(window) {}
    ~LookingDisplay() { m_window->Release(); }

    struct Look {
        LONG x = 0, y = 0;     // the offsets the extension drew
        std::string problems;  // empty when the screenshot showed the target
    };

    std::vector<Look> Looks() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_looks;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_ICalibrationDisplay)) return E_NOINTERFACE;
        *object = static_cast<ICalibrationDisplay*>(this);
        AddRef();
        return S_OK;
    }
    // Lives on the test's stack, longer than the calibration that uses it.
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_references)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_references)); }

    STDMETHODIMP BeginDisplay() override { return m_window->BeginDisplay(); }
    STDMETHODIMP EndDisplay() override { return m_window->EndDisplay(); }
    STDMETHODIMP ClearDisplay() override { return m_window->ClearDisplay(); }
    STDMETHODIMP SetBackground(LONG colour) override { return m_window->SetBackground(colour); }
    STDMETHODIMP GetDisplaySize(::DisplaySize* size) override { return m_window->GetDisplaySize(size); }
    STDMETHODIMP PlaySound(LONG sound) override { return m_window->PlaySound(sound); }
    STDMETHODIMP ShowMessage(LONG message) override { return m_window->ShowMessage(message); }

    STDMETHODIMP DrawTarget(LONG x, LONG y) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_drawnX = x;
            m_drawnY = y;
        }
        return m_window->DrawTarget(x, y);
    }

    STDMETHODIMP UpdateDisplay() override {
        const HRESULT result = m_window->UpdateDisplay();
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_updates;
        m_updatedAt = GetTickCount64();
        return result;
    }

    STDMETHODIMP WaitForKey(LONG timeoutMs, LONG* keyCode) override {
        const HRESULT result = m_window->WaitForKey(timeoutMs, keyCode);  // pumps the window's messages
        if (FAILED(result) || keyCode == nullptr) return result;
        LookAtNewestTarget();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (static_cast<int>(m_looks.size()) == kTargetCount) *keyCode = kEscape;
        return result;
    }

private:
    void LookAtNewestTarget() {
        LONG x = 0, y = 0;
        ULONGLONG updatedAt = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_updates <= static_cast<LONG>(m_looks.size())) return;  // nothing new on screen
            x = m_drawnX;
            y = m_drawnY;
            updatedAt = m_updatedAt;
        }
        const ULONGLONG now = GetTickCount64();
        if (now - updatedAt < kSettleMs) return;
        m_window->PumpMessages(20);
        RECT client{};
        GetClientRect(WindowHandle(), &client);
        const int centreX = client.right / 2 + x;
        const int centreY = client.bottom / 2 - y;
        std::string problems = ProblemsWithTarget(Screenshot::OfClientArea(WindowHandle()), centreX, centreY);
        if (!problems.empty() && now - updatedAt < kLookForMs) return;  // look again at the next poll
        std::lock_guard<std::mutex> lock(m_mutex);
        m_looks.push_back({x, y, problems});
    }

    HWND WindowHandle() const { return FindWindowW(L"OkulonCalibrationDisplay", nullptr); }

    WindowDisplay* m_window;
    volatile LONG m_references = 1;
    mutable std::mutex m_mutex;
    LONG m_drawnX = 0, m_drawnY = 0;
    LONG m_updates = 0;
    ULONGLONG m_updatedAt = 0;
    std::vector<Look> m_looks;
};

struct DisplaySizeCase {
    ULONG width;
    ULONG height;
};

class CalibrationDrawing : public ::testing::TestWithParam<DisplaySizeCase> {};

TEST_P(CalibrationDrawing, EachTargetShowsOnTheScreenWhereItsOffsetsPutIt) {
    const ULONG width = GetParam().width;
    const ULONG height = GetParam().height;
    ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(SUCCEEDED(apartment.get()));
    sim::Scenario scenario;
    auto server = StartSimulator(scenario, 300);
    ASSERT_TRUE(server);
    test::OkulonDll dll;
    ComPtr<IEyeTracker> tracker = CreateThroughFactory(dll);
    ASSERT_TRUE(tracker);
    ASSERT_EQ(S_OK, SendSetting(tracker.get(), L"host 127.0.0.1"));
    ASSERT_EQ(S_OK, SendSetting(tracker.get(), L"port " + std::to_wstring(server->Port())));

    WindowDisplay* window = WindowDisplay::Create(WindowDisplay::Mode::kWindowIfPossible, width, height);
    ASSERT_TRUE(window->HasWindow()) << "no window could be made on the X server";
    {
        LookingDisplay display(window);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(E_FAIL, tracker->Calibrate(0, &display, 0, 0, 0, 0, 0, 0));
        EXPECT_EQ(L"Calibrate: Calibration canceled", LastErrorText(tracker.get()));
        EXPECT_LT(GetTickCount64() - start, kCalibrationBoundMs);

        const std::vector<LookingDisplay::Look> looks = display.Looks();
        ASSERT_EQ(static_cast<size_t>(kTargetCount), looks.size());
        for (int index = 0; index < kTargetCount; ++index) {
            const POINT expected = ExpectedTarget(index, width, height);
            EXPECT_EQ(expected.x, looks[index].x) << "target " << index + 1;
            EXPECT_EQ(expected.y, looks[index].y) << "target " << index + 1;
            EXPECT_EQ("", looks[index].problems) << "target " << index + 1 << " at (" << looks[index].x << ", "
                                                 << looks[index].y << ") on " << width << " x " << height;
        }
    }
    tracker.reset();
    EXPECT_TRUE(WaitUntil([&dll] { return dll.CanUnloadNow() == S_OK; }, 30000));
}

INSTANTIATE_TEST_SUITE_P(DisplaySizes, CalibrationDrawing,
                         ::testing::Values(DisplaySizeCase{640, 480}, DisplaySizeCase{1024, 768},
                                           DisplaySizeCase{1280, 1024}),
                         [](const ::testing::TestParamInfo<DisplaySizeCase>& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

}  // namespace
}  // namespace okulon::reliability
