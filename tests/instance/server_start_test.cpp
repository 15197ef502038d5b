// The stand-in server started and stopped through the C interface.
#include <gtest/gtest.h>

#include <string>

#include "error/error.h"
#include "instance/instance.h"
#include "instance/server_location.h"
#include "kelvo/error.h"
#include "kelvo/instance.h"
#include "kelvo/parameters.h"

namespace {

std::string TextOf(kelvo_error_t* error) {
    const std::string text = error ? kelvoapi::ToString(*static_cast<kelvoapi::Error*>(error)) : "";
    kelvo_error_destroy(error);
    return text;
}

TEST(ServerStart, TheServerNextToTheLibraryIsFound) {
    EXPECT_EQ(kelvoapi::FindKelvoDirectoryFrom(std::filesystem::path(KELVO_SERVER_DIR).parent_path(), std::nullopt),
              std::filesystem::path(KELVO_SERVER_DIR));
}

// On a domain socket, started and closed, it serves every end-to-end suite;
// here on loopback TCP, shut down.
TEST(ServerStart, StartsAndShutsDownOnLoopback) {
    kelvo_parameters_t* parameters = nullptr;
    ASSERT_EQ(TextOf(kelvo_create_instance_parameters(&parameters, true)), "");
    ASSERT_EQ(TextOf(kelvo_parameters_set(parameters, "use_tcp_port", "auto")), "");
    kelvo_instance_t* instance = nullptr;
    const std::string error =
        TextOf(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &instance));
    kelvo_parameters_destroy(parameters);
    ASSERT_EQ(error, "");
    const std::string endpoint = kelvo_instance_get_endpoint_descriptor(instance);
    EXPECT_EQ(endpoint.rfind("pel.tcp://", 0), 0u) << endpoint;
    EXPECT_TRUE(kelvoapi::Instance::isLocalEndpoint(endpoint));
    int code = -1;
    EXPECT_FALSE(kelvo_instance_get_exit_code(instance, &code));
    EXPECT_EQ(TextOf(kelvo_instance_shutdown(instance, 5000)), "");
    EXPECT_FALSE(kelvoapi::Instance::isLocalEndpoint(endpoint));
}

}  // namespace
