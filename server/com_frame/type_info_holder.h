// CComTypeInfoHolder: the type information of one interface or class, loaded
// from a type library once per process and shared by every object, with a
// cache of its function names for single-name lookups. The holders are static
// and constant-initialised; any thread may use them. Loading is serialised
// by the module lock; the two published pointers are set once under that
// lock and cleared only by the cleanup that the holder puts on the module's
// termination list.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>

namespace okulon {

class CComTypeInfoHolder {
public:
    // Version 0xFFFF.0xFFFF of the component's own library means: load it
    // from the component's file rather than from the registry.
    constexpr CComTypeInfoHolder(const GUID* typeId, const GUID* libraryId, WORD majorVersion,
                                 WORD minorVersion) noexcept
        : m_typeId(typeId), m_libraryId(libraryId), m_majorVersion(majorVersion), m_minorVersion(minorVersion) {}
    CComTypeInfoHolder(const CComTypeInfoHolder&) = delete;
    CComTypeInfoHolder& operator=(const CComTypeInfoHolder&) = delete;

    // Loads the type information and the name cache unless both are there.
    // A failed load leaves the holder empty; the next call tries again.
    HRESULT EnsureTypeInfo(LCID locale) noexcept;
    // The held type information with a reference added (loading it first if
    // needed); null and the load's failure when there is none.
    HRESULT GetTypeInfo(LCID locale, ITypeInfo** typeInfo) noexcept;
    // One name from the cache (exact, case-sensitive); anything else through
    // the type information's own lookup.
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID locale, DISPID* ids) noexcept;
    // Late-bound call into instance, which must be the exact interface
    // pointer that the type information describes.
    HRESULT Invoke(void* instance, DISPID id, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                   EXCEPINFO* exception, UINT* argumentError) noexcept;

    // Termination-list callback: releases everything the holder loaded.
    static void __stdcall Cleanup(DWORD_PTR holder) noexcept;

private:
    struct NameEntry {
        BSTR name;
        LONG length;  // UTF-16 units
        DISPID id;
    };

    HRESULT LoadTypeInfoLocked(LCID locale) noexcept;
    HRESULT BuildNameCacheLocked() noexcept;
    bool IsLoaded() const noexcept {
        return m_typeInfo.load(std::memory_order_acquire) != nullptr &&
               m_names.load(std::memory_order_acquire) != nullptr;
    }

    const GUID* m_typeId;
    const GUID* m_libraryId;
    WORD m_majorVersion;
    WORD m_minorVersion;
    // ITypeInfo2 when the library answers it; one reference.
    std::atomic<ITypeInfo*> m_typeInfo{nullptr};
    // Published after m_nameCount and every entry are written.
    std::atomic<NameEntry*> m_names{nullptr};
    LONG m_nameCount = 0;
};

}  // namespace okulon
