// Self-registration as the platform's own tools drive it: regsvr32 loads the
// real Okulon.dll from the build's bin folder and calls DllRegisterServer or
// DllUnregisterServer; the tests then read HKEY_CLASSES_ROOT directly, and a
// script host creates the object by its ProgID as a late-bound client would.
// Every case starts from a registry without the component's entries and
// leaves it that way.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "appid_script.h"
#include "base/com_support.h"
#include "okulon.h"  // CLSID_CEyeTrackerImpl, LIBID_Okulon, IID_IEyeTrackerImpl

namespace {

using okulon::UniqueHandle;

constexpr DWORD kToolTimeoutMs = 60000;
constexpr DWORD kToolDidNotFinish = 0xFFFFFFFF;

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    const int units = StringFromGUID2(guid, text, 40);
    return units > 0 ? std::wstring(text) : std::wstring();
}

std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::wstring DllPath() { return ExecutableFolder() + L"Okulon.dll"; }

std::wstring SystemTool(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\" + name;
}

// The script lies beside this source file; under Wine the source tree is
// reached through drive Z:, which maps the Unix root.
std::wstring ScriptPath() {
    std::string path = __FILE__;
    path = path.substr(0, path.find_last_of("\\/") + 1) + "create_by_progid.vbs";
    std::wstring wide(path.begin(), path.end());
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    return wide.rfind(L"\\", 0) == 0 ? L"Z:" + wide : wide;
}

// Runs a tool to its end (bounded) and gives its exit code.
DWORD RunTool(const std::wstring& commandLine) {
    std::wstring mutableLine = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start " << std::string(commandLine.begin(), commandLine.end()) << ": error "
                      << GetLastError();
        return kToolDidNotFinish;
    }
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    if (WaitForSingleObject(processHandle.get(), kToolTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(processHandle.get(), kToolDidNotFinish);
        WaitForSingleObject(processHandle.get(), kToolTimeoutMs);
        ADD_FAILURE() << "tool did not finish: " << std::string(commandLine.begin(), commandLine.end());
        return kToolDidNotFinish;
    }
    DWORD exitCode = kToolDidNotFinish;
    GetExitCodeProcess(processHandle.get(), &exitCode);
    return exitCode;
}

DWORD Regsvr32(bool unregister) {
    return RunTool(L"\"" + SystemTool(L"regsvr32.exe") + L"\" /s " + (unregister ? L"/u " : L"") + L"\"" + DllPath() +
                   L"\"");
}

DWORD RunCreateByProgIdScript() {
    return RunTool(L"\"" + SystemTool(L"cscript.exe") + L"\" //nologo \"" + ScriptPath() + L"\"");
}

class RegistryKey {
public:
    RegistryKey() noexcept = default;
    ~RegistryKey() {
        if (m_key != nullptr) RegCloseKey(m_key);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    LONG Open(HKEY parent, const std::wstring& name) {
        return RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &m_key);
    }
    HKEY Get() const noexcept { return m_key; }

private:
    HKEY m_key = nullptr;
};

bool KeyExists(const std::wstring& path) {
    RegistryKey key;
    return key.Open(HKEY_CLASSES_ROOT, path) == ERROR_SUCCESS;
}

struct Value {
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const Value& other) const { return type == other.type && data == other.data; }
};

std::ostream& operator<<(std::ostream& out, const Value& value) {
    out << "type " << value.type << " [";
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        const wchar_t c = static_cast<wchar_t>(value.data[i] | (value.data[i + 1] << 8));
        out << (c >= 32 && c < 127 ? static_cast<char>(c) : '.');
    }
    return out << "] " << value.data.size() << " bytes";
}

