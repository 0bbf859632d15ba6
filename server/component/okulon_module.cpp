#include "server/component/okulon_module.h"
#include "server/component/registration.h"

#include <iterator>
#include <new>

#include "okulon.h"  // CLSID_CEyeTrackerImpl, LIBID_Okulon
#include "server/component/class_factory.h"
#include "server/component/instance_creator.h"

namespace okulon {
namespace {

constexpr DWORD kModuleSizeStamp = 36;
constexpr DWORD kClassModuleSizeStamp = 40;

bool g_initialisationFailed = false;

ObjectMapEntry g_objectMap[] = {
    {&CLSID_CEyeTrackerImpl, &UpdateEyeTrackerRegistry, &CreateClassFactory, &CreateEyeTrackerInstance, {nullptr}},
};

// The static records in the order in which they must be built; members are
// destroyed in reverse, which is the order teardown needs.
struct ModuleStatics {
    BaseModuleRecord m_baseModule;
    ClassModuleRecord m_classModule;
    COkulonModule m_module;

    // Only the process's module is what the layers below reach, not one a
    // test builds on its own.
    ModuleStatics() noexcept { RegisterThisModule(&m_module); }
};

ModuleStatics g_statics;

}  // namespace

GUID COkulonModule::m_libid = {};

COkulonModule::COkulonModule() noexcept {
    if (m_moduleLock.Create()) {
        m_sizeStamp = kModuleSizeStamp;
    } else {
        g_initialisationFailed = true;
    }
    m_libid = LIBID_Okulon;
}

COkulonModule::~COkulonModule() { Term(); }

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
    m_moduleLock.Delete();
    m_sizeStamp = 0;
}

BaseModuleRecord::BaseModuleRecord() noexcept : module(ThisModuleHandle()) {}

ClassModuleRecord::ClassModuleRecord() noexcept : mapBegin(std::begin(g_objectMap)), mapEnd(std::end(g_objectMap)) {
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

}  // namespace okulon
