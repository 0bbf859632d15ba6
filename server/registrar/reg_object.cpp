#include "server/registrar/reg_object.h"

#include <new>
#include <string>
#include <vector>

namespace okulon {

namespace {

struct RootName {
    const char16_t* shortName;
    const char16_t* longName;
    RegKey key;
};

constexpr RootName kRootNames[] = {
    {u"HKCR", u"HKEY_CLASSES_ROOT", kClassesRoot},         {u"HKCU", u"HKEY_CURRENT_USER", kCurrentUser},
    {u"HKLM", u"HKEY_LOCAL_MACHINE", kLocalMachine},       {u"HKU", u"HKEY_USERS", kUsers},
    {u"HKPD", u"HKEY_PERFORMANCE_DATA", kPerformanceData}, {u"HKDD", u"HKEY_DYN_DATA", kDynData},
    {u"HKCC", u"HKEY_CURRENT_CONFIG", kCurrentConfig},
};

// Keys that ForceRemove and Delete never remove, at any depth: removing them
// would take other components' registrations along.
constexpr const char16_t* kNeverDelete[] = {
    u"AppID",    u"CLSID",     u"Component Categories",
    u"FileType", u"Interface", u"Hardware",
    u"Mime",     u"SAM",       u"SECURITY",
    u"SYSTEM",   u"Software",  u"TypeLib",
};

RegKey RootFromName(std::u16string_view name) {
    for (const RootName& root : kRootNames) {
        if (EqualsIgnoreCase(name, root.shortName) || EqualsIgnoreCase(name, root.longName)) {
            return root.key;
        }
    }
    return kNoKey;
}

bool IsNeverDelete(std::u16string_view name) {
    for (const char16_t* kept : kNeverDelete) {
        if (EqualsIgnoreCase(name, kept)) {
            return true;
        }
    }
    return false;
}

constexpr bool IsWhitespace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

int HexDigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    return 0;
}

}  // namespace

// The state of one interpretation: the replaced text, the read position and
// the token in hand, shared down the nesting levels.
class CRegObject::ScriptRun {
public:
    ScriptRun(RegistryApi& registry, std::u16string_view text) : m_registry(registry), m_text(text) {}

    HResult Run(bool doRegister);

private:
    HResult NextToken();
    void SkipWhitespace();
    bool TokenIs(std::u16string_view text) const { return m_token == text; }
    bool TokenIsKeyword(std::u16string_view keyword) const { return EqualsIgnoreCase(m_token, keyword); }
    bool TokenEndsBlock() const { return !m_token.empty() && m_token[0] == u'}'; }

    HResult GuardedBlock(RegKey parent, bool doRegister);
    HResult Block(RegKey parent, bool doRegister, bool recovering, int depth);
    // One entry of a block and, when registering, the block that follows it.
    HResult RegisterEntry(RegKey parent, RegKeyOwner& current, int depth);
    HResult UnregisterEntry(RegKey parent, bool recovering, int depth);
    // One function per kind of entry; each starts at the entry's first token.
    HResult RemoveKeyBeforeRegistering(RegKey parent, bool* entryDone);
    HResult ReadValueName(std::u16string* valueName);
    HResult RegisterValueEntry(RegKey parent);
    HResult UnregisterValueEntry(RegKey parent, bool recovering, bool deleteAllowed);
    HResult RegisterKeyEntry(RegKey parent, RegKeyOwner& current);
    HResult UnregisterKeyEntry(RegKey parent, bool recovering, bool deleteAllowed, int depth);
    HResult WriteValue(RegKey key, std::u16string_view valueName);
    HResult SkipAssignment();

    RegistryApi& m_registry;
    std::u16string_view m_text;
    size_t m_position = 0;
    std::u16string m_token;
};

namespace {

// An empty name would address the parent itself, and a "\" would reach past
// the level the script describes; neither names a key of its own.
HResult CheckKeyName(std::u16string_view name) {
    if (name.empty() || name.find(u'\\') != std::u16string_view::npos) {
        return kDispEException;
    }
    return kSOk;
}

}  // namespace

void CRegObject::ScriptRun::SkipWhitespace() {
    while (m_position < m_text.size() && IsWhitespace(m_text[m_position])) {
        ++m_position;
    }
}

