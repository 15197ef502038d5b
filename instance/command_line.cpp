// The server's command line.
#include "instance/command_line.h"

#include <stdexcept>

#include "error/error.h"
#include "error/sqlstate.h"
#include "instance/client_side_settings.h"

namespace kelvoapi {
namespace {

constexpr ContextId kInvalidUseTcpPort{0x1d669fd7};
constexpr ContextId kUnwritableOption{0x5be2a9c4};

// The server reads "-x" "--y=..." as two options and "--a=b=c" as a=(b=c):
// such an entry cannot reach it as itself.
[[noreturn]] void ThrowUnwritable(const std::string& name, const char* why) {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                "Parameter `" + name + "` cannot be passed to the server: " + why + ".", kUnwritableOption);
}

bool IsKeptOffCommandLine(const std::string& name) {
    return name.empty() || name == "config" || name == "listen_connection" || name == "callback_connection" ||
           isClientSideSettingName(name);
}

}  // namespace

std::pair<CommandLineArguments, std::filesystem::path> GenerateKelvoCommandLineArguments(
    const IPC_ConnectionDescriptor& callbackConnectionDescriptor,
    const IPC_ConnectionDescriptor& listenConnectionDescriptor, const Parameters& parameters) {
    CommandLineArguments arguments;
    auto add = [&arguments](std::string argument, std::string_view value) {
        arguments.push_back(std::move(argument));
        if (!value.empty())
            arguments.emplace_back(value);
    };

    for (const auto& [name, value] : parameters) {
        if (IsKeptOffCommandLine(name))
            continue;
        if (name.size() == 1) {
            if (value.rfind("--", 0) == 0)
                ThrowUnwritable(name, "its value begins with \"--\"");
            // Written even when empty, so that a following option is not read as the value.
            arguments.push_back(std::string("-") + name);
            arguments.push_back(value);
            continue;
        }
        if (name.find('=') != std::string::npos)
            ThrowUnwritable(name, "its name holds '='");
        std::string option = "--" + name;
        for (char& c : option) {
            if (c == '_')
                c = '-';
        }
        arguments.push_back(option + "=" + value);
    }
    if (parameters.ContainsKey("config"))
        arguments.push_back("--config=" + std::string(parameters.Get("config")));
    add("--listen-connection", listenConnectionDescriptor.str());
    add("--callback-connection", callbackConnectionDescriptor.str());
    arguments.emplace_back("run");

    std::string_view directoryText = parameters.Get("database_directory");
    std::filesystem::path directory =
        directoryText.empty() ? std::filesystem::current_path() : std::filesystem::path(std::string(directoryText));
    std::filesystem::path database(std::string(parameters.Get("database")));
    std::filesystem::path mainDatabasePath = database.has_root_directory() ? database : directory / database;
    return {std::move(arguments), std::move(mainDatabasePath)};
}

std::pair<bool, uint16_t> GetUseTcpValue(const Parameters& parameters) {
    const std::string value(parameters.Get(getClientSideSettingName(ClientSideSetting::UseTcpPort)));
    if (value.empty() || value == "off")
        return {false, 0};
    if (value == "auto")
        return {true, 0};
    try {
        const long long port = std::stoll(value);
        if (port >= 1 && port <= 65535)
            return {true, static_cast<uint16_t>(port)};
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    Error error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                "Parameter `use_tcp_port` is set to an invalid value.", kInvalidUseTcpPort);
    error.SetHint("Specify `auto` for Kelvo to pick an ephemeral port or specify a port number between 1 and 65535.");
    throw error;
}

}  // namespace kelvoapi
