#include "base/lockable_module.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace okulon {
namespace {

// Constant-initialised: set before any code that reads it can run.
LockableModule* g_thisModule = nullptr;

}  // namespace

bool CriticalSection::Create() noexcept {
    if (!m_created) m_created = InitializeCriticalSectionEx(&m_section, 0, 0) != FALSE;
    return m_created;
}

void CriticalSection::Delete() noexcept {
    if (m_created) {
        DeleteCriticalSection(&m_section);
        m_created = false;
    }
}

LockableModule& ThisModule() noexcept { return *g_thisModule; }

void RegisterThisModule(LockableModule* module) noexcept { g_thisModule = module; }

HMODULE ThisModuleHandle() noexcept { return reinterpret_cast<HMODULE>(&__ImageBase); }

HRESULT GetComponentFilePath(wchar_t (&path)[MAX_PATH]) noexcept {
    const DWORD length = GetModuleFileNameW(ThisModuleHandle(), path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return E_FAIL;
    return S_OK;
}

}  // namespace okulon