HResult CRegObject::ScriptRun::NextToken() {
    SkipWhitespace();
    m_token.clear();
    if (m_position >= m_text.size()) {
        return kDispEException;
    }
    // Whole runs of text are taken at once: a token is copied, not built unit by unit.
    if (m_text[m_position] == u'\'') {
        ++m_position;
        while (true) {
            const size_t quote = m_text.find(u'\'', m_position);
            if (quote == std::u16string_view::npos) {
                return kDispEException;
            }
            m_token.append(m_text.substr(m_position, quote - m_position));
            const bool doubled = quote + 1 < m_text.size() && m_text[quote + 1] == u'\'';
            if (doubled) {
                m_token.push_back(u'\'');
            }
            if (m_token.size() > kMaxTokenUnits) {
                return kDispEException;
            }
            m_position = quote + (doubled ? 2 : 1);
            if (!doubled) {
                return kSOk;
            }
        }
    }
    const size_t start = m_position;
    while (m_position < m_text.size() && !IsWhitespace(m_text[m_position])) {
        ++m_position;
    }
    if (m_position - start > kMaxTokenUnits) {
        return kDispEException;
    }
    m_token.assign(m_text.substr(start, m_position - start));
    return kSOk;
}

HResult CRegObject::ScriptRun::Run(bool doRegister) {
    while (m_position < m_text.size()) {
        OKULON_RETURN_IF_FAILED(NextToken());
        const RegKey root = RootFromName(m_token);
        if (root == kNoKey) {
            return kDispEException;
        }
        OKULON_RETURN_IF_FAILED(NextToken());
        if (m_token.empty() || m_token[0] != u'{') {
            return kDispEException;
        }
        const size_t blockStart = m_position;
        const HResult hr = GuardedBlock(root, doRegister);
        if (Failed(hr)) {
            if (doRegister) {
                // Take back what this root block wrote; its own result does not
                // replace the failure that caused it.
                m_position = blockStart;
                GuardedBlock(root, false);
            }
            return hr;
        }
        SkipWhitespace();
    }
    return kSOk;
}

HResult CRegObject::ScriptRun::GuardedBlock(RegKey parent, bool doRegister) {
    try {
        return Block(parent, doRegister, false, 1);
    } catch (...) {
        return HResultFromCaughtException();
    }
}

HResult CRegObject::ScriptRun::Block(RegKey parent, bool doRegister, bool recovering, int depth) {
    if (depth > kMaxNestingDepth) {
        return kDispEException;
    }
    // The key most recently opened at this level: the parent of a nested block
    // that follows it, closed when the next key opens or the level ends.
    RegKeyOwner current(m_registry);
    OKULON_RETURN_IF_FAILED(NextToken());
    while (!TokenEndsBlock()) {
        if (doRegister) {
            OKULON_RETURN_IF_FAILED(RegisterEntry(parent, current, depth));
        } else {
            OKULON_RETURN_IF_FAILED(UnregisterEntry(parent, recovering, depth));
        }
    }
    return kSOk;
}

HResult CRegObject::ScriptRun::RegisterEntry(RegKey parent, RegKeyOwner& current, int depth) {
    // Set once the entry is complete: only a nested block may follow it.
    bool entryDone = false;
    if (TokenIsKeyword(u"ForceRemove") || TokenIsKeyword(u"Delete")) {
        OKULON_RETURN_IF_FAILED(RemoveKeyBeforeRegistering(parent, &entryDone));
    }
    // NoRemove only protects what unregistering would remove.
    if (!entryDone && TokenIsKeyword(u"NoRemove")) {
        OKULON_RETURN_IF_FAILED(NextToken());
    }
    if (!entryDone && TokenIsKeyword(u"Val")) {
        OKULON_RETURN_IF_FAILED(RegisterValueEntry(parent));
        entryDone = true;
    }
    if (!entryDone) {
        OKULON_RETURN_IF_FAILED(RegisterKeyEntry(parent, current));
    }
    // A block after the entry belongs to this level's current key.
    if (TokenIs(u"{")) {
        OKULON_RETURN_IF_FAILED(Block(current.Get(), true, false, depth + 1));
        OKULON_RETURN_IF_FAILED(NextToken());
    }
    return kSOk;
}

