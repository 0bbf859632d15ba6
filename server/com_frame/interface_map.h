// The interface map that QueryInterface searches: an ordered table of
// (interface identifier, position of the interface pointer within the
// object), ended by an all-zero entry. The class factory and the extension
// object each keep one constant table; the search itself holds no state and
// runs on any thread.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstring>

namespace okulon {

enum class InterfaceEntryKind : DWORD {
    End = 0,
    // The interface is the object's own pointer at the entry's offset.
    Plain = 1,
};

struct InterfaceMapEntry {
    const IID* iid;
    DWORD_PTR offset;
    InterfaceEntryKind kind;
};

// Offset of the Interface sub-object within Class. The cast of any non-null
// address adds the base's fixed offset; nothing is dereferenced.
template <class Class, class Interface>
DWORD_PTR InterfaceOffset() noexcept {
    constexpr DWORD_PTR kProbe = 0x1000;
    return reinterpret_cast<DWORD_PTR>(static_cast<Interface*>(reinterpret_cast<Class*>(kProbe))) - kProbe;
}

// IUnknown always yields the first entry's pointer; any other identifier the
// first entry that matches in all 16 bytes. The pointer handed out carries a
// reference added through itself.
inline HRESULT QueryInterfaceFromMap(void* object, const InterfaceMapEntry* map, REFIID iid, void** result) noexcept {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    const InterfaceMapEntry* found = nullptr;
    if (std::memcmp(&iid, &IID_IUnknown, sizeof(IID)) == 0) {
        found = map;
    } else {
        for (const InterfaceMapEntry* entry = map; entry->iid != nullptr; ++entry) {
            if (std::memcmp(&iid, entry->iid, sizeof(IID)) == 0) {
                found = entry;
                break;
            }
        }
    }
    if (found == nullptr || found->kind != InterfaceEntryKind::Plain) return E_NOINTERFACE;
    auto* pointer = reinterpret_cast<IUnknown*>(static_cast<BYTE*>(object) + found->offset);
    pointer->AddRef();
    *result = pointer;
    return S_OK;
}

}  // namespace okulon
