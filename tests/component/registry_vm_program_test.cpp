// The component's class registration program on the virtual machine: the
// entries it writes and removes, and a differential check against the same
// entries written as a registry script.
#include <gtest/gtest.h>

#include <string>

#include "server/registrar/reg_object.h"
#include "server/registrar/registration_program.h"
#include "tests/support/memory_registry.h"

namespace okulon {
namespace {

using Call = MemoryRegistry::Call;

const std::string kClassId = "{CD388263-B06C-4075-83EA-9955A69AA0B2}";
const std::string kAppId = "{A1CCCB9C-DD17-4759-BBC2-74F146466FE6}";
const std::u16string kClassIdKey = u"CLSID\\{CD388263-B06C-4075-83EA-9955A69AA0B2}";

ModuleFacts Component() {
    ModuleFacts module;
    module.path = u"C:\\Program Files\\Okulon\\Okulon.dll";
    return module;
}

HResult AddAppId(IRegistrarBase& registrar) { return registrar.AddReplacement(u"APPID", kAppIdText); }

HResult RunProgram(MemoryRegistry& registry, bool doRegister, const ModuleFacts& module = Component()) {
    return RunClassRegistration(registry, module, AddAppId, doRegister);
}

const std::string kRegisteredDump =
    "HKEY_CLASSES_ROOT\\CLSID\n"
    "HKEY_CLASSES_ROOT\\CLSID\\" +
    kClassId +
    "\n"
    "  @ = REG_SZ \"CEyeTrackerImpl Object\"\n"
    "  \"AppID\" = REG_SZ \"" +
    kAppId +
    "\"\n"
    "HKEY_CLASSES_ROOT\\CLSID\\" +
    kClassId +
    "\\InprocServer32\n"
    "  @ = REG_SZ \"C:\\Program Files\\Okulon\\Okulon.dll\"\n"
    "  \"ThreadingModel\" = REG_SZ \"\"\n"
    "HKEY_CLASSES_ROOT\\CLSID\\" +
    kClassId +
    "\\ProgID\n"
    "  @ = REG_SZ \"Okulon.EyeTrackerImpl.1\"\n"
    "HKEY_CLASSES_ROOT\\CLSID\\" +
    kClassId +
    "\\Programmable\n"
    "HKEY_CLASSES_ROOT\\CLSID\\" +
    kClassId +
    "\\TypeLib\n"
    "  @ = REG_SZ \"" +
    kAppId +
    "\"\n"
    "HKEY_CLASSES_ROOT\\CLSID\\" +
    kClassId +
    "\\VersionIndependentProgID\n"
    "  @ = REG_SZ \"Okulon.EyeTrackerImpl\"\n"
    "HKEY_CLASSES_ROOT\\Okulon.EyeTrackerImpl\n"
    "  @ = REG_SZ \"CEyeTrackerImpl Object\"\n"
    "HKEY_CLASSES_ROOT\\Okulon.EyeTrackerImpl\\CLSID\n"
    "  @ = REG_SZ \"" +
    kClassId +
    "\"\n"
    "HKEY_CLASSES_ROOT\\Okulon.EyeTrackerImpl\\CurVer\n"
    "  @ = REG_SZ \"Okulon.EyeTrackerImpl.1\"\n"
    "HKEY_CLASSES_ROOT\\Okulon.EyeTrackerImpl.1\n"
    "  @ = REG_SZ \"CEyeTrackerImpl Object\"\n"
    "HKEY_CLASSES_ROOT\\Okulon.EyeTrackerImpl.1\\CLSID\n"
    "  @ = REG_SZ \"" +
    kClassId + "\"\n";

TEST(RegistryVmProgram, TheProgramHas54WordsEndingInItsOnlyZeroAnd17Strings) {
    for (size_t i = 0; i + 1 < kClassRegistrationWordCount; ++i) {
        EXPECT_NE(kClassRegistrationWords[i], 0u) << i;
    }
    EXPECT_EQ(kClassRegistrationWords[kClassRegistrationWordCount - 1], 0u);
    EXPECT_EQ(kClassRegistrationWords[0], 0x70000000u);
    EXPECT_EQ(kClassRegistrationWords[1], (3u << 28) | (1u << 14));
    EXPECT_EQ(kClassRegistrationWords[2], (8u << 28) | 2u);
    EXPECT_EQ(kClassRegistrationWords[45], (8u << 28) | (13u << 14) | 14u);
    EXPECT_EQ(std::u16string(kClassRegistrationStrings[0].text), u"");
    EXPECT_EQ(std::u16string(kClassRegistrationStrings[4].text), kClassIdText);
    std::string flags;
    for (const RegistrationString& entry : kClassRegistrationStrings) {
        flags += entry.flag == 1 ? '1' : '0';
    }
    EXPECT_EQ(flags, "00100000001100101");
}

TEST(RegistryVmProgram, RegisteringWritesExactlyTheClassEntries) {
    MemoryRegistry registry;
    EXPECT_EQ(RunProgram(registry, true), kSOk);
    EXPECT_EQ(registry.Dump(), kRegisteredDump);
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(RegistryVmProgram, TheThreadingModelValueHoldsAnEmptyText) {
    MemoryRegistry registry;
    ASSERT_EQ(RunProgram(registry, true), kSOk);
    const auto value = registry.GetValue(kClassesRoot, kClassIdKey + u"\\InprocServer32", u"ThreadingModel");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, kRegSz);
    EXPECT_EQ(value->data, (std::vector<uint8_t>{0, 0}));
}

TEST(RegistryVmProgram, RegisteringTwiceWritesTheEntriesOnceAndDropsStaleSubkeysOfTheClassKey) {
    MemoryRegistry registry;
    ASSERT_EQ(RunProgram(registry, true), kSOk);
    registry.AddKey(kClassesRoot, kClassIdKey + u"\\Stale\\Deeper");
    registry.PutString(kClassesRoot, kClassIdKey + u"\\Programmable", u"old", u"x");
    EXPECT_EQ(RunProgram(registry, true), kSOk);
    EXPECT_EQ(registry.Dump(), kRegisteredDump);
}

TEST(RegistryVmProgram, UnregisteringRemovesTheClassKeyWithForeignSubkeysButKeepsClsid) {
    MemoryRegistry registry;
    registry.AddKey(kClassesRoot, u"CLSID\\{other}");
    ASSERT_EQ(RunProgram(registry, true), kSOk);
    registry.AddKey(kClassesRoot, kClassIdKey + u"\\AddedByOthers");
    registry.AddKey(kClassesRoot, u"Okulon.EyeTrackerImpl\\Extra");
    EXPECT_EQ(RunProgram(registry, false), kSOk);
    EXPECT_EQ(registry.Dump(), "HKEY_CLASSES_ROOT\\CLSID\nHKEY_CLASSES_ROOT\\CLSID\\{other}\n");
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

// The dump lines of one key and everything below it.
std::string DumpBelow(const std::string& dump, const std::string& keyPath) {
    std::string below;
    bool inside = false;
    size_t start = 0;
    while (start < dump.size()) {
        const size_t end = dump.find('\n', start);
        const std::string line = dump.substr(start, end - start + 1);
        if (line.rfind("  ", 0) != 0) {
            inside = line.rfind(keyPath, 0) == 0;
        }
        if (inside) {
            below += line;
        }
        start = end + 1;
    }
    return below;
}

TEST(RegistryVmProgram, UnregisteringStopsAtAClassKeyThatCannotBeWrittenAndLeavesItWhole) {
    MemoryRegistry registry;
    ASSERT_EQ(RunProgram(registry, true), kSOk);
    const std::string classKeyPath = "HKEY_CLASSES_ROOT\\CLSID\\" + kClassId;
    const std::string classKeyBefore = DumpBelow(registry.Dump(), classKeyPath);
    ASSERT_NE(classKeyBefore.find("InprocServer32"), std::string::npos);
    registry.DenyWrite(kClassesRoot, kClassIdKey);

    EXPECT_EQ(RunProgram(registry, false), HResultFromWin32(kErrorAccessDenied));

    EXPECT_EQ(DumpBelow(registry.Dump(), classKeyPath), classKeyBefore) << "the class key was half removed";
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(RegistryVmProgram, UnregisteringANeverRegisteredComponentSucceedsWithoutChangingAnything) {
    MemoryRegistry registry;
    EXPECT_EQ(RunProgram(registry, false), kSOk);
    EXPECT_EQ(registry.Dump(), "");
    EXPECT_EQ(registry.CallCount(Call::kCreate) + registry.CallCount(Call::kSetValue) +
                  registry.CallCount(Call::kDeleteKey) + registry.CallCount(Call::kDeleteValue),
              0u);
}

TEST(RegistryVmProgram, TheModuleOfTheProcessExecutableIsQuotedAndAnExecutableFileIsALocalServer) {
    MemoryRegistry registry;
    ModuleFacts module = Component();
    module.isProcessExecutable = true;
    module.fileIsExecutable = true;
    ASSERT_EQ(RunProgram(registry, true, module), kSOk);
    EXPECT_EQ(registry.GetString(kClassesRoot, kClassIdKey + u"\\LocalServer32", u""), u"\"" + module.path + u"\"");
    EXPECT_FALSE(registry.HasKey(kClassesRoot, kClassIdKey + u"\\InprocServer32"));
}

TEST(RegistryVmProgram, AFailingCommonReplacementEndsRegistrationBeforeAnyRegistryAccess) {
    MemoryRegistry registry;
    const auto failing = [](IRegistrarBase&) { return kEOutOfMemory; };
    EXPECT_EQ(RunClassRegistration(registry, Component(), failing, true), kEOutOfMemory);
    EXPECT_TRUE(registry.Touches().empty());
}

TEST(RegistryVmProgram, WithoutTheApplicationIdentifierTheProgramFailsAtItsValue) {
    MemoryRegistry registry;
    EXPECT_EQ(RunClassRegistration(registry, Component(), nullptr, true), kEFail);
    EXPECT_FALSE(registry.GetValue(kClassesRoot, kClassIdKey, u"AppID").has_value());
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

// The same entries as a registry script, so that the two interpreters can be
// checked against each other.
const char16_t kEquivalentScript[] =
    u"HKCR\r\n"
    u"{\r\n"
    u"\tOkulon.EyeTrackerImpl.1 = s '%FriendlyName%'\r\n"
    u"\t{\r\n"
    u"\t\tCLSID = s '{CD388263-B06C-4075-83EA-9955A69AA0B2}'\r\n"
    u"\t}\r\n"
    u"\tOkulon.EyeTrackerImpl = s '%FriendlyName%'\r\n"
    u"\t{\r\n"
    u"\t\tCLSID = s '{CD388263-B06C-4075-83EA-9955A69AA0B2}'\r\n"
    u"\t\tCurVer = s 'Okulon.EyeTrackerImpl.1'\r\n"
    u"\t}\r\n"
    u"\tNoRemove CLSID\r\n"
    u"\t{\r\n"
    u"\t\tForceRemove {CD388263-B06C-4075-83EA-9955A69AA0B2} = s '%FriendlyName%'\r\n"
    u"\t\t{\r\n"
    u"\t\t\tProgID = s 'Okulon.EyeTrackerImpl.1'\r\n"
    u"\t\t\tVersionIndependentProgID = s 'Okulon.EyeTrackerImpl'\r\n"
    u"\t\t\tForceRemove Programmable\r\n"
    u"\t\t\t'%MODULETYPE%' = s '%MODULE%'\r\n"
    u"\t\t\t{\r\n"
    u"\t\t\t\tval ThreadingModel = s ''\r\n"
    u"\t\t\t}\r\n"
    u"\t\t\tval AppID = s '%APPID%'\r\n"
    u"\t\t\tTypeLib = s '%MODULEGUID%'\r\n"
    u"\t\t}\r\n"
    u"\t}\r\n"
    u"}\r\n";

HResult RunEquivalentScript(MemoryRegistry& registry, bool doRegister) {
    CRegObject registrar(registry);
    EXPECT_EQ(AddStandardReplacements(registrar, Component()), kSOk);
    EXPECT_EQ(AddAppId(registrar), kSOk);
    EXPECT_EQ(registrar.AddReplacement(u"FriendlyName", kFriendlyName), kSOk);
    return registrar.ProcessScript(kEquivalentScript, doRegister);
}

TEST(RegistryVmProgram, TheProgramAndAnEquivalentScriptRegisterTheSameKeysAndValues) {
    MemoryRegistry byProgram;
    MemoryRegistry byScript;
    for (MemoryRegistry* registry : {&byProgram, &byScript}) {
        registry->PutString(kClassesRoot, kClassIdKey + u"\\Stale", u"", u"x");
        registry->AddKey(kClassesRoot, u"CLSID\\{other}");
    }
    ASSERT_EQ(RunProgram(byProgram, true), kSOk);
    ASSERT_EQ(RunEquivalentScript(byScript, true), kSOk);
    EXPECT_EQ(byProgram.Dump(), byScript.Dump());
    EXPECT_EQ(byProgram.Dump().find("Stale"), std::string::npos);

    ASSERT_EQ(RunProgram(byProgram, false), kSOk);
    ASSERT_EQ(RunEquivalentScript(byScript, false), kSOk);
    EXPECT_EQ(byProgram.Dump(), byScript.Dump());
    EXPECT_EQ(byProgram.Dump(), "HKEY_CLASSES_ROOT\\CLSID\nHKEY_CLASSES_ROOT\\CLSID\\{other}\n");
}

}  // namespace
}  // namespace okulon
