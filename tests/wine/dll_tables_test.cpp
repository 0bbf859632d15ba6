// Okulon.dll's export and import tables, read from the file the host loads.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::wstring BinaryFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// The bytes of a PE file with RVA lookups through its section table.
class PeFile {
public:
    explicit PeFile(const std::wstring& path) {
        std::ifstream stream(path.c_str(), std::ios::binary);
        m_bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    }
    bool Loaded() const { return m_bytes.size() > sizeof(IMAGE_DOS_HEADER); }
    const IMAGE_NT_HEADERS32& Headers() const {
        auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(m_bytes.data());
        return *reinterpret_cast<const IMAGE_NT_HEADERS32*>(m_bytes.data() + dos->e_lfanew);
    }
    template <class T>
    const T* At(DWORD rva) const {
        const IMAGE_NT_HEADERS32& nt = Headers();
        auto* section = IMAGE_FIRST_SECTION(&nt);
        for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i, ++section) {
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return reinterpret_cast<const T*>(m_bytes.data() + section->PointerToRawData +
                                                  (rva - section->VirtualAddress));
        }
        return nullptr;
    }
    std::string StringAt(DWORD rva) const {
        const char* text = At<char>(rva);
        return text ? std::string(text) : std::string();
    }

private:
    std::vector<char> m_bytes;
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

TEST(DllTables, ExportsExactlyTheFiveEntryPointsWithAlphabeticalOrdinals) {
    PeFile dll(BinaryFolder() + L"Okulon.dll");
    ASSERT_TRUE(dll.Loaded());
    const IMAGE_DATA_DIRECTORY& directory = dll.Headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto* exports = dll.At<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
    ASSERT_NE(nullptr, exports);
    EXPECT_EQ("Okulon.dll", dll.StringAt(exports->Name));
    EXPECT_EQ(1u, exports->Base);
    ASSERT_EQ(5u, exports->NumberOfNames);
    ASSERT_EQ(5u, exports->NumberOfFunctions);

    const char* expected[] = {"DllCanUnloadNow", "DllGetClassObject", "DllMain", "DllRegisterServer",
                              "DllUnregisterServer"};
    auto* names = dll.At<DWORD>(exports->AddressOfNames);
    auto* ordinals = dll.At<WORD>(exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < 5; ++i) {
        EXPECT_EQ(expected[i], dll.StringAt(names[i]));
        EXPECT_EQ(i + 1, ordinals[i] + exports->Base) << expected[i];
    }
}

TEST(DllTables, ImportsOnlySystemLibraries) {
    PeFile dll(BinaryFolder() + L"Okulon.dll");
    ASSERT_TRUE(dll.Loaded());
    const IMAGE_DATA_DIRECTORY& directory = dll.Headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* descriptor = dll.At<IMAGE_IMPORT_DESCRIPTOR>(directory.VirtualAddress);
    ASSERT_NE(nullptr, descriptor);
    const std::vector<std::string> system = {"kernel32.dll", "user32.dll", "ole32.dll", "oleaut32.dll",
                                             "advapi32.dll", "msvcrt.dll", "gdi32.dll", "shell32.dll"};
    int count = 0;
    for (; descriptor->Name != 0; ++descriptor, ++count) {
        const std::string name = Lower(dll.StringAt(descriptor->Name));
        EXPECT_NE(system.end(), std::find(system.begin(), system.end(), name)) << name << " is not a system DLL";
    }
    EXPECT_GT(count, 0);
}

// The tracker libraries are bound at run time, so the DLL loads without them.
TEST(DllTables, DoesNotImportTheTrackerLibraries) {
    PeFile dll(BinaryFolder() + L"Okulon.dll");
    ASSERT_TRUE(dll.Loaded());
    const IMAGE_DATA_DIRECTORY& directory = dll.Headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* descriptor = dll.At<IMAGE_IMPORT_DESCRIPTOR>(directory.VirtualAddress); descriptor->Name != 0;
         ++descriptor) {
        const std::string name = Lower(dll.StringAt(descriptor->Name));
        EXPECT_NE("tet.dll", name);
        EXPECT_NE("ttime.dll", name);
    }
}

}  // namespace
