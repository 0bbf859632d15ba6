// The concrete, heap-allocated COM objects around classes that implement
// their interfaces:
//  - CComObject<Base>: an object that the host owns. It counts the
//    references of the identity (all interface pointers forward here) on the
//    host's thread and holds one module lock for its whole life.
//  - CComObjectCached<Base>: an object that the module keeps in a cache (the
//    class factory). Its count is atomic, since any thread may ask for the
//    factory; the cache's own reference is the first one and does not keep
//    the DLL loaded, so the module is locked exactly while a second
//    reference exists.
#pragma once

#include <windows.h>

#include <new>

#include "base/hresults.h"
#include "server/com_frame/interface_map.h"  // what the classes build InternalQueryInterface from
// The module itself, not its LockableModule face: whatever builds an object
// thereby links the module, which registers that face for the layers below.
#include "server/component/okulon_module.h"

namespace okulon {

// Reference count given to an object under destruction, so that counting
// during its last steps can never reach zero a second time.
constexpr LONG kDestructingReferenceCount = static_cast<LONG>(0xC0000001);

template <class Base>
class CComObject final : public Base {
public:
    // Allocates, constructs, locks the module, runs FinalConstruct with the
    // count raised to 1, and asks for the interface; any failure destroys it.
    static HRESULT CreateInstance(REFIID iid, void** object) noexcept {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        CComObject* instance = nullptr;
        try {
            instance = new CComObject();
        } catch (...) {
            return HResultFromCaughtException();
        }
        instance->m_refCount = 1;
        HRESULT result = instance->FinalConstruct();
        instance->m_refCount = 0;
        if (SUCCEEDED(result)) result = instance->QueryInterface(iid, object);
        if (FAILED(result)) delete instance;
        return result;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override {
        return this->InternalQueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return static_cast<ULONG>(++this->m_refCount); }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        const LONG count = --this->m_refCount;
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    ~CComObject() noexcept override {
        this->m_refCount = kDestructingReferenceCount;
        this->FinalRelease();
        Module().Unlock();
        // The members go with the base's destructor, in reverse declaration order.
    }

private:
    CComObject() { Module().Lock(); }
};

template <class Base>
class CComObjectCached final : public Base {
public:
    CComObjectCached() noexcept = default;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override {
        return this->InternalQueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override {
        const LONG count = InterlockedIncrement(&this->m_refCount);
        if (count == 2) Module().Lock();
        return static_cast<ULONG>(count);
    }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        const LONG count = InterlockedDecrement(&this->m_refCount);
        if (count == 1) {
            Module().Unlock();
        } else if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }

    ~CComObjectCached() { this->m_refCount = kDestructingReferenceCount; }
};

}  // namespace okulon