Value Sz(const std::wstring& text) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return Value{REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

// This build's platform: its type library registers its path under this
// subkey of "TypeLib\\{libid}\\1.0\\0".
constexpr bool kIs64Bit = sizeof(void*) == 8;
constexpr const wchar_t* kThisPlatformKey = kIs64Bit ? L"win64" : L"win32";

// The text of a string value, without its terminating nul.
std::wstring TextOf(const Value& value) {
    std::wstring text(value.data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(&text[0], value.data.data(), text.size() * sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

// Every key below a root (relative paths, "" for the root itself) with its values by name ("" is the default).
using KeyTree = std::map<std::wstring, std::map<std::wstring, Value>>;

void ReadTree(HKEY key, const std::wstring& relativePath, KeyTree& tree) {
    auto& values = tree[relativePath];
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384] = {};
        DWORD nameUnits = 16384;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &nameUnits, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(size);
        nameUnits = 16384;
        ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(key, index, name, &nameUnits, nullptr, &type,
                                               data.empty() ? nullptr : data.data(), &size));
        data.resize(size);
        values[name] = Value{type, data};
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD nameUnits = 256;
        if (RegEnumKeyExW(key, index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        RegistryKey subkey;
        ASSERT_EQ(ERROR_SUCCESS, subkey.Open(key, name));
        ReadTree(subkey.Get(), relativePath.empty() ? name : relativePath + L"\\" + name, tree);
    }
}

KeyTree ReadTree(const std::wstring& path) {
    KeyTree tree;
    RegistryKey key;
    if (key.Open(HKEY_CLASSES_ROOT, path) == ERROR_SUCCESS) ReadTree(key.Get(), L"", tree);
    return tree;
}

Value ReadValue(const std::wstring& keyPath, const wchar_t* name) {
    KeyTree tree = ReadTree(keyPath);
    const auto key = tree.find(L"");
    if (key == tree.end()) return Value{REG_NONE, {}};
    const auto value = key->second.find(name);
    return value == key->second.end() ? Value{REG_NONE, {}} : value->second;
}

std::wstring ClassKey() { return L"CLSID\\" + GuidText(CLSID_CEyeTrackerImpl); }
std::wstring ApplicationKey() { return L"AppID\\" + GuidText(LIBID_Okulon); }
std::wstring TypeLibraryKey() { return L"TypeLib\\" + GuidText(LIBID_Okulon); }
std::wstring InterfaceKey() { return L"Interface\\" + GuidText(IID_IEyeTrackerImpl); }

// Every key that registration writes, or that a test adds beside it.
std::vector<std::wstring> ComponentKeys() {
    return {L"Okulon.EyeTrackerImpl.1", L"Okulon.EyeTrackerImpl", ClassKey(),    ApplicationKey(),
            L"AppID\\Okulon.DLL",       TypeLibraryKey(),         InterfaceKey()};
}

void RemoveLeftovers() {
    for (const std::wstring& key : ComponentKeys()) RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
}

struct ExpectedTree {
    std::wstring root;
    KeyTree keys;
};

// The class and application entries exactly, as a registered component has them.
std::vector<ExpectedTree> ExpectedEntries() {
    const std::wstring classId = GuidText(CLSID_CEyeTrackerImpl);
    const std::wstring appId = GuidText(LIBID_Okulon);
    const std::wstring friendlyName = L"CEyeTrackerImpl Object";
    return {
        {L"Okulon.EyeTrackerImpl.1", {{L"", {{L"", Sz(friendlyName)}}}, {L"CLSID", {{L"", Sz(classId)}}}}},
        {L"Okulon.EyeTrackerImpl",
         {{L"", {{L"", Sz(friendlyName)}}},
          {L"CLSID", {{L"", Sz(classId)}}},
          {L"CurVer", {{L"", Sz(L"Okulon.EyeTrackerImpl.1")}}}}},
        {ClassKey(),
         {{L"", {{L"", Sz(friendlyName)}, {L"AppID", Sz(appId)}}},
          {L"ProgID", {{L"", Sz(L"Okulon.EyeTrackerImpl.1")}}},
          {L"VersionIndependentProgID", {{L"", Sz(L"Okulon.EyeTrackerImpl")}}},
          {L"Programmable", {}},
          {L"InprocServer32", {{L"", Sz(DllPath())}, {L"ThreadingModel", Sz(L"")}}},
          {L"TypeLib", {{L"", Sz(GuidText(LIBID_Okulon))}}}}},
        {ApplicationKey(), {{L"", {{L"", Sz(L"Okulon")}}}}},
        {L"AppID\\Okulon.DLL", {{L"", {{L"AppID", Sz(appId)}}}}},
    };
}

void ExpectExactlyTheRegisteredEntries() {
    for (const ExpectedTree& expected : ExpectedEntries()) {
        EXPECT_EQ(expected.keys, ReadTree(expected.root))
            << "under HKCR\\" << std::string(expected.root.begin(), expected.root.end());
    }
}

void ExpectNoComponentEntries() {
    for (const std::wstring& key : ComponentKeys()) {
        EXPECT_FALSE(KeyExists(key)) << "HKCR\\" << std::string(key.begin(), key.end()) << " is left";
    }
    EXPECT_TRUE(KeyExists(L"AppID"));
    EXPECT_TRUE(KeyExists(L"CLSID"));
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveLeftovers();
        ASSERT_EQ(INVALID_FILE_ATTRIBUTES == GetFileAttributesW(DllPath().c_str()), false)
            << "Okulon.dll is not beside the test";
    }
    void TearDown() override {
        EXPECT_EQ(0u, Regsvr32(true)) << "unregistering at the end of the test";
        RemoveLeftovers();
    }
};

TEST_F(Registration, RegisteringOnceOrTwiceLeavesExactlyTheClassAndApplicationEntries) {
    ASSERT_EQ(0u, Regsvr32(false));
    ExpectExactlyTheRegisteredEntries();
    ASSERT_EQ(0u, Regsvr32(false));
    ExpectExactlyTheRegisteredEntries();
    EXPECT_TRUE(KeyExists(L"AppID"));
    EXPECT_TRUE(KeyExists(L"CLSID"));
}

TEST_F(Registration, ThreadingModelIsPresentAndHoldsAnEmptyText) {
    ASSERT_EQ(0u, Regsvr32(false));
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CLASSES_ROOT, ClassKey() + L"\\InprocServer32"));
    DWORD type = REG_NONE;
    BYTE data[8] = {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
    DWORD size = sizeof(data);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key.Get(), L"ThreadingModel", nullptr, &type, data, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0, data[0]);
    EXPECT_EQ(0, data[1]);
}

