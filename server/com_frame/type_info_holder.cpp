#include "server/com_frame/type_info_holder.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "base/com_support.h"
#include "base/lockable_module.h"

namespace okulon {

HRESULT CComTypeInfoHolder::EnsureTypeInfo(LCID locale) noexcept {
    if (IsLoaded()) return S_OK;
    CriticalSectionGuard guard(ThisModule().ModuleLock());
    HRESULT result = E_FAIL;
    if (m_typeInfo.load(std::memory_order_acquire) != nullptr) {
        result = S_OK;
    } else {
        result = LoadTypeInfoLocked(locale);
    }
    if (m_typeInfo.load(std::memory_order_acquire) != nullptr && m_names.load(std::memory_order_acquire) == nullptr) {
        result = BuildNameCacheLocked();
    }
    return result;
}

HRESULT CComTypeInfoHolder::LoadTypeInfoLocked(LCID locale) noexcept {
    ComPtr<ITypeLib> library;
    HRESULT result = E_FAIL;
    if (IsEqualGUID(*m_libraryId, ThisModule().TypeLibraryId()) && m_majorVersion == 0xFFFF &&
        m_minorVersion == 0xFFFF) {
        wchar_t path[MAX_PATH];
        if (SUCCEEDED(GetComponentFilePath(path))) result = LoadTypeLib(path, library.put());
    } else {
        result = LoadRegTypeLib(*m_libraryId, m_majorVersion, m_minorVersion, locale, library.put());
    }
    if (FAILED(result)) return result;

    ComPtr<ITypeInfo> typeInfo;
    result = library->GetTypeInfoOfGuid(*m_typeId, typeInfo.put());
    if (FAILED(result)) return result;
    ComPtr<ITypeInfo2> typeInfo2;
    ITypeInfo* kept = nullptr;
    if (SUCCEEDED(typeInfo->QueryInterface(IID_ITypeInfo2, typeInfo2.put_void())) && typeInfo2) {
        kept = typeInfo2.detach();
    } else {
        kept = typeInfo.detach();
    }
    m_typeInfo.store(kept, std::memory_order_release);
    // Without a node the type information is simply not released at unload.
    ThisModule().AddTerminationCallback(&CComTypeInfoHolder::Cleanup, reinterpret_cast<DWORD_PTR>(this));
    return S_OK;
}

HRESULT CComTypeInfoHolder::BuildNameCacheLocked() noexcept {
    ITypeInfo* typeInfo = m_typeInfo.load(std::memory_order_acquire);
    TYPEATTR* attributes = nullptr;
    if (FAILED(typeInfo->GetTypeAttr(&attributes))) return S_OK;
    const LONG count = attributes->cFuncs;
    NameEntry* names = nullptr;
    if (count > 0) {
        names = new (std::nothrow) NameEntry[count]();
        if (names == nullptr) {
            typeInfo->ReleaseTypeAttr(attributes);
            return E_OUTOFMEMORY;
        }
        for (LONG index = 0; index < count; ++index) {
            FUNCDESC* function = nullptr;
            if (FAILED(typeInfo->GetFuncDesc(static_cast<UINT>(index), &function))) continue;
            BSTR name = nullptr;
            if (SUCCEEDED(typeInfo->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr))) {
                names[index].name = name;
                names[index].length = static_cast<LONG>(SysStringLen(name));
                names[index].id = function->memid;
            }
            typeInfo->ReleaseFuncDesc(function);
        }
    }
    m_nameCount = count;
    m_names.store(names, std::memory_order_release);
    typeInfo->ReleaseTypeAttr(attributes);
    return S_OK;
}

HRESULT CComTypeInfoHolder::GetTypeInfo(LCID locale, ITypeInfo** typeInfo) noexcept {
    if (typeInfo == nullptr) return E_POINTER;
    HRESULT result = S_OK;
    if (m_typeInfo.load(std::memory_order_acquire) == nullptr) result = EnsureTypeInfo(locale);
    ITypeInfo* held = m_typeInfo.load(std::memory_order_acquire);
    *typeInfo = held;
    if (held == nullptr) return result;
    held->AddRef();
    return S_OK;
}

HRESULT CComTypeInfoHolder::GetIDsOfNames(LPOLESTR* names, UINT count, LCID locale, DISPID* ids) noexcept {
    HRESULT result = S_OK;
    if (!IsLoaded()) result = EnsureTypeInfo(locale);
    ITypeInfo* typeInfo = m_typeInfo.load(std::memory_order_acquire);
    if (typeInfo == nullptr) return result;
    // A late-bound caller's arrays are not trusted to exist.
    if (count > 0 && (names == nullptr || ids == nullptr)) return E_POINTER;
    const NameEntry* cache = m_names.load(std::memory_order_acquire);
    if (cache != nullptr && count == 1 && names[0] != nullptr) {
        const size_t length = std::wcslen(names[0]);
        for (LONG index = m_nameCount - 1; index >= 0; --index) {
            const NameEntry& entry = cache[index];
            // An entry whose queries failed has no name and must not answer "".
            if (entry.name != nullptr && static_cast<size_t>(entry.length) == length &&
                std::memcmp(entry.name, names[0], length * sizeof(OLECHAR)) == 0) {
                ids[0] = entry.id;
                return S_OK;
            }
        }
    }
    return typeInfo->GetIDsOfNames(names, count, ids);
}

HRESULT CComTypeInfoHolder::Invoke(void* instance, DISPID id, LCID locale, WORD flags, DISPPARAMS* parameters,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError) noexcept {
    HRESULT loaded = S_OK;
    if (!IsLoaded()) loaded = EnsureTypeInfo(locale);
    ITypeInfo* typeInfo = m_typeInfo.load(std::memory_order_acquire);
    if (typeInfo == nullptr) return loaded;
    return typeInfo->Invoke(instance, id, flags, parameters, result, exception, argumentError);
}

void __stdcall CComTypeInfoHolder::Cleanup(DWORD_PTR argument) noexcept {
    auto* holder = reinterpret_cast<CComTypeInfoHolder*>(argument);
    if (ITypeInfo* typeInfo = holder->m_typeInfo.exchange(nullptr)) typeInfo->Release();
    if (NameEntry* names = holder->m_names.exchange(nullptr)) {
        for (LONG index = 0; index < holder->m_nameCount; ++index) SysFreeString(names[index].name);
        delete[] names;
    }
    holder->m_nameCount = 0;
}

}  // namespace okulon
