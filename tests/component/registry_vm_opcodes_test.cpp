// The virtual machine's opcodes, name resolution and failure rules on small
// hand-made programs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/registrar/registry_virtual_machine.h"
#include "tests/support/memory_registry.h"

namespace okulon {
namespace {

using Call = MemoryRegistry::Call;

constexpr HResult kAccessDeniedResult = static_cast<HResult>(0x80070005u);

constexpr uint32_t W(uint32_t opcode, uint32_t a = 0, uint32_t b = 0) { return RegistrationWord(opcode, a, b); }

class RegistryVmOpcodes : public ::testing::Test {
protected:
    HResult Run(const std::vector<uint32_t>& words, bool doRegister) {
        RegistrationProgram program{words.data(),     words.size(),     m_strings.data(), m_strings.size(),
                                    m_numbers.data(), m_numbers.size(), m_bytes.data(),   m_bytes.size()};
        return m_machine.Execute(program, doRegister);
    }

    MemoryRegistry m_registry;
    CRegistryVirtualMachine m_machine{m_registry};
    // 0 "", 1 "a", 2 "b", 3 "v", 4 "%X%", 5 "%%x%%", 6 "c"
    std::vector<RegistrationString> m_strings = {{u"", 0},    {u"a", 0},     {u"b", 0}, {u"v", 0},
                                                 {u"%X%", 1}, {u"%%x%%", 1}, {u"c", 0}};
    std::vector<uint32_t> m_numbers = {0x12345678u};
    const uint8_t m_raw[3] = {1, 2, 3};
    std::vector<RegistrationBytes> m_bytes = {{m_raw, 3}};
};

TEST_F(RegistryVmOpcodes, AProgramWhoseFirstWordIsNoRootBlockFailsAndWritesNothing) {
    EXPECT_EQ(Run({W(kOpKey, 1), W(kOpBeginBlock), W(kOpEndBlock), 0}, true), kEFail);
    EXPECT_EQ(Run({W(kOpEndBlock), 0}, true), kEFail);
    EXPECT_TRUE(m_registry.Touches().empty());
}

TEST_F(RegistryVmOpcodes, AnEmptyProgramSucceedsWithoutRegistryAccess) {
    EXPECT_EQ(Run({0}, true), kSOk);
    EXPECT_EQ(Run({0}, false), kSOk);
    EXPECT_TRUE(m_registry.Touches().empty());
}

TEST_F(RegistryVmOpcodes, MissingTablesAreInvalidArguments) {
    const uint32_t words[] = {0};
    EXPECT_EQ(m_machine.Execute(RegistrationProgram{nullptr, 0, m_strings.data(), 1, nullptr, 0, nullptr, 0}, true),
              kEInvalidArg);
    EXPECT_EQ(m_machine.Execute(RegistrationProgram{words, 1, nullptr, 0, nullptr, 0, nullptr, 0}, true), kEInvalidArg);
}

TEST_F(RegistryVmOpcodes, UnusedOpcodesAndARootWordInsideABlockFail) {
    for (uint32_t opcode : {4u, 7u, 12u, 13u, 14u, 15u}) {
        EXPECT_EQ(Run({W(kOpRoot), W(opcode, 1, 1), W(kOpEndBlock), 0}, true), kEFail) << opcode;
        EXPECT_EQ(Run({W(kOpRoot), W(opcode, 1, 1), W(kOpEndBlock), 0}, false), kEFail) << opcode;
    }
    EXPECT_EQ(m_registry.Dump(), "");
}

TEST_F(RegistryVmOpcodes, AProgramThatRunsOffItsEndOrPastItsTablesFails) {
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1)}, true), kEFail);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock)}, true), kEFail);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 99), W(kOpEndBlock), 0}, true), kEFail);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpNumber, 3, 5), W(kOpEndBlock), 0}, true), kEFail);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpBytes, 3, 5), W(kOpEndBlock), 0}, true), kEFail);
    EXPECT_EQ(m_registry.OpenHandleCount(), 0u);
}

