#include "server/registrar/replacement_list.h"

#include <algorithm>
#include <new>

#include "server/registrar/registry_api.h"

namespace okulon {

HResult ReplacementList::Add(const char16_t* name, const char16_t* text) noexcept {
    if (name == nullptr || text == nullptr) {
        return kEInvalidArg;
    }
    try {
        m_pairs.emplace_back(std::u16string(name), std::u16string(text));
    } catch (...) {
        return HResultFromCaughtException();
    }
    return kSOk;
}

const std::u16string* ReplacementList::Find(std::u16string_view name) const {
    for (const auto& pair : m_pairs) {
        if (EqualsIgnoreCase(pair.first, name)) {
            return &pair.second;
        }
    }
    return nullptr;
}

ReplacementList::ExpandResult ReplacementList::Expand(std::u16string_view text, std::u16string* out) const {
    out->clear();
    out->reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != u'%') {
            // The run up to the next reference, copied at once.
            const size_t next = std::min(text.find(u'%', i), text.size());
            out->append(text.substr(i, next - i));
            i = next;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == u'%') {
            out->push_back(u'%');
            i += 2;
            continue;
        }
        const size_t close = text.find(u'%', i + 1);
        if (close == std::u16string_view::npos) {
            return ExpandResult::kUnclosed;
        }
        const std::u16string_view name = text.substr(i + 1, close - i - 1);
        if (name.size() >= kMaxNameUnits) {
            return ExpandResult::kNameTooLong;
        }
        const std::u16string* replacement = Find(name);
        if (replacement == nullptr) {
            return ExpandResult::kUnknownName;
        }
        out->append(*replacement);
        i = close + 1;
    }
    return ExpandResult::kOk;
}

}  // namespace okulon
