#include "tests/support/memory_registry.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace okulon {

struct MemoryRegistry::Node {
    struct NamedValue {
        std::u16string name;
        Value value;
    };

    std::u16string name;
    Node* parent = nullptr;
    bool deleted = false;
    bool denyWrite = false;
    // Keyed by the folded name, so enumeration order is fixed and lookups ignore case.
    std::map<std::u16string, std::shared_ptr<Node>> children;
    std::map<std::u16string, NamedValue> values;

    std::u16string Path() const {
        std::vector<const Node*> chain;
        size_t units = 0;
        for (const Node* node = this; node != nullptr; node = node->parent) {
            chain.push_back(node);
            units += node->name.size() + 1;
        }
        std::u16string path;
        path.reserve(units);
        for (auto node = chain.rbegin(); node != chain.rend(); ++node) {
            if (!path.empty()) {
                path += u'\\';
            }
            path += (*node)->name;
        }
        return path;
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

// The components of a "\"-separated path; the empty path has none.
RegError SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    parts->clear();
    if (path.empty()) {
        return kErrorSuccess;
    }
    size_t start = 0;
    while (true) {
        const size_t end = path.find(u'\\', start);
        const std::u16string_view part =
            path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (part.empty() || part.size() > MemoryRegistry::kMaxKeyNameUnits) {
            return kErrorInvalidParameter;
        }
        parts->push_back(part);
        if (end == std::u16string_view::npos) {
            return kErrorSuccess;
        }
        start = end + 1;
    }
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

MemoryRegistry::MemoryRegistry() {
    static const char16_t* const kRootNames[] = {u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_USER",     u"HKEY_LOCAL_MACHINE",
                                                 u"HKEY_USERS",        u"HKEY_PERFORMANCE_DATA", u"HKEY_CURRENT_CONFIG",
                                                 u"HKEY_DYN_DATA"};
    for (size_t i = 0; i < m_roots.size(); ++i) {
        m_roots[i] = std::make_shared<Node>();
        m_roots[i]->name = kRootNames[i];
    }
}

MemoryRegistry::~MemoryRegistry() = default;

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
    std::u16string path = node == nullptr ? std::u16string(u"?") : node->Path();
    if (!name.empty()) {
        path += u'\\';
        path += name;
    }
    m_touches.push_back(Touch{call, std::move(path)});
}

RegError MemoryRegistry::Resolve(RegKey key, std::shared_ptr<Node>* node, RegAccess* access) const {
    if (IsPredefinedKey(key)) {
        *node = m_roots[key - kClassesRoot];
        *access = ~RegAccess{0};
        return kErrorSuccess;
    }
    const auto found = m_handles.find(key);
    if (found == m_handles.end()) {
        return kErrorInvalidHandle;
    }
    if (found->second.node->deleted) {
        return kErrorKeyDeleted;
    }
    *node = found->second.node;
    *access = found->second.access;
    return kErrorSuccess;
}

RegKey MemoryRegistry::NewHandle(std::shared_ptr<Node> node, RegAccess access) {
    const RegKey key = m_nextHandle;
    m_nextHandle += 4;
    m_handles.emplace(key, Handle{std::move(node), access});
    return key;
}

RegError MemoryRegistry::OpenKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) {
    *result = kNoKey;
    std::shared_ptr<Node> node;
    RegAccess parentAccess = 0;
    const RegError resolved = Resolve(parent, &node, &parentAccess);
    Record(Call::kOpen, resolved == kErrorSuccess ? node.get() : nullptr, name);
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
    *result = NewHandle(std::move(node), access);
    return kErrorSuccess;
}

