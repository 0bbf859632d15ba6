// Registry failures at each kind of call the interpreter makes: the error
// reaches the caller as an HRESULT, a failing registration is rolled back,
// and no key stays open.
#include <gtest/gtest.h>

#include "server/registrar/reg_object.h"
#include "tests/support/memory_registry.h"

namespace okulon {
namespace {

using Call = MemoryRegistry::Call;

constexpr HResult kAccessDeniedResult = static_cast<HResult>(0x80070005u);

class RegistrarFailure : public ::testing::Test {
protected:
    // A close that fails on purpose leaves its handle behind in the registry.
    void TearDown() override { EXPECT_EQ(m_registry.OpenHandleCount(), m_closeFailures); }

    HResult Register(std::u16string_view script) { return m_registrar.ProcessScript(script, true); }
    HResult Unregister(std::u16string_view script) { return m_registrar.ProcessScript(script, false); }

    MemoryRegistry m_registry;
    CRegObject m_registrar{m_registry};
    size_t m_closeFailures = 0;
};

TEST(RegistrarErrorMapping, Win32CodesBecomeFacilityWin32AndZeroOrNegativeValuesPassUnchanged) {
    EXPECT_EQ(HResultFromWin32(0), kSOk);
    EXPECT_EQ(HResultFromWin32(5), kAccessDeniedResult);
    EXPECT_EQ(HResultFromWin32(14), kEOutOfMemory);
    EXPECT_EQ(HResultFromWin32(0x12345), static_cast<HResult>(0x80072345u));
    EXPECT_EQ(HResultFromWin32(kEFail), kEFail);
}

TEST_F(RegistrarFailure, AKeyThatCannotBeOpenedForWritingIsOpenedForReading) {
    m_registry.AddKey(kClassesRoot, u"ro");
    m_registry.DenyWrite(kClassesRoot, u"ro");
    EXPECT_EQ(Register(u"HKCR { NoRemove ro }"), kSOk);
    EXPECT_EQ(m_registry.CallCount(Call::kCreate), 0u);
    EXPECT_EQ(Register(u"HKCR { NoRemove ro = s 'x' }"), kAccessDeniedResult);
}

TEST_F(RegistrarFailure, AFailedCreationEndsRegistrationWithItsErrorAndRollsBackTheBlock) {
    m_registry.FailCall(Call::kCreate, 2, kErrorOutOfMemory);
    EXPECT_EQ(Register(u"HKCU { first } HKCR { a { b } c }"), kEOutOfMemory);
    EXPECT_EQ(m_registry.Dump(), "HKEY_CURRENT_USER\\first\n");
}

TEST_F(RegistrarFailure, AFailedValueWriteEndsRegistrationAndRollsBackTheBlock) {
    m_registry.FailCall(Call::kSetValue, 2, kErrorAccessDenied);
    EXPECT_EQ(Register(u"HKCR { a = s '1' { b = s '2' } }"), kAccessDeniedResult);
    EXPECT_EQ(m_registry.Dump(), "");
}

TEST_F(RegistrarFailure, TheFirstFailureIsReturnedWhenTheRollbackFailsToo) {
    m_registry.FailCall(Call::kSetValue, 1, kErrorAccessDenied);
    m_registry.FailCall(Call::kDeleteKey, 1, kErrorOutOfMemory);
    EXPECT_EQ(Register(u"HKCR { a { b = s 'x' } }"), kAccessDeniedResult);
    EXPECT_EQ(m_registry.CallCount(Call::kDeleteKey), 1u);
}

TEST_F(RegistrarFailure, ForceRemoveIgnoresDeletionErrorsAndOpensWhatStays) {
    m_registry.PutString(kClassesRoot, u"k\\sub", u"", u"old");
    m_registry.FailCall(Call::kEnumKey, 1, kErrorAccessDenied);
    EXPECT_EQ(Register(u"HKCR { ForceRemove k = s 'new' }"), kSOk);
    EXPECT_EQ(m_registry.GetString(kClassesRoot, u"k", u""), u"new");
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"k\\sub"));
}

TEST_F(RegistrarFailure, ForceRemoveStopsAtASubkeyThatCannotBeDeletedInsteadOfRetryingForever) {
    m_registry.AddKey(kClassesRoot, u"k\\a\\locked");
    m_registry.AddKey(kClassesRoot, u"k\\b");
    m_registry.DenyWrite(kClassesRoot, u"k\\a\\locked");
    EXPECT_EQ(Register(u"HKCR { ForceRemove k }"), kSOk);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"k\\a\\locked"));
    EXPECT_LT(m_registry.CallCount(Call::kEnumKey), 10u);
}

