// The registrar fuzz targets' check of the keys a run touched: every
// component of a touched path must be named by the run's input, except below
// a named key that the run deletes with its subkeys, which it may only open,
// enumerate, delete and close. A run nests keys hundreds deep and touches
// each many times, so each key is judged once, from its parent's judgement
// and its own name, and each distinct name once: a run's check costs about
// one step per touch, not one per component of every touched path.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tests/support/memory_registry.h"

// The check is no code under test: its comparisons are not traced as coverage.
#define OKULON_FUZZ_CHECK_CODE __attribute__((no_sanitize("coverage")))

namespace okulon::fuzz {

inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// isNamed(component) says whether the run's input names that key name.
template <typename IsNamed>
class TouchedPaths {
public:
    explicit TouchedPaths(IsNamed isNamed) : m_isNamed(std::move(isNamed)) {}

    // mayDeleteTrees: the run may delete keys with their subkeys.
    OKULON_FUZZ_CHECK_CODE void CheckAll(const MemoryRegistry& registry, bool mayDeleteTrees) {
        using Call = MemoryRegistry::Call;
        m_keys.assign(registry.KeyCount(), Judgement());
        for (const MemoryRegistry::Touch& touch : registry.Touches()) {
            if (touch.key == nullptr) {
                continue;  // a call on a handle the registry does not know reaches no key
            }
            Judgement judged = JudgeKey(*touch.key);
            if (!touch.name.empty()) {
                judged = Extend(judged, touch.name, true);
            }
            if (!judged.belowRoot) {
                continue;  // the root itself
            }
            if (!judged.allNamed) {
                // Deleting with subkeys starts below a key the input named, never at a root.
                Check(mayDeleteTrees && judged.namedComponents > 0);
                Check(touch.call == Call::kOpen || touch.call == Call::kEnumKey || touch.call == Call::kDeleteKey ||
                      touch.call == Call::kClose);
            }
        }
        m_components.clear();  // it holds views into this run's touches
    }

private:
    struct Judgement {
        bool known = false;
        bool belowRoot = false;
        bool allNamed = true;
        size_t namedComponents = 0;  // leading ones
    };

    OKULON_FUZZ_CHECK_CODE Judgement JudgeKey(const MemoryRegistry::KeyRecord& key) {
        if (key.parent == nullptr) {
            return Judgement{true};
        }
        Judgement& slot = m_keys[key.serial];
        if (!slot.known) {
            slot = Extend(JudgeKey(*key.parent), key.name, false);
        }
        return slot;
    }

    // The judgement of a path continued by a name, split at "\" when it may
    // hold several components; an empty component counts as one.
    OKULON_FUZZ_CHECK_CODE Judgement Extend(Judgement judged, std::u16string_view more, bool split) {
        judged.known = true;
        judged.belowRoot = true;
        size_t start = 0;
        while (judged.allNamed) {
            // Plain pointers: the library's element access is traced.
            const char16_t* const units = more.data();
            size_t end = more.size();
            for (size_t i = start; split && i < more.size(); ++i) {
                if (units[i] == u'\\') {
                    end = i;
                    break;
                }
            }
            const std::u16string_view component(units + start, end - start);
            if (!Named(component)) {
                judged.allNamed = false;
                break;
            }
            ++judged.namedComponents;
            if (end == more.size()) {
                break;
            }
            start = end + 1;
        }
        return judged;
    }

    OKULON_FUZZ_CHECK_CODE bool Named(std::u16string_view component) {
        if (const auto known = m_components.find(component); known != m_components.end()) {
            return known->second;
        }
        const bool named = m_isNamed(component);
        m_components.emplace(component, named);
        return named;
    }

    struct SameUnits {
        bool operator()(std::u16string_view a, std::u16string_view b) const {
            return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
        }
    };

    IsNamed m_isNamed;
    std::vector<Judgement> m_keys;  // by serial
    std::unordered_map<std::u16string_view, bool, std::hash<std::u16string_view>, SameUnits> m_components;
};

}  // namespace okulon::fuzz
