// The registry-script language: variables, tokens, roots, prefixes, values and
// the rollback of a failing root block.
#include <gtest/gtest.h>

#include <string>

#include "server/registrar/reg_object.h"
#include "tests/support/memory_registry.h"

namespace okulon {
namespace {

using Call = MemoryRegistry::Call;

class RegistrarSyntax : public ::testing::Test {
protected:
    HResult Register(std::u16string_view script) { return m_registrar.ProcessScript(script, true); }
    HResult Unregister(std::u16string_view script) { return m_registrar.ProcessScript(script, false); }

    void ExpectNoRegistryAccess() { EXPECT_TRUE(m_registry.Touches().empty()); }

    MemoryRegistry m_registry;
    CRegObject m_registrar{m_registry};
};

// --- replacement variables -------------------------------------------------

TEST_F(RegistrarSyntax, TwoPercentSignsInARowYieldOnePercentSign) {
    EXPECT_EQ(Register(u"HKCR { 'a%%b' = s '100%%' }"), kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"a%b", u""), u"100%");
}

TEST_F(RegistrarSyntax, AVariableWithoutReplacementFailsBeforeAnyKeyIsTouched) {
    EXPECT_EQ(Register(u"HKCR { first } HKCR { '%NOPE%' }"), kDispEException);
    ExpectNoRegistryAccess();
}

TEST_F(RegistrarSyntax, APercentSignWithoutItsClosingOneFails) {
    m_registrar.AddReplacement(u"A", u"x");
    EXPECT_EQ(Register(u"HKCR { k %A }"), kDispEException);
    EXPECT_EQ(Register(u"HKCR { k } %"), kDispEException);
    ExpectNoRegistryAccess();
}

TEST_F(RegistrarSyntax, AVariableNameOf31UnitsIsAcceptedAndOneOf32FailsEvenWhenListed) {
    const std::u16string name31(31, u'N');
    const std::u16string name32(32, u'N');
    ASSERT_EQ(m_registrar.AddReplacement(name31.c_str(), u"short"), kSOk);
    ASSERT_EQ(m_registrar.AddReplacement(name32.c_str(), u"long"), kSOk);
    EXPECT_EQ(Register(u"HKCR { '%" + name31 + u"%' }"), kSOk);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"short"));
    m_registry.ClearTouches();
    EXPECT_EQ(Register(u"HKCR { '%" + name32 + u"%' }"), kEFail);
    ExpectNoRegistryAccess();
}

TEST_F(RegistrarSyntax, LookupIgnoresCaseAndTheFirstOfTwoEqualNamesWins) {
    ASSERT_EQ(m_registrar.AddReplacement(u"Module", u"first"), kSOk);
    ASSERT_EQ(m_registrar.AddReplacement(u"MODULE", u"second"), kSOk);
    EXPECT_EQ(Register(u"HKCR { k = s '%module%' }"), kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"k", u""), u"first");
}

TEST_F(RegistrarSyntax, ClearedReplacementsNoLongerResolve) {
    ASSERT_EQ(m_registrar.AddReplacement(u"X", u"y"), kSOk);
    EXPECT_EQ(m_registrar.ClearReplacements(), kSOk);
    EXPECT_EQ(Register(u"HKCR { '%X%' }"), kDispEException);
    ExpectNoRegistryAccess();
}

TEST_F(RegistrarSyntax, AReplacementNeedsBothNameAndText) {
    EXPECT_EQ(m_registrar.AddReplacement(nullptr, u"x"), kEInvalidArg);
    EXPECT_EQ(m_registrar.AddReplacement(u"x", nullptr), kEInvalidArg);
    EXPECT_EQ(Register(u"HKCR { '%x%' }"), kDispEException);
}

TEST_F(RegistrarSyntax, TheRegistrarAnswersNoInterfaceQueriesAndCountsNoReferences) {
    void* sentinel = reinterpret_cast<void*>(0xDEADBEEF);
    void* object = sentinel;
    EXPECT_EQ(m_registrar.QueryInterface(kIidIUnknown, &object), kENotImpl);
    EXPECT_EQ(object, sentinel);
    EXPECT_EQ(m_registrar.AddRef(), 1u);
    EXPECT_EQ(m_registrar.Release(), 0u);
}

// --- tokens ----------------------------------------------------------------

TEST_F(RegistrarSyntax, AQuotedTokenKeepsSpacesAndTurnsTwoQuotationMarksIntoOne) {
    EXPECT_EQ(Register(u"HKCR { 'it''s a key' = s '''' }"), kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"it's a key", u""), u"'");
}

