// The application-identifier script (okulon.rgs) through the interpreter, the
// way DllRegisterServer and DllUnregisterServer run it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "server/registrar/reg_object.h"
#include "server/registrar/registration_program.h"
#include "appid_script.h"
#include "tests/support/memory_registry.h"

namespace okulon {
namespace {

using Call = MemoryRegistry::Call;

const std::string kAppId = "{A1CCCB9C-DD17-4759-BBC2-74F146466FE6}";

// Runs the script with the replacements its runner provides: "APPID" from the
// caller, again from the module's common replacements, then the module path.
HResult RunAppIdScript(MemoryRegistry& registry, bool doRegister, const std::u16string& modulePath = u"C:\\x.dll") {
    CRegObject registrar(registry);
    registrar.AddReplacement(u"APPID", kAppIdText);
    EXPECT_EQ(registrar.AddReplacement(u"APPID", kAppIdText), kSOk);
    ModuleFacts module;
    module.path = modulePath;
    EXPECT_EQ(AddScriptModuleReplacements(registrar, module), kSOk);
    return registrar.ProcessScript(std::u16string_view(kAppIdScript, kAppIdScriptLength), doRegister);
}

const std::string kRegisteredDump =
    "HKEY_CLASSES_ROOT\\AppID\n"
    "HKEY_CLASSES_ROOT\\AppID\\Okulon.DLL\n"
    "  \"AppID\" = REG_SZ \"" +
    kAppId +
    "\"\n"
    "HKEY_CLASSES_ROOT\\AppID\\" +
    kAppId +
    "\n"
    "  @ = REG_SZ \"Okulon\"\n";

TEST(RegistrarAppIdScript, RegisteringCreatesAppIdTheIdentifierKeyAndTheDllKeyWithItsValue) {
    MemoryRegistry registry;
    EXPECT_EQ(RunAppIdScript(registry, true), kSOk);
    EXPECT_EQ(registry.Dump(), kRegisteredDump);
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(RegistrarAppIdScript, RegisteringTwiceLeavesTheSameEntriesOnce) {
    MemoryRegistry registry;
    ASSERT_EQ(RunAppIdScript(registry, true), kSOk);
    EXPECT_EQ(RunAppIdScript(registry, true), kSOk);
    EXPECT_EQ(registry.Dump(), kRegisteredDump);
}

TEST(RegistrarAppIdScript, RegisteringKeepsOtherApplicationsUnderAppId) {
    MemoryRegistry registry;
    registry.PutString(kClassesRoot, u"AppID\\Other.exe", u"AppID", u"{other}");
    ASSERT_EQ(RunAppIdScript(registry, true), kSOk);
    EXPECT_EQ(registry.GetString(kClassesRoot, u"AppID\\Other.exe", u"AppID"), u"{other}");
    EXPECT_EQ(registry.GetString(kClassesRoot, u"AppID\\Okulon.DLL", u"AppID"), kAppIdText);
}

TEST(RegistrarAppIdScript, UnregisteringRemovesTheValueAndBothKeysButKeepsAppId) {
    MemoryRegistry registry;
    ASSERT_EQ(RunAppIdScript(registry, true), kSOk);
    EXPECT_EQ(RunAppIdScript(registry, false), kSOk);
    EXPECT_EQ(registry.Dump(), "HKEY_CLASSES_ROOT\\AppID\n");
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(RegistrarAppIdScript, UnregisteringTwiceSucceedsAndTheSecondRunChangesNothing) {
    MemoryRegistry registry;
    ASSERT_EQ(RunAppIdScript(registry, true), kSOk);
    ASSERT_EQ(RunAppIdScript(registry, false), kSOk);
    const uint32_t deletesBefore = registry.CallCount(Call::kDeleteKey) + registry.CallCount(Call::kDeleteValue);
    const uint32_t writesBefore = registry.CallCount(Call::kCreate) + registry.CallCount(Call::kSetValue);

    EXPECT_EQ(RunAppIdScript(registry, false), kSOk);
    EXPECT_EQ(registry.Dump(), "HKEY_CLASSES_ROOT\\AppID\n");
    EXPECT_EQ(registry.CallCount(Call::kDeleteKey) + registry.CallCount(Call::kDeleteValue), deletesBefore);
    EXPECT_EQ(registry.CallCount(Call::kCreate) + registry.CallCount(Call::kSetValue), writesBefore);
}

TEST(RegistrarAppIdScript, UnregisteringWhenNothingWasEverRegisteredCreatesNothing) {
    MemoryRegistry registry;
    EXPECT_EQ(RunAppIdScript(registry, false), kSOk);
    EXPECT_EQ(registry.Dump(), "");
    EXPECT_EQ(registry.CallCount(Call::kCreate), 0u);
}

TEST(RegistrarAppIdScript, AKeyThatHoldsForeignSubkeysSurvivesUnregistration) {
    MemoryRegistry registry;
    ASSERT_EQ(RunAppIdScript(registry, true), kSOk);
    registry.AddKey(kClassesRoot, u"AppID\\Okulon.DLL\\Foreign");
    EXPECT_EQ(RunAppIdScript(registry, false), kSOk);
    EXPECT_EQ(registry.Dump(),
              "HKEY_CLASSES_ROOT\\AppID\n"
              "HKEY_CLASSES_ROOT\\AppID\\Okulon.DLL\n"
              "HKEY_CLASSES_ROOT\\AppID\\Okulon.DLL\\Foreign\n");
}

TEST(RegistrarAppIdScript, AModulePathWithSingleQuotationMarksSurvivesQuoting) {
    MemoryRegistry registry;
    CRegObject registrar(registry);
    ModuleFacts module;
    module.path = u"C:\\it's\\x.dll";
    ASSERT_EQ(AddScriptModuleReplacements(registrar, module), kSOk);
    EXPECT_EQ(registrar.ProcessScript(u"HKCR { k { val Path = s '%Module%' val Raw = s '%MODULE_RAW%' } }", true),
              kSOk);
    EXPECT_EQ(registry.GetString(kClassesRoot, u"k", u"Path"), module.path);
    EXPECT_EQ(registry.GetString(kClassesRoot, u"k", u"Raw"), module.path);
}

TEST(RegistrarAppIdScript, TheModuleOfTheProcessExecutableIsQuotedAndOverlongPathsAreRefused) {
    MemoryRegistry registry;
    CRegObject registrar(registry);
    ModuleFacts module;
    module.path = u"C:\\app.exe";
    module.isProcessExecutable = true;
    ASSERT_EQ(AddScriptModuleReplacements(registrar, module), kSOk);
    EXPECT_EQ(registrar.ProcessScript(u"HKCR { k = s '%Module%' }", true), kSOk);
    EXPECT_EQ(registry.GetString(kClassesRoot, u"k", u""), u"\"C:\\app.exe\"");

    CRegObject other(registry);
    module.isProcessExecutable = false;
    module.path = std::u16string(260, u'\'');  // 520 units once doubled
    EXPECT_EQ(AddScriptModuleReplacements(other, module), kEFail);
}

const char kExpectedScript[] =
    "HKCR\r\n"
    "{\r\n"
    "\tNoRemove AppID\r\n"
    "\t{\r\n"
    "\t\t'%APPID%' = s 'Okulon'\r\n"
    "\t\t'Okulon.DLL'\r\n"
    "\t\t{\r\n"
    "\t\t\tval AppID = s '%APPID%'\r\n"
    "\t\t}\r\n"
    "\t}\r\n"
    "}\r\n";

TEST(RegistrarAppIdScript, TheScriptConstantIsTheElevenLinesWithTabsAndCrLf) {
    std::string text;
    for (size_t i = 0; i < kAppIdScriptLength; ++i) {
        ASSERT_LT(kAppIdScript[i], 0x80);
        text.push_back(static_cast<char>(kAppIdScript[i]));
    }
    EXPECT_EQ(text, kExpectedScript);
}

TEST(RegistrarAppIdScript, TheResourceFileHoldsTheScriptByteForByte) {
    std::string path = __FILE__;
    path = path.substr(0, path.rfind("tests")) + "server/okulon.rgs";
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        GTEST_SKIP() << "source tree not reachable from here: " << path;
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, kExpectedScript);
}

}  // namespace
}  // namespace okulon
