#include "server/registrar/registration_program.h"

#include <new>

namespace okulon {

namespace {

constexpr uint32_t Root(uint32_t number) { return RegistrationWord(kOpRoot, number); }
constexpr uint32_t NoRemove(uint32_t key) { return RegistrationWord(kOpNoRemove, key); }
constexpr uint32_t ForceRemove(uint32_t key) { return RegistrationWord(kOpForceRemove, key); }
constexpr uint32_t Key(uint32_t key) { return RegistrationWord(kOpKey, key); }
constexpr uint32_t Default(uint32_t data) { return RegistrationWord(kOpString, 0, data); }
constexpr uint32_t Named(uint32_t name, uint32_t data) { return RegistrationWord(kOpString, name, data); }
constexpr uint32_t kBegin = RegistrationWord(kOpBeginBlock);
constexpr uint32_t kEndBlock = RegistrationWord(kOpEndBlock);
constexpr uint32_t kEnd = RegistrationWord(kOpEnd);

constexpr size_t kMaxScriptPathUnits = 519;  // 520 with the terminator

}  // namespace

// HKCR
// {
//     Okulon.EyeTrackerImpl.1 = %FriendlyName% { CLSID = {class id} }
//     Okulon.EyeTrackerImpl = %FriendlyName% { CLSID = {class id}, CurVer = Okulon.EyeTrackerImpl.1 }
//     NoRemove CLSID
//     {
//         ForceRemove {class id} = %FriendlyName%
//         {
//             ProgID = Okulon.EyeTrackerImpl.1
//             VersionIndependentProgID = Okulon.EyeTrackerImpl
//             ForceRemove Programmable
//             %MODULETYPE% = %MODULE% { ThreadingModel = "" }
//             AppID = %APPID% (value)
//             TypeLib = %MODULEGUID%
//         }
//     }
// }
const uint32_t kClassRegistrationWords[kClassRegistrationWordCount] = {
    Root(0),        Key(1),      Default(2), kBegin,       Key(3),         Default(4),    kBegin,  kEndBlock,
    kEndBlock,      Key(5),      Default(2), kBegin,       Key(3),         Default(4),    kBegin,  kEndBlock,
    Key(6),         Default(1),  kBegin,     kEndBlock,    kEndBlock,      NoRemove(3),   Key(3),  kBegin,
    ForceRemove(4), Key(4),      Default(2), kBegin,       Key(7),         Default(1),    kBegin,  kEndBlock,
    Key(8),         Default(5),  kBegin,     kEndBlock,    ForceRemove(9), Key(9),        kBegin,  kEndBlock,
    Key(10),        Default(11), kBegin,     Named(12, 0), kEndBlock,      Named(13, 14), Key(15), Default(16),
    kBegin,         kEndBlock,   kEndBlock,  kEndBlock,    kEndBlock,      kEnd,
};

const RegistrationString kClassRegistrationStrings[kClassRegistrationStringCount] = {
    {u"", 0},
    {kVersionedProgId, 0},
    {u"%FriendlyName%", 1},
    {u"CLSID", 0},
    {kClassIdText, 0},
    {kProgId, 0},
    {u"CurVer", 0},
    {u"ProgID", 0},
    {u"VersionIndependentProgID", 0},
    {u"Programmable", 0},
    {u"%MODULETYPE%", 1},
    {u"%MODULE%", 1},
    {u"ThreadingModel", 0},
    {u"AppID", 0},
    {u"%APPID%", 1},
    {u"TypeLib", 0},
    {u"%MODULEGUID%", 1},
};

RegistrationProgram ClassRegistrationProgram() {
    return RegistrationProgram{kClassRegistrationWords,
                               kClassRegistrationWordCount,
                               kClassRegistrationStrings,
                               kClassRegistrationStringCount,
                               nullptr,
                               0,
                               nullptr,
                               0};
}

HResult AddStandardReplacements(IRegistrarBase& registrar, const ModuleFacts& module) {
    try {
        const std::u16string quoted = u"\"" + module.path + u"\"";
        const std::u16string& modulePath = module.isProcessExecutable ? quoted : module.path;
        OKULON_RETURN_IF_FAILED(registrar.AddReplacement(u"Module", modulePath.c_str()));
        OKULON_RETURN_IF_FAILED(registrar.AddReplacement(u"Module_Raw", module.path.c_str()));
        OKULON_RETURN_IF_FAILED(registrar.AddReplacement(u"MODULEGUID", kTypeLibIdText));
        return registrar.AddReplacement(u"MODULETYPE", module.fileIsExecutable ? u"LocalServer32" : u"InprocServer32");
    } catch (const std::bad_alloc&) {
        return kEOutOfMemory;
    }
}

HResult AddScriptModuleReplacements(IRegistrarBase& registrar, const ModuleFacts& module) {
    try {
        std::u16string escaped;
        for (char16_t c : module.path) {
            escaped.push_back(c);
            if (c == u'\'') {
                escaped.push_back(u'\'');
            }
        }
        if (escaped.size() > kMaxScriptPathUnits) {
            return kEFail;
        }
        std::u16string modulePath = escaped;
        if (module.isProcessExecutable) {
            if (escaped.size() + 2 > kMaxScriptPathUnits) {
                return kEFail;
            }
            modulePath = u"\"" + escaped + u"\"";
        }
        OKULON_RETURN_IF_FAILED(registrar.AddReplacement(u"Module", modulePath.c_str()));
        return registrar.AddReplacement(u"Module_Raw", escaped.c_str());
    } catch (const std::bad_alloc&) {
        return kEOutOfMemory;
    }
}

HResult RunClassRegistration(RegistryApi& registry, const ModuleFacts& module,
                             const std::function<HResult(IRegistrarBase&)>& addCommonReplacements, bool doRegister) {
    CRegistryVirtualMachine machine(registry);
    OKULON_RETURN_IF_FAILED(AddStandardReplacements(machine, module));
    if (addCommonReplacements) {
        OKULON_RETURN_IF_FAILED(addCommonReplacements(machine));
    }
    // A failure here surfaces as an unresolvable name when the program runs.
    machine.AddReplacement(u"FriendlyName", kFriendlyName);
    return machine.Execute(ClassRegistrationProgram(), doRegister);
}

}  // namespace okulon