TEST_F(RegistrarSyntax, ATokenOf4094UnitsIsAcceptedAndOneMoreUnitFails) {
    const std::u16string text4094(4094, u'x');
    EXPECT_EQ(Register(u"HKCR { k { val v = s '" + text4094 + u"' } }"), kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"k", u"v"), text4094);
    EXPECT_EQ(Register(u"HKCR { k { val v = s '" + text4094 + u"x' } }"), kDispEException);
    EXPECT_EQ(Register(u"HKCR { k { val v = s " + text4094 + u"x } }"), kDispEException);
}

TEST_F(RegistrarSyntax, MalformedScriptsFailWithDispatchExceptionInBothModes) {
    const char16_t* const scripts[] = {
        u"HKXX { k }",                  // unknown root
        u"HKCR k",                      // no block
        u"HKCR { k",                    // unclosed block
        u"HKCR { 'k }",                 // unclosed quotation
        u"HKCR { k { val v s 'x' } }",  // no "=" after a value name
        u"HKCR { k = s",                // value missing
        u"   ",                         // a token was required
    };
    for (const char16_t* script : scripts) {
        EXPECT_EQ(Register(script), kDispEException) << std::u16string(script).size();
        EXPECT_EQ(Unregister(script), kDispEException) << std::u16string(script).size();
    }
}

TEST_F(RegistrarSyntax, AnUnknownTypeLetterFailsWhenRegisteringAndIsSkippedWhenUnregistering) {
    EXPECT_EQ(Register(u"HKCR { k = q 'x' }"), kDispEException);
    EXPECT_EQ(Register(u"HKCR { k = ss 'x' }"), kDispEException);
    EXPECT_EQ(m_registry.Dump(), "");
    m_registry.AddKey(kClassesRoot, u"k");
    EXPECT_EQ(Unregister(u"HKCR { k = q 'x' }"), kSOk);
    EXPECT_EQ(m_registry.Dump(), "");
}

TEST_F(RegistrarSyntax, AnEmptyScriptSucceedsWithoutRegistryAccess) {
    EXPECT_EQ(Register(u""), kSOk);
    EXPECT_EQ(Unregister(u""), kSOk);
    ExpectNoRegistryAccess();
}

TEST_F(RegistrarSyntax, TheScriptEndsAtItsFirstNul) {
    const std::u16string script = std::u16string(u"HKCR { k }") + u'\0' + u"garbage {";
    EXPECT_EQ(Register(script), kSOk);
    EXPECT_EQ(m_registry.Dump(), "HKEY_CLASSES_ROOT\\k\n");
}

// --- roots, keywords and type letters ignore case --------------------------

TEST_F(RegistrarSyntax, RootNamesKeywordsAndTypeLettersIgnoreCase) {
    EXPECT_EQ(Register(u"hkcr { a { VAL x = S 'one' vAl y = d '42' } }\r\n"
                       u"HKEY_CLASSES_ROOT { noremove b = s 'two' }\n"
                       u"hkey_current_user { c }\tHKU { d } HKLM { e } HKCC { f } HKPD { g } HKDD { h }"),
              kSOk);
    EXPECT_EQ(m_registry.Dump(),
              "HKEY_CLASSES_ROOT\\a\n"
              "  \"x\" = REG_SZ \"one\"\n"
              "  \"y\" = REG_DWORD 0x0000002a\n"
              "HKEY_CLASSES_ROOT\\b\n"
              "  @ = REG_SZ \"two\"\n"
              "HKEY_CURRENT_USER\\c\n"
              "HKEY_LOCAL_MACHINE\\e\n"
              "HKEY_USERS\\d\n"
              "HKEY_PERFORMANCE_DATA\\g\n"
              "HKEY_CURRENT_CONFIG\\f\n"
              "HKEY_DYN_DATA\\h\n");
}

// --- values ----------------------------------------------------------------

TEST_F(RegistrarSyntax, BinaryValuesAreReadAsPairsOfHexadecimalDigits) {
    EXPECT_EQ(Register(u"HKCR { k { val b = b '0aF1' val e = b '' val z = b 'zz1g' } }"), kSOk);
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"b")->data, (std::vector<uint8_t>{0x0A, 0xF1}));
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"b")->type, kRegBinary);
    EXPECT_TRUE(m_registry.GetValue(kClassesRoot, u"k", u"e")->data.empty());
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"z")->data, (std::vector<uint8_t>{0x00, 0x10}));
}

