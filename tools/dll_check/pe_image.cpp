#include "tools/dll_check/pe_image.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace okulon::pe {
namespace {

constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kResourceSubdirectory = 0x80000000u;
constexpr uint32_t kResourceNamed = 0x80000000u;
// Far more than any real table holds; bounds loops over counts read from the file.
constexpr uint32_t kMaxEntries = 1u << 16;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

std::optional<PeImage> PeImage::Load(const std::string& path) {
    auto bytes = ReadFileBytes(path);
    if (!bytes) return std::nullopt;
    return Parse(std::move(*bytes));
}

std::optional<PeImage> PeImage::Parse(std::vector<uint8_t> bytes) {
    PeImage image(std::move(bytes));
    if (!image.ReadHeaders()) return std::nullopt;
    return image;
}

bool PeImage::ReadHeaders() {
    if (m_bytes.size() < 0x40 || m_bytes[0] != 'M' || m_bytes[1] != 'Z') return false;
    const auto ntOffset = Read32(0x3C);
    if (!ntOffset || !Read32(*ntOffset) || *Read32(*ntOffset) != 0x00004550u) return false;  // "PE\0\0"
    const size_t fileHeader = size_t{*ntOffset} + 4;
    const auto machine = Read16(fileHeader);
    const auto sectionCount = Read16(fileHeader + 2);
    const auto optionalSize = Read16(fileHeader + 16);
    const auto characteristics = Read16(fileHeader + 18);
    if (!machine || !sectionCount || !optionalSize || !characteristics) return false;
    m_machine = *machine;
    m_characteristics = *characteristics;

    const size_t optional = fileHeader + kFileHeaderSize;
    const auto magic = Read16(optional);
    if (!magic) return false;
    size_t directoryCountOffset = 0;
    if (*magic == kMagicPe32) {
        m_format = Format::Pe32;
        directoryCountOffset = 92;
    } else if (*magic == kMagicPe32Plus) {
        m_format = Format::Pe32Plus;
        directoryCountOffset = 108;
    } else {
        return false;
    }
    const auto directoryCount = Read32(optional + directoryCountOffset);
    if (!directoryCount || directoryCountOffset + 4 > *optionalSize) return false;
    auto directory = [&](uint32_t index) {
        Directory entry;
        const size_t at = optional + directoryCountOffset + 4 + size_t{index} * 8;
        if (index >= *directoryCount || at + 8 > optional + *optionalSize) return entry;
        entry.rva = Read32(at).value_or(0);
        entry.size = Read32(at + 4).value_or(0);
        return entry;
    };
    m_exports = directory(0);
    m_imports = directory(1);
    m_resources = directory(2);

    const size_t sections = optional + *optionalSize;
    for (uint16_t index = 0; index < *sectionCount; ++index) {
        const size_t at = sections + size_t{index} * kSectionHeaderSize;
        const auto virtualSize = Read32(at + 8);
        const auto virtualAddress = Read32(at + 12);
        const auto rawSize = Read32(at + 16);
        const auto rawOffset = Read32(at + 20);
        if (!virtualSize || !virtualAddress || !rawSize || !rawOffset) return false;
        m_sections.push_back({*virtualAddress, *virtualSize, *rawSize, *rawOffset});
    }
    return true;
}

std::optional<size_t> PeImage::OffsetOf(uint32_t rva, size_t length) const {
    for (const Section& section : m_sections) {
        const uint64_t start = section.virtualAddress;
        const uint64_t extent = std::min(section.virtualSize ? section.virtualSize : section.rawSize, section.rawSize);
        if (rva < start || uint64_t{rva} + length > start + extent) continue;
        const uint64_t offset = uint64_t{section.rawOffset} + (rva - start);
        if (offset + length > m_bytes.size()) return std::nullopt;
        return static_cast<size_t>(offset);
    }
    return std::nullopt;
}

std::optional<uint16_t> PeImage::Read16(size_t offset) const {
    if (offset > m_bytes.size() || m_bytes.size() - offset < 2) return std::nullopt;
    return static_cast<uint16_t>(m_bytes[offset] | (m_bytes[offset + 1] << 8));
}

std::optional<uint32_t> PeImage::Read32(size_t offset) const {
    if (offset > m_bytes.size() || m_bytes.size() - offset < 4) return std::nullopt;
    return uint32_t{m_bytes[offset]} | (uint32_t{m_bytes[offset + 1]} << 8) | (uint32_t{m_bytes[offset + 2]} << 16) |
           (uint32_t{m_bytes[offset + 3]} << 24);
}

std::optional<uint32_t> PeImage::Read32AtRva(uint32_t rva) const {
    const auto offset = OffsetOf(rva, 4);
    return offset ? Read32(*offset) : std::nullopt;
}

std::optional<std::string> PeImage::StringAtRva(uint32_t rva) const {
    const auto offset = OffsetOf(rva, 1);
    if (!offset) return std::nullopt;
    const auto begin = m_bytes.begin() + static_cast<std::ptrdiff_t>(*offset);
    const auto end = std::find(begin, m_bytes.end(), uint8_t{0});
    if (end == m_bytes.end()) return std::nullopt;
    return std::string(begin, end);
}

std::optional<ExportTable> PeImage::Exports() const {
    if (m_exports.rva == 0) return std::nullopt;
    const auto offset = OffsetOf(m_exports.rva, 40);
    if (!offset) return std::nullopt;
    ExportTable table;
    const auto name = StringAtRva(Read32(*offset + 12).value_or(0));
    table.libraryName = name.value_or("");
    table.ordinalBase = Read32(*offset + 16).value_or(0);
    table.functionCount = Read32(*offset + 20).value_or(0);
    const uint32_t nameCount = Read32(*offset + 24).value_or(0);
    const uint32_t names = Read32(*offset + 32).value_or(0);
    const uint32_t ordinals = Read32(*offset + 36).value_or(0);
    if (nameCount > kMaxEntries) return std::nullopt;
    for (uint32_t index = 0; index < nameCount; ++index) {
        const auto nameRva = Read32AtRva(names + index * 4);
        const auto ordinalOffset = OffsetOf(ordinals + index * 2, 2);
        if (!nameRva || !ordinalOffset) return std::nullopt;
        const auto exportName = StringAtRva(*nameRva);
        if (!exportName) return std::nullopt;
        table.named.push_back({*exportName, *Read16(*ordinalOffset) + table.ordinalBase});
    }
    return table;
}

std::vector<std::string> PeImage::ImportedLibraries() const {
    std::vector<std::string> libraries;
    if (m_imports.rva == 0) return libraries;
    for (uint32_t index = 0; index < kMaxEntries; ++index) {
        const uint32_t descriptor = m_imports.rva + index * static_cast<uint32_t>(kImportDescriptorSize);
        if (!OffsetOf(descriptor, kImportDescriptorSize)) break;
        const uint32_t nameRva = Read32AtRva(descriptor + 12).value_or(0);
        if (nameRva == 0) break;  // the all-zero descriptor ends the table
        const auto name = StringAtRva(nameRva);
        if (!name) break;
        libraries.push_back(*name);
    }
    return libraries;
}

std::optional<uint32_t> PeImage::FindResourceEntry(size_t tableOffset, const std::string* name, uint16_t id,
                                                   bool firstOfAny) const {
    const auto root = OffsetOf(m_resources.rva, 16);
    if (!root) return std::nullopt;
    const size_t table = *root + tableOffset;
    const auto namedCount = Read16(table + 12);
    const auto idCount = Read16(table + 14);
    if (!namedCount || !idCount) return std::nullopt;
    const uint32_t count = uint32_t{*namedCount} + *idCount;
    for (uint32_t index = 0; index < count; ++index) {
        const size_t entry = table + 16 + size_t{index} * 8;
        const auto key = Read32(entry);
        const auto target = Read32(entry + 4);
        if (!key || !target) return std::nullopt;
        if (firstOfAny) return *target;
        const bool named = (*key & kResourceNamed) != 0;
        if (name == nullptr) {
            if (!named && (*key & 0xFFFF) == id) return *target;
            continue;
        }
        if (!named) continue;
        // A counted UTF-16 string, offset from the resource directory's start.
        const size_t at = *root + (*key & ~kResourceNamed);
        const auto length = Read16(at);
        if (!length || at + 2 + size_t{*length} * 2 > m_bytes.size()) return std::nullopt;
        std::string text;
        for (uint16_t c = 0; c < *length; ++c) {
            const uint16_t unit = *Read16(at + 2 + size_t{c} * 2);
            text.push_back(unit < 128 ? static_cast<char>(unit) : '?');
        }
        if (Lower(text) == Lower(*name)) return *target;
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> PeImage::Resource(const std::string& type, uint16_t id) const {
    if (m_resources.rva == 0) return std::nullopt;
    return ResourceOfType(FindResourceEntry(0, &type, 0, false), id);
}

std::optional<std::vector<uint8_t>> PeImage::Resource(uint16_t type, uint16_t id) const {
    if (m_resources.rva == 0) return std::nullopt;
    return ResourceOfType(FindResourceEntry(0, nullptr, type, false), id);
}

std::optional<std::vector<uint8_t>> PeImage::ResourceOfType(std::optional<uint32_t> typeEntry, uint16_t id) const {
    // Three levels: type, then name or number, then language.
    if (!typeEntry || !(*typeEntry & kResourceSubdirectory)) return std::nullopt;
    const auto idEntry = FindResourceEntry(*typeEntry & ~kResourceSubdirectory, nullptr, id, false);
    if (!idEntry || !(*idEntry & kResourceSubdirectory)) return std::nullopt;
    const auto languageEntry = FindResourceEntry(*idEntry & ~kResourceSubdirectory, nullptr, 0, true);
    if (!languageEntry || (*languageEntry & kResourceSubdirectory)) return std::nullopt;
    const auto root = OffsetOf(m_resources.rva, 16);
    const auto dataRva = Read32(*root + *languageEntry);
    const auto dataSize = Read32(*root + *languageEntry + 4);
    if (!dataRva || !dataSize) return std::nullopt;
    const auto data = OffsetOf(*dataRva, *dataSize);
    if (!data) return std::nullopt;
    const auto begin = m_bytes.begin() + static_cast<std::ptrdiff_t>(*data);
    return std::vector<uint8_t>(begin, begin + *dataSize);
}

}  // namespace okulon::pe
