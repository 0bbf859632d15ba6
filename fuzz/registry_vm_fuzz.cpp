// Arbitrary registration programs over a small string table, in both modes,
// over an in-memory registry that already holds some keys. Checks that the
// machine never crashes or reads past its tables, closes every key it opens,
// and creates or writes only keys named by the string table; keys it did not
// name may only be opened, enumerated and deleted (deleting a key with its
// subkeys reaches them).
//
// Input: byte 0 = flags (bit 0 register, bit 1 then unregister); the rest is
// the program as little-endian 32-bit words. The program is not given a
// final 0 word: running off its end must be caught by the machine.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/touched_paths.h"
#include "server/registrar/registry_virtual_machine.h"
#include "tests/support/memory_registry.h"

namespace {

using okulon::MemoryRegistry;
using okulon::RegistrationString;
using okulon::fuzz::Check;

const std::u16string kLongName(32, u'L');
const std::u16string kLongReference = u"%" + kLongName + u"%";

const RegistrationString kStrings[] = {
    {u"", 0},
    {u"a", 0},
    {u"b", 0},
    {u"%X%", 1},
    {u"%%", 1},
    {u"%Y%", 1},
    {u"CLSID", 0},
    {u"c\\d", 0},
    {u"%X", 1},
    {kLongReference.c_str(), 1},
    {nullptr, 0},
    {u"%E%", 1},
    {u"ThreadingModel", 0},
    {u"'q'", 0},
};
// Every key name a resolved entry can give, one path component each.
const std::u16string kNamed[] = {u"a", u"b", u"x", u"%", u"CLSID", u"c", u"d", u"ThreadingModel", u"'q'"};

const uint32_t kNumbers[] = {42, 0xFFFFFFFFu};
const uint8_t kRaw[] = {1, 2, 3};
const okulon::RegistrationBytes kBytes[] = {{kRaw, 3}, {nullptr, 0}};

OKULON_FUZZ_CHECK_CODE bool IsNamed(std::u16string_view component) {
    for (const std::u16string& name : kNamed) {
        if (okulon::EqualsIgnoreCase(component, name)) {
            return true;
        }
    }
    return false;
}

void Populate(MemoryRegistry& registry) {
    registry.AddKey(okulon::kClassesRoot, u"CLSID\\{X}\\InprocServer32");
    registry.AddKey(okulon::kClassesRoot, u"a\\zq1\\zq2");
    registry.PutString(okulon::kClassesRoot, u"a\\zq1", u"v", u"x");
    registry.AddKey(okulon::kClassesRoot, u"b");
    registry.AddKey(okulon::kCurrentUser, u"a\\zq3");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t flags = data[0];
    std::vector<uint32_t> words;
    for (size_t i = 1; i + 4 <= size; i += 4) {
        words.push_back(uint32_t(data[i]) | (uint32_t(data[i + 1]) << 8) | (uint32_t(data[i + 2]) << 16) |
                        (uint32_t(data[i + 3]) << 24));
    }
    // An exactly sized copy, so reading past the end is visible to the sanitizer.
    std::unique_ptr<uint32_t[]> program(new uint32_t[words.size()]);
    std::copy(words.begin(), words.end(), program.get());

    MemoryRegistry registry;
    Populate(registry);
    okulon::CRegistryVirtualMachine machine(registry);
    machine.AddReplacement(u"X", u"x");
    machine.AddReplacement(u"E", u"");
    machine.AddReplacement(kLongName.c_str(), u"long");

    const okulon::RegistrationProgram run{program.get(), words.size(),        kStrings, std::size(kStrings),
                                          kNumbers,      std::size(kNumbers), kBytes,   std::size(kBytes)};
    // Deleting a key with its subkeys reaches keys the program did not name.
    okulon::fuzz::TouchedPaths touched(&IsNamed);
    machine.Execute(run, (flags & 1) != 0);
    Check(registry.OpenHandleCount() == 0);
    touched.CheckAll(registry, true);
    if ((flags & 2) != 0) {
        registry.ClearTouches();
        machine.Execute(run, false);
        Check(registry.OpenHandleCount() == 0);
        touched.CheckAll(registry, true);
    }
    return 0;
}