TEST_F(RegistrarSyntax, ABinaryValueWithAnOddNumberOfDigitsFailsAndIsRolledBack) {
    EXPECT_EQ(Register(u"HKCR { k { val b = b 'abc' } }"), kEFail);
    EXPECT_EQ(m_registry.Dump(), "");
}

TEST_F(RegistrarSyntax, MultiStringValuesSplitAtBackslashZero) {
    EXPECT_EQ(Register(u"HKCR { k { val m = m 'a\\0b' val e = m '' val cut = m 'a\\0\\0b' val keep = m 'x\\1' } }"),
              kSOk);
    const auto m = m_registry.GetValue(kClassesRoot, u"k", u"m");
    EXPECT_EQ(m->type, kRegMultiSz);
    EXPECT_EQ(m->data, (std::vector<uint8_t>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"e")->data, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"cut")->data, (std::vector<uint8_t>{'a', 0, 0, 0, 0, 0}));
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"keep")->data,
              (std::vector<uint8_t>{'x', 0, '\\', 0, '1', 0, 0, 0, 0, 0}));
}

TEST_F(RegistrarSyntax, NumberValuesStoreFourLittleEndianBytes) {
    EXPECT_EQ(Register(u"HKCR { k { val d = d 42 val max = D '4294967295' } }"), kSOk);
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"d")->data, (std::vector<uint8_t>{42, 0, 0, 0}));
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"d")->type, kRegDword);
    EXPECT_EQ(m_registry.GetValue(kClassesRoot, u"k", u"max")->data, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(RegistrarSyntax, ANumberThatCannotBeConvertedIsRefusedAndNotWritten) {
    m_registry.AddKey(kClassesRoot, u"keep");
    EXPECT_EQ(Register(u"HKCR { NoRemove keep { val d = d 'forty' } }"), kDispEException);
    EXPECT_EQ(Register(u"HKCR { NoRemove keep { val d = d '4294967296' } }"), kDispEException);
    EXPECT_EQ(m_registry.CallCount(Call::kSetValue), 0u);
    EXPECT_EQ(m_registry.Dump(), "HKEY_CLASSES_ROOT\\keep\n");
}

TEST_F(RegistrarSyntax, ValueNamesOfUpTo259UnitsAreAcceptedAndLongerOnesRefused) {
    const std::u16string name259(259, u'v');
    EXPECT_EQ(Register(u"HKCR { k { val " + name259 + u" = s x } }"), kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"k", name259), u"x");
    EXPECT_EQ(Register(u"HKCR { k { val " + name259 + u"v = s x } }"), kDispEException);
    EXPECT_EQ(Unregister(u"HKCR { k { val " + name259 + u"v = s x } }"), kDispEException);
}

TEST_F(RegistrarSyntax, AValueEntryWritesOnTheBlocksParentKey) {
    EXPECT_EQ(Register(u"HKCR { parent { child = s 'c' val v = s 'p' } }"), kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"parent", u"v"), u"p");
    EXPECT_FALSE(m_registry.GetValue(kClassesRoot, u"parent\\child", u"v").has_value());
}

// --- prefixes --------------------------------------------------------------

TEST_F(RegistrarSyntax, ForceRemoveLeavesAKeyOnTheNeverDeleteListInPlace) {
    m_registry.PutString(kClassesRoot, u"CLSID\\{other}", u"", u"someone else");
    EXPECT_EQ(Register(u"HKCR { ForceRemove clsid { mine } }"), kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"CLSID\\{other}", u""), u"someone else");
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"CLSID\\mine"));
}

TEST_F(RegistrarSyntax, ForceRemoveDeletesAnyOtherKeyWithEverythingBelowAndCreatesItAnew) {
    m_registry.PutString(kClassesRoot, u"Mine\\old\\deeper", u"v", u"stale");
    m_registry.PutString(kClassesRoot, u"Mine", u"stale", u"x");
    m_registry.AddKey(kClassesRoot, u"Sibling");
    EXPECT_EQ(Register(u"HKCR { ForceRemove Mine = s 'fresh' { new } }"), kSOk);
    EXPECT_EQ(m_registry.Dump(),
              "HKEY_CLASSES_ROOT\\Mine\n"
              "  @ = REG_SZ \"fresh\"\n"
              "HKEY_CLASSES_ROOT\\Mine\\new\n"
              "HKEY_CLASSES_ROOT\\Sibling\n");
}

