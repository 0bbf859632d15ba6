// The in-memory registry must behave like the platform's where the registrars
// depend on it, or their tests would prove nothing about the real registry.
#include <gtest/gtest.h>

#include "tests/support/memory_registry.h"

namespace okulon {
namespace {

using Call = MemoryRegistry::Call;

TEST(MemoryRegistry, KeyAndValueNamesIgnoreCaseButKeepTheirFirstSpelling) {
    MemoryRegistry registry;
    RegKey key = kNoKey;
    ASSERT_EQ(registry.CreateKey(kClassesRoot, u"Foo\\Bar", kKeyRead | kKeyWrite, &key), kErrorSuccess);
    const uint8_t data[] = {1, 2};
    EXPECT_EQ(registry.SetValue(key, u"Name", kRegBinary, data, 2), kErrorSuccess);
    EXPECT_EQ(registry.SetValue(key, u"NAME", kRegBinary, data, 1), kErrorSuccess);
    EXPECT_EQ(registry.CloseKey(key), kErrorSuccess);

    RegKey again = kNoKey;
    EXPECT_EQ(registry.OpenKey(kClassesRoot, u"FOO\\bar", kKeyRead, &again), kErrorSuccess);
    EXPECT_EQ(registry.CloseKey(again), kErrorSuccess);
    EXPECT_EQ(registry.SubkeyNames(kClassesRoot, u"foo"), std::vector<std::u16string>{u"Bar"});
    const auto value = registry.GetValue(kClassesRoot, u"foo\\BAR", u"name");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data, std::vector<uint8_t>{1});
    EXPECT_EQ(registry.Dump(), "HKEY_CLASSES_ROOT\\Foo\nHKEY_CLASSES_ROOT\\Foo\\Bar\n  \"Name\" = type 3 [01]\n");
}

TEST(MemoryRegistry, DeleteKeyRefusesAKeyWithSubkeysAndReportsMissingOnes) {
    MemoryRegistry registry;
    registry.AddKey(kClassesRoot, u"a\\b");
    EXPECT_EQ(registry.DeleteKey(kClassesRoot, u"a"), kErrorAccessDenied);
    EXPECT_TRUE(registry.HasKey(kClassesRoot, u"a\\b"));
    EXPECT_EQ(registry.DeleteKey(kClassesRoot, u"missing"), kErrorFileNotFound);
    EXPECT_EQ(registry.DeleteKey(kClassesRoot, u"a\\B"), kErrorSuccess);
    EXPECT_EQ(registry.DeleteKey(kClassesRoot, u"A"), kErrorSuccess);
    EXPECT_EQ(registry.Dump(), "");
}

TEST(MemoryRegistry, OpeningAMissingKeyFailsWithFileNotFoundAndHandsOutNoKey) {
    MemoryRegistry registry;
    RegKey key = 0xCCCCCCCCu;
    EXPECT_EQ(registry.OpenKey(kClassesRoot, u"missing\\deeper", kKeyRead, &key), kErrorFileNotFound);
    EXPECT_EQ(key, kNoKey);
    EXPECT_EQ(registry.OpenKey(kClassesRoot, u"\\leading", kKeyRead, &key), kErrorInvalidParameter);
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(MemoryRegistry, AccessRightsOfTheHandleAreChecked) {
    MemoryRegistry registry;
    registry.AddKey(kClassesRoot, u"k");
    RegKey readOnly = kNoKey;
    ASSERT_EQ(registry.OpenKey(kClassesRoot, u"k", kKeyRead, &readOnly), kErrorSuccess);
    const uint8_t data[] = {0, 0};
    EXPECT_EQ(registry.SetValue(readOnly, u"", kRegSz, data, 2), kErrorAccessDenied);
    EXPECT_EQ(registry.DeleteValue(readOnly, u""), kErrorAccessDenied);
    RegKey child = kNoKey;
    EXPECT_EQ(registry.CreateKey(readOnly, u"child", kKeyRead | kKeyWrite, &child), kErrorAccessDenied);
    EXPECT_FALSE(registry.HasKey(kClassesRoot, u"k\\child"));
    EXPECT_EQ(registry.CloseKey(readOnly), kErrorSuccess);

    RegKey writeOnly = kNoKey;
    ASSERT_EQ(registry.OpenKey(kClassesRoot, u"k", kKeyWrite, &writeOnly), kErrorSuccess);
    std::u16string name;
    EXPECT_EQ(registry.EnumKey(writeOnly, 0, &name), kErrorAccessDenied);
    uint32_t count = 0;
    EXPECT_EQ(registry.QuerySubkeyCount(writeOnly, &count), kErrorAccessDenied);
    EXPECT_EQ(registry.CloseKey(writeOnly), kErrorSuccess);
    EXPECT_EQ(registry.CloseKey(writeOnly), kErrorInvalidHandle);
}

TEST(MemoryRegistry, AWriteDeniedKeyOpensForReadingOnlyAndCannotBeDeleted) {
    MemoryRegistry registry;
    registry.AddKey(kClassesRoot, u"locked");
    registry.DenyWrite(kClassesRoot, u"locked");
    RegKey key = kNoKey;
    EXPECT_EQ(registry.OpenKey(kClassesRoot, u"locked", kKeyRead | kKeyWrite, &key), kErrorAccessDenied);
    EXPECT_EQ(registry.CreateKey(kClassesRoot, u"locked", kKeyRead | kKeyWrite, &key), kErrorAccessDenied);
    EXPECT_EQ(registry.CreateKey(kClassesRoot, u"locked\\new", kKeyRead, &key), kErrorAccessDenied);
    EXPECT_EQ(registry.DeleteKey(kClassesRoot, u"locked"), kErrorAccessDenied);
    ASSERT_EQ(registry.OpenKey(kClassesRoot, u"locked", kKeyRead, &key), kErrorSuccess);
    EXPECT_EQ(registry.CloseKey(key), kErrorSuccess);
    EXPECT_EQ(registry.Dump(), "HKEY_CLASSES_ROOT\\locked\n");
}

TEST(MemoryRegistry, EnumerationFollowsCaseFoldedOrderAndEndsWithNoMoreItems) {
    MemoryRegistry registry;
    registry.AddKey(kClassesRoot, u"p\\beta");
    registry.AddKey(kClassesRoot, u"p\\Alpha");
    RegKey key = kNoKey;
    ASSERT_EQ(registry.OpenKey(kClassesRoot, u"p", kKeyRead, &key), kErrorSuccess);
    std::u16string name;
    EXPECT_EQ(registry.EnumKey(key, 0, &name), kErrorSuccess);
    EXPECT_EQ(name, u"Alpha");
    EXPECT_EQ(registry.EnumKey(key, 1, &name), kErrorSuccess);
    EXPECT_EQ(name, u"beta");
    EXPECT_EQ(registry.EnumKey(key, 2, &name), kErrorNoMoreItems);
    uint32_t count = 0;
    EXPECT_EQ(registry.QuerySubkeyCount(key, &count), kErrorSuccess);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(registry.CloseKey(key), kErrorSuccess);
}

TEST(MemoryRegistry, AHandleToADeletedKeyReportsKeyDeleted) {
    MemoryRegistry registry;
    registry.AddKey(kClassesRoot, u"gone");
    RegKey key = kNoKey;
    ASSERT_EQ(registry.OpenKey(kClassesRoot, u"gone", kKeyRead | kKeyWrite, &key), kErrorSuccess);
    ASSERT_EQ(registry.DeleteKey(kClassesRoot, u"gone"), kErrorSuccess);
    const uint8_t data[] = {0, 0};
    EXPECT_EQ(registry.SetValue(key, u"", kRegSz, data, 2), kErrorKeyDeleted);
    RegKey child = kNoKey;
    EXPECT_EQ(registry.CreateKey(key, u"child", kKeyRead, &child), kErrorKeyDeleted);
    EXPECT_EQ(registry.CloseKey(key), kErrorSuccess);
    EXPECT_EQ(registry.Dump(), "");
}

TEST(MemoryRegistry, AnInjectedFailureHitsExactlyTheNthCallOfItsKindAndChangesNothing) {
    MemoryRegistry registry;
    registry.FailCall(Call::kCreate, 2, kErrorOutOfMemory);
    RegKey key = kNoKey;
    EXPECT_EQ(registry.CreateKey(kClassesRoot, u"one", kKeyRead, &key), kErrorSuccess);
    EXPECT_EQ(registry.CloseKey(key), kErrorSuccess);
    EXPECT_EQ(registry.CreateKey(kClassesRoot, u"two", kKeyRead, &key), kErrorOutOfMemory);
    EXPECT_EQ(key, kNoKey);
    EXPECT_EQ(registry.CreateKey(kClassesRoot, u"three", kKeyRead, &key), kErrorSuccess);
    EXPECT_EQ(registry.CloseKey(key), kErrorSuccess);
    EXPECT_EQ(registry.CallCount(Call::kCreate), 3u);
    EXPECT_EQ(registry.Dump(), "HKEY_CLASSES_ROOT\\one\nHKEY_CLASSES_ROOT\\three\n");
}

TEST(MemoryRegistry, EveryCallIsRecordedWithTheKeyPathItNamedOrUsed) {
    MemoryRegistry registry;
    RegKey key = kNoKey;
    ASSERT_EQ(registry.CreateKey(kCurrentUser, u"Soft\\Ware", kKeyRead | kKeyWrite, &key), kErrorSuccess);
    const uint8_t data[] = {0, 0};
    ASSERT_EQ(registry.SetValue(key, u"v", kRegSz, data, 2), kErrorSuccess);
    ASSERT_EQ(registry.CloseKey(key), kErrorSuccess);
    ASSERT_EQ(registry.Touches().size(), 3u);
    EXPECT_EQ(registry.Touches()[0].call, Call::kCreate);
    EXPECT_EQ(registry.Touches()[0].Path(), u"HKEY_CURRENT_USER\\Soft\\Ware");
    EXPECT_EQ(registry.Touches()[1].call, Call::kSetValue);
    EXPECT_EQ(registry.Touches()[1].Path(), u"HKEY_CURRENT_USER\\Soft\\Ware");
    EXPECT_EQ(registry.Touches()[2].call, Call::kClose);
    EXPECT_EQ(registry.Touches()[2].Path(), u"HKEY_CURRENT_USER\\Soft\\Ware");
}

TEST(MemoryRegistry, DumpShowsStringsNumbersAndRawBytesExactly) {
    MemoryRegistry registry;
    registry.PutString(kLocalMachine, u"k", u"", u"text \"q\"");
    registry.PutValue(kLocalMachine, u"k", u"n", kRegDword, {0x2A, 0, 0, 0});
    registry.PutValue(kLocalMachine, u"k", u"m", kRegMultiSz, {'a', 0, 0, 0});
    EXPECT_EQ(registry.Dump(),
              "HKEY_LOCAL_MACHINE\\k\n"
              "  @ = REG_SZ \"text \\u0022q\\u0022\"\n"
              "  \"m\" = type 7 [61 00 00 00]\n"
              "  \"n\" = REG_DWORD 0x0000002a\n");
}

TEST(ParseUnsigned32, AcceptsPlainDecimalWithBlanksAndAPlusSign) {
    uint32_t value = 1;
    EXPECT_EQ(ParseUnsigned32(u"42", &value), kSOk);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(ParseUnsigned32(u" \t+7 ", &value), kSOk);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(ParseUnsigned32(u"4294967295", &value), kSOk);
    EXPECT_EQ(value, 4294967295u);
    EXPECT_EQ(ParseUnsigned32(u"000000000000000000001", &value), kSOk);
    EXPECT_EQ(value, 1u);
}

TEST(ParseUnsigned32, RefusesEverythingElseAndNumbersAboveThirtyTwoBits) {
    uint32_t value = 1;
    EXPECT_EQ(ParseUnsigned32(u"4294967296", &value), kDispEOverflow);
    EXPECT_EQ(ParseUnsigned32(u"99999999999999999999999", &value), kDispEOverflow);
    for (const char16_t* text : {u"", u" ", u"+", u"-1", u"0x10", u"&H10", u"1.5", u"12a", u"1 2", u"++1"}) {
        EXPECT_EQ(ParseUnsigned32(text, &value), kDispETypeMismatch);
        EXPECT_EQ(value, 0u);
    }
}

}  // namespace
}  // namespace okulon
