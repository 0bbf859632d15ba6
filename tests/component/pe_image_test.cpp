// The PE file reader and the DLL checks on images built here byte by byte:
// both formats, the tables the checks read, and files cut short anywhere.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tools/dll_check/dll_checks.h"

namespace okulon::pe {
namespace {

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kSectionFileOffset = 0x200;

// Little-endian writer over a growing byte buffer.
class Bytes {
public:
    size_t Size() const { return m_data.size(); }
    void At16(size_t offset, uint16_t value) {
        Fit(offset + 2);
        Put(offset, value, 2);
    }
    void At32(size_t offset, uint32_t value) {
        Fit(offset + 4);
        Put(offset, value, 4);
    }
    size_t Append16(uint16_t value) { return Append(value, 2); }
    size_t Append32(uint32_t value) { return Append(value, 4); }
    size_t AppendText(const std::string& text) {
        const size_t at = m_data.size();
        m_data.insert(m_data.end(), text.begin(), text.end());
        m_data.push_back(0);
        return at;
    }
    size_t AppendZeros(size_t count) {
        const size_t at = m_data.size();
        m_data.resize(at + count);
        return at;
    }
    std::vector<uint8_t>& Data() { return m_data; }

private:
    void Fit(size_t size) {
        if (m_data.size() < size) m_data.resize(size);
    }
    void Put(size_t offset, uint32_t value, int width) {
        for (int i = 0; i < width; ++i) m_data[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    size_t Append(uint32_t value, int width) {
        const size_t at = m_data.size();
        Fit(at + width);
        Put(at, value, width);
        return at;
    }
    std::vector<uint8_t> m_data;
};

struct ImageContents {
    uint16_t machine = kMachineI386;
    std::vector<std::string> exportNames = {"DllCanUnloadNow", "DllGetClassObject", "DllMain", "DllRegisterServer",
                                            "DllUnregisterServer"};
    std::vector<uint16_t> exportOrdinalIndexes = {0, 1, 2, 3, 4};
    std::vector<std::string> imports = {"KERNEL32.dll", "ole32.dll"};
    std::vector<uint8_t> typeLibrary = {'M', 'S', 'F', 'T', 2, 0, 1, 0};
    std::vector<uint8_t> script = {'H', 'K', 'C', 'R'};
};

// The section: export directory, import descriptors, resource tree and the
// strings and arrays they point to. RVAs are the section's base plus offsets.
std::vector<uint8_t> BuildSection(const ImageContents& contents, uint32_t& exportRva, uint32_t& importRva,
                                  uint32_t& resourceRva) {
    Bytes section;
    auto rva = [](size_t offset) { return kSectionRva + static_cast<uint32_t>(offset); };

    const size_t exports = section.AppendZeros(40);
    const uint32_t count = static_cast<uint32_t>(contents.exportNames.size());
    section.At32(exports + 12, rva(section.AppendText("Okulon.dll")));
    section.At32(exports + 16, 1);
    section.At32(exports + 20, count);
    section.At32(exports + 24, count);
    const size_t functions = section.AppendZeros(4 * count);
    section.At32(exports + 28, rva(functions));
    std::vector<uint32_t> nameRvas;
    for (const std::string& name : contents.exportNames) nameRvas.push_back(rva(section.AppendText(name)));
    const size_t names = section.Size();
    for (uint32_t nameRva : nameRvas) section.Append32(nameRva);
    section.At32(exports + 32, rva(names));
    const size_t ordinals = section.Size();
    for (uint16_t index : contents.exportOrdinalIndexes) section.Append16(index);
    section.At32(exports + 36, rva(ordinals));

    std::vector<uint32_t> importNameRvas;
    for (const std::string& name : contents.imports) importNameRvas.push_back(rva(section.AppendText(name)));
    const size_t imports = section.AppendZeros(20 * (contents.imports.size() + 1));
    for (size_t i = 0; i < importNameRvas.size(); ++i) section.At32(imports + 20 * i + 12, importNameRvas[i]);

    // Resources: root names "TYPELIB" and "REGISTRY"; each holds one numbered
    // entry with one language.
    while (section.Size() % 4 != 0) section.AppendZeros(1);
    const size_t root = section.AppendZeros(16 + 2 * 8);
    auto relative = [&](size_t offset) { return static_cast<uint32_t>(offset - root); };
    section.At16(root + 12, 2);
    struct Entry {
        const char* type;
        uint16_t id;
        const std::vector<uint8_t>* data;
    } entries[] = {{"TYPELIB", 1, &contents.typeLibrary}, {"REGISTRY", 101, &contents.script}};
    for (int index = 0; index < 2; ++index) {
        const Entry& entry = entries[index];
        const size_t typeName = section.Append16(static_cast<uint16_t>(std::strlen(entry.type)));
        for (const char* c = entry.type; *c; ++c) section.Append16(static_cast<uint16_t>(*c));
        while (section.Size() % 4 != 0) section.AppendZeros(1);
        const size_t idTable = section.AppendZeros(16 + 8);
        const size_t languageTable = section.AppendZeros(16 + 8);
        const size_t dataEntry = section.AppendZeros(16);
        const size_t data = section.Size();
        for (uint8_t byte : *entry.data) section.Data().push_back(byte);
        while (section.Size() % 4 != 0) section.AppendZeros(1);

        section.At32(root + 16 + 8 * index, 0x80000000u | relative(typeName));
        section.At32(root + 16 + 8 * index + 4, 0x80000000u | relative(idTable));
        section.At16(idTable + 14, 1);
        section.At32(idTable + 16, entry.id);
        section.At32(idTable + 20, 0x80000000u | relative(languageTable));
        section.At16(languageTable + 14, 1);
        section.At32(languageTable + 16, 0x409);
        section.At32(languageTable + 20, relative(dataEntry));
        section.At32(dataEntry, rva(data));
        section.At32(dataEntry + 4, static_cast<uint32_t>(entry.data->size()));
    }
    exportRva = rva(exports);
    importRva = rva(imports);
    resourceRva = rva(root);
    return section.Data();
}

std::vector<uint8_t> BuildImage(const ImageContents& contents) {
    uint32_t exportRva = 0, importRva = 0, resourceRva = 0;
    const std::vector<uint8_t> section = BuildSection(contents, exportRva, importRva, resourceRva);
    const bool plus = contents.machine == kMachineAmd64;
    const uint16_t optionalSize = plus ? 240 : 224;
    const size_t directories = plus ? 112 : 96;

    Bytes image;
    image.At16(0, 0x5A4D);  // "MZ"
    image.At32(0x3C, 0x40);
    image.At32(0x40, 0x00004550);  // "PE\0\0"
    const size_t file = 0x44;
    image.At16(file, contents.machine);
    image.At16(file + 2, 1);
    image.At16(file + 16, optionalSize);
    image.At16(file + 18, 0x2002);  // executable DLL
    const size_t optional = file + 20;
    image.At16(optional, plus ? 0x20B : 0x10B);
    image.At32(optional + directories - 4, 16);
    image.At32(optional + directories + 0, exportRva);
    image.At32(optional + directories + 4, 40);
    image.At32(optional + directories + 8, importRva);
    image.At32(optional + directories + 12, 60);
    image.At32(optional + directories + 16, resourceRva);
    image.At32(optional + directories + 20, 64);
    const size_t header = optional + optionalSize;
    image.At32(header + 8, static_cast<uint32_t>(section.size()));
    image.At32(header + 12, kSectionRva);
    image.At32(header + 16, static_cast<uint32_t>(section.size()));
    image.At32(header + 20, kSectionFileOffset);
    image.Data().resize(kSectionFileOffset);
    image.Data().insert(image.Data().end(), section.begin(), section.end());
    return image.Data();
}

class PeImageFormats : public ::testing::TestWithParam<uint16_t> {};

TEST_P(PeImageFormats, AWellFormedDllPassesEveryCheckForItsOwnMachineOnly) {
    ImageContents contents;
    contents.machine = GetParam();
    const auto image = PeImage::Parse(BuildImage(contents));
    ASSERT_TRUE(image);
    EXPECT_EQ(GetParam(), image->Machine());
    EXPECT_EQ(GetParam() == kMachineAmd64 ? Format::Pe32Plus : Format::Pe32, image->ImageFormat());
    EXPECT_TRUE(image->IsDll());
    EXPECT_TRUE(CheckMachine(*image, GetParam()).empty());
    EXPECT_EQ(2u, CheckMachine(*image, GetParam() == kMachineAmd64 ? kMachineI386 : kMachineAmd64).size());
    EXPECT_TRUE(CheckExports(*image).empty());
    EXPECT_TRUE(CheckImports(*image).empty());
    EXPECT_TRUE(CheckResources(*image, contents.typeLibrary, contents.script).empty());
    EXPECT_EQ(contents.script, image->Resource("registry", 101).value_or(std::vector<uint8_t>{}));
    EXPECT_FALSE(image->Resource("REGISTRY", 102));
    EXPECT_FALSE(image->Resource("ICON", 1));
}

INSTANTIATE_TEST_SUITE_P(BothMachines, PeImageFormats, ::testing::Values(kMachineI386, kMachineAmd64));

TEST(DllChecks, NameEveryDeviationFromTheFiveEntryPointsAndTheSystemImports) {
    ImageContents contents;
    contents.exportOrdinalIndexes = {0, 1, 3, 2, 4};
    contents.exportNames[4] = "DllInstall";
    contents.imports = {"KERNEL32.dll", "tet.dll", "libwinpthread-1.dll"};
    const auto image = PeImage::Parse(BuildImage(contents));
    ASSERT_TRUE(image);
    // Two swapped ordinals and one wrong name.
    EXPECT_EQ(3u, CheckExports(*image).size());
    EXPECT_EQ(2u, CheckImports(*image).size());
    const std::vector<uint8_t> otherScript = {'H', 'K', 'L', 'M'};
    EXPECT_EQ(1u, CheckResources(*image, contents.typeLibrary, otherScript).size());
}

TEST(PeImage, RefusesWhatIsNotAPeFile) {
    EXPECT_FALSE(PeImage::Parse({}));
    EXPECT_FALSE(PeImage::Parse(std::vector<uint8_t>(4096, 0)));
    std::vector<uint8_t> image = BuildImage(ImageContents{});
    image[0x40] = 'X';  // no "PE" signature
    EXPECT_FALSE(PeImage::Parse(image));
    image = BuildImage(ImageContents{});
    image[0x3C] = 0xF0;  // the headers' offset points past the end
    image[0x3F] = 0x7F;
    EXPECT_FALSE(PeImage::Parse(image));
}

// Whatever the length, nothing is read outside the bytes (the sanitizer
// builds prove it), and a file cut inside a table answers as if it were absent.
TEST(PeImage, AFileCutShortAnywhereGivesEmptyAnswersNotStrayReads) {
    const std::vector<uint8_t> whole = BuildImage(ImageContents{});
    size_t parsed = 0;
    for (size_t length = 0; length < whole.size(); ++length) {
        const auto image = PeImage::Parse(std::vector<uint8_t>(whole.begin(), whole.begin() + length));
        if (!image) continue;
        ++parsed;
        (void)image->Exports();
        (void)image->ImportedLibraries();
        (void)image->Resource("TYPELIB", 1);
        EXPECT_FALSE(CheckExports(*image).empty() && CheckImports(*image).empty() &&
                     CheckResources(*image, std::nullopt, std::nullopt).empty())
            << "cut at " << length << " still passes every check";
    }
    EXPECT_GT(parsed, 0u);
}

}  // namespace
}  // namespace okulon::pe
