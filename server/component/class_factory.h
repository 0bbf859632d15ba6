// CComClassFactory: the class object that DllGetClassObject hands out. It
// builds one new object per CreateInstance through the instance creator of
// its object-map entry. The concrete factory is
// CComObjectCached<CComClassFactory> (server/component/com_object.h): the object map
// owns one reference from the first successful DllGetClassObject until the
// DLL is torn down; callers on any thread hold the others.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "server/component/okulon_module.h"

namespace okulon {

class CComClassFactory : public IClassFactory {
public:
    CComClassFactory() noexcept = default;
    CComClassFactory(const CComClassFactory&) = delete;
    CComClassFactory& operator=(const CComClassFactory&) = delete;

    void SetInstanceCreator(InstanceCreator creator) noexcept { m_instanceCreator = creator; }
    // IUnknown and IClassFactory, both the factory itself.
    HRESULT InternalQueryInterface(REFIID iid, void** object) noexcept;

    // Aggregation is refused in every form; every call builds a new object.
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) noexcept override;
    // Calls need not be balanced: an extra unlock drives the module's count below zero.
    STDMETHODIMP LockServer(BOOL lock) noexcept override;

protected:
    // Destroyed only through CComObjectCached, as its most derived type.
    ~CComClassFactory() = default;

    // Changed by atomic operations only.
    volatile LONG m_refCount = 0;

private:
    InstanceCreator m_instanceCreator = nullptr;
};

// The object map's class-factory creator: a new CComObjectCached<CComClassFactory>
// around the instance creator, asked for iid; the factory is destroyed again
// unless the request gave exactly S_OK.
HRESULT CreateClassFactory(InstanceCreator creator, REFIID iid, void** object) noexcept;

}  // namespace okulon