TEST_F(RegistryVmOpcodes, KeysValuesAndBlocksNestAsWritten) {
    // root { a = "v" { b { named v = "c" } } }
    EXPECT_EQ(Run({W(kOpRoot, 1), W(kOpKey, 1), W(kOpString, 0, 3), W(kOpBeginBlock), W(kOpKey, 2), W(kOpBeginBlock),
                   W(kOpString, 3, 6), W(kOpEndBlock), W(kOpEndBlock), W(kOpEndBlock), 0},
                  true),
              kSOk);
    EXPECT_EQ(m_registry.Dump(),
              "HKEY_CURRENT_USER\\a\n"
              "  @ = REG_SZ \"v\"\n"
              "HKEY_CURRENT_USER\\a\\b\n"
              "  \"v\" = REG_SZ \"c\"\n");
    EXPECT_EQ(m_registry.OpenHandleCount(), 0u);
}

TEST_F(RegistryVmOpcodes, ANamedValueGoesToTheBlocksParentEvenAfterAKeyWord) {
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpBeginBlock), W(kOpKey, 2), W(kOpString, 3, 6), W(kOpString, 0, 6),
                   W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), W(kOpEndBlock), 0},
                  true),
              kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"a", u"v"), u"c");
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"a\\b", u""), u"c");
}

TEST_F(RegistryVmOpcodes, MultiStringNumberAndByteValuesAreWrittenWithTheirTypes) {
    m_strings.push_back({u"x\\0y", 0});  // 7
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpBeginBlock), W(kOpMultiString, 1, 7), W(kOpNumber, 2, 0),
                   W(kOpBytes, 3, 0), W(kOpEndBlock), W(kOpEndBlock), 0},
                  true),
              kSOk);
    EXPECT_EQ(m_registry.Dump(),
              "HKEY_CLASSES_ROOT\\a\n"
              "  \"a\" = type 7 [78 00 00 00 79 00 00 00 00 00]\n"
              "  \"b\" = REG_DWORD 0x12345678\n"
              "  \"v\" = type 3 [01 02 03]\n");
}

TEST_F(RegistryVmOpcodes, NamesResolveThroughReplacementsWithPercentEscapes) {
    ASSERT_EQ(m_machine.AddReplacement(u"x", u"first"), kSOk);
    ASSERT_EQ(m_machine.AddReplacement(u"X", u"second"), kSOk);
    EXPECT_EQ(
        Run({W(kOpRoot), W(kOpKey, 4), W(kOpString, 0, 5), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0}, true),
        kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"first", u""), u"%x%");
}

TEST_F(RegistryVmOpcodes, ANameOf31CharactersResolvesAndOneOf32FailsEvenWhenListed) {
    const std::u16string name31(31, u'n');
    const std::u16string name32(32, u'n');
    ASSERT_EQ(m_machine.AddReplacement(name31.c_str(), u"short"), kSOk);
    ASSERT_EQ(m_machine.AddReplacement(name32.c_str(), u"long"), kSOk);
    const std::u16string ref31 = u"%" + name31 + u"%";
    const std::u16string ref32 = u"%" + name32 + u"%";
    m_strings.push_back({ref31.c_str(), 1});  // 7
    m_strings.push_back({ref32.c_str(), 1});  // 8
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 7), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0}, true), kSOk);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"short"));
    m_registry.ClearTouches();
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 8), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0}, true), kEFail);
    EXPECT_TRUE(m_registry.Touches().empty());
}

TEST_F(RegistryVmOpcodes, AnUnresolvableNameFailsAndNothingIsWrittenForItsOpcode) {
    m_strings.push_back({u"%open", 1});  // 7
    EXPECT_EQ(
        Run({W(kOpRoot), W(kOpKey, 1), W(kOpString, 0, 4), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0}, true),
        kEFail);
    EXPECT_FALSE(m_registry.GetValue(kClassesRoot, u"a", u"").has_value());
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 7), W(kOpEndBlock), 0}, true), kEFail);
    EXPECT_EQ(m_registry.Dump(), "HKEY_CLASSES_ROOT\\a\n");
}