TEST_F(Registration, InprocServer32HoldsTheDllPathWithoutQuotationMarks) {
    ASSERT_EQ(0u, Regsvr32(false));
    const Value server = ReadValue(ClassKey() + L"\\InprocServer32", L"");
    EXPECT_EQ(Sz(DllPath()), server);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), server.type);
    const std::wstring text(reinterpret_cast<const wchar_t*>(server.data.data()), server.data.size() / 2);
    EXPECT_EQ(std::wstring::npos, text.find(L'"'));
    EXPECT_EQ(std::wstring::npos, text.find(L'\''));
}

TEST_F(Registration, TypeLibNamesTheLibraryIdentifierBracedInUpperCase) {
    ASSERT_EQ(0u, Regsvr32(false));
    const Value typeLib = ReadValue(ClassKey() + L"\\TypeLib", L"");
    ASSERT_EQ(static_cast<DWORD>(REG_SZ), typeLib.type);
    const std::wstring text(reinterpret_cast<const wchar_t*>(typeLib.data.data()), typeLib.data.size() / 2 - 1);
    ASSERT_EQ(38u, text.size());
    EXPECT_EQ(L'{', text.front());
    EXPECT_EQ(L'}', text.back());
    EXPECT_EQ(std::wstring::npos, text.find_first_of(L"abcdef"));
    GUID parsed = {};
    ASSERT_EQ(S_OK, CLSIDFromString(text.c_str(), &parsed));
    EXPECT_TRUE(IsEqualGUID(LIBID_Okulon, parsed));
}

TEST_F(Registration, RegisteringAgainRemovesStaleSubkeysAndValuesOfTheClassKey) {
    ASSERT_EQ(0u, Regsvr32(false));
    HKEY stale = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (ClassKey() + L"\\Stale\\Deeper").c_str(), 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &stale, nullptr));
    const Value leftover = Sz(L"left over");
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(stale, L"Old", 0, REG_SZ, leftover.data.data(), static_cast<DWORD>(leftover.data.size())));
    RegCloseKey(stale);
    HKEY classKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, ClassKey().c_str(), 0, KEY_WRITE, &classKey));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(classKey, L"Old", 0, REG_SZ, leftover.data.data(),
                                            static_cast<DWORD>(leftover.data.size())));
    RegCloseKey(classKey);
    ASSERT_TRUE(KeyExists(ClassKey() + L"\\Stale\\Deeper"));

    ASSERT_EQ(0u, Regsvr32(false));
    EXPECT_FALSE(KeyExists(ClassKey() + L"\\Stale"));
    ExpectExactlyTheRegisteredEntries();
}

TEST_F(Registration, RegisteringRegistersTheEmbeddedTypeLibraryWithItsPathAndHelpFolder) {
    ASSERT_EQ(0u, Regsvr32(false));
    okulon::UniqueBstr path;
    ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(LIBID_Okulon, 1, 0, 0, path.put()));
    EXPECT_EQ(0, lstrcmpiW(DllPath().c_str(), path.get()));
    EXPECT_EQ(Sz(ExecutableFolder()), ReadValue(TypeLibraryKey() + L"\\1.0\\HELPDIR", L""));
    // The path stands under this build's platform only: a 32-bit host must not
    // find a 64-bit library, nor the other way round.
    const std::wstring localeKey = TypeLibraryKey() + L"\\1.0\\0\\";
    EXPECT_EQ(0, lstrcmpiW(DllPath().c_str(), TextOf(ReadValue(localeKey + kThisPlatformKey, L"")).c_str()));
    EXPECT_FALSE(KeyExists(localeKey + (kIs64Bit ? L"win32" : L"win64")));

    okulon::ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_Okulon, 1, 0, 0, library.put()));
    okulon::ComPtr<ITypeInfo> coclass;
    EXPECT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_CEyeTrackerImpl, coclass.put()));
    EXPECT_TRUE(KeyExists(InterfaceKey()));
}

