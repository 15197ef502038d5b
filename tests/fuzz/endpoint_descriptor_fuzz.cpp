// Endpoint descriptors from hostile text: a descriptor's text form parses to itself, and the server reads every
// descriptor the library writes (its
// --listen-connection) as the library meant it.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "ipc/connection_descriptor.h"
#include "kelvod/process/endpoint.h"

namespace {

// The server's text form of a descriptor, or empty when it refuses it.
std::string ServerForm(std::string_view text) {
    try {
        return kelvod::ParseEndpoint(text).ToString();
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<IPC_ConnectionDescriptor> parsed;
    try {
        parsed = IPC_ConnectionDescriptor::Parse(text);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    TrapIf(!parsed);
    // The server cannot read, or reads otherwise, what the library wrote.
    TrapIf(ServerForm(parsed->str()) != parsed->str());
    const std::unique_ptr<IPC_ConnectionDescriptor> again = IPC_ConnectionDescriptor::Parse(parsed->str());
    TrapIf(again->str() != parsed->str() || again->GetScheme() != parsed->GetScheme());
    return 0;
}
