#include "tests/support/memory_registry.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace okulon {

// Orders names as their folded forms do, so a lookup by any spelling needs
// no folded copy of it. The loops here read through plain pointers: the
// library's element access is the fuzz targets' traced copy.
struct MemoryRegistry::FoldedLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        const size_t common = std::min(a.size(), b.size());
        const char16_t* const pa = a.data();
        const char16_t* const pb = b.data();
        for (size_t i = 0; i < common; ++i) {
            const char16_t x = FoldCase(pa[i]);
            const char16_t y = FoldCase(pb[i]);
            if (x != y) {
                return x < y;
            }
        }
        return a.size() < b.size();
    }
};

struct MemoryRegistry::Node : std::enable_shared_from_this<MemoryRegistry::Node> {
    struct NamedValue {
        std::u16string name;
        Value value;
    };

    // Its name and parent, made once and shared with every touch that
    // records this key (deep trees are touched thousands of times a run);
    // part of the node, so a key costs one allocation less.
    KeyRecord record;
    Node* parent = nullptr;
    bool deleted = false;
    bool denyWrite = false;
    // Keyed by the folded name, so enumeration order is fixed and lookups ignore case.
    // Keyed by a view of the child's own name, which lives as long as the entry.
    std::map<std::u16string_view, std::shared_ptr<Node>, FoldedLess> children;
    std::map<std::u16string, NamedValue, FoldedLess> values;

    // The record as a touch holds it: it keeps the node alive.
    std::shared_ptr<const KeyRecord> Record() const {
        return std::shared_ptr<const KeyRecord>(shared_from_this(), &record);
    }

    static std::shared_ptr<Node> MakeChild(Node* parent, std::u16string_view name, size_t serial) {
        auto child = std::make_shared<Node>();
        child->record = KeyRecord{std::u16string(name), parent->Record(), serial};
        child->parent = parent;
        return child;
    }
};

namespace {

std::u16string Folded(std::u16string_view text) {
    std::u16string folded(text);
    for (char16_t& c : folded) {
        c = FoldCase(c);
    }
    return folded;
}

// The next "\\" at or after start, or npos.
size_t NextSeparator(std::u16string_view path, size_t start) {
    const char16_t* const units = path.data();
    for (size_t i = start; i < path.size(); ++i) {
        if (units[i] == u'\\') {
            return i;
        }
    }
    return std::u16string_view::npos;
}

// Calls visit(part) for the components of a "\"-separated path in order,
// once all are known to be valid, until one answers other than success; the
// empty path has none.
template <typename Visit>
RegError ForEachPart(std::u16string_view path, Visit visit) {
    for (const bool validating : {true, false}) {
        size_t start = 0;
        while (!path.empty()) {
            const size_t end = NextSeparator(path, start);
            const std::u16string_view part(path.data() + start,
                                           (end == std::u16string_view::npos ? path.size() : end) - start);
            if (validating) {
                if (part.empty() || part.size() > MemoryRegistry::kMaxKeyNameUnits) {
                    return kErrorInvalidParameter;
                }
            } else if (const RegError visited = visit(part); visited != kErrorSuccess) {
                return visited;
            }
            if (end == std::u16string_view::npos) {
                break;
            }
            start = end + 1;
        }
    }
    return kErrorSuccess;
}

constexpr bool WantsWrite(RegAccess access) { return (access & (kKeySetValue | kKeyCreateSubKey)) != 0; }

void AppendEscaped(std::string* out, std::u16string_view text) {
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != u'"') {
            out->push_back(static_cast<char>(c));
        } else {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out->append(buffer);
        }
    }
}

std::string ValueText(const MemoryRegistry::Value& value) {
    std::string out;
    char buffer[32];
    if (value.type == kRegSz && value.data.size() % 2 == 0 && value.data.size() >= 2 &&
        value.data[value.data.size() - 1] == 0 && value.data[value.data.size() - 2] == 0) {
        std::u16string text;
        for (size_t i = 0; i + 2 < value.data.size(); i += 2) {
            text.push_back(static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8)));
        }
        if (text.find(u'\0') == std::u16string::npos) {
            out = "REG_SZ \"";
            AppendEscaped(&out, text);
            out += "\"";
            return out;
        }
    }
    if (value.type == kRegDword && value.data.size() == 4) {
        const uint32_t number =
            value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<uint32_t>(value.data[3]) << 24);
        std::snprintf(buffer, sizeof buffer, "REG_DWORD 0x%08x", static_cast<unsigned>(number));
        return buffer;
    }
    std::snprintf(buffer, sizeof buffer, "type %u [", static_cast<unsigned>(value.type));
    out = buffer;
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, i == 0 ? "%02x" : " %02x", static_cast<unsigned>(value.data[i]));
        out += buffer;
    }
    out += "]";
    return out;
}

}  // namespace

