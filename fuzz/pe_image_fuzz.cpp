// The PE reader on arbitrary bytes: every query must stay inside them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/dll_check/dll_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace okulon::pe;
    const auto image = PeImage::Parse(std::vector<uint8_t>(data, data + size));
    if (!image) return 0;
    (void)CheckMachine(*image, kMachineI386);
    (void)CheckExports(*image);
    (void)CheckImports(*image);
    (void)CheckResources(*image, std::nullopt, std::nullopt);
    (void)image->Resource("REGISTRY", 101);
    return 0;
}
