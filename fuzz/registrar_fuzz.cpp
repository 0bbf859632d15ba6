// Arbitrary registry scripts and replacement pairs through the interpreter in
// both modes, over an in-memory registry that already holds some keys, with an
// optional registry failure injected. Checks that the run never crashes,
// closes every key it opens, and touches no key that the script does not
// name: each key name on a touched path must occur in the replaced script
// text, except for the subkeys that a registering ForceRemove or Delete
// enumerates in order to delete them (those may only be opened, enumerated
// and deleted, never created or written).
//
// Input: byte 0 = flags (bit 0 register, bit 1 then unregister, bits 2-3
// number of replacement lines, bit 4 inject a failure), byte 1 = failure
// (kind in bits 0-2, nth in bits 3-7); the rest, split at 0x01 bytes, is that
// many "NAME=TEXT" replacement lines followed by the script. Bytes become
// UTF-16 units one to one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/touched_paths.h"
#include "server/registrar/reg_object.h"
#include "server/registrar/replacement_list.h"
#include "tests/support/memory_registry.h"

namespace {

using okulon::MemoryRegistry;
using Call = MemoryRegistry::Call;
using okulon::fuzz::Check;

OKULON_FUZZ_CHECK_CODE std::u16string Folded(std::u16string_view text) {
    std::u16string folded(text);
    for (char16_t& c : folded) {
        c = okulon::FoldCase(c);
    }
    return folded;
}

// Whether the text holds the units of `name` at some position: memmem over
// the bytes, keeping only matches that start on a unit.
OKULON_FUZZ_CHECK_CODE bool Holds(const std::u16string& text, const std::u16string& name) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size() * sizeof(char16_t);
    const size_t nameSize = name.size() * sizeof(char16_t);
    for (size_t from = 0; from + nameSize <= size;) {
        const void* found = memmem(bytes + from, size - from, name.data(), nameSize);
        if (found == nullptr) {
            return false;
        }
        const size_t at = static_cast<size_t>(static_cast<const unsigned char*>(found) - bytes);
        if (at % sizeof(char16_t) == 0) {
            return true;
        }
        from = at + 1;
    }
    return false;
}

// Does the key name occur in the text as written, or with its quotation marks
// doubled as a quoted token would carry them?
OKULON_FUZZ_CHECK_CODE bool NamedIn(const std::u16string& foldedText, std::u16string_view component) {
    const std::u16string name = Folded(component);
    if (Holds(foldedText, name)) {
        return true;
    }
    if (name.find(u'\'') == std::u16string::npos) {
        return false;
    }
    std::u16string quoted;
    for (char16_t c : name) {
        quoted.push_back(c);
        if (c == u'\'') {
            quoted.push_back(u'\'');
        }
    }
    return Holds(foldedText, quoted);
}

void Populate(MemoryRegistry& registry) {
    using okulon::kClassesRoot;
    registry.AddKey(kClassesRoot, u"CLSID\\{X}\\InprocServer32");
    registry.PutString(kClassesRoot, u"CLSID\\{X}", u"", u"other");
    registry.AddKey(kClassesRoot, u"AppID");
    registry.AddKey(kClassesRoot, u"a\\zq1\\zq2");
    registry.PutString(kClassesRoot, u"a\\zq1", u"v", u"x");
    registry.AddKey(kClassesRoot, u"k\\zq3");
    registry.AddKey(okulon::kCurrentUser, u"Software\\zq4");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t flags = data[0];
    const uint8_t failure = data[1];
    const std::u16string rest(data + 2, data + size);

    okulon::ReplacementList replacements;
    std::vector<std::u16string> pairs;
    size_t position = 0;
    const int lines = (flags >> 2) & 3;
    for (int line = 0; line < lines; ++line) {
        const size_t end = rest.find(u'\x01', position);
        if (end == std::u16string::npos) {
            break;
        }
        pairs.push_back(rest.substr(position, end - position));
        position = end + 1;
    }
    const std::u16string script = rest.substr(position);

    MemoryRegistry registry;
    Populate(registry);
    const bool inject = (flags & 0x10) != 0;
    const Call failingCall = static_cast<Call>((failure & 7) % MemoryRegistry::kCallKinds);
    if (inject) {
        registry.FailCall(failingCall, 1 + (failure >> 3),
                          (failure & 0x80) ? okulon::kErrorOutOfMemory : okulon::kErrorAccessDenied);
    }

    okulon::CRegObject registrar(registry);
    for (const std::u16string& pair : pairs) {
        const size_t equals = pair.find(u'=');
        const std::u16string name = pair.substr(0, equals);
        const std::u16string text = equals == std::u16string::npos ? std::u16string() : pair.substr(equals + 1);
        // The registrar copies C strings: what follows an embedded NUL is not part of them.
        registrar.AddReplacement(name.c_str(), text.c_str());
        replacements.Add(name.c_str(), text.c_str());
    }

    std::u16string_view scriptText = script;
    scriptText = scriptText.substr(0, scriptText.find(u'\0'));
    std::u16string replaced;
    const bool expands = replacements.Expand(scriptText, &replaced) == okulon::ReplacementList::ExpandResult::kOk;
    const std::u16string foldedText = Folded(replaced);

    const bool registering = (flags & 1) != 0;
    // A registering ForceRemove or Delete enumerates the subkeys it deletes.
    const bool mayDeleteTrees = registering && (foldedText.find(u"FORCEREMOVE") != std::u16string::npos ||
                                                foldedText.find(u"DELETE") != std::u16string::npos);
    okulon::fuzz::TouchedPaths touched([&](std::u16string_view component) { return NamedIn(foldedText, component); });
    const okulon::HResult first = registrar.ProcessScript(script, registering);
    if (!expands) {
        Check(first != okulon::kSOk);
        Check(registry.Touches().empty());
    }
    // A close that fails on purpose leaves its handle behind in the registry.
    const auto closeFailed = [&] {
        return inject && failingCall == Call::kClose && registry.CallCount(Call::kClose) > (failure >> 3);
    };
    Check(closeFailed() || registry.OpenHandleCount() == 0);
    touched.CheckAll(registry, mayDeleteTrees);

    if ((flags & 2) != 0) {
        registry.ClearTouches();
        registrar.ProcessScript(script, false);
        Check(closeFailed() || registry.OpenHandleCount() == 0);
        touched.CheckAll(registry, false);
    }
    return 0;
}
