// SendCommand through IEyeTracker: the four settings, the refusals, and the
// host name's conversion with the calling thread's ANSI code page. The host
// name and port are observed through the endpoint copy a worker would take.
#include "component_support.h"

#include <climits>
#include <string>

namespace okulon::test {
namespace {

constexpr LCID kJapaneseLocale = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT);
constexpr LCID kEnglishLocale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

UniqueBstr MakeBstr(const std::wstring& text) {
    return UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

struct CommandAnswer {
    HRESULT code;
    LONG result;
};

class SendCommand : public ::testing::Test {
protected:
    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ComPtr<IEyeTracker> m_tracker = CreateTracker();

    CommandAnswer Send(const std::wstring& text) {
        const UniqueBstr command = MakeBstr(text);
        LONG result = kPoisonLong;
        const HRESULT code = m_tracker->SendCommand(command.get(), &result);
        return {code, result};
    }
    std::string Host() { return Settings(m_tracker).SnapshotEndpoint().host; }
    int32_t Port() { return Settings(m_tracker).SnapshotEndpoint().port; }
    void ExpectAccepted(const std::wstring& text) {
        const CommandAnswer answer = Send(text);
        EXPECT_EQ(S_OK, answer.code) << "command of " << text.size() << " units";
        EXPECT_EQ(0, answer.result);
    }
};

// The bytes that code page 932 gives a text, to compare stored host names with.
std::string Cp932(const std::wstring& text) {
    std::string bytes(text.size() * 2 + 1, '\0');
    const int length = WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                                           static_cast<int>(bytes.size()), nullptr, nullptr);
    bytes.resize(length > 0 ? length : 0);
    return bytes;
}

TEST_F(SendCommand, StartsFromTheDefaultEndpoint) {
    EXPECT_EQ("localhost", Host());
    EXPECT_EQ(4455, Port());
}

TEST_F(SendCommand, StoresTheHostValueExactlyAsGiven) {
    ExpectAccepted(L"host tracker.lab");
    EXPECT_EQ("tracker.lab", Host());
    ExpectAccepted(L"host ");
    EXPECT_EQ("", Host());
    ExpectAccepted(L"host  tracker");
    EXPECT_EQ(" tracker", Host());
    ExpectAccepted(L"host a port 4455");
    EXPECT_EQ("a port 4455", Host());
    EXPECT_EQ(4455, Port());
}

TEST_F(SendCommand, CutsALongSingleByteHostNameTo255Characters) {
    std::wstring name;
    for (int i = 0; i < 300; ++i) name += static_cast<wchar_t>(L'a' + i % 26);
    const int32_t portBefore = Port();
    ExpectAccepted(L"host " + name);
    EXPECT_EQ(std::string(name.begin(), name.begin() + 255), Host());
    EXPECT_EQ(portBefore, Port()) << "the field after the host buffer changed";
}

TEST_F(SendCommand, ReadsThePortAsADecimalNumberWithoutComplaint) {
    const struct {
        std::wstring text;
        int32_t port;
    } cases[] = {
        {L"port 4455", 4455},
        {L"port 12ab", 12},
        {L"port abc", 0},
        {L"port ", 0},
        {L"port -1", -1},
        {L"port 99999999999", INT_MAX},
        {L"port -99999999999", INT_MIN},
        {L"port  \t+80", 80},
        {std::wstring(L"port 44\0 55", 11), 44},
    };
    for (const auto& c : cases) {
        ExpectAccepted(c.text);
        EXPECT_EQ(c.port, Port()) << "after a command of " << c.text.size() << " units";
    }
}

TEST_F(SendCommand, ReadsWidthAndHeightFromTheCommandText) {
    ExpectAccepted(L"width 1280");
    EXPECT_EQ(1280, Settings(m_tracker).ScreenWidth());
    ExpectAccepted(L"height 1024");
    EXPECT_EQ(1024, Settings(m_tracker).ScreenHeight());
    ExpectAccepted(L"width  800");
    EXPECT_EQ(800, Settings(m_tracker).ScreenWidth());
    ExpectAccepted(L"width 1600 height 900");
    EXPECT_EQ(1600, Settings(m_tracker).ScreenWidth());
    EXPECT_EQ(1024, Settings(m_tracker).ScreenHeight());
    ExpectAccepted(L"height -5");
    EXPECT_EQ(-5, Settings(m_tracker).ScreenHeight());
    ExpectAccepted(L"width " + std::wstring(255, L' ') + L"77");
    EXPECT_EQ(0, Settings(m_tracker).ScreenWidth());
}

TEST_F(SendCommand, ConvertsThePortButNotTheScreenSizeWithTheAnsiCodePage) {
    const ThreadLocaleScope english = SwitchThreadLocale(kEnglishLocale);
    ASSERT_TRUE(english);
    // Full-width digits have a best-fit equivalent in code page 1252; the
    // screen size is read from the UTF-16 text, where they are no digits.
    ExpectAccepted(L"port \xFF11\xFF12");
    EXPECT_EQ(12, Port());
    ExpectAccepted(L"width \xFF11\xFF12");
    EXPECT_EQ(0, Settings(m_tracker).ScreenWidth());
}

TEST_F(SendCommand, ConvertsTheHostWithBestFitOrTheDefaultCharacter) {
    const ThreadLocaleScope english = SwitchThreadLocale(kEnglishLocale);
    ASSERT_TRUE(english);
    ExpectAccepted(L"host \x0100-\x2013-\x65E5");
    EXPECT_EQ(std::string("A-\x96-?"), Host());
}

TEST_F(SendCommand, ConvertsTheHostWithTheCallingThreadsCodePage) {
    const ThreadLocaleScope japanese = SwitchThreadLocale(kJapaneseLocale);
    ASSERT_TRUE(japanese);
    ExpectAccepted(L"host \x65E5\x672C.lab");
    EXPECT_EQ(std::string("\x93\xFA\x96\x7B.lab"), Host());
}

TEST_F(SendCommand, CutsADoubleByteHostNameAtACharacterBoundaryInsideTheBuffer) {
    const ThreadLocaleScope japanese = SwitchThreadLocale(kJapaneseLocale);
    ASSERT_TRUE(japanese);
    const int32_t portBefore = Port();
    const std::wstring kanji(200, L'\x65E5');  // two bytes each in code page 932
    const struct {
        std::wstring name;
        size_t bytes;
    } cases[] = {
        {kanji, 254},              // the 128th character would need bytes 255 and 256
        {L"a" + kanji, 255},       // fills the buffer exactly
        {L"ab" + kanji, 254},      // a lead byte would land on the last byte
        {L"\xFF71" + kanji, 255},  // half-width katakana: one byte at or above 0x80
        {L"\xFF71\xFF72" + kanji, 254},
    };
    for (const auto& c : cases) {
        ExpectAccepted(L"host " + c.name);
        const std::string host = Host();
        ASSERT_LE(host.size(), 255u) << "the host buffer has no NUL";
        EXPECT_EQ(c.bytes, host.size());
        const std::string whole = Cp932(c.name.substr(0, 255));
        EXPECT_EQ(whole.substr(0, c.bytes), host) << "not a prefix of the converted name";
        EXPECT_EQ(portBefore, Port()) << "the field after the host buffer changed";
    }
}

TEST_F(SendCommand, RefusesTextsThatAreNoCommand) {
    ExpectAccepted(L"width 640");
    const std::wstring refused[] = {
        L"height", L"Width 1280", L"WIDTH 1280", L"width\t1280", L" width 1280", L"depth 3", L"host",
    };
    for (const std::wstring& text : refused) {
        const CommandAnswer answer = Send(text);
        EXPECT_EQ(E_FAIL, answer.code);
        EXPECT_EQ(-1, answer.result);
        EXPECT_EQ(L"SendCommand: Command not recognized", LastErrorText(m_tracker.get()));
    }
    EXPECT_EQ(640, Settings(m_tracker).ScreenWidth());
    EXPECT_EQ("localhost", Host());
}

TEST_F(SendCommand, RefusesANullOrEmptyText) {
    LONG result = kPoisonLong;
    EXPECT_EQ(E_FAIL, m_tracker->SendCommand(nullptr, &result));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(L"SendCommand: No parameters specified", LastErrorText(m_tracker.get()));

    ASSERT_EQ(E_FAIL, Send(L"depth 3").code);  // so the next message is written anew
    const CommandAnswer empty = Send(L"");
    EXPECT_EQ(E_FAIL, empty.code);
    EXPECT_EQ(-1, empty.result);
    EXPECT_EQ(L"SendCommand: No parameters specified", LastErrorText(m_tracker.get()));
    const CommandAnswer nulFirst = Send(std::wstring(L"\0port 1", 7));
    EXPECT_EQ(E_FAIL, nulFirst.code);
    EXPECT_EQ(L"SendCommand: No parameters specified", LastErrorText(m_tracker.get()));
    EXPECT_EQ(4455, Port());
}

TEST_F(SendCommand, LeavesAnEarlierFailureMessageAfterASuccess) {
    EXPECT_EQ(E_FAIL, Send(L"depth 3").code);
    ExpectAccepted(L"port 1");
    EXPECT_EQ(L"SendCommand: Command not recognized", LastErrorText(m_tracker.get()));
}

TEST_F(SendCommand, AnswersANullResultPointerWithoutAnyEffect) {
    EXPECT_EQ(E_NOTIMPL, m_tracker->SendTrigger(1));
    const UniqueBstr command = MakeBstr(L"port 1");
    EXPECT_EQ(E_POINTER, m_tracker->SendCommand(command.get(), nullptr));
    const UniqueBstr refused = MakeBstr(L"depth 3");
    EXPECT_EQ(E_POINTER, m_tracker->SendCommand(refused.get(), nullptr));
    EXPECT_EQ(4455, Port());
    EXPECT_EQ(L"SendTrigger not implemented", LastErrorText(m_tracker.get()));
}

}  // namespace
}  // namespace okulon::test
