#include "server/registrar/registry_virtual_machine.h"

#include <new>
#include <string>
#include <vector>

namespace okulon {

namespace {

constexpr uint32_t OpcodeOf(uint32_t word) { return word >> 28; }
constexpr uint32_t OperandA(uint32_t word) { return (word >> 14) & 0x3FFFu; }
constexpr uint32_t OperandB(uint32_t word) { return word & 0x3FFFu; }

// The registry errors that mean "already gone" to a deletion.
constexpr bool IsAbsence(RegError error) { return error == kErrorFileNotFound || error == kErrorPathNotFound; }

}  // namespace

// One execution: the program, the read position and the mode.
class CRegistryVirtualMachine::ProgramRun {
public:
    ProgramRun(RegistryApi& registry, const ReplacementList& replacements, const RegistrationProgram& program,
               bool doRegister)
        : m_registry(registry), m_replacements(replacements), m_program(program), m_register(doRegister) {}

    HResult Run();

private:
    // skipping: the block of a key that does not exist, read through without
    // any registry access.
    HResult Block(RegKey parent, bool skipping, int depth);
    HResult ResolveString(uint32_t index, std::u16string* text) const;
    HResult ResolveKeyName(uint32_t index, std::u16string* name) const;
    RegError OpenOrCreate(RegKey parent, const std::u16string& name, RegKeyOwner* key);
    HResult SetValue(uint32_t word, RegKey target);