namespace {

// The roots' records are the same in every registry, and made once.
std::shared_ptr<const MemoryRegistry::KeyRecord> RootKey(const char16_t* name, size_t serial) {
    return std::make_shared<const MemoryRegistry::KeyRecord>(MemoryRegistry::KeyRecord{name, nullptr, serial});
}

const std::shared_ptr<const MemoryRegistry::KeyRecord> kRootKeys[] = {
    RootKey(u"HKEY_CLASSES_ROOT", 0), RootKey(u"HKEY_CURRENT_USER", 1),     RootKey(u"HKEY_LOCAL_MACHINE", 2),
    RootKey(u"HKEY_USERS", 3),        RootKey(u"HKEY_PERFORMANCE_DATA", 4), RootKey(u"HKEY_CURRENT_CONFIG", 5),
    RootKey(u"HKEY_DYN_DATA", 6)};

}  // namespace

MemoryRegistry::MemoryRegistry() {
    m_keyCount = m_roots.size();
    // Room for a typical run of a registrar, so that recording costs no
    // allocation at each call (the fuzz targets make a registry a run).
    m_touches.reserve(64);
    m_handles.reserve(16);
    for (size_t i = 0; i < m_roots.size(); ++i) {
        m_roots[i] = std::make_shared<Node>();
        m_roots[i]->record = *kRootKeys[i];
    }
}

// A child's record holds its parent: the tree is taken apart from the leaves,
// or its nodes would keep one another alive.
MemoryRegistry::~MemoryRegistry() {
    for (const std::shared_ptr<Node>& root : m_roots) {
        Dismantle(*root);
    }
}

void MemoryRegistry::Dismantle(Node& node) {
    for (auto& child : node.children) {
        Dismantle(*child.second);
    }
    node.children.clear();
}

std::optional<RegError> MemoryRegistry::BeginCall(Call call) {
    const uint32_t count = ++m_callCounts[static_cast<size_t>(call)];
    for (const PendingFailure& failure : m_failures) {
        if (failure.call == call && failure.atCount == count) {
            return failure.error;
        }
    }
    return std::nullopt;
}

void MemoryRegistry::Record(Call call, const Node* node, std::u16string_view name) {
    m_touches.push_back(Touch{call, node == nullptr ? nullptr : node->Record(),
                              name.empty() ? std::u16string() : std::u16string(name)});
}

RegError MemoryRegistry::Resolve(RegKey key, Node** node, RegAccess* access) const {
    if (IsPredefinedKey(key)) {
        *node = m_roots[key - kClassesRoot].get();
        *access = ~RegAccess{0};
        return kErrorSuccess;
    }
    const Handle* const found = FindHandle(key);
    if (found == nullptr) {
        return kErrorInvalidHandle;
    }
    if (found->node->deleted) {
        return kErrorKeyDeleted;
    }
    *node = found->node.get();
    *access = found->access;
    return kErrorSuccess;
}

std::u16string MemoryRegistry::KeyRecord::Path() const {
    size_t units = 0;
    for (const KeyRecord* key = this; key != nullptr; key = key->parent.get()) {
        units += key->name.size() + 1;
    }
    std::u16string path(units - 1, u'\\');
    for (const KeyRecord* key = this; key != nullptr; key = key->parent.get()) {
        units -= key->name.size() + 1;
        path.replace(units, key->name.size(), key->name);
    }
    return path;
}

std::u16string MemoryRegistry::Touch::Path() const {
    if (key == nullptr) {
        return u"?";
    }
    std::u16string path = key->Path();
    if (!name.empty()) {
        path += u'\\';
        path += name;
    }
    return path;
}

