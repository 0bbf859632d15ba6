// CComObject<Base>: the concrete, heap-allocated COM object around a class
// that implements its interfaces. It owns the reference counting of the
// identity (all interface pointers forward here) and the object's share of
// the module's lock count.
#pragma once

#include <windows.h>

#include <new>

#include "server/okulon_module.h"

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
            return E_OUTOFMEMORY;
        }
        instance->m_refCount = 1;
        HRESULT result = instance->FinalConstruct();
        instance->m_refCount = 0;
        if (result >= 0) result = instance->QueryInterface(iid, object);
        if (result < 0) {
            delete instance;
            return result;
        }
        return result;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        return this->InternalQueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++this->m_refCount); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = --this->m_refCount;
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    ~CComObject() override {
        this->m_refCount = kDestructingReferenceCount;
        this->FinalRelease();
        Module().Unlock();
        // The members go with the base's destructor, in reverse declaration order.
    }

private:
    CComObject() { Module().Lock(); }
};

}  // namespace okulon