    RegistryApi& m_registry;
    const ReplacementList& m_replacements;
    const RegistrationProgram& m_program;
    const bool m_register;
    size_t m_position = 0;
};

HResult CRegistryVirtualMachine::ProgramRun::Run() {
    while (true) {
        if (m_position >= m_program.wordCount) {
            return kEFail;
        }
        const uint32_t word = m_program.words[m_position];
        if (word == 0) {
            return kSOk;
        }
        if (OpcodeOf(word) != kOpRoot) {
            return kEFail;
        }
        ++m_position;
        OKULON_RETURN_IF_FAILED(Block(static_cast<RegKey>(kClassesRoot + OperandA(word)), false, 1));
    }
}

HResult CRegistryVirtualMachine::ProgramRun::ResolveString(uint32_t index, std::u16string* text) const {
    if (index >= m_program.stringCount) {
        return kEFail;
    }
    const RegistrationString& entry = m_program.strings[index];
    const std::u16string_view raw = entry.text == nullptr ? std::u16string_view() : std::u16string_view(entry.text);
    if (entry.flag != 1) {
        text->assign(raw);
        return kSOk;
    }
    return m_replacements.Expand(raw, text) == ReplacementList::ExpandResult::kOk ? kSOk : kEFail;
}

HResult CRegistryVirtualMachine::ProgramRun::ResolveKeyName(uint32_t index, std::u16string* name) const {
    OKULON_RETURN_IF_FAILED(ResolveString(index, name));
    // An empty name would address the parent itself: deleting "its" subtree
    // would wipe the parent.
    return name->empty() ? kEFail : kSOk;
}

RegError CRegistryVirtualMachine::ProgramRun::OpenOrCreate(RegKey parent, const std::u16string& name,
                                                           RegKeyOwner* key) {
    const RegError error = m_registry.OpenKey(parent, name, kKeyRead | kKeyWrite, key->Put());
    if (error == kErrorSuccess) {
        return error;
    }
    return m_registry.CreateKey(parent, name, kKeyRead | kKeyWrite, key->Put());
}

HResult CRegistryVirtualMachine::ProgramRun::SetValue(uint32_t word, RegKey target) {
    std::u16string name;
    if (OperandA(word) != 0) {
        OKULON_RETURN_IF_FAILED(ResolveString(OperandA(word), &name));
    }
    std::vector<uint8_t> data;
    RegValueType type = kRegSz;
    const uint32_t b = OperandB(word);
    switch (OpcodeOf(word)) {
    case kOpString:
    case kOpMultiString: {
        std::u16string text;
        OKULON_RETURN_IF_FAILED(ResolveString(b, &text));
        if (OpcodeOf(word) == kOpString) {
            data = EncodeString(text);
        } else {
            type = kRegMultiSz;
            data = EncodeMultiString(text);
        }
        break;
    }
    case kOpNumber:
        if (m_program.numbers == nullptr || b >= m_program.numberCount) {
            return kEFail;
        }
        type = kRegDword;
        for (int shift = 0; shift < 32; shift += 8) {
            data.push_back(static_cast<uint8_t>(m_program.numbers[b] >> shift));
        }
        break;
    default: {  // kOpBytes
        if (m_program.byteValues == nullptr || b >= m_program.byteValueCount) {
            return kEFail;
        }
        const RegistrationBytes& bytes = m_program.byteValues[b];
        if (bytes.data == nullptr && bytes.size != 0) {
            return kEFail;
        }
        type = kRegBinary;
        if (bytes.size != 0) {
            data.assign(bytes.data, bytes.data + bytes.size);
        }
        break;
    }
    }
    const RegError error = m_registry.SetValue(target, name, type, data.data(), static_cast<uint32_t>(data.size()));
    return HResultFromWin32(error);
}

HResult CRegistryVirtualMachine::ProgramRun::Block(RegKey parent, bool skipping, int depth) {
    if (depth > kMaxNestingDepth) {
        return kEFail;
    }
    RegKeyOwner current(m_registry);
    std::u16string lastKeyName;  // of this level's last key word, for the deletion after its block
    bool lastKeyAbsent = true;   // unregistering: that key does not exist (or there was none)
    bool kept = false;
    HResult last = kSOk;
    while (true) {
        if (m_position >= m_program.wordCount) {
            return kEFail;
        }
        const uint32_t word = m_program.words[m_position];
        const uint32_t opcode = OpcodeOf(word);
        if (opcode == kOpEnd) {
            return last;
        }
        ++m_position;
        switch (opcode) {
        case kOpEndBlock:
            return last;

        case kOpNoRemove: {
            if (skipping) {
                break;
            }
            if (!m_register) {
                kept = true;
                break;
            }
            std::u16string name;
            OKULON_RETURN_IF_FAILED(ResolveKeyName(OperandA(word), &name));
            RegKeyOwner key(m_registry);
            const RegError error = OpenOrCreate(parent, name, &key);
            if (error != kErrorSuccess) {
                return HResultFromWin32(error);
            }
            break;
        }

        case kOpForceRemove:
        case kOpKey: {
            if (skipping) {
                break;
            }
            std::u16string name;
            OKULON_RETURN_IF_FAILED(ResolveKeyName(OperandA(word), &name));
            if (m_register) {
                if (opcode == kOpForceRemove) {
                    current.Close();
                    const RegError error = DeleteKeyTree(m_registry, parent, name);
                    if (error != kErrorSuccess && !IsAbsence(error)) {
                        return HResultFromWin32(error);
                    }
                }
                const RegError error = OpenOrCreate(parent, name, &current);
                if (error != kErrorSuccess) {
                    return HResultFromWin32(error);
                }
                if (opcode == kOpForceRemove) {
                    current.Close();  // the key word that follows opens it as the current key
                }
            } else {
                // Read and write, as when registering: a key that cannot be
                // removed must fail here, before its block deletes any of its
                // subkeys and leaves it half removed.
                const RegError error = m_registry.OpenKey(parent, name, kKeyRead | kKeyWrite, current.Put());
                if (error != kErrorSuccess && error != kErrorFileNotFound) {
                    return HResultFromWin32(error);
                }
                lastKeyAbsent = error == kErrorFileNotFound;
            }
            lastKeyName = std::move(name);
            last = kSOk;
            break;
        }

        case kOpBeginBlock: {
            if (skipping) {
                OKULON_RETURN_IF_FAILED(Block(kNoKey, true, depth + 1));
                break;
            }
            if (m_register) {
                if (!current.IsOpen()) {
                    return kEFail;  // a block needs a key to belong to
                }
                last = Block(current.Get(), false, depth + 1);
                if (Failed(last)) {
                    return last;
                }
                break;
            }
            const bool absent = lastKeyAbsent || !current.IsOpen();
            OKULON_RETURN_IF_FAILED(Block(absent ? kNoKey : current.Get(), absent, depth + 1));
            if (!absent && !kept) {
                current.Close();
                const RegError error = DeleteKeyTree(m_registry, parent, lastKeyName);
                if (error != kErrorSuccess && !IsAbsence(error)) {
                    return HResultFromWin32(error);
                }
            }
            kept = false;
            last = kSOk;
            break;
        }

        case kOpString:
        case kOpMultiString:
        case kOpNumber:
        case kOpBytes: {
            if (skipping || !m_register) {
                break;  // values go with their keys
            }
            const RegKey target = (OperandA(word) == 0 && current.IsOpen()) ? current.Get() : parent;
            last = SetValue(word, target);
            if (Failed(last)) {
                return last;
            }
            break;
        }

        default:  // opcode 4, 12 to 15, and a root word inside a block
            return kEFail;
        }
    }
}

HResult CRegistryVirtualMachine::QueryInterface(const Guid& iid, void** object) {
    if (object == nullptr) {
        return kEPointer;
    }
    if (iid == kIidIUnknown || iid == kIidIRegistrarBase) {
        *object = static_cast<IRegistrarBase*>(this);
        return kSOk;
    }
    *object = nullptr;
    return kENoInterface;
}

HResult CRegistryVirtualMachine::AddReplacement(const char16_t* name, const char16_t* text) {
    return m_replacements.Add(name, text);
}

HResult CRegistryVirtualMachine::ClearReplacements() {
    m_replacements.Clear();
    return kSOk;
}

HResult CRegistryVirtualMachine::Execute(const RegistrationProgram& program, bool doRegister) noexcept {
    if (program.words == nullptr || program.strings == nullptr) {
        return kEInvalidArg;
    }
    try {
        ProgramRun run(m_registry, m_replacements, program, doRegister);
        return run.Run();
    } catch (...) {
        return HResultFromCaughtException();
    }
}

}  // namespace okulon
