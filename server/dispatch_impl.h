// IDispatch and IProvideClassInfo for the object's three interface pointers.
// The identity (IEyeTrackerImpl) has a member-less dispatch; IEyeTracker
// dispatches through the host's registered type library; IProvideClassInfo
// describes the coclass from the component's own registered library.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

namespace okulon {

// Dispatch of the identity interface: every name and call is answered negatively.
template <class Base>
class MemberlessDispatchImpl : public Base {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) override {
        if (index != 0) return DISP_E_BADINDEX;
        if (typeInfo == nullptr) return E_POINTER;
        *typeInfo = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (parameters == nullptr) return DISP_E_BADVARTYPE;
        if (parameters->cArgs > 0) return DISP_E_BADPARAMCOUNT;
        if (result != nullptr) VariantInit(result);
        return DISP_E_MEMBERNOTFOUND;
    }
};

// Dispatch of the host interface through the host's type information.
template <class Base>
class HostDispatchImpl : public Base {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** typeInfo) override {
        if (typeInfo == nullptr) return E_POINTER;
        *typeInfo = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

class ProvideClassInfoImpl : public IProvideClassInfo {
public:
    STDMETHODIMP GetClassInfo(ITypeInfo** typeInfo) override {
        if (typeInfo == nullptr) return E_POINTER;
        *typeInfo = nullptr;
        return E_NOTIMPL;
    }
};

}  // namespace okulon
