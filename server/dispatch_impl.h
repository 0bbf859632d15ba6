// IDispatch and IProvideClassInfo for the object's three interface pointers:
//  - MemberlessDispatchImpl: the identity (IEyeTrackerImpl) answers every
//    name and call negatively; its type information is read afresh from the
//    library inside the component's own file on each request.
//  - HostDispatchImpl: IEyeTracker dispatches through the host's registered
//    type library, held process-wide by g_hostInterfaceTypeInfo.
//  - ProvideClassInfoImpl: the coclass description from the component's own
//    registered library, held by g_classTypeInfo.
// The object's caller thread uses them; the holders are shared by every object.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include "eye_tracker_host.h"  // IID_IEyeTracker, LIBID_EyeTrackerLib
#include "okulon.h"            // IID_IEyeTrackerImpl, CLSID_CEyeTrackerImpl
#include "server/com_support.h"
#include "server/okulon_module.h"
#include "server/type_info_holder.h"

namespace okulon {

inline CComTypeInfoHolder g_hostInterfaceTypeInfo{&IID_IEyeTracker, &LIBID_EyeTrackerLib, 0, 0};
inline CComTypeInfoHolder g_classTypeInfo{&CLSID_CEyeTrackerImpl, &COkulonModule::m_libid, 1, 0};

// IEyeTrackerImpl's type information from the library resource of the
// component's own file. Nothing is kept between calls.
inline HRESULT LoadOwnTypeInfo(ITypeInfo** typeInfo) noexcept {
    if (typeInfo == nullptr) return E_POINTER;
    *typeInfo = nullptr;
    wchar_t path[MAX_PATH];
    HRESULT result = GetComponentFilePath(path);
    if (FAILED(result)) return result;
    ComPtr<ITypeLib> library;
    result = LoadTypeLib(path, library.put());
    if (FAILED(result)) return result;
    return library->GetTypeInfoOfGuid(IID_IEyeTrackerImpl, typeInfo);
}

template <class Base>
class MemberlessDispatchImpl : public Base {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        if (count == nullptr) return E_POINTER;
        ComPtr<ITypeInfo> typeInfo;
        *count = SUCCEEDED(LoadOwnTypeInfo(typeInfo.put())) ? 1 : 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) noexcept override {
        if (index != 0) return DISP_E_BADINDEX;
        return LoadOwnTypeInfo(typeInfo);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                        UINT*) noexcept override {
        if (parameters == nullptr) return DISP_E_BADVARTYPE;
        if (parameters->cArgs > 0) return DISP_E_BADPARAMCOUNT;
        if (result != nullptr) VariantInit(result);
        return DISP_E_MEMBERNOTFOUND;
    }
};

// Base is the host's dual interface; ITypeInfo::Invoke calls its table
// through exactly this sub-object's pointer.
template <class Base>
class HostDispatchImpl : public Base {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID locale, ITypeInfo** typeInfo) noexcept override {
        return g_hostInterfaceTypeInfo.GetTypeInfo(locale, typeInfo);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) noexcept override {
        return g_hostInterfaceTypeInfo.GetIDsOfNames(names, count, locale, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) noexcept override {
        return g_hostInterfaceTypeInfo.Invoke(static_cast<Base*>(this), id, locale, flags, parameters, result,
                                              exception, argumentError);
    }
};

class ProvideClassInfoImpl : public IProvideClassInfo {
public:
    STDMETHODIMP GetClassInfo(ITypeInfo** typeInfo) noexcept override {
        return g_classTypeInfo.GetTypeInfo(0, typeInfo);
    }
};

}  // namespace okulon
