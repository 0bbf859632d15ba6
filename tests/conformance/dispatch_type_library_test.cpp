// The type library embedded in the DLL: read back with the platform's
// loader, and its stored flags read from the resource itself (the loader
// reports some flags differently from what the file holds).
#include <cstring>
#include <string>
#include <vector>

#include "dll_test_support.h"

namespace okulon::test {
namespace {

// {00020430-0000-0000-C000-000000000046}
constexpr GUID kStandardOleLibrary = {0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The creator text, version number and time stamp entries of a compiled library.
constexpr GUID kCustomDataTimeStamp = {0xDE77BA63, 0x517C, 0x11D1, {0xA2, 0xDA, 0x00, 0x00, 0xF8, 0x77, 0x3C, 0xE9}};
constexpr GUID kCustomDataVersion = {0xDE77BA64, 0x517C, 0x11D1, {0xA2, 0xDA, 0x00, 0x00, 0xF8, 0x77, 0x3C, 0xE9}};
constexpr GUID kCustomDataCreator = {0xDE77BA65, 0x517C, 0x11D1, {0xA2, 0xDA, 0x00, 0x00, 0xF8, 0x77, 0x3C, 0xE9}};

// What the stored library says about itself, from its file header and type
// descriptions.
struct StoredLibrary {
    bool found = false;
    uint32_t magic = 0;
    uint32_t libraryFlags = 0;
    std::vector<uint32_t> typeFlags;
};

uint32_t ReadWord32(const BYTE* data, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, data + offset, sizeof(value));
    return value;
}

StoredLibrary ReadStoredLibrary(HMODULE module) {
    StoredLibrary stored;
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB");
    if (resource == nullptr) return stored;
    const DWORD size = SizeofResource(module, resource);
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
    constexpr size_t kHeaderSize = 0x54;
    if (data == nullptr || size < kHeaderSize) return stored;
    stored.magic = ReadWord32(data, 0);
    stored.libraryFlags = ReadWord32(data, 0x1C);
    const uint32_t typeCount = ReadWord32(data, 0x20);
    const uint32_t variableFlags = ReadWord32(data, 0x14);
    // Header, optional help-library offset, one offset per type, then the
    // segment directory whose first entry locates the type descriptions.
    const size_t directory = kHeaderSize + ((variableFlags & 0x100) ? 4 : 0) + 4 * typeCount;
    if (directory + 16 > size) return stored;
    const uint32_t types = ReadWord32(data, directory);
    constexpr size_t kTypeSize = 0x64;
    constexpr size_t kTypeFlagsOffset = 0x30;
    if (types + typeCount * kTypeSize > size) return stored;
    for (uint32_t index = 0; index < typeCount; ++index) {
        stored.typeFlags.push_back(ReadWord32(data, types + index * kTypeSize + kTypeFlagsOffset));
    }
    stored.found = true;
    return stored;
}

std::wstring Take(BSTR text) {
    const UniqueBstr owner(text);
    return owner ? std::wstring(owner.get(), SysStringLen(owner.get())) : L"<null>";
}

class DispatchTypeLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.get()));
        ASSERT_EQ(S_OK, LoadTypeLibEx((ExecutableFolder() + L"Okulon.dll").c_str(), REGKIND_NONE, m_library.put()));
    }

    // Name, help string of one type (index) or of the library (-1).
    std::wstring Name(INT index) {
        BSTR name = nullptr;
        EXPECT_EQ(S_OK, m_library->GetDocumentation(index, &name, nullptr, nullptr, nullptr));
        return Take(name);
    }
    std::wstring HelpString(INT index) {
        BSTR help = nullptr;
        EXPECT_EQ(S_OK, m_library->GetDocumentation(index, nullptr, &help, nullptr, nullptr));
        return Take(help);
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ComPtr<ITypeLib> m_library;
};

TEST_F(DispatchTypeLibrary, TheLibraryIsOkulonVersionOneNeutralForThisPlatformWithoutFlags) {
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, m_library->GetLibAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(LIBID_Okulon, attributes->guid));
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    EXPECT_EQ(0u, attributes->lcid);
    EXPECT_EQ(kThisSysKind, attributes->syskind);
    // The loader adds "has a disk image" to whatever the file holds.
    EXPECT_EQ(0, attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);
    m_library->ReleaseTLibAttr(attributes);

    EXPECT_EQ(L"Okulon", Name(-1));
    EXPECT_EQ(L"Okulon 1.0 Type Library", HelpString(-1));
    UniqueBstr helpFile;
    ASSERT_EQ(S_OK, m_library->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.put()));
    EXPECT_EQ(nullptr, helpFile.get());
    EXPECT_EQ(2u, m_library->GetTypeInfoCount());
}

