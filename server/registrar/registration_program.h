// The component's registration data: the class registration program (opcode
// words and string table for CRegistryVirtualMachine), the application-
// identifier script (the text of the "REGISTRY" resource 101, okulon.rgs),
// the identifiers and names they use, and the preparation of the replacement
// variables both need. Read-only data plus functions that run on the
// registering thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/hresults.h"
#include "okulon_identity.h"  // the class's GUIDs and ProgID, from server/okulon.idl
#include "server/registrar/registrar_base.h"
#include "server/registrar/registry_api.h"
#include "server/registrar/registry_virtual_machine.h"

namespace okulon {

constexpr char16_t kClassIdText[] = u"" OKULON_CLASS_ID_TEXT;
// One GUID serves as application identifier and type library identifier.
constexpr char16_t kAppIdText[] = u"" OKULON_TYPE_LIBRARY_ID_TEXT;
constexpr char16_t kTypeLibIdText[] = u"" OKULON_TYPE_LIBRARY_ID_TEXT;
constexpr char16_t kProgId[] = u"" OKULON_PROG_ID;
constexpr char16_t kVersionedProgId[] = u"" OKULON_VERSIONED_PROG_ID;
constexpr char16_t kFriendlyName[] = u"CEyeTrackerImpl Object";

constexpr size_t kClassRegistrationWordCount = 54;
constexpr size_t kClassRegistrationStringCount = 17;
extern const uint32_t kClassRegistrationWords[kClassRegistrationWordCount];
extern const RegistrationString kClassRegistrationStrings[kClassRegistrationStringCount];

// The class registration program with its (empty) number and byte tables.
RegistrationProgram ClassRegistrationProgram();

// What the registering code knows about the component's file.
struct ModuleFacts {
    std::u16string path;               // full path as the loader reports it
    bool isProcessExecutable = false;  // the module is the process's executable
    bool fileIsExecutable = false;     // the file-information query classifies the file as an executable
};

// "Module" (the path; in double quotation marks only for the process's
// executable), "Module_Raw" (the path), "MODULEGUID" and "MODULETYPE", in
// this order: the class registration program's standard replacements.
HResult AddStandardReplacements(IRegistrarBase& registrar, const ModuleFacts& module);

// "Module" and "Module_Raw" for the script interpreter: the path with every
// single quotation mark doubled, because replacement is textual and the
// script quotes with single quotation marks. At most 519 units (kEFail
// beyond); "Module" is enclosed in double quotation marks for the process's
// executable.
HResult AddScriptModuleReplacements(IRegistrarBase& registrar, const ModuleFacts& module);

// The class registration function: a fresh CRegistryVirtualMachine, the
// standard replacements, the module's common ones (addCommonReplacements adds
// "APPID"), "FriendlyName", then the program in the given mode.
HResult RunClassRegistration(RegistryApi& registry, const ModuleFacts& module,
                             const std::function<HResult(IRegistrarBase&)>& addCommonReplacements, bool doRegister);

}  // namespace okulon
