// CRegistryVirtualMachine runs a compiled registration program: opcode words
// over a string table whose entries may hold %NAME% replacement references.
// It writes the class entries when registering and removes them again when
// unregistering. Lives on the registering thread's stack for one call of the
// class registration function; AddRef and Release count nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/hresults.h"
#include "server/registrar/registrar_base.h"
#include "server/registrar/registry_api.h"
#include "server/registrar/replacement_list.h"

namespace okulon {

// A string-table entry; flag 1 means the text holds %NAME% references. A null
// text is the empty text.
struct RegistrationString {
    const char16_t* text;
    uint8_t flag;
};

struct RegistrationBytes {
    const uint8_t* data;
    uint32_t size;
};

// A program and its tables. The words end with a word of value 0; the counts
// bound every index the words carry.
struct RegistrationProgram {
    const uint32_t* words;
    size_t wordCount;
    const RegistrationString* strings;
    size_t stringCount;
    const uint32_t* numbers;  // opcode 10
    size_t numberCount;
    const RegistrationBytes* byteValues;  // opcode 11
    size_t byteValueCount;
};

// Word layout: opcode in bits 28-31, operand A in bits 14-27, operand B in bits 0-13.
enum RegistrationOpcode : uint32_t {
    kOpEnd = 0,          // end of the program, or of the block without consuming the word
    kOpNoRemove = 1,     // A: key; registering opens or creates it, unregistering keeps the next key
    kOpForceRemove = 2,  // A: key; registering deletes it with its subkeys, then opens or creates it
    kOpKey = 3,          // A: key, the block's current key
    kOpBeginBlock = 5,   // the current key's block follows, up to kOpEndBlock
    kOpEndBlock = 6,
    kOpRoot = 7,         // A: root number, root key = 0x80000000 + A
    kOpString = 8,       // A: value name (0 = default value), B: text (REG_SZ)
    kOpMultiString = 9,  // A: value name, B: text with "\0" separators (REG_MULTI_SZ)
    kOpNumber = 10,      // A: value name, B: index into numbers (REG_DWORD)
    kOpBytes = 11,       // A: value name, B: index into byteValues (REG_BINARY)
};

constexpr uint32_t RegistrationWord(uint32_t opcode, uint32_t a = 0, uint32_t b = 0) {
    return (opcode << 28) | ((a & 0x3FFFu) << 14) | (b & 0x3FFFu);
}

class CRegistryVirtualMachine final : public IRegistrarBase {
public:
    // Blocks nest no deeper than the platform registry does.
    static constexpr int kMaxNestingDepth = 512;

    explicit CRegistryVirtualMachine(RegistryApi& registry) : m_registry(registry) {}
    ~CRegistryVirtualMachine() override { m_replacements.Clear(); }
    CRegistryVirtualMachine(const CRegistryVirtualMachine&) = delete;
    CRegistryVirtualMachine& operator=(const CRegistryVirtualMachine&) = delete;

    // Answers kIidIUnknown and kIidIRegistrarBase with this object.
    HResult QueryInterface(const Guid& iid, void** object) override;
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 1; }
    HResult AddReplacement(const char16_t* name, const char16_t* text) override;
    HResult ClearReplacements() override;

    // Runs the program in register or unregister mode. Opcode 4 and opcodes
    // 12 to 15, a root word inside a block, an index outside its table, a key
    // name that resolves to nothing and a program without its final 0 word
    // give kEFail.
    HResult Execute(const RegistrationProgram& program, bool doRegister) noexcept;

private:
    class ProgramRun;

    RegistryApi& m_registry;
    ReplacementList m_replacements;
};

}  // namespace okulon
