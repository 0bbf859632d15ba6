// A Windows PE file (PE32 or PE32+) read from its bytes, without the platform:
// the machine, the export and import tables and the resources. It lets the
// tests check a DLL of either architecture on any machine, also where the
// DLL cannot be loaded. Every offset is bounds-checked: a truncated or
// malformed file gives empty answers, never a read outside the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace okulon::pe {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

enum class Format { Pe32, Pe32Plus };

struct Export {
    std::string name;
    uint32_t ordinal = 0;  // biased by the table's base, as a caller names it
};

struct ExportTable {
    std::string libraryName;
    uint32_t ordinalBase = 0;
    uint32_t functionCount = 0;
    std::vector<Export> named;  // in the table's (alphabetical) order
};

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path);

class PeImage {
public:
    // Nothing when the bytes are not a PE image.
    static std::optional<PeImage> Parse(std::vector<uint8_t> bytes);
    static std::optional<PeImage> Load(const std::string& path);

    uint16_t Machine() const { return m_machine; }
    Format ImageFormat() const { return m_format; }
    bool IsDll() const { return (m_characteristics & 0x2000) != 0; }

    std::optional<ExportTable> Exports() const;
    // The names of the imported libraries as the table spells them.
    std::vector<std::string> ImportedLibraries() const;
    // The data of resource <type, id> in its first language; the type is a
    // name ("TYPELIB") matched without regard to case.
    std::optional<std::vector<uint8_t>> Resource(const std::string& type, uint16_t id) const;
    // The same for a numbered type (RT_VERSION is 16).
    std::optional<std::vector<uint8_t>> Resource(uint16_t type, uint16_t id) const;

private:
    struct Section {
        uint32_t virtualAddress;
        uint32_t virtualSize;
        uint32_t rawSize;
        uint32_t rawOffset;
    };
    struct Directory {
        uint32_t rva = 0;
        uint32_t size = 0;
    };

    explicit PeImage(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    bool ReadHeaders();

    // File offset of an RVA whose `length` bytes lie in one section's raw data.
    std::optional<size_t> OffsetOf(uint32_t rva, size_t length) const;
    std::optional<uint16_t> Read16(size_t offset) const;
    std::optional<uint32_t> Read32(size_t offset) const;
    std::optional<uint32_t> Read32AtRva(uint32_t rva) const;
    std::optional<std::string> StringAtRva(uint32_t rva) const;
    // One level of the resource tree: the entry named (or numbered) so, as
    // its offset from the start of the resource directory with the
    // subdirectory bit.
    std::optional<uint32_t> FindResourceEntry(size_t tableOffset, const std::string* name, uint16_t id,
                                              bool firstOfAny) const;
    // The data of resource `id` under a type's directory entry, first language.
    std::optional<std::vector<uint8_t>> ResourceOfType(std::optional<uint32_t> typeEntry, uint16_t id) const;

    std::vector<uint8_t> m_bytes;
    uint16_t m_machine = 0;
    uint16_t m_characteristics = 0;
    Format m_format = Format::Pe32;
    Directory m_exports;
    Directory m_imports;
    Directory m_resources;
    std::vector<Section> m_sections;
};

}  // namespace okulon::pe
