// Every shipped binary carries the project's version, read back the way
// Windows Explorer and installers read it: GetFileVersionInfoW and
// VerQueryValueW on the file beside this test.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tools/dll_check/dll_checks.h"

namespace {

struct ShippedBinary {
    const wchar_t* fileName;
    DWORD fileType;  // VFT_DLL or VFT_APP
};

std::ostream& operator<<(std::ostream& out, const ShippedBinary& binary) {
    const std::wstring name = binary.fileName;
    return out << std::string(name.begin(), name.end());
}

std::wstring BesideThisTest(const wchar_t* fileName) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + fileName;
}

std::wstring ExpectedVersionText() {
    return std::to_wstring(OKULON_VERSION_MAJOR) + L"." + std::to_wstring(OKULON_VERSION_MINOR) + L"." +
           std::to_wstring(OKULON_VERSION_PATCH) + L"." + std::to_wstring(OKULON_VERSION_TWEAK);
}

class VersionInformation : public testing::TestWithParam<ShippedBinary> {
protected:
    void SetUp() override {
        const std::wstring path = BesideThisTest(GetParam().fileName);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_NE(0u, size) << "no version information, error " << GetLastError();
        m_block.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, m_block.data()));
    }

    const VS_FIXEDFILEINFO* FixedPart() {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(m_block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
            return nullptr;
        return static_cast<const VS_FIXEDFILEINFO*>(value);
    }

    // A string of the block that the translation table names first.
    std::wstring StringValue(const wchar_t* name) {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(m_block.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < 4)
            return L"<no translation table>";
        const WORD* translation = static_cast<const WORD*>(value);
        wchar_t query[128];
        swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
        if (!VerQueryValueW(m_block.data(), query, &value, &length) || length == 0) return L"<missing>";
        return static_cast<const wchar_t*>(value);
    }

    std::vector<BYTE> m_block;
};

TEST_P(VersionInformation, FixedPartCarriesTheProjectVersionAndTheFileType) {
    const VS_FIXEDFILEINFO* fixed = FixedPart();
    ASSERT_NE(nullptr, fixed);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(OKULON_VERSION_MINOR, OKULON_VERSION_MAJOR)), fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(OKULON_VERSION_TWEAK, OKULON_VERSION_PATCH)), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(GetParam().fileType, fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), fixed->dwFileOS);
}

TEST_P(VersionInformation, StringsNameTheProductTheFileAndTheVersion) {
    EXPECT_EQ(L"Okulon", StringValue(L"ProductName"));
    EXPECT_EQ(ExpectedVersionText(), StringValue(L"FileVersion"));
    EXPECT_EQ(ExpectedVersionText(), StringValue(L"ProductVersion"));
    EXPECT_EQ(std::wstring(GetParam().fileName), StringValue(L"OriginalFilename"));
    const std::wstring description = StringValue(L"FileDescription");
    EXPECT_NE(L"<missing>", description);
    EXPECT_EQ(0u, description.rfind(L"Okulon ", 0)) << "description: " << testing::PrintToString(description);
    EXPECT_NE(std::wstring::npos, StringValue(L"LegalCopyright").find(L"Copyright"));
}

INSTANTIATE_TEST_SUITE_P(ShippedBinaries, VersionInformation,
                         testing::Values(ShippedBinary{L"Okulon.dll", VFT_DLL}, ShippedBinary{L"tet.dll", VFT_DLL},
                                         ShippedBinary{L"ttime.dll", VFT_DLL},
                                         ShippedBinary{L"okulon_host.exe", VFT_APP},
                                         ShippedBinary{L"okulon_check.exe", VFT_APP},
                                         ShippedBinary{L"okulon_export.exe", VFT_APP},
                                         ShippedBinary{L"simtracker.exe", VFT_APP}),
                         [](const testing::TestParamInfo<ShippedBinary>& info) {
                             std::string name;
                             for (const wchar_t* c = info.param.fileName; *c; ++c)
                                 name += iswalnum(*c) ? static_cast<char>(*c) : '_';
                             return name;
                         });

// The file check that the package test runs on a DLL this machine may not
// load (the i686 one), held against what Windows reads from the same files.
TEST(VersionInformationFileCheck, PassesForTheBuiltDllAndNamesAWrongVersionOrAProgram) {
    const std::string folder = [] {
        char path[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string text(path, length);
        return text.substr(0, text.find_last_of("\\/") + 1);
    }();
    const std::array<uint16_t, 4> version{OKULON_VERSION_MAJOR, OKULON_VERSION_MINOR, OKULON_VERSION_PATCH,
                                          OKULON_VERSION_TWEAK};
    const auto dll = okulon::pe::PeImage::Load(folder + "Okulon.dll");
    ASSERT_TRUE(dll.has_value());
    EXPECT_TRUE(okulon::pe::CheckVersionInformation(*dll, version).empty());

    std::array<uint16_t, 4> later = version;
    ++later[3];
    const auto wrongVersion = okulon::pe::CheckVersionInformation(*dll, later);
    ASSERT_EQ(2u, wrongVersion.size());
    EXPECT_NE(std::string::npos, wrongVersion[0].find("file version")) << wrongVersion[0];

    const auto program = okulon::pe::PeImage::Load(folder + "okulon_host.exe");
    ASSERT_TRUE(program.has_value());
    const auto notADll = okulon::pe::CheckVersionInformation(*program, version);
    ASSERT_EQ(1u, notADll.size());
    EXPECT_EQ("file type is not VFT_DLL", notADll[0]);
}

}  // namespace
