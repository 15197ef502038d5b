// Endpoint descriptors from hostile text: a descriptor's text form parses to
// itself.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "ipc/connection_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<IPC_ConnectionDescriptor> parsed;
    try {
        parsed = IPC_ConnectionDescriptor::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::invalid_argument&) {
        return 0;
    }
    if (!parsed)
        __builtin_trap();
    std::unique_ptr<IPC_ConnectionDescriptor> again;
    try {
        again = IPC_ConnectionDescriptor::Parse(parsed->str());
    } catch (const std::invalid_argument&) {
        __builtin_trap();
    }
    if (again->str() != parsed->str() || again->GetScheme() != parsed->GetScheme())
        __builtin_trap();
    return 0;
}
