#include "tools/dll_check/dll_checks.h"

#include <algorithm>
#include <cctype>

namespace okulon::pe {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Hex(uint32_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

}  // namespace

Problems CheckMachine(const PeImage& dll, uint16_t expectedMachine) {
    Problems problems;
    if (dll.Machine() != expectedMachine)
        problems.push_back("machine " + Hex(dll.Machine()) + ", expected " + Hex(expectedMachine));
    const Format expectedFormat = expectedMachine == kMachineAmd64 ? Format::Pe32Plus : Format::Pe32;
    if (dll.ImageFormat() != expectedFormat)
        problems.push_back(std::string("optional header is ") + (dll.ImageFormat() == Format::Pe32 ? "PE32" : "PE32+") +
                           ", expected " + (expectedFormat == Format::Pe32 ? "PE32" : "PE32+"));
    if (!dll.IsDll()) problems.push_back("the file is not marked as a DLL");
    return problems;
}

Problems CheckExports(const PeImage& dll) {
    Problems problems;
    const auto table = dll.Exports();
    if (!table) return {"no readable export table"};
    if (table->libraryName != "Okulon.dll") problems.push_back("export table names \"" + table->libraryName + "\"");
    if (table->ordinalBase != 1) problems.push_back("ordinal base " + std::to_string(table->ordinalBase));
    if (table->functionCount != 5) problems.push_back(std::to_string(table->functionCount) + " exported functions");
    const char* expected[] = {"DllCanUnloadNow", "DllGetClassObject", "DllMain", "DllRegisterServer",
                              "DllUnregisterServer"};
    if (table->named.size() != 5) problems.push_back(std::to_string(table->named.size()) + " exported names");
    for (size_t index = 0; index < std::min<size_t>(5, table->named.size()); ++index) {
        const Export& entry = table->named[index];
        if (entry.name != expected[index])
            problems.push_back("name " + std::to_string(index + 1) + " is " + entry.name + ", expected " +
                               expected[index]);
        if (entry.ordinal != index + 1)
            problems.push_back(entry.name + " has ordinal " + std::to_string(entry.ordinal) + ", expected " +
                               std::to_string(index + 1));
    }
    return problems;
}

Problems CheckImports(const PeImage& dll) {
    static const std::vector<std::string> system = {"kernel32.dll", "user32.dll", "ole32.dll", "oleaut32.dll",
                                                    "advapi32.dll", "msvcrt.dll", "gdi32.dll", "shell32.dll"};
    Problems problems;
    const std::vector<std::string> libraries = dll.ImportedLibraries();
    if (libraries.empty()) problems.push_back("no imports read");
    for (const std::string& library : libraries) {
        const std::string name = Lower(library);
        if (name == "tet.dll" || name == "ttime.dll")
            problems.push_back("imports the tracker library " + library + " (it must be bound at run time)");
        else if (std::find(system.begin(), system.end(), name) == system.end())
            problems.push_back("imports " + library + ", which is not a system library");
    }
    return problems;
}

Problems CheckResources(const PeImage& dll, const std::optional<std::vector<uint8_t>>& typeLibrary,
                        const std::optional<std::vector<uint8_t>>& registrarScript) {
    Problems problems;
    const auto library = dll.Resource("TYPELIB", 1);
    if (!library) {
        problems.push_back("no TYPELIB resource 1");
    } else {
        const std::string magic(library->begin(), library->begin() + std::min<size_t>(4, library->size()));
        if (magic != "MSFT") problems.push_back("TYPELIB 1 does not start with \"MSFT\"");
        if (typeLibrary && *library != *typeLibrary) problems.push_back("TYPELIB 1 differs from the built library");
    }
    const auto script = dll.Resource("REGISTRY", 101);
    if (!script)
        problems.push_back("no REGISTRY resource 101");
    else if (registrarScript && *script != *registrarScript)
        problems.push_back("REGISTRY 101 differs from the registrar script");
    return problems;
}

Problems CheckVersionInformation(const PeImage& dll, const std::array<uint16_t, 4>& version) {
    Problems problems;
    const auto block = dll.Resource(16, 1);
    if (!block) return {"no VERSIONINFO resource (RT_VERSION 1)"};
    // VS_VERSIONINFO: three 16-bit words, the key "VS_VERSION_INFO" in UTF-16
    // with its NUL, padding to 32 bits, then VS_FIXEDFILEINFO (52 bytes).
    const size_t fixed = 40;
    const auto word32 = [&](size_t offset) -> std::optional<uint32_t> {
        if (offset + 4 > block->size()) return std::nullopt;
        const uint8_t* p = block->data() + offset;
        return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    };
    const std::u16string key = u"VS_VERSION_INFO";
    for (size_t i = 0; i < key.size(); ++i) {
        if (6 + i * 2 + 1 >= block->size() || block->at(6 + i * 2) != key[i] || block->at(7 + i * 2) != 0)
            return {"the VERSIONINFO resource does not start with VS_VERSION_INFO"};
    }
    const auto signature = word32(fixed), fileMs = word32(fixed + 8), fileLs = word32(fixed + 12),
               productMs = word32(fixed + 16), productLs = word32(fixed + 20), fileType = word32(fixed + 36);
    if (!signature || *signature != 0xFEEF04BDu) return {"the fixed part's signature is not 0xFEEF04BD"};
    const uint32_t wantMs = uint32_t{version[0]} << 16 | version[1];
    const uint32_t wantLs = uint32_t{version[2]} << 16 | version[3];
    const auto text = [](uint32_t ms, uint32_t ls) {
        return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
               std::to_string(ls & 0xFFFF);
    };
    if (!fileMs || !fileLs || *fileMs != wantMs || *fileLs != wantLs)
        problems.push_back("file version " + (fileMs && fileLs ? text(*fileMs, *fileLs) : std::string("missing")) +
                           ", expected " + text(wantMs, wantLs));
    if (!productMs || !productLs || *productMs != wantMs || *productLs != wantLs)
        problems.push_back("product version differs from " + text(wantMs, wantLs));
    constexpr uint32_t kVftDll = 2;
    if (!fileType || *fileType != kVftDll) problems.push_back("file type is not VFT_DLL");
    // The string "Okulon" in UTF-16 right after the key "ProductName".
    std::vector<uint8_t> wanted;
    for (char c : std::string("ProductName")) wanted.insert(wanted.end(), {static_cast<uint8_t>(c), 0});
    const auto at = std::search(block->begin(), block->end(), wanted.begin(), wanted.end());
    std::string product;
    if (at != block->end()) {
        size_t offset = static_cast<size_t>(at - block->begin()) + wanted.size() + 2;  // the key's NUL
        while (offset % 4 != 0) ++offset;                                              // 32-bit alignment
        for (; offset + 1 < block->size() && (block->at(offset) != 0 || block->at(offset + 1) != 0); offset += 2)
            product.push_back(static_cast<char>(block->at(offset)));
    }
    if (product != "Okulon") problems.push_back("ProductName is \"" + product + "\", expected \"Okulon\"");
    return problems;
}

}  // namespace okulon::pe
