// The stand-in server started and stopped through the C interface.
#include <gtest/gtest.h>

#include <string>

#include "error/error.h"
#include "instance/instance.h"
#include "instance/server_location.h"
#include "kelvo/error.h"
#include "kelvo/instance.h"

namespace {

TEST(ServerStart, TheServerNextToTheLibraryStartsAndStops) {
    EXPECT_EQ(kelvoapi::FindKelvoDirectoryFrom(std::filesystem::path(KELVO_SERVER_DIR).parent_path(), std::nullopt),
              std::filesystem::path(KELVO_SERVER_DIR));
    kelvo_instance_t* instance = nullptr;
    kelvo_error_t* error = kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, nullptr, &instance);
    const std::string text = error ? kelvoapi::ToString(*static_cast<kelvoapi::Error*>(error)) : "";
    kelvo_error_destroy(error);
    ASSERT_EQ(text, "");
    const std::string endpoint = kelvo_instance_get_endpoint_descriptor(instance);
    EXPECT_EQ(endpoint.rfind("pel.", 0), 0u) << endpoint;
    EXPECT_TRUE(kelvoapi::Instance::isLocalEndpoint(endpoint));
    int code = -1;
    EXPECT_FALSE(kelvo_instance_get_exit_code(instance, &code));
    kelvo_instance_close(instance);
    EXPECT_FALSE(kelvoapi::Instance::isLocalEndpoint(endpoint));
}

}  // namespace