TEST_F(RegistrarFailure, UnregisteringReportsAFailedKeyDeletion) {
    m_registry.AddKey(kClassesRoot, u"k");
    m_registry.FailCall(Call::kDeleteKey, 1, kErrorAccessDenied);
    EXPECT_EQ(Unregister(u"HKCR { k }"), kAccessDeniedResult);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"k"));
}

TEST_F(RegistrarFailure, UnregisteringReportsAFailedSubkeyQueryAndKeepsTheKey) {
    m_registry.AddKey(kClassesRoot, u"k");
    m_registry.FailCall(Call::kQuerySubkeyCount, 1, kErrorOutOfMemory);
    EXPECT_EQ(Unregister(u"HKCR { k }"), kEOutOfMemory);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"k"));
}

TEST_F(RegistrarFailure, UnregisteringReportsAFailedClose) {
    m_registry.AddKey(kClassesRoot, u"k");
    m_registry.FailCall(Call::kClose, 1, kErrorInvalidHandle);
    m_closeFailures = 1;
    EXPECT_EQ(Unregister(u"HKCR { k }"), HResultFromWin32(kErrorInvalidHandle));
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"k"));
}

TEST_F(RegistrarFailure, UnregisteringReportsAFailedValueDeletionButNotAMissingValue) {
    m_registry.PutString(kClassesRoot, u"k", u"v", u"x");
    m_registry.FailCall(Call::kDeleteValue, 1, kErrorAccessDenied);
    EXPECT_EQ(Unregister(u"HKCR { NoRemove k { val v = s 'x' } }"), kAccessDeniedResult);
    EXPECT_TRUE(m_registry.GetValue(kClassesRoot, u"k", u"v").has_value());
    EXPECT_EQ(Unregister(u"HKCR { NoRemove k { val v = s 'x' val missing = s 'y' } }"), kSOk);
    EXPECT_FALSE(m_registry.GetValue(kClassesRoot, u"k", u"v").has_value());
}

TEST_F(RegistrarFailure, UnregisteringReportsAKeyThatCannotBeOpenedForAnyReasonButAbsence) {
    m_registry.AddKey(kClassesRoot, u"k\\inner");
    m_registry.FailCall(Call::kOpen, 1, kErrorAccessDenied);
    EXPECT_EQ(Unregister(u"HKCR { k { inner } }"), kAccessDeniedResult);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"k\\inner"));
    m_registry.FailCall(Call::kOpen, 1, kErrorFileNotFound);
    EXPECT_EQ(Unregister(u"HKCR { k { inner } }"), kSOk);
    EXPECT_TRUE(m_registry.HasKey(kClassesRoot, u"k\\inner"));
}

TEST_F(RegistrarFailure, EveryFailingCallDuringRegistrationIsReportedAndLeavesNoKeyOpen) {
    const char16_t* const script =
        u"HKCR { ForceRemove a = s 'x' { val v = d 7 b { c } } NoRemove d { val w = m 'q' } }";
    for (size_t kind = 0; kind < MemoryRegistry::kCallKinds; ++kind) {
        for (uint32_t nth = 1; nth <= 4; ++nth) {
            MemoryRegistry registry;
            registry.AddKey(kClassesRoot, u"a\\old");
            registry.FailCall(static_cast<Call>(kind), nth, kErrorOutOfMemory);
            CRegObject registrar(registry);
            const HResult hr = registrar.ProcessScript(script, true);
            const bool failureHit = registry.CallCount(static_cast<Call>(kind)) >= nth;
            if (hr == kSOk) {
                // Only the calls whose errors the interpreter tolerates may fail unnoticed.
                EXPECT_TRUE(!failureHit || kind == size_t(Call::kOpen) || kind == size_t(Call::kEnumKey) ||
                            kind == size_t(Call::kDeleteKey) || kind == size_t(Call::kClose))
                    << "kind " << kind << " nth " << nth;
            } else {
                EXPECT_TRUE(failureHit) << "kind " << kind << " nth " << nth;
            }
            const size_t leftOpen = (kind == size_t(Call::kClose) && failureHit) ? 1 : 0;
            EXPECT_EQ(registry.OpenHandleCount(), leftOpen) << "kind " << kind << " nth " << nth;
        }
    }
}

}  // namespace
}  // namespace okulon
