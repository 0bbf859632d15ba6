#include "server/component/class_factory.h"

#include <memory>
#include <new>

#include "server/component/com_object.h"
#include "server/com_frame/interface_map.h"

namespace okulon {

namespace {

// Built when the DLL is loaded: a function-local static's guard would register
// the calling thread with the threads library linked into this DLL.
const InterfaceMapEntry kFactoryInterfaces[] = {
    {&IID_IClassFactory, InterfaceOffset<CComClassFactory, IClassFactory>(), InterfaceEntryKind::Plain},
    {nullptr, 0, InterfaceEntryKind::End},
};

}  // namespace

HRESULT CComClassFactory::InternalQueryInterface(REFIID iid, void** object) noexcept {
    return QueryInterfaceFromMap(this, kFactoryInterfaces, iid, object);
}

STDMETHODIMP CComClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr && !IsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    // The instance creator refuses an outer object that asks for IUnknown.
    return m_instanceCreator(outer, iid, object);
}

STDMETHODIMP CComClassFactory::LockServer(BOOL lock) noexcept {
    if (lock) {
        Module().Lock();
    } else {
        Module().Unlock();
    }
    return S_OK;
}

HRESULT CreateClassFactory(InstanceCreator creator, REFIID iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    // A failed request hands out no reference: the count is still 0 and the
    // owner destroys the factory.
    std::unique_ptr<CComObjectCached<CComClassFactory>> factory(new (std::nothrow)
                                                                    CComObjectCached<CComClassFactory>());
    if (!factory) return E_OUTOFMEMORY;
    factory->SetInstanceCreator(creator);
    const HRESULT result = factory->QueryInterface(iid, object);
    if (result != S_OK) return result;
    static_cast<void>(factory.release());  // the reference handed out owns it now
    return S_OK;
}

}  // namespace okulon
