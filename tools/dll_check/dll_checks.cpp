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
    static const std::vector<std::string> system = {"kernel32.dll", "user32.dll",   "ole32.dll",   "oleaut32.dll",
                                                    "advapi32.dll", "msvcrt.dll",   "gdi32.dll",   "shell32.dll"};
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

}  // namespace okulon::pe
