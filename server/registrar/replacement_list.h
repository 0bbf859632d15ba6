// The ordered list of (name, text) replacement pairs of a registrar, and the
// expansion of %NAME% references through it. Adding never replaces an earlier
// pair; lookup ignores case and takes the first match. Owned by one registrar
// object on the registering thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hresults.h"

namespace okulon {

class ReplacementList {
public:
    // Names of this many units or more are refused by Expand.
    static constexpr size_t kMaxNameUnits = 32;

    enum class ExpandResult { kOk, kUnclosed, kNameTooLong, kUnknownName };

    // kEInvalidArg for a null name or text, kEOutOfMemory when the copy fails.
    HResult Add(const char16_t* name, const char16_t* text) noexcept;
    void Clear() noexcept { m_pairs.clear(); }
    size_t Count() const { return m_pairs.size(); }

    // The text of the first pair whose name equals name without regard to
    // case; null when there is none.
    const std::u16string* Find(std::u16string_view name) const;

    // Copies text into *out: "%%" gives "%", "%NAME%" gives NAME's text.
    // Throws std::bad_alloc when the output cannot grow.
    ExpandResult Expand(std::u16string_view text, std::u16string* out) const;

private:
    std::vector<std::pair<std::u16string, std::u16string>> m_pairs;
};

}  // namespace okulon