TEST_F(RegistrarSyntax, DeleteRemovesAKeyWhenRegisteringAndSkipsItsAssignment) {
    m_registry.AddKey(kClassesRoot, u"Old\\Sub");
    m_registry.AddKey(kClassesRoot, u"Software\\Vendor");
    EXPECT_EQ(Register(u"HKCR { Delete Old = s 'ignored' Delete SOFTWARE after }"), kSOk);
    EXPECT_EQ(m_registry.Dump(),
              "HKEY_CLASSES_ROOT\\after\n"
              "HKEY_CLASSES_ROOT\\Software\n"
              "HKEY_CLASSES_ROOT\\Software\\Vendor\n");
}

TEST_F(RegistrarSyntax, NoRemoveFollowedByForceRemoveTakesForceRemoveAsTheKeyName) {
    m_registry.AddKey(kClassesRoot, u"x\\keep");
    EXPECT_EQ(Register(u"HKCR { NoRemove ForceRemove x }"), kSOk);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"ForceRemove"));
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"x\\keep"));

    EXPECT_EQ(Unregister(u"HKCR { NoRemove ForceRemove }"), kSOk);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"ForceRemove"));
}

TEST_F(RegistrarSyntax, NoRemoveKeepsAnEmptyKeyAndItsValuesWhenUnregistering) {
    ASSERT_EQ(Register(u"HKCR { NoRemove k { val v = s 'x' } other }"), kSOk);
    EXPECT_EQ(Unregister(u"HKCR { NoRemove k { NoRemove val v = s 'x' } other }"), kSOk);
    EXPECT_EQ(m_registry.Dump(),
              "HKEY_CLASSES_ROOT\\k\n"
              "  \"v\" = REG_SZ \"x\"\n");
}

// --- key names and rollback ------------------------------------------------

TEST_F(RegistrarSyntax, AKeyNameWithABackslashFailsAndRollsBackItsRootBlockUpToThatName) {
    EXPECT_EQ(Register(u"HKCU { kept }\n"
                       u"HKCR { a = s 'v' b { c } 'bad\\name' after }\n"
                       u"HKLM { later }"),
              kDispEException);
    EXPECT_EQ(m_registry.Dump(), "HKEY_CURRENT_USER\\kept\n");
    EXPECT_EQ(m_registry.OpenHandleCount(), 0u);
}

TEST_F(RegistrarSyntax, AnEmptyKeyNameIsRefusedSoForceRemoveCannotEmptyItsParent) {
    m_registry.AddKey(kClassesRoot, u"Parent\\Child");
    EXPECT_EQ(Register(u"HKCR { Parent { ForceRemove '' } }"), kDispEException);
    EXPECT_EQ(Register(u"HKCR { NoRemove Parent { Delete '' } }"), kDispEException);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"Parent\\Child"));
    m_registry.AddKey(kClassesRoot, u"Lonely");
    EXPECT_EQ(Unregister(u"HKCR { NoRemove Lonely { '' } }"), kDispEException);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"Lonely"));
}

TEST_F(RegistrarSyntax, ABrokenBlockUnderAMissingKeyEndsUnregistrationInsteadOfMisreadingItsEntries) {
    m_registry.AddKey(kClassesRoot, u"victim");
    EXPECT_EQ(Unregister(u"HKCR { absent { 'bad\\name' victim } }"), kDispEException);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"victim"));
}

TEST_F(RegistrarSyntax, UnregisteringSkipsEverythingBelowAMissingKey) {
    m_registry.AddKey(kClassesRoot, u"inner");
    EXPECT_EQ(Unregister(u"HKCR { absent = s 'x' { inner { val v = s 'y' } } }"), kSOk);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"inner"));
    EXPECT_EQ(m_registry.CallCount(Call::kOpen), 1u);
}

TEST_F(RegistrarSyntax, NestingDeeperThanTheRegistryAllowsIsRefusedWithoutExhaustingTheStack) {
    std::u16string script = u"HKCR {";
    for (int i = 0; i < 20000; ++i) {
        script += u" k {";
    }
    EXPECT_EQ(Register(script), kDispEException);
    EXPECT_EQ(m_registry.OpenHandleCount(), 0u);
    std::u16string deepest = u"k";
    for (int i = 0; i < CRegObject::kMaxNestingDepth; ++i) {  // one level more than allowed
        deepest += u"\\k";
    }
    EXPECT_FALSE(m_registry.HasKey(kClassesRoot, deepest));
}

}  // namespace
}  // namespace okulon