TEST_F(RegistryVmOpcodes, AKeyNameThatResolvesToNothingIsRefusedRatherThanNamingItsParent) {
    m_registry.AddKey(kClassesRoot, u"a\\keep");
    ASSERT_EQ(m_machine.AddReplacement(u"X", u""), kSOk);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpBeginBlock), W(kOpForceRemove, 4), W(kOpEndBlock), W(kOpEndBlock), 0},
                  true),
              kEFail);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpBeginBlock), W(kOpKey, 0), W(kOpBeginBlock), W(kOpEndBlock),
                   W(kOpEndBlock), W(kOpEndBlock), 0},
                  false),
              kEFail);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"a\\keep"));
}

TEST_F(RegistryVmOpcodes, ForceRemoveDeletesTheKeyWithItsSubkeysBeforeCreatingItAgain) {
    m_registry.PutString(kClassesRoot, u"a\\old\\deeper", u"", u"x");
    EXPECT_EQ(Run({W(kOpRoot), W(kOpForceRemove, 1), W(kOpKey, 1), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0},
                  true),
              kSOk);
    EXPECT_EQ(m_registry.Dump(), "HKEY_CLASSES_ROOT\\a\n");
}

TEST_F(RegistryVmOpcodes, ForceRemoveReportsADeletionFailureOtherThanAbsence) {
    m_registry.AddKey(kClassesRoot, u"a\\locked");
    m_registry.DenyWrite(kClassesRoot, u"a\\locked");
    EXPECT_EQ(Run({W(kOpRoot), W(kOpForceRemove, 1), W(kOpKey, 1), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0},
                  true),
              kAccessDeniedResult);
    EXPECT_LT(m_registry.CallCount(Call::kEnumKey), 10u);
    m_registry.FailCall(Call::kOpen, 1, kErrorPathNotFound);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpForceRemove, 2), W(kOpKey, 2), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0},
                  true),
              kSOk);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"b"));
}

TEST_F(RegistryVmOpcodes, RegisteringReportsFailedCreationsAndValueWrites) {
    m_registry.FailCall(Call::kCreate, 1, kErrorAccessDenied);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0}, true),
              kAccessDeniedResult);
    m_registry.FailCall(Call::kSetValue, 1, kErrorOutOfMemory);
    EXPECT_EQ(
        Run({W(kOpRoot), W(kOpKey, 1), W(kOpString, 0, 3), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0}, true),
        kEOutOfMemory);
    EXPECT_EQ(m_registry.Dump(), "HKEY_CLASSES_ROOT\\a\n");
    EXPECT_EQ(m_registry.OpenHandleCount(), 0u);
}

TEST_F(RegistryVmOpcodes, UnregisteringSkipsTheBlockOfAMissingKey) {
    m_registry.AddKey(kClassesRoot, u"b");
    // root { a { b { } } }: with "a" missing, nothing inside its block is opened.
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 1), W(kOpBeginBlock), W(kOpKey, 2), W(kOpBeginBlock), W(kOpEndBlock),
                   W(kOpEndBlock), W(kOpEndBlock), 0},
                  false),
              kSOk);
    EXPECT_EQ(m_registry.CallCount(Call::kOpen), 1u);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"b"));
}

