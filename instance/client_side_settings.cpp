// The names of the settings that stay with the library.
#include "instance/client_side_settings.h"

namespace kelvoapi {

const std::unordered_map<ClientSideSetting, std::string> ClientSideSettings{
    {ClientSideSetting::DomainSocketDirectory, "domain_socket_dir"},
    {ClientSideSetting::AutoDeleteDatabases, "auto_delete_database"},
    {ClientSideSetting::CaptureOutputStreams, "capture_output_streams"},
    {ClientSideSetting::UseTcpPort, "use_tcp_port"},
};

const std::string& getClientSideSettingName(ClientSideSetting setting) { return ClientSideSettings.at(setting); }

bool isClientSideSettingName(std::string_view name) {
    for (const auto& entry : ClientSideSettings) {
        if (entry.second == name)
            return true;
    }
    return false;
}

}  // namespace kelvoapi