TEST_F(Registration, UnregisteringTwiceLeavesNothingButTheAppIdAndClsidKeys) {
    ASSERT_EQ(0u, Regsvr32(false));
    ASSERT_EQ(0u, Regsvr32(true));
    ExpectNoComponentEntries();
    ASSERT_EQ(0u, Regsvr32(true));
    ExpectNoComponentEntries();
    okulon::UniqueBstr path;
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, QueryPathOfRegTypeLib(LIBID_Okulon, 1, 0, 0, path.put()));
}

TEST_F(Registration, UnregisteringANeverRegisteredComponentSucceedsAndWritesNothing) {
    ExpectNoComponentEntries();
    EXPECT_EQ(0u, Regsvr32(true));
    ExpectNoComponentEntries();
}

TEST_F(Registration, UnregisteringRemovesTheClassKeyWithSubkeysThatAnotherPartyAdded) {
    ASSERT_EQ(0u, Regsvr32(false));
    HKEY foreign = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (ClassKey() + L"\\Implemented Categories").c_str(), 0,
                                             nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &foreign, nullptr));
    RegCloseKey(foreign);
    ASSERT_EQ(0u, Regsvr32(true));
    EXPECT_FALSE(KeyExists(ClassKey()));
}

TEST_F(Registration, AnApplicationKeyThatHoldsAForeignSubkeySurvivesUnregistration) {
    ASSERT_EQ(0u, Regsvr32(false));
    HKEY foreign = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (ApplicationKey() + L"\\Foreign").c_str(), 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &foreign, nullptr));
    RegCloseKey(foreign);
    ASSERT_EQ(0u, Regsvr32(true));
    EXPECT_TRUE(KeyExists(ApplicationKey() + L"\\Foreign"));
    EXPECT_FALSE(KeyExists(L"AppID\\Okulon.DLL"));
    EXPECT_FALSE(KeyExists(ClassKey()));
}

TEST_F(Registration, AScriptHostCreatesTheObjectByProgIdAndFindsNoMembersOnIt) {
    ASSERT_EQ(0u, Regsvr32(false));
    // 0: created, and the call failed with 438 (see the script for the other codes).
    EXPECT_EQ(0u, RunCreateByProgIdScript());
}

TEST_F(Registration, AScriptHostCannotCreateTheObjectOnceItIsUnregistered) {
    ASSERT_EQ(0u, Regsvr32(false));
    ASSERT_EQ(0u, Regsvr32(true));
    EXPECT_EQ(2u, RunCreateByProgIdScript());
}

// Registration reads its script from the DLL's own resources: they must hold
// the application-identifier script exactly, in the single-byte text that the
// thread's code page converts.
TEST(RegistrationResource, TheDllCarriesTheApplicationIdentifierScriptByteForByte) {
    const okulon::UniqueModule owner(LoadLibraryExW(DllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const HMODULE file = owner.get();
    ASSERT_NE(nullptr, file);
    const HRSRC resource = FindResourceW(file, MAKEINTRESOURCEW(101), L"REGISTRY");
    ASSERT_NE(nullptr, resource);
    const HGLOBAL loaded = LoadResource(file, resource);
    ASSERT_NE(nullptr, loaded);
    const auto* bytes = static_cast<const unsigned char*>(LockResource(loaded));
    const std::u16string script(bytes, bytes + SizeofResource(file, resource));
    EXPECT_EQ(std::u16string(okulon::kAppIdScript, okulon::kAppIdScriptLength), script);
}

// The entry points called in this process, as an installer would: the
// caller's thread locale is switched only for the duration of the call.
TEST_F(Registration, TheEntryPointsRestoreTheCallersThreadLocale) {
    using EntryPoint = HRESULT(WINAPI*)();
    const okulon::UniqueModule owner(LoadLibraryW(DllPath().c_str()));
    const HMODULE dll = owner.get();
    ASSERT_NE(nullptr, dll);
    const auto registerServer =
        reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
    const auto unregisterServer =
        reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
    ASSERT_NE(nullptr, registerServer);
    ASSERT_NE(nullptr, unregisterServer);

    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const okulon::ThreadLocaleScope callersLocale = okulon::SwitchThreadLocale(german);
    ASSERT_TRUE(callersLocale);
    EXPECT_EQ(S_OK, registerServer());
    EXPECT_EQ(german, GetThreadLocale());
    ExpectExactlyTheRegisteredEntries();
    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_EQ(german, GetThreadLocale());
    ExpectNoComponentEntries();
}

}  // namespace