TEST_F(RegistryVmOpcodes, TheKeptMarkProtectsOnlyTheNextKeyOfItsBlock) {
    m_registry.AddKey(kClassesRoot, u"a\\inner");
    m_registry.AddKey(kClassesRoot, u"b\\inner");
    EXPECT_EQ(Run({W(kOpRoot), W(kOpNoRemove, 1), W(kOpKey, 1), W(kOpBeginBlock), W(kOpKey, 2), W(kOpBeginBlock),
                   W(kOpEndBlock), W(kOpEndBlock), W(kOpKey, 2), W(kOpBeginBlock), W(kOpEndBlock), W(kOpEndBlock), 0},
                  false),
              kSOk);
    EXPECT_EQ(m_registry.Dump(), "HKEY_CLASSES_ROOT\\a\nHKEY_CLASSES_ROOT\\a\\inner\n");
}

TEST_F(RegistryVmOpcodes, UnregisteringReportsOpenAndDeleteFailuresOtherThanAbsence) {
    m_registry.AddKey(kClassesRoot, u"a");
    m_registry.FailCall(Call::kOpen, 1, kErrorAccessDenied);
    const std::vector<uint32_t> program = {W(kOpRoot),     W(kOpKey, 1),   W(kOpBeginBlock),
                                           W(kOpEndBlock), W(kOpEndBlock), 0};
    EXPECT_EQ(Run(program, false), kAccessDeniedResult);
    m_registry.FailCall(Call::kDeleteKey, 1, kErrorAccessDenied);
    EXPECT_EQ(Run(program, false), kAccessDeniedResult);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"a"));
    m_registry.FailCall(Call::kDeleteKey, 1, kErrorFileNotFound);
    EXPECT_EQ(Run(program, false), kSOk);
    EXPECT_EQ(Run(program, false), kSOk);
    EXPECT_EQ(m_registry.Dump(), "");
}

TEST_F(RegistryVmOpcodes, NestingDeeperThanTheRegistryAllowsFailsWithoutExhaustingTheStack) {
    std::vector<uint32_t> words = {W(kOpRoot)};
    for (int i = 0; i < 20000; ++i) {
        words.push_back(W(kOpKey, 1));
        words.push_back(W(kOpBeginBlock));
    }
    words.push_back(0);
    EXPECT_EQ(Run(words, true), kEFail);
    EXPECT_EQ(m_registry.OpenHandleCount(), 0u);
}

TEST_F(RegistryVmOpcodes, QueryInterfaceAnswersIUnknownAndIRegistrarBaseOnly) {
    void* object = reinterpret_cast<void*>(0xDEADBEEF);
    EXPECT_EQ(m_machine.QueryInterface(kIidIUnknown, &object), kSOk);
    EXPECT_EQ(object, static_cast<IRegistrarBase*>(&m_machine));
    object = reinterpret_cast<void*>(0xDEADBEEF);
    EXPECT_EQ(m_machine.QueryInterface(kIidIRegistrarBase, &object), kSOk);
    EXPECT_EQ(object, static_cast<IRegistrarBase*>(&m_machine));
    object = reinterpret_cast<void*>(0xDEADBEEF);
    const Guid other = {0x00000001, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    EXPECT_EQ(m_machine.QueryInterface(other, &object), kENoInterface);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(m_machine.QueryInterface(kIidIUnknown, nullptr), kEPointer);
    EXPECT_EQ(m_machine.AddRef(), 1u);
    EXPECT_EQ(m_machine.Release(), 1u);
}

TEST_F(RegistryVmOpcodes, ReplacementsNeedNameAndTextAndCanBeCleared) {
    EXPECT_EQ(m_machine.AddReplacement(nullptr, u"t"), kEInvalidArg);
    EXPECT_EQ(m_machine.AddReplacement(u"X", nullptr), kEInvalidArg);
    ASSERT_EQ(m_machine.AddReplacement(u"X", u"t"), kSOk);
    EXPECT_EQ(m_machine.ClearReplacements(), kSOk);
    EXPECT_EQ(Run({W(kOpRoot), W(kOpKey, 4), W(kOpEndBlock), 0}, true), kEFail);
    EXPECT_TRUE(m_registry.Touches().empty());
}

}  // namespace
}  // namespace okulon
