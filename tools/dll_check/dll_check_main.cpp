// Checks Okulon.dll from its file, on a machine that need not be able to load
// it (the i686 DLL where the kernel refuses 32-bit code):
//   okulon_dll_check <Okulon.dll> i686|x86_64 [--typelib <okulon.tlb>] [--registry <okulon.rgs>]
//                    [--version <major.minor.patch.tweak>]
// Prints one line per check and a closing "N passed, N failed"; exits 1 when
// any check failed, 2 on a usage error.
#include <array>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/dll_check/dll_checks.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: okulon_dll_check <Okulon.dll> i686|x86_64 [--typelib <file>] [--registry <file>]"
                 " [--version <major.minor.patch.tweak>]\n");
    return 2;
}

// "1.0.0.0": four numbers of 0 to 65535.
bool ParseVersion(const std::string& text, std::array<uint16_t, 4>& version) {
    size_t begin = 0;
    for (size_t part = 0; part < 4; ++part) {
        const size_t end = part < 3 ? text.find('.', begin) : text.size();
        if (end == std::string::npos || end == begin || end - begin > 5) return false;
        unsigned long number = 0;
        for (size_t i = begin; i < end; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            number = number * 10 + static_cast<unsigned long>(text[i] - '0');
        }
        if (number > 65535) return false;
        version[part] = static_cast<uint16_t>(number);
        begin = end + 1;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace okulon::pe;
    if (argc < 3) return Usage();
    const std::string path = argv[1];
    const std::string architecture = argv[2];
    uint16_t machine = 0;
    if (architecture == "i686")
        machine = kMachineI386;
    else if (architecture == "x86_64")
        machine = kMachineAmd64;
    else
        return Usage();

    std::optional<std::vector<uint8_t>> typeLibrary;
    std::optional<std::vector<uint8_t>> registrarScript;
    std::optional<std::array<uint16_t, 4>> version;
    for (int index = 3; index < argc; index += 2) {
        const std::string option = argv[index];
        if (option == "--version" && index + 1 < argc) {
            version.emplace();
            if (!ParseVersion(argv[index + 1], *version)) return Usage();
            continue;
        }
        if (index + 1 >= argc || (option != "--typelib" && option != "--registry")) return Usage();
        auto bytes = ReadFileBytes(argv[index + 1]);
        if (!bytes) {
            std::fprintf(stderr, "cannot read %s\n", argv[index + 1]);
            return 2;
        }
        (option == "--typelib" ? typeLibrary : registrarScript) = std::move(bytes);
    }

    const auto dll = PeImage::Load(path);
    if (!dll) {
        std::printf("FAIL %s is not a readable PE file\n0 passed, 1 failed\n", path.c_str());
        return 1;
    }
    struct Check {
        const char* name;
        Problems problems;
    };
    std::vector<Check> checks = {
        {"machine type and PE format", CheckMachine(*dll, machine)},
        {"exports with ordinals", CheckExports(*dll)},
        {"imports: system libraries only", CheckImports(*dll)},
        {"TYPELIB and REGISTRY resources", CheckResources(*dll, typeLibrary, registrarScript)},
    };
    if (version) checks.push_back({"version information", CheckVersionInformation(*dll, *version)});
    int passed = 0;
    int failed = 0;
    for (const Check& check : checks) {
        if (check.problems.empty()) {
            ++passed;
            std::printf("PASS %s (%s)\n", check.name, architecture.c_str());
            continue;
        }
        ++failed;
        std::printf("FAIL %s (%s)\n", check.name, architecture.c_str());
        for (const std::string& problem : check.problems) std::printf("     %s\n", problem.c_str());
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
