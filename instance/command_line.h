// The server's command line, built from an instance parameter set, and the
// `use_tcp_port` setting that decides the kind of the generated endpoints.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "instance/parameters.h"
#include "ipc/connection_descriptor.h"

namespace kelvoapi {

// One element per argument, without the executable path.
using CommandLineArguments = std::vector<std::string>;

// Every parameter that the server understands as an option (one-letter names
// as "-x value", others as "--long-name=value"), then "--config=",
// "--listen-connection", "--callback-connection" and "run"; and the path of
// the main database file. Client-side settings never reach the server.
std::pair<CommandLineArguments, std::filesystem::path> GenerateKelvoCommandLineArguments(
    const IPC_ConnectionDescriptor& callbackConnectionDescriptor,
    const IPC_ConnectionDescriptor& listenConnectionDescriptor, const Parameters& parameters);

// (use TCP, port) from `use_tcp_port`; port 0 lets the server pick one.
// Throws kelvoapi::Error (22023) for a value that names no port.
std::pair<bool, uint16_t> GetUseTcpValue(const Parameters& parameters);

}  // namespace kelvoapi
