#include "tracker/tracker_library.h"

#include <new>
#include <string>

#include "base/lockable_module.h"

namespace okulon {
namespace {

// Okulon.dll's folder first, then the normal search path. The libraries stay
// loaded for the life of the process: a worker may still be inside them.
HMODULE LoadBesideModule(const wchar_t* fileName) noexcept {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(ThisModuleHandle(), path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wstring candidate(path, length);
        size_t slash = candidate.find_last_of(L"\\/");
        if (slash != std::wstring::npos) {
            candidate.resize(slash + 1);
            candidate += fileName;
            if (HMODULE module = LoadLibraryExW(candidate.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH))
                return module;
        }
    }
    return LoadLibraryW(fileName);
}

// The one binding of the process. Not a function-local static: the C++
// runtime guards those with the threads library linked into this DLL, which
// registers every thread that passes the guard and keeps two handles for each
// (an event and a thread handle) that an unloaded DLL can never close. A host
// that unloads Okulon.dll between sessions would lose them at every load.
INIT_ONCE g_libraryOnce = INIT_ONCE_STATIC_INIT;
alignas(TrackerLibrary) unsigned char g_libraryStorage[sizeof(TrackerLibrary)];

}  // namespace

// Built on first use, never at DLL load (no library may be loaded there). It is
// never destroyed: the libraries stay loaded for the life of the process.
TrackerLibrary& TrackerLibrary::Instance() noexcept {
    InitOnceExecuteOnce(&g_libraryOnce, &TrackerLibrary::BuildOnce, nullptr, nullptr);
    return *std::launder(reinterpret_cast<TrackerLibrary*>(g_libraryStorage));
}

BOOL CALLBACK TrackerLibrary::BuildOnce(PINIT_ONCE, PVOID, PVOID*) noexcept {
    new (g_libraryStorage) TrackerLibrary();
    return TRUE;
}

TrackerLibrary::TrackerLibrary() noexcept {
    if (HMODULE tet = LoadBesideModule(L"tet.dll")) {
        if (m_tet.Bind(tet)) m_tetModule = tet;
    }
    if (HMODULE ttime = LoadBesideModule(L"ttime.dll")) {
        FindExport(ttime, "TT_GetLocalTimeStamp", m_getLocalTimeStamp);
        if (m_getLocalTimeStamp) m_ttimeModule = ttime;
    }
}

int32_t TrackerLibrary::Connect(const char* host, int32_t port, int32_t mode) const noexcept {
    return m_tetModule ? m_tet.connect(host, port, mode) : -1;
}
int32_t TrackerLibrary::Disconnect() const noexcept { return m_tetModule ? m_tet.disconnect() : -1; }
int32_t TrackerLibrary::Start(TetGazeCallback callback, void* context, int32_t flags) const noexcept {
    return m_tetModule ? m_tet.start(callback, context, flags) : -1;
}
int32_t TrackerLibrary::Stop() const noexcept { return m_tetModule ? m_tet.stop() : -1; }
int32_t TrackerLibrary::PerformSystemCheck() const noexcept { return m_tetModule ? m_tet.performSystemCheck() : -1; }
int32_t TrackerLibrary::CalibClear() const noexcept { return m_tetModule ? m_tet.calibClear() : -1; }
int32_t TrackerLibrary::CalibAddPoint(float x, float y, int32_t mode, int32_t a, int32_t b, int32_t c) const noexcept {
    return m_tetModule ? m_tet.calibAddPoint(x, y, mode, a, b, c) : -1;
}
int32_t TrackerLibrary::CalibCalculateAndSet() const noexcept {
    return m_tetModule ? m_tet.calibCalculateAndSet() : -1;
}
int32_t TrackerLibrary::GetLastError() const noexcept {
    return m_tetModule ? m_tet.getLastError() : kTrackerErrorNotConnected;
}

void TrackerLibrary::GetLocalTimeStamp(TrackerTimeStamp* stamp) const noexcept {
    if (m_ttimeModule) {
        m_getLocalTimeStamp(stamp);
        return;
    }
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const long long seconds = counter.QuadPart / frequency.QuadPart;
    const long long remainder = counter.QuadPart % frequency.QuadPart;
    stamp->seconds = static_cast<int32_t>(seconds);
    stamp->microseconds = static_cast<int32_t>(remainder * 1000000 / frequency.QuadPart);
}

}  // namespace okulon
