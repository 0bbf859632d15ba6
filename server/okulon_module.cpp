#include "server/okulon_module.h"
#include "server/registration.h"

#include <iterator>
#include <new>

#include "extension/eye_tracker_impl.h"  // CreateEyeTrackerInstance
#include "okulon.h"                      // CLSID_CEyeTrackerImpl, LIBID_Okulon
#include "server/class_factory.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace okulon {
namespace {

constexpr DWORD kModuleSizeStamp = 36;
constexpr DWORD kClassModuleSizeStamp = 40;

bool g_initialisationFailed = false;

const wchar_t* NoDescription() { return nullptr; }
const void* NoComponentCategories() { return nullptr; }
void EyeTrackerStartStop(bool) {}

ObjectMapEntry g_objectMap[] = {
    {&CLSID_CEyeTrackerImpl, &UpdateEyeTrackerRegistry, &CreateClassFactory, &CreateEyeTrackerInstance, {nullptr}, 0,
     &NoDescription, &NoComponentCategories, &EyeTrackerStartStop},
};

// The static records in the order in which they must be built; members are
// destroyed in reverse, which is the order teardown needs. The start/stop
// hooks bracket the module's life.
class ModuleStatics {
public:
    ModuleStatics() noexcept {
        for (ObjectMapEntry* entry = m_classModule.mapBegin; entry != m_classModule.mapEnd; ++entry) {
            entry->startStopHook(true);
        }
    }
    ~ModuleStatics() {
        for (ObjectMapEntry* entry = m_classModule.mapBegin; entry != m_classModule.mapEnd; ++entry) {
            entry->startStopHook(false);
        }
    }
    ModuleStatics(const ModuleStatics&) = delete;
    ModuleStatics& operator=(const ModuleStatics&) = delete;

    BaseModuleRecord m_baseModule;
    ClassModuleRecord m_classModule;
    COkulonModule m_module;
};

ModuleStatics g_statics;

}  // namespace

GUID COkulonModule::m_libid = {};

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

COkulonModule::COkulonModule() noexcept {
    if (m_moduleLock.Create()) {
        m_sizeStamp = kModuleSizeStamp;
    } else {
        g_initialisationFailed = true;
    }
    m_libid = LIBID_Okulon;
}

COkulonModule::~COkulonModule() { Term(); }

HRESULT COkulonModule::GetGlobalInterfaceTable(IGlobalInterfaceTable** table) noexcept {
    if (table == nullptr) return E_POINTER;
    *table = nullptr;
    IGlobalInterfaceTable* held = m_globalInterfaceTable.load(std::memory_order_acquire);
    if (held == nullptr) {
        IGlobalInterfaceTable* created = nullptr;
        const HRESULT result = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&created));
        if (FAILED(result)) return result;
        // Two first callers may race; the loser gives its table back rather than leak it.
        IGlobalInterfaceTable* expected = nullptr;
        if (m_globalInterfaceTable.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
            held = created;
        } else {
            created->Release();
            held = expected;
        }
    }
    held->AddRef();
    *table = held;
    return S_OK;
}

HRESULT COkulonModule::AddCommonReplacements(IRegistrarBase& registrar) noexcept {
    return okulon::AddCommonReplacements(registrar);
}

HRESULT COkulonModule::AddTerminationCallback(TerminationCallback callback, DWORD_PTR argument) noexcept {
    auto* node = new (std::nothrow) TerminationNode{callback, argument, nullptr};
    if (node == nullptr) return E_OUTOFMEMORY;
    CriticalSectionGuard guard(m_moduleLock);
    node->next = m_terminationList;
    m_terminationList = node;
    return S_OK;
}

void COkulonModule::Term() noexcept {
    if (m_sizeStamp == 0) return;
    // Nothing else runs in the module any more: the list is walked without the lock.
    TerminationNode* node = m_terminationList;
    m_terminationList = nullptr;
    while (node != nullptr) {
        TerminationNode* next = node->next;
        node->callback(node->argument);
        delete node;
        node = next;
    }
    if (IGlobalInterfaceTable* table = m_globalInterfaceTable.exchange(nullptr)) table->Release();
    m_moduleLock.Delete();
    m_sizeStamp = 0;
}

BaseModuleRecord::BaseModuleRecord() noexcept : module(ThisModuleHandle()), resourceModule(module) {
    if (!resourceLock.Create()) g_initialisationFailed = true;
}

ClassModuleRecord::ClassModuleRecord() noexcept
    : typeLibraryModule(ThisModuleHandle()), mapBegin(std::begin(g_objectMap)), mapEnd(std::end(g_objectMap)) {
    if (objectMapLock.Create()) {
        sizeStamp = kClassModuleSizeStamp;
    } else {
        g_initialisationFailed = true;
    }
}

ClassModuleRecord::~ClassModuleRecord() {
    if (sizeStamp == 0) return;
    for (ObjectMapEntry* entry = mapBegin; entry != mapEnd; ++entry) {
        if (IUnknown* factory = entry->cachedFactory.exchange(nullptr)) factory->Release();
    }
    objectMapLock.Delete();
    sizeStamp = 0;
}

COkulonModule& Module() noexcept { return g_statics.m_module; }
BaseModuleRecord& BaseModule() noexcept { return g_statics.m_baseModule; }
ClassModuleRecord& ClassModule() noexcept { return g_statics.m_classModule; }

bool InitialisationFailed() noexcept { return g_initialisationFailed; }

HMODULE ThisModuleHandle() noexcept { return reinterpret_cast<HMODULE>(&__ImageBase); }

HRESULT GetComponentFilePath(wchar_t (&path)[MAX_PATH]) noexcept {
    const DWORD length = GetModuleFileNameW(BaseModule().module, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return E_FAIL;
    return S_OK;
}

}  // namespace okulon