const MemoryRegistry::Handle* MemoryRegistry::FindHandle(RegKey key) const {
    if (key < kFirstHandle || (key - kFirstHandle) % 4 != 0 || (key - kFirstHandle) / 4 >= m_handles.size()) {
        return nullptr;
    }
    const Handle& handle = m_handles[(key - kFirstHandle) / 4];
    return handle.node != nullptr ? &handle : nullptr;
}

MemoryRegistry::Handle* MemoryRegistry::FindHandle(RegKey key) {
    return const_cast<Handle*>(static_cast<const MemoryRegistry*>(this)->FindHandle(key));
}

RegKey MemoryRegistry::NewHandle(Node* node, RegAccess access) {
    const RegKey key = kFirstHandle + 4 * m_handles.size();
    m_handles.push_back(Handle{node->shared_from_this(), access});
    ++m_openHandles;
    return key;
}

RegError MemoryRegistry::OpenKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) {
    *result = kNoKey;
    Node* node = nullptr;
    RegAccess parentAccess = 0;
    const RegError resolved = Resolve(parent, &node, &parentAccess);
    Record(Call::kOpen, resolved == kErrorSuccess ? node : nullptr, name);
    if (const auto injected = BeginCall(Call::kOpen)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    if (const RegError walked = WalkPath(&node, name); walked != kErrorSuccess) {
        return walked;
    }
    if (node->denyWrite && WantsWrite(access)) {
        return kErrorAccessDenied;
    }
    *result = NewHandle(node, access);
    return kErrorSuccess;
}

RegError MemoryRegistry::CreateKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) {
    *result = kNoKey;
    Node* node = nullptr;
    RegAccess parentAccess = 0;
    const RegError resolved = Resolve(parent, &node, &parentAccess);
    Record(Call::kCreate, resolved == kErrorSuccess ? node : nullptr, name);
    if (const auto injected = BeginCall(Call::kCreate)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    // Check the whole path before creating anything, so a refusal leaves no
    // half-made chain behind.
    Node* walk = node;
    size_t existing = 0;
    std::u16string_view missing;  // the rest of the path from its first missing key
    const RegError split = ForEachPart(name, [&](std::u16string_view part) {
        const auto child = walk->children.find(part);
        if (child == walk->children.end()) {
            missing = name.substr(static_cast<size_t>(part.data() - name.data()));
            return kErrorFileNotFound;
        }
        walk = child->second.get();
        ++existing;
        return kErrorSuccess;
    });
    if (split == kErrorInvalidParameter) {
        return split;
    }
    if (!missing.empty()) {
        const bool onHandle = existing == 0;
        if (walk->denyWrite || (onHandle && (parentAccess & kKeyCreateSubKey) == 0)) {
            return kErrorAccessDenied;
        }
    }
    if (walk->denyWrite && WantsWrite(access)) {
        return kErrorAccessDenied;
    }
    ForEachPart(missing, [&](std::u16string_view part) {
        auto child = Node::MakeChild(walk, part, m_keyCount++);
        walk = child.get();
        walk->parent->children.emplace(child->record.name, std::move(child));
        return kErrorSuccess;
    });
    *result = NewHandle(walk, access);
    return kErrorSuccess;
}

RegError MemoryRegistry::CloseKey(RegKey key) {
    Handle* const found = FindHandle(key);
    if (found != nullptr) {
        Record(Call::kClose, found->node->deleted ? nullptr : found->node.get(), u"");
    } else if (IsPredefinedKey(key)) {
        Record(Call::kClose, m_roots[key - kClassesRoot].get(), u"");
    } else {
        Record(Call::kClose, nullptr, u"");
    }
    if (const auto injected = BeginCall(Call::kClose)) {
        return *injected;
    }
    if (IsPredefinedKey(key)) {
        return kErrorSuccess;
    }
    if (found == nullptr) {
        return kErrorInvalidHandle;
    }
    found->node.reset();
    --m_openHandles;
    return kErrorSuccess;
}

RegError MemoryRegistry::DeleteKey(RegKey parent, std::u16string_view name) {
    Node* node = nullptr;
    RegAccess parentAccess = 0;
    const RegError resolved = Resolve(parent, &node, &parentAccess);
    Record(Call::kDeleteKey, resolved == kErrorSuccess ? node : nullptr, name);
    if (const auto injected = BeginCall(Call::kDeleteKey)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    if (const RegError walked = WalkPath(&node, name); walked != kErrorSuccess) {
        return walked;
    }
    // The parent's own access rights do not matter here, as on the platform.
    if (node->parent == nullptr || node->denyWrite || !node->children.empty()) {
        return kErrorAccessDenied;
    }
    node->deleted = true;
    Node* const owner = node->parent;
    node->parent = nullptr;
    owner->children.erase(owner->children.find(node->record.name));
    return kErrorSuccess;
}

RegError MemoryRegistry::EnumKey(RegKey key, uint32_t index, std::u16string* name) {
    name->clear();
    Node* node = nullptr;
    RegAccess access = 0;
    const RegError resolved = Resolve(key, &node, &access);
    Record(Call::kEnumKey, resolved == kErrorSuccess ? node : nullptr, u"");
    if (const auto injected = BeginCall(Call::kEnumKey)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    if ((access & kKeyEnumerateSubKeys) == 0) {
        return kErrorAccessDenied;
    }
    if (index >= node->children.size()) {
        return kErrorNoMoreItems;
    }
    auto child = node->children.begin();
    std::advance(child, index);
    *name = child->second->record.name;
    return kErrorSuccess;
}

RegError MemoryRegistry::QuerySubkeyCount(RegKey key, uint32_t* count) {
    *count = 0;
    Node* node = nullptr;
    RegAccess access = 0;
    const RegError resolved = Resolve(key, &node, &access);
    Record(Call::kQuerySubkeyCount, resolved == kErrorSuccess ? node : nullptr, u"");
    if (const auto injected = BeginCall(Call::kQuerySubkeyCount)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    if ((access & kKeyQueryValue) == 0) {
        return kErrorAccessDenied;
    }
    *count = static_cast<uint32_t>(node->children.size());
    return kErrorSuccess;
}

RegError MemoryRegistry::SetValue(RegKey key, std::u16string_view name, RegValueType type, const uint8_t* data,
                                  uint32_t size) {
    Node* node = nullptr;
    RegAccess access = 0;
    const RegError resolved = Resolve(key, &node, &access);
    Record(Call::kSetValue, resolved == kErrorSuccess ? node : nullptr, u"");
    if (const auto injected = BeginCall(Call::kSetValue)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    if ((access & kKeySetValue) == 0 || node->denyWrite) {
        return kErrorAccessDenied;
    }
    if (data == nullptr && size != 0) {
        return kErrorInvalidParameter;
    }
    const auto [slot, inserted] = node->values.try_emplace(Folded(name));
    if (inserted) {
        slot->second.name = std::u16string(name);  // a rewrite keeps the first spelling
    }
    slot->second.value.type = type;
    slot->second.value.data.assign(data, data + size);
    return kErrorSuccess;
}

RegError MemoryRegistry::DeleteValue(RegKey key, std::u16string_view name) {
    Node* node = nullptr;
    RegAccess access = 0;
    const RegError resolved = Resolve(key, &node, &access);
    Record(Call::kDeleteValue, resolved == kErrorSuccess ? node : nullptr, u"");
    if (const auto injected = BeginCall(Call::kDeleteValue)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    if ((access & kKeySetValue) == 0 || node->denyWrite) {
        return kErrorAccessDenied;
    }
    const auto found = node->values.find(name);
    if (found == node->values.end()) {
        return kErrorFileNotFound;
    }
    node->values.erase(found);
    return kErrorSuccess;
}

MemoryRegistry::Node* MemoryRegistry::RootNode(RegKey root) const {
    if (!IsPredefinedKey(root)) {
        throw std::invalid_argument("MemoryRegistry: not a predefined root");
    }
    return m_roots[root - kClassesRoot].get();
}

RegError MemoryRegistry::WalkPath(Node** node, std::u16string_view path) {
    return ForEachPart(path, [node](std::u16string_view part) {
        const auto child = (*node)->children.find(part);
        if (child == (*node)->children.end()) {
            return kErrorFileNotFound;
        }
        *node = child->second.get();
        return kErrorSuccess;
    });
}

MemoryRegistry::Node* MemoryRegistry::FindPath(RegKey root, std::u16string_view path) const {
    Node* node = RootNode(root);
    return WalkPath(&node, path) == kErrorSuccess ? node : nullptr;
}

MemoryRegistry::Node* MemoryRegistry::MakePath(RegKey root, std::u16string_view path) {
    Node* node = RootNode(root);
    const RegError split = ForEachPart(path, [&](std::u16string_view part) {
        const auto found = node->children.find(part);
        if (found != node->children.end()) {
            node = found->second.get();
            return kErrorSuccess;
        }
        auto child = Node::MakeChild(node, part, m_keyCount++);
        node = child.get();
        node->parent->children.emplace(child->record.name, std::move(child));
        return kErrorSuccess;
    });
    if (split != kErrorSuccess) {
        throw std::invalid_argument("MemoryRegistry: bad key path");
    }
    return node;
}

void MemoryRegistry::AddKey(RegKey root, std::u16string_view path) { MakePath(root, path); }

void MemoryRegistry::PutValue(RegKey root, std::u16string_view path, std::u16string_view name, RegValueType type,
                              std::vector<uint8_t> data) {
    Node::NamedValue& stored = MakePath(root, path)->values[Folded(name)];
    stored.name = std::u16string(name);
    stored.value.type = type;
    stored.value.data = std::move(data);
}

void MemoryRegistry::PutString(RegKey root, std::u16string_view path, std::u16string_view name,
                               std::u16string_view text) {
    PutValue(root, path, name, kRegSz, EncodeString(text));
}

void MemoryRegistry::DenyWrite(RegKey root, std::u16string_view path) {
    Node* const node = FindPath(root, path);
    if (!node) {
        throw std::invalid_argument("MemoryRegistry: DenyWrite on a missing key");
    }
    node->denyWrite = true;
}

bool MemoryRegistry::HasKey(RegKey root, std::u16string_view path) const { return FindPath(root, path) != nullptr; }

std::optional<MemoryRegistry::Value> MemoryRegistry::GetValue(RegKey root, std::u16string_view path,
                                                              std::u16string_view name) const {
    Node* const node = FindPath(root, path);
    if (!node) {
        return std::nullopt;
    }
    const auto found = node->values.find(name);
    if (found == node->values.end()) {
        return std::nullopt;
    }
    return found->second.value;
}

std::optional<std::u16string> MemoryRegistry::GetString(RegKey root, std::u16string_view path,
                                                        std::u16string_view name) const {
    const std::optional<Value> value = GetValue(root, path, name);
    if (!value || value->type != kRegSz || value->data.size() % 2 != 0 || value->data.size() < 2) {
        return std::nullopt;
    }
    std::u16string text;
    for (size_t i = 0; i < value->data.size(); i += 2) {
        text.push_back(static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8)));
    }
    if (text.back() != u'\0') {
        return std::nullopt;
    }
    text.pop_back();
    return text;
}

std::vector<std::u16string> MemoryRegistry::SubkeyNames(RegKey root, std::u16string_view path) const {
    std::vector<std::u16string> names;
    if (const Node* const node = FindPath(root, path)) {
        for (const auto& child : node->children) {
            names.push_back(child.second->record.name);
        }
    }
    return names;
}

void MemoryRegistry::DumpNode(const Node& node, std::string* out) {
    for (const auto& child : node.children) {
        AppendEscaped(out, child.second->record.Path());
        out->push_back('\n');
        for (const auto& value : child.second->values) {
            out->append("  ");
            if (value.second.name.empty()) {
                out->push_back('@');
            } else {
                out->push_back('"');
                AppendEscaped(out, value.second.name);
                out->push_back('"');
            }
            out->append(" = ");
            out->append(ValueText(value.second.value));
            out->push_back('\n');
        }
        DumpNode(*child.second, out);
    }
}

std::string MemoryRegistry::Dump() const {
    std::string out;
    for (const auto& root : m_roots) {
        for (const auto& value : root->values) {
            AppendEscaped(&out, root->record.name);
            out.append("  \"");
            AppendEscaped(&out, value.second.name);
            out.append("\" = ");
            out.append(ValueText(value.second.value));
            out.push_back('\n');
        }
        DumpNode(*root, &out);
    }
    return out;
}

void MemoryRegistry::FailCall(Call call, uint32_t nth, RegError error) {
    m_failures.push_back(PendingFailure{call, m_callCounts[static_cast<size_t>(call)] + nth, error});
}

}  // namespace okulon
