// The server's command line from the library's writing to the server's reading: parameters with any names and values
// (the input: items split at 0x01, name and value at 0x02) go through the library's writer and the server's parser.
// Every parameter the writer accepts arrives under its name with its value, and nothing arrives that no parameter said:
// a value can neither become an option of its own nor change another's.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "error/error.h"
#include "fuzz_input.h"
#include "instance/client_side_settings.h"
#include "instance/command_line.h"
#include "ipc/connection_descriptor.h"
#include "kelvod/process/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto listen = IPC_ConnectionDescriptor::Parse("pel.domain:///tmp/domain/l");
    static const auto callback = IPC_ConnectionDescriptor::Parse("pel.domain:///tmp/domain/c");
    const std::string input(reinterpret_cast<const char*>(data), size);
    kelvoapi::Parameters parameters;
    for (const std::string& item : kelvofuzz::Split(input, '\x01')) {
        const std::vector<std::string> parts = kelvofuzz::Split(item, '\x02');
        try {
            parameters.Set(parts[0], parts.size() > 1 ? parts[1] : "");
        } catch (const kelvoapi::Error&) {
        }
    }
    // What the server should read: every parameter not kept for the library itself, under its name as an option spells
    // it.
    std::map<std::string, std::string> expected;
    for (const auto& [name, value] : parameters) {
        if (name.empty() || name == "listen_connection" || name == "callback_connection" ||
            kelvoapi::isClientSideSettingName(name))
            continue;
        if (!expected.emplace(name, value).second)
            return 0;
    }
    kelvoapi::CommandLineArguments arguments;
    try {
        arguments = kelvoapi::GenerateKelvoCommandLineArguments(*callback, *listen, parameters).first;
    } catch (const kelvoapi::Error&) {
        // Refused before anything started: only an entry the server would read otherwise.
        bool unwritable = false;
        for (const auto& [name, value] : expected)
            unwritable |= name.size() == 1 ? value.rfind("--", 0) == 0 : name.find('=') != std::string::npos;
        TrapIf(!unwritable);
        return 0;
    }
    // (a throw: the library wrote what the server cannot read)
    const kelvod::CommandLine read = kelvod::ParseCommandLine(arguments);
    TrapIf(read.settings != expected || read.listenConnection != listen->str() ||
           read.callbackConnection != callback->str());
    return 0;
}
