// Okulon.dll's headers, export and import tables and resources, read from the
// file the host loads: each build checks its own architecture.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tools/dll_check/dll_checks.h"

namespace {

using okulon::pe::PeImage;
using okulon::pe::Problems;

std::string BinaryFolder() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::optional<PeImage> LoadDll() { return PeImage::Load(BinaryFolder() + "Okulon.dll"); }

std::string Describe(const Problems& problems) {
    std::string text;
    for (const std::string& problem : problems) text += "\n  " + problem;
    return text;
}

#if defined(_M_X64) || defined(__x86_64__)
constexpr uint16_t kThisMachine = okulon::pe::kMachineAmd64;
constexpr okulon::pe::Format kThisFormat = okulon::pe::Format::Pe32Plus;
#else
constexpr uint16_t kThisMachine = okulon::pe::kMachineI386;
constexpr okulon::pe::Format kThisFormat = okulon::pe::Format::Pe32;
#endif

TEST(DllTables, IsADllForThisBuildsMachine) {
    const auto dll = LoadDll();
    ASSERT_TRUE(dll);
    EXPECT_EQ(kThisMachine, dll->Machine());
    EXPECT_EQ(kThisFormat, dll->ImageFormat());
    const Problems problems = okulon::pe::CheckMachine(*dll, kThisMachine);
    EXPECT_TRUE(problems.empty()) << Describe(problems);
    // A DLL for the other machine fails the same check.
    const uint16_t other =
        kThisMachine == okulon::pe::kMachineI386 ? okulon::pe::kMachineAmd64 : okulon::pe::kMachineI386;
    EXPECT_EQ(2u, okulon::pe::CheckMachine(*dll, other).size());
}

TEST(DllTables, ExportsExactlyTheFiveEntryPointsWithAlphabeticalOrdinals) {
    const auto dll = LoadDll();
    ASSERT_TRUE(dll);
    const Problems problems = okulon::pe::CheckExports(*dll);
    EXPECT_TRUE(problems.empty()) << Describe(problems);
}

// The tracker libraries are bound at run time, so the DLL loads without them.
TEST(DllTables, ImportsOnlySystemLibrariesAndNotTheTrackerLibraries) {
    const auto dll = LoadDll();
    ASSERT_TRUE(dll);
    const Problems problems = okulon::pe::CheckImports(*dll);
    EXPECT_TRUE(problems.empty()) << Describe(problems);
}

// The file reader agrees with the platform's loader on the resources.
TEST(DllTables, CarriesTheTypeLibraryAndTheRegistrarScriptAsTheLoaderSeesThem) {
    const auto dll = LoadDll();
    ASSERT_TRUE(dll);
    const Problems problems = okulon::pe::CheckResources(*dll, std::nullopt, std::nullopt);
    EXPECT_TRUE(problems.empty()) << Describe(problems);

    HMODULE module = LoadLibraryExA((BinaryFolder() + "Okulon.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    struct Expected {
        const wchar_t* type;
        WORD id;
        const char* name;
    } resources[] = {{L"TYPELIB", 1, "TYPELIB"}, {L"REGISTRY", 101, "REGISTRY"}};
    for (const Expected& expected : resources) {
        HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(expected.id), expected.type);
        ASSERT_NE(nullptr, resource) << expected.name;
        const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, resource)));
        const std::vector<uint8_t> loaded(data, data + SizeofResource(module, resource));
        EXPECT_EQ(loaded, dll->Resource(expected.name, expected.id).value_or(std::vector<uint8_t>{})) << expected.name;
    }
    FreeLibrary(module);
}

}  // namespace