HResult CRegObject::ScriptRun::UnregisterEntry(RegKey parent, bool recovering, int depth) {
    // Removing before writing is registering's business: here only the name
    // after ForceRemove or Delete counts.
    if (TokenIsKeyword(u"ForceRemove") || TokenIsKeyword(u"Delete")) {
        OKULON_RETURN_IF_FAILED(NextToken());
    }
    bool deleteAllowed = true;
    if (TokenIsKeyword(u"NoRemove")) {
        deleteAllowed = false;
        OKULON_RETURN_IF_FAILED(NextToken());
    }
    if (TokenIsKeyword(u"Val")) {
        return UnregisterValueEntry(parent, recovering, deleteAllowed);
    }
    OKULON_RETURN_IF_FAILED(CheckKeyName(m_token));
    return UnregisterKeyEntry(parent, recovering, deleteAllowed, depth);
}

// ForceRemove removes the key's tree and goes on to write the key; Delete
// removes it and ends the entry (an assignment after it is read through).
HResult CRegObject::ScriptRun::RemoveKeyBeforeRegistering(RegKey parent, bool* entryDone) {
    const bool deleteOnly = TokenIsKeyword(u"Delete");
    OKULON_RETURN_IF_FAILED(NextToken());
    OKULON_RETURN_IF_FAILED(CheckKeyName(m_token));
    if (!IsNeverDelete(m_token)) {
        DeleteKeyTree(m_registry, parent, m_token);  // whatever stays is simply opened below
    }
    if (deleteOnly) {
        OKULON_RETURN_IF_FAILED(NextToken());
        if (TokenIs(u"=")) {
            OKULON_RETURN_IF_FAILED(SkipAssignment());
        }
        *entryDone = true;
    }
    return kSOk;
}

// From "Val" to the "=" after the name.
HResult CRegObject::ScriptRun::ReadValueName(std::u16string* valueName) {
    OKULON_RETURN_IF_FAILED(NextToken());
    if (m_token.size() > kMaxValueNameUnits) {
        return kDispEException;
    }
    *valueName = m_token;
    OKULON_RETURN_IF_FAILED(NextToken());
    if (!TokenIs(u"=")) {
        return kDispEException;
    }
    return kSOk;
}

HResult CRegObject::ScriptRun::RegisterValueEntry(RegKey parent) {
    std::u16string valueName;
    OKULON_RETURN_IF_FAILED(ReadValueName(&valueName));
    return WriteValue(parent, valueName);
}

HResult CRegObject::ScriptRun::UnregisterValueEntry(RegKey parent, bool recovering, bool deleteAllowed) {
    std::u16string valueName;
    OKULON_RETURN_IF_FAILED(ReadValueName(&valueName));
    if (!recovering && deleteAllowed) {
        RegKeyOwner writable(m_registry);
        OKULON_RETURN_IF_REG_ERROR(m_registry.OpenKey(parent, u"", kKeySetValue, writable.Put()));
        const RegError error = m_registry.DeleteValue(writable.Get(), valueName);
        if (error != kErrorSuccess && error != kErrorFileNotFound) {
            return HResultFromWin32(error);
        }
    }
    return SkipAssignment();
}

// Opens the key for writing, or for reading when it may only be read, or
// creates it; then writes its default value when one is assigned.
HResult CRegObject::ScriptRun::RegisterKeyEntry(RegKey parent, RegKeyOwner& current) {
    OKULON_RETURN_IF_FAILED(CheckKeyName(m_token));
    RegError error = m_registry.OpenKey(parent, m_token, kKeyRead | kKeyWrite, current.Put());
    if (error != kErrorSuccess) {
        error = m_registry.OpenKey(parent, m_token, kKeyRead, current.Put());
    }
    if (error != kErrorSuccess) {
        OKULON_RETURN_IF_REG_ERROR(m_registry.CreateKey(parent, m_token, kKeyRead | kKeyWrite, current.Put()));
    }
    OKULON_RETURN_IF_FAILED(NextToken());
    if (TokenIs(u"=")) {
        OKULON_RETURN_IF_FAILED(WriteValue(current.Get(), u""));
    }
    return kSOk;
}

