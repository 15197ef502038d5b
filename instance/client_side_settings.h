// The instance parameters that the library reads itself and never hands to
// the server. The command-line builder keeps these names off the server's
// command line, and the server process reads their values; both spell the
// names through this table.
//
// The server-process class exposes the two look-ups as its static members
// getClientSideSettingName and isClientSideSettingName; they are free
// functions here so that the parameter code needs no process.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace kelvoapi {

enum class ClientSideSetting {
    DomainSocketDirectory = 0,
    AutoDeleteDatabases = 1,
    CaptureOutputStreams = 2,
    UseTcpPort = 3,
};

// Built during static initialisation and never changed afterwards.
extern const std::unordered_map<ClientSideSetting, std::string> ClientSideSettings;

// The parameter name of the setting.
const std::string& getClientSideSettingName(ClientSideSetting setting);

// Whether the text is exactly one of the four names (case-sensitive).
bool isClientSideSettingName(std::string_view name);

}  // namespace kelvoapi