TEST_F(DispatchTypeLibrary, TheCoclassIsCreatableAndAggregatableWithIEyeTrackerImplAsItsDefault) {
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, m_library->GetTypeInfo(0, coclass.put()));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_COCLASS, attributes->typekind);
    EXPECT_TRUE(IsEqualGUID(CLSID_CEyeTrackerImpl, attributes->guid));
    EXPECT_EQ(0x0402, attributes->wTypeFlags);
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    EXPECT_EQ(1, attributes->cImplTypes);
    coclass->ReleaseTypeAttr(attributes);
    EXPECT_EQ(L"CEyeTrackerImpl", Name(0));
    EXPECT_EQ(L"EyeTrackerImpl Class", HelpString(0));

    INT flags = 0;
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    HREFTYPE reference = 0;
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &reference));
    ComPtr<ITypeInfo> implemented;
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(reference, implemented.put()));
    ASSERT_EQ(S_OK, implemented->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(IID_IEyeTrackerImpl, attributes->guid));
    implemented->ReleaseTypeAttr(attributes);
}

TEST_F(DispatchTypeLibrary, TheInterfaceIsADualDispatchableAutomationInterfaceWithSevenEntries) {
    ComPtr<ITypeInfo> interfaceInfo;
    ASSERT_EQ(S_OK, m_library->GetTypeInfo(1, interfaceInfo.put()));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, interfaceInfo->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(IID_IEyeTrackerImpl, attributes->guid));
    // The dispatch view is reported without the automation flag that the file holds.
    EXPECT_EQ(0x1140 & ~TYPEFLAG_FOLEAUTOMATION, attributes->wTypeFlags);
    EXPECT_EQ(TKIND_DISPATCH, attributes->typekind);
    EXPECT_EQ(0, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    EXPECT_EQ(7 * sizeof(void*), attributes->cbSizeVft);
    EXPECT_EQ(0, attributes->cVars);
    interfaceInfo->ReleaseTypeAttr(attributes);
    EXPECT_EQ(L"IEyeTrackerImpl", Name(1));
    EXPECT_EQ(L"IEyeTrackerImpl Interface", HelpString(1));

    // Its vtable half derives from IDispatch, taken from the standard library.
    HREFTYPE dualReference = 0;
    ASSERT_EQ(S_OK, interfaceInfo->GetRefTypeOfImplType(-1, &dualReference));
    ComPtr<ITypeInfo> vtableInfo;
    ASSERT_EQ(S_OK, interfaceInfo->GetRefTypeInfo(dualReference, vtableInfo.put()));
    ASSERT_EQ(S_OK, vtableInfo->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_INTERFACE, attributes->typekind);
    EXPECT_EQ(0x1140, attributes->wTypeFlags);
    EXPECT_EQ(0, attributes->cFuncs);
    EXPECT_EQ(7 * sizeof(void*), attributes->cbSizeVft);
    vtableInfo->ReleaseTypeAttr(attributes);
    HREFTYPE baseReference = 0;
    ASSERT_EQ(S_OK, vtableInfo->GetRefTypeOfImplType(0, &baseReference));
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(S_OK, vtableInfo->GetRefTypeInfo(baseReference, base.put()));
    ASSERT_EQ(S_OK, base->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, attributes->guid));
    base->ReleaseTypeAttr(attributes);
    ComPtr<ITypeLib> baseLibrary;
    UINT index = 0;
    ASSERT_EQ(S_OK, base->GetContainingTypeLib(baseLibrary.put(), &index));
    TLIBATTR* libraryAttributes = nullptr;
    ASSERT_EQ(S_OK, baseLibrary->GetLibAttr(&libraryAttributes));
    EXPECT_TRUE(IsEqualGUID(kStandardOleLibrary, libraryAttributes->guid));
    EXPECT_EQ(2, libraryAttributes->wMajorVerNum);
    baseLibrary->ReleaseTLibAttr(libraryAttributes);
}

TEST_F(DispatchTypeLibrary, TheStoredLibraryHasNoFlagsACoclassOf0402AndAnInterfaceOf1140) {
    OkulonDll dll;
    ASSERT_TRUE(dll.IsLoaded());
    const StoredLibrary stored = ReadStoredLibrary(dll.Handle());
    ASSERT_TRUE(stored.found);
    EXPECT_EQ(0x5446534Du, stored.magic);  // "MSFT"
    EXPECT_EQ(0u, stored.libraryFlags);
    EXPECT_EQ((std::vector<uint32_t>{0x0402, 0x1140}), stored.typeFlags);
}

TEST_F(DispatchTypeLibrary, TheLibraryCarriesOnlyTheCreatorVersionAndTimeStampEntries) {
    ComPtr<ITypeLib2> library2;
    ASSERT_EQ(S_OK, m_library->QueryInterface(IID_ITypeLib2, library2.put_void()));
    CUSTDATA data{};
    ASSERT_EQ(S_OK, library2->GetAllCustData(&data));
    ASSERT_EQ(3u, data.cCustData);
    int timeStamps = 0;
    int versions = 0;
    int creators = 0;
    for (DWORD i = 0; i < data.cCustData; ++i) {
        const GUID& id = data.prgCustData[i].guid;
        timeStamps += IsEqualGUID(id, kCustomDataTimeStamp) ? 1 : 0;
        versions += IsEqualGUID(id, kCustomDataVersion) ? 1 : 0;
        creators += IsEqualGUID(id, kCustomDataCreator) ? 1 : 0;
    }
    EXPECT_EQ(1, timeStamps);
    EXPECT_EQ(1, versions);
    EXPECT_EQ(1, creators);
    ClearCustData(&data);
}

}  // namespace
}  // namespace okulon::test
