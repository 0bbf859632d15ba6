// An in-memory registry with the platform's semantics, for tests and fuzz
// targets of the registrars: case-insensitive key and value names (ASCII
// letters folded, as EqualsIgnoreCase), "\"-separated paths, predefined roots,
// access rights checked per handle, and RegDeleteKeyW's refusal of a key that
// still has subkeys (kErrorAccessDenied). Beyond the seam it can fail the Nth
// call of a kind with a chosen error, deny write access to chosen keys, record
// every key path that a call named or used, count open handles and dump the
// whole tree as text. Single-threaded; owned by the test that creates it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/registrar/registry_api.h"

namespace okulon {

class MemoryRegistry final : public RegistryApi {
public:
    enum class Call { kOpen, kCreate, kClose, kDeleteKey, kEnumKey, kQuerySubkeyCount, kSetValue, kDeleteValue };
    static constexpr size_t kCallKinds = 8;

    struct Value {
        RegValueType type = 0;
        std::vector<uint8_t> data;
    };

    // A key as touches record it; shared, never changed. The serials of a
    // registry's keys, roots first, count up from 0 to below KeyCount().
    struct KeyRecord {
        std::u16string name;                      // as first spelled; a root's long name
        std::shared_ptr<const KeyRecord> parent;  // null for a root
        size_t serial = 0;

        // From the root's long name ("HKEY_CLASSES_ROOT\AppID").
        std::u16string Path() const;
    };

    // One call that named or used a key: the key it was made on (null for a
    // handle the registry does not know) and the subkey path it named, as the
    // caller spelled it.
    struct Touch {
        Call call;
        std::shared_ptr<const KeyRecord> key;
        std::u16string name;

        // The full path ("HKEY_CLASSES_ROOT\AppID"), or "?" for an unknown handle.
        std::u16string Path() const;
    };

    MemoryRegistry();
    ~MemoryRegistry() override;
    MemoryRegistry(const MemoryRegistry&) = delete;
    MemoryRegistry& operator=(const MemoryRegistry&) = delete;

    RegError OpenKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) override;
    RegError CreateKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) override;
    RegError CloseKey(RegKey key) override;
    RegError DeleteKey(RegKey parent, std::u16string_view name) override;
    RegError EnumKey(RegKey key, uint32_t index, std::u16string* name) override;
    RegError QuerySubkeyCount(RegKey key, uint32_t* count) override;
    RegError SetValue(RegKey key, std::u16string_view name, RegValueType type, const uint8_t* data,
                      uint32_t size) override;
    RegError DeleteValue(RegKey key, std::u16string_view name) override;

    // Setup and inspection by root and "\"-separated path; none of these are
    // counted, recorded or failed.
    void AddKey(RegKey root, std::u16string_view path);
    void PutValue(RegKey root, std::u16string_view path, std::u16string_view name, RegValueType type,
                  std::vector<uint8_t> data);
    void PutString(RegKey root, std::u16string_view path, std::u16string_view name, std::u16string_view text);
    // Opening this key with any write right fails with kErrorAccessDenied, and
    // it cannot be deleted; it must exist.
    void DenyWrite(RegKey root, std::u16string_view path);
    bool HasKey(RegKey root, std::u16string_view path) const;
    std::optional<Value> GetValue(RegKey root, std::u16string_view path, std::u16string_view name) const;
    // The text of a REG_SZ value without its terminating NUL; nothing when the
    // value is missing, of another type or not NUL-terminated.
    std::optional<std::u16string> GetString(RegKey root, std::u16string_view path, std::u16string_view name) const;
    std::vector<std::u16string> SubkeyNames(RegKey root, std::u16string_view path) const;
    // Every key below the roots and every value, one line each, in a fixed
    // order: equal registries give equal dumps.
    std::string Dump() const;

    // The nth call of this kind from now (1 = the next one) returns error and
    // changes nothing.
    void FailCall(Call call, uint32_t nth, RegError error);
    uint32_t CallCount(Call call) const { return m_callCounts[static_cast<size_t>(call)]; }
    size_t OpenHandleCount() const { return m_openHandles; }
    const std::vector<Touch>& Touches() const { return m_touches; }
    void ClearTouches() { m_touches.clear(); }
    size_t KeyCount() const { return m_keyCount; }

    static constexpr size_t kMaxKeyNameUnits = 255;

private:
    struct FoldedLess;
    struct Node;
    struct Handle {
        std::shared_ptr<Node> node;
        RegAccess access;
    };
    struct PendingFailure {
        Call call;
        uint32_t atCount;
        RegError error;
    };

    // Counts the call and answers an injected failure for it, if one is due.
    std::optional<RegError> BeginCall(Call call);
    void Record(Call call, const Node* node, std::u16string_view name);
    // The key behind a handle, or the error for a bad or deleted one.
    RegError Resolve(RegKey key, Node** node, RegAccess* access) const;
    // Moves *node down the existing keys of a "\"-separated path.
    static RegError WalkPath(Node** node, std::u16string_view path);
    RegKey NewHandle(Node* node, RegAccess access);
    // The open handle behind a key, or null.
    Handle* FindHandle(RegKey key);
    const Handle* FindHandle(RegKey key) const;
    Node* RootNode(RegKey root) const;
    static void Dismantle(Node& node);
    Node* FindPath(RegKey root, std::u16string_view path) const;
    Node* MakePath(RegKey root, std::u16string_view path);
    static void DumpNode(const Node& node, std::string* out);

    std::array<std::shared_ptr<Node>, 7> m_roots;
    // Handle values are never reused: the nth handle made is kFirstHandle + 4n,
    // and a closed one keeps its slot with no node.
    static constexpr RegKey kFirstHandle = 0x1000;
    std::vector<Handle> m_handles;
    size_t m_openHandles = 0;
    size_t m_keyCount = 0;
    std::array<uint32_t, kCallKinds> m_callCounts{};
    std::vector<PendingFailure> m_failures;
    std::vector<Touch> m_touches;
};

}  // namespace okulon
