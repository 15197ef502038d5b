// The client-side setting names: the exact spelling every reader relies on,
// and the exact-match look-up that keeps them off the server's command line.
#include "instance/client_side_settings.h"

#include <gtest/gtest.h>

namespace kelvoapi {
namespace {

TEST(ClientSideSettingsTest, NamesEachSetting) {
    const std::pair<ClientSideSetting, const char*> cases[] = {
        {ClientSideSetting::DomainSocketDirectory, "domain_socket_dir"},
        {ClientSideSetting::AutoDeleteDatabases, "auto_delete_database"},
        {ClientSideSetting::CaptureOutputStreams, "capture_output_streams"},
        {ClientSideSetting::UseTcpPort, "use_tcp_port"},
    };
    for (const auto& [setting, name] : cases) {
        EXPECT_EQ(getClientSideSettingName(setting), name);
        EXPECT_TRUE(isClientSideSettingName(name)) << name;
    }
    EXPECT_EQ(ClientSideSettings.size(), 4u);
}

TEST(ClientSideSettingsTest, RecognisesOnlyExactNames) {
    const char* others[] = {"use_tcp_port ", " use_tcp_port", "USE_TCP_PORT", "use-tcp-port", "use_tcp", "",
                            "database", "config"};
    for (const char* name : others) EXPECT_FALSE(isClientSideSettingName(name)) << '"' << name << '"';
}

}  // namespace
}  // namespace kelvoapi