HResult CRegObject::ScriptRun::UnregisterKeyEntry(RegKey parent, bool recovering, bool deleteAllowed, int depth) {
    const std::u16string keyName = m_token;
    RegKeyOwner key(m_registry);
    RegError openError = kErrorSuccess;
    if (!recovering) {
        openError = m_registry.OpenKey(parent, keyName, kKeyRead, key.Put());
    }
    const bool entryRecovering = recovering || openError != kErrorSuccess;

    OKULON_RETURN_IF_FAILED(NextToken());
    if (TokenIs(u"=")) {
        OKULON_RETURN_IF_FAILED(SkipAssignment());
    }
    if (TokenIs(u"{")) {
        // A key that is gone has nothing below it to remove: its block is only
        // read through. Any failure inside ends the run, also then: reading on
        // from the middle of a broken block would take its entries for entries
        // of this level and remove keys the script placed elsewhere.
        OKULON_RETURN_IF_FAILED(Block(key.Get(), false, entryRecovering, depth + 1));
        OKULON_RETURN_IF_FAILED(NextToken());
    }
    if (!key.IsOpen()) {
        if (recovering || openError == kErrorFileNotFound) {
            return kSOk;
        }
        return HResultFromWin32(openError);
    }
    uint32_t subkeys = 0;
    OKULON_RETURN_IF_REG_ERROR(m_registry.QuerySubkeyCount(key.Get(), &subkeys));
    OKULON_RETURN_IF_REG_ERROR(key.Close());
    if (deleteAllowed && subkeys == 0) {
        OKULON_RETURN_IF_REG_ERROR(m_registry.DeleteKey(parent, keyName));
    }
    return kSOk;
}

HResult CRegObject::ScriptRun::WriteValue(RegKey key, std::u16string_view valueName) {
    OKULON_RETURN_IF_FAILED(NextToken());
    if (m_token.size() != 1) {
        return kDispEException;
    }
    const char16_t type = FoldCase(m_token[0]);
    if (type != u'S' && type != u'D' && type != u'B' && type != u'M') {
        return kDispEException;
    }
    OKULON_RETURN_IF_FAILED(NextToken());
    const std::u16string& text = m_token;
    std::vector<uint8_t> data;
    RegValueType registryType = kRegSz;
    switch (type) {
    case u'S':
        data = EncodeString(text);
        break;
    case u'D': {
        // A number the conversion refuses is refused with its entry: storing
        // some arbitrary number instead would register a wrong value silently.
        uint32_t number = 0;
        if (Failed(m_registry.ConvertToUnsigned32(text, &number))) {
            return kDispEException;
        }
        registryType = kRegDword;
        for (int shift = 0; shift < 32; shift += 8) {
            data.push_back(static_cast<uint8_t>(number >> shift));
        }
        break;
    }
    case u'B':
        if (text.size() % 2 != 0) {
            return kEFail;
        }
        registryType = kRegBinary;
        data.assign(text.size() / 2, 0);
        for (size_t i = 0; i < text.size(); ++i) {
            const int nibble = HexDigitValue(text[i]);
            data[i / 2] = static_cast<uint8_t>(data[i / 2] | (i % 2 == 0 ? nibble << 4 : nibble));
        }
        break;
    default:  // 'M'
        registryType = kRegMultiSz;
        data = EncodeMultiString(text);
        break;
    }
    OKULON_RETURN_IF_REG_ERROR(
        m_registry.SetValue(key, valueName, registryType, data.data(), static_cast<uint32_t>(data.size())));
    return NextToken();
}

HResult CRegObject::ScriptRun::SkipAssignment() {
    for (int i = 0; i < 3; ++i) {  // type, value, and the token after them
        OKULON_RETURN_IF_FAILED(NextToken());
    }
    return kSOk;
}

HResult CRegObject::QueryInterface(const Guid&, void**) { return kENotImpl; }

HResult CRegObject::AddReplacement(const char16_t* name, const char16_t* text) {
    return m_replacements.Add(name, text);
}

HResult CRegObject::ClearReplacements() {
    m_replacements.Clear();
    return kSOk;
}

HResult CRegObject::ProcessScript(std::u16string_view script, bool doRegister) noexcept {
    try {
        const size_t end = script.find(u'\0');
        if (end != std::u16string_view::npos) {
            script = script.substr(0, end);
        }
        std::u16string text;
        switch (m_replacements.Expand(script, &text)) {
        case ReplacementList::ExpandResult::kOk:
            break;
        case ReplacementList::ExpandResult::kNameTooLong:
            return kEFail;
        case ReplacementList::ExpandResult::kUnclosed:
        case ReplacementList::ExpandResult::kUnknownName:
            return kDispEException;
        }
        ScriptRun run(m_registry, text);
        return run.Run(doRegister);
    } catch (...) {
        return HResultFromCaughtException();
    }
}

}  // namespace okulon
