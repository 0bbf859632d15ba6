// Checks Okulon.dll from its file, on a machine that need not be able to load
// it (the i686 DLL where the kernel refuses 32-bit code):
//   okulon_dll_check <Okulon.dll> i686|x86_64 [--typelib <okulon.tlb>] [--registry <okulon.rgs>]
// Prints one line per check and a closing "N passed, N failed"; exits 1 when
// any check failed, 2 on a usage error.
#include <cstdio>
#include <string>
#include <utility>

#include "tools/dll_check/dll_checks.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: okulon_dll_check <Okulon.dll> i686|x86_64 [--typelib <file>] [--registry <file>]\n");
    return 2;
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
    for (int index = 3; index < argc; index += 2) {
        const std::string option = argv[index];
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
    const Check checks[] = {
        {"machine type and PE format", CheckMachine(*dll, machine)},
        {"exports with ordinals", CheckExports(*dll)},
        {"imports: system libraries only", CheckImports(*dll)},
        {"TYPELIB and REGISTRY resources", CheckResources(*dll, typeLibrary, registrarScript)},
    };
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
