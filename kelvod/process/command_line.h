// The server's command line, as the library builds it: --name=value options
// (with '-' standing for '_'), one-letter options "-x value", --config=...,
// "--listen-connection L", "--callback-connection C" and "run" last.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvod {

struct CommandLine {
    std::map<std::string, std::string> settings;  // names with '_'; unknown ones kept and ignored
    std::string listenConnection;
    std::string callbackConnection;
};

struct CommandLineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kelvod
