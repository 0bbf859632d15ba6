// IDispatch and IProvideClassInfo for an object's interface pointers, with
// the interfaces and type information as template arguments:
//  - MemberlessDispatchImpl: a dual interface without members answers every
//    name and call negatively; its type information is read afresh from the
//    library inside the component's own file on each request.
//  - HostDispatchImpl: dispatches through a type library registered on the
//    machine, held process-wide by a CComTypeInfoHolder.
//  - ProvideClassInfoImpl: the coclass description, held the same way.
// The object's caller thread uses them; a holder is shared by every object.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include "base/com_support.h"
#include "base/lockable_module.h"  // GetComponentFilePath
#include "server/com_frame/type_info_holder.h"

namespace okulon {

// An interface's type information from the library resource of the
// component's own file. Nothing is kept between calls.
inline HRESULT LoadOwnTypeInfo(REFIID interfaceId, ITypeInfo** typeInfo) noexcept {
    if (typeInfo == nullptr) return E_POINTER;
    *typeInfo = nullptr;
    wchar_t path[MAX_PATH];
    HRESULT result = GetComponentFilePath(path);
    if (FAILED(result)) return result;
    ComPtr<ITypeLib> library;
    result = LoadTypeLib(path, library.put());
    if (FAILED(result)) return result;
    return library->GetTypeInfoOfGuid(interfaceId, typeInfo);
}

// Base is the member-less dual interface whose identifier is *InterfaceId.
template <class Base, const IID* InterfaceId>
class MemberlessDispatchImpl : public Base {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        if (count == nullptr) return E_POINTER;
        ComPtr<ITypeInfo> typeInfo;
        *count = SUCCEEDED(LoadOwnTypeInfo(*InterfaceId, typeInfo.put())) ? 1 : 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) noexcept override {
        if (index != 0) return DISP_E_BADINDEX;
        return LoadOwnTypeInfo(*InterfaceId, typeInfo);
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

// Base is a dual interface described by TypeInfo; ITypeInfo::Invoke calls its
// table through exactly this sub-object's pointer.
template <class Base, CComTypeInfoHolder& TypeInfo>
class HostDispatchImpl : public Base {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID locale, ITypeInfo** typeInfo) noexcept override {
        return TypeInfo.GetTypeInfo(locale, typeInfo);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) noexcept override {
        return TypeInfo.GetIDsOfNames(names, count, locale, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) noexcept override {
        return TypeInfo.Invoke(static_cast<Base*>(this), id, locale, flags, parameters, result, exception,
                               argumentError);
    }
};

template <CComTypeInfoHolder& ClassTypeInfo>
class ProvideClassInfoImpl : public IProvideClassInfo {
public:
    STDMETHODIMP GetClassInfo(ITypeInfo** typeInfo) noexcept override { return ClassTypeInfo.GetTypeInfo(0, typeInfo); }
};

}  // namespace okulon
