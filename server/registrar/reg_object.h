// CRegObject, the registrar script interpreter: holds the replacement list of
// one run and applies a registry script (root-key blocks of keys and values,
// "%NAME%" variables, the prefixes ForceRemove, Delete, NoRemove and Val) to
// a RegistryApi, adding what it describes or removing it again. Lives on the
// stack of the registering thread for one script run; not reference counted.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/hresults.h"
#include "server/registrar/registrar_base.h"
#include "server/registrar/registry_api.h"
#include "server/registrar/replacement_list.h"

namespace okulon {

class CRegObject final : public IRegistrarBase {
public:
    // The longest token, in UTF-16 units.
    static constexpr size_t kMaxTokenUnits = 4094;
    // The longest value name; longer ones are refused with kDispEException.
    static constexpr size_t kMaxValueNameUnits = 259;
    // Blocks nest no deeper than the platform registry does; deeper scripts
    // are refused rather than allowed to exhaust the stack.
    static constexpr int kMaxNestingDepth = 512;

    explicit CRegObject(RegistryApi& registry) : m_registry(registry) {}
    ~CRegObject() override { m_replacements.Clear(); }
    CRegObject(const CRegObject&) = delete;
    CRegObject& operator=(const CRegObject&) = delete;

    // Not a COM object for anyone else: kENotImpl, *object untouched.
    HResult QueryInterface(const Guid& iid, void** object) override;
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 0; }
    HResult AddReplacement(const char16_t* name, const char16_t* text) override;
    HResult ClearReplacements() override;

    // Runs a script (which ends at its first NUL, as the platform's text
    // would) in register or unregister mode. Variables are replaced before
    // anything is parsed, so a script that names an unknown variable touches
    // nothing. A failing root block is unregistered again when registering.
    HResult ProcessScript(std::u16string_view script, bool doRegister) noexcept;

private:
    class ScriptRun;

    RegistryApi& m_registry;
    ReplacementList m_replacements;
};

}  // namespace okulon