RegError MemoryRegistry::CreateKey(RegKey parent, std::u16string_view name, RegAccess access, RegKey* result) {
    *result = kNoKey;
    std::shared_ptr<Node> node;
    RegAccess parentAccess = 0;
    const RegError resolved = Resolve(parent, &node, &parentAccess);
    Record(Call::kCreate, resolved == kErrorSuccess ? node.get() : nullptr, name);
    if (const auto injected = BeginCall(Call::kCreate)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    std::vector<std::u16string_view> parts;
    if (const RegError split = SplitPath(name, &parts); split != kErrorSuccess) {
        return split;
    }
    // Check the whole path before creating anything, so a refusal leaves no
    // half-made chain behind.
    std::shared_ptr<Node> walk = node;
    size_t existing = 0;
    for (; existing < parts.size(); ++existing) {
        const auto child = walk->children.find(Folded(parts[existing]));
        if (child == walk->children.end()) {
            break;
        }
        walk = child->second;
    }
    if (existing < parts.size()) {
        const bool onHandle = existing == 0;
        if (walk->denyWrite || (onHandle && (parentAccess & kKeyCreateSubKey) == 0)) {
            return kErrorAccessDenied;
        }
    }
    if (walk->denyWrite && WantsWrite(access)) {
        return kErrorAccessDenied;
    }
    for (size_t i = existing; i < parts.size(); ++i) {
        auto child = std::make_shared<Node>();
        child->name = std::u16string(parts[i]);
        child->parent = walk.get();
        walk->children.emplace(Folded(parts[i]), child);
        walk = std::move(child);
    }
    *result = NewHandle(std::move(walk), access);
    return kErrorSuccess;
}

RegError MemoryRegistry::CloseKey(RegKey key) {
    const auto found = m_handles.find(key);
    if (found != m_handles.end()) {
        Record(Call::kClose, found->second.node->deleted ? nullptr : found->second.node.get(), u"");
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
    if (found == m_handles.end()) {
        return kErrorInvalidHandle;
    }
    m_handles.erase(found);
    return kErrorSuccess;
}

RegError MemoryRegistry::DeleteKey(RegKey parent, std::u16string_view name) {
    std::shared_ptr<Node> node;
    RegAccess parentAccess = 0;
    const RegError resolved = Resolve(parent, &node, &parentAccess);
    Record(Call::kDeleteKey, resolved == kErrorSuccess ? node.get() : nullptr, name);
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
    owner->children.erase(Folded(node->name));
    return kErrorSuccess;
}

RegError MemoryRegistry::EnumKey(RegKey key, uint32_t index, std::u16string* name) {
    name->clear();
    std::shared_ptr<Node> node;
    RegAccess access = 0;
    const RegError resolved = Resolve(key, &node, &access);
    Record(Call::kEnumKey, resolved == kErrorSuccess ? node.get() : nullptr, u"");
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
    *name = child->second->name;
    return kErrorSuccess;
}

RegError MemoryRegistry::QuerySubkeyCount(RegKey key, uint32_t* count) {
    *count = 0;
    std::shared_ptr<Node> node;
    RegAccess access = 0;
    const RegError resolved = Resolve(key, &node, &access);
    Record(Call::kQuerySubkeyCount, resolved == kErrorSuccess ? node.get() : nullptr, u"");
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
    std::shared_ptr<Node> node;
    RegAccess access = 0;
    const RegError resolved = Resolve(key, &node, &access);
    Record(Call::kSetValue, resolved == kErrorSuccess ? node.get() : nullptr, u"");
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
    std::shared_ptr<Node> node;
    RegAccess access = 0;
    const RegError resolved = Resolve(key, &node, &access);
    Record(Call::kDeleteValue, resolved == kErrorSuccess ? node.get() : nullptr, u"");
    if (const auto injected = BeginCall(Call::kDeleteValue)) {
        return *injected;
    }
    if (resolved != kErrorSuccess) {
        return resolved;
    }
    if ((access & kKeySetValue) == 0 || node->denyWrite) {
        return kErrorAccessDenied;
    }
    if (node->values.erase(Folded(name)) == 0) {
        return kErrorFileNotFound;
    }
    return kErrorSuccess;
}

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::RootNode(RegKey root) const {
    if (!IsPredefinedKey(root)) {
        throw std::invalid_argument("MemoryRegistry: not a predefined root");
    }
    return m_roots[root - kClassesRoot];
}

RegError MemoryRegistry::WalkPath(std::shared_ptr<Node>* node, std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    if (const RegError split = SplitPath(path, &parts); split != kErrorSuccess) {
        return split;
    }
    for (const std::u16string_view part : parts) {
        const auto child = (*node)->children.find(Folded(part));
        if (child == (*node)->children.end()) {
            return kErrorFileNotFound;
        }
        *node = child->second;
    }
    return kErrorSuccess;
}

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::FindPath(RegKey root, std::u16string_view path) const {
    std::shared_ptr<Node> node = RootNode(root);
    return WalkPath(&node, path) == kErrorSuccess ? node : nullptr;
}

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::MakePath(RegKey root, std::u16string_view path) {
    std::shared_ptr<Node> node = RootNode(root);
    std::vector<std::u16string_view> parts;
    if (SplitPath(path, &parts) != kErrorSuccess) {
        throw std::invalid_argument("MemoryRegistry: bad key path");
    }
    for (const std::u16string_view part : parts) {
        std::shared_ptr<Node>& child = node->children[Folded(part)];
        if (!child) {
            child = std::make_shared<Node>();
            child->name = std::u16string(part);
            child->parent = node.get();
        }
        node = child;
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
    const std::shared_ptr<Node> node = FindPath(root, path);
    if (!node) {
        throw std::invalid_argument("MemoryRegistry: DenyWrite on a missing key");
    }
    node->denyWrite = true;
}

bool MemoryRegistry::HasKey(RegKey root, std::u16string_view path) const { return FindPath(root, path) != nullptr; }

std::optional<MemoryRegistry::Value> MemoryRegistry::GetValue(RegKey root, std::u16string_view path,
                                                              std::u16string_view name) const {
    const std::shared_ptr<Node> node = FindPath(root, path);
    if (!node) {
        return std::nullopt;
    }
    const auto found = node->values.find(Folded(name));
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
    if (const std::shared_ptr<Node> node = FindPath(root, path)) {
        for (const auto& child : node->children) {
            names.push_back(child.second->name);
        }
    }
    return names;
}

void MemoryRegistry::DumpNode(const Node& node, std::string* out) {
    for (const auto& child : node.children) {
        AppendEscaped(out, child.second->Path());
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
            AppendEscaped(&out, root->name);
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
