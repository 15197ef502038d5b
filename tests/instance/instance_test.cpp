// The endpoint registry, instances released late, and the connection
// parameter defaults.
#include <gtest/gtest.h>

#include "instance/connection_parameters.h"
#include "instance/fake_server.h"

namespace {

using namespace kelvotest;
using kelvoapi::Instance;

// Released by the static destructors at exit, after the library's own: a
// crash or hang there fails this binary.
InstancePtr& InstanceReleasedAtExit() {
    static InstancePtr instance;
    return instance;
}

TEST(EndpointRegistry, AnInstanceMayBeReleasedFromAStaticDestructor) {
    StartResult result = Start({{"fake_mode", "serve"}});
    ASSERT_EQ(result.error, nullptr);
    InstanceReleasedAtExit() = std::move(result.instance);
}

TEST(EndpointRegistry, EqualTextsAreCounted) {
    const std::string endpoint = "pel.tcp://localhost:1";
    Instance::RegisterEndpoint(endpoint);
    Instance::RegisterEndpoint(endpoint);
    Instance::UnregisterEndpoint(endpoint);
    EXPECT_TRUE(Instance::isLocalEndpoint(endpoint));
    Instance::UnregisterEndpoint(endpoint);
    EXPECT_FALSE(Instance::isLocalEndpoint(endpoint));
}

std::map<std::string, std::string> Entries(const kelvo_parameters_t* parameters) {
    const auto& set = *static_cast<const kelvoapi::Parameters*>(parameters);
    return {set.begin(), set.end()};
}

TEST(ConnectionDefaults, WithoutAndWithAnInstance) {
    std::map<std::string, std::string> expected{{"dbname", "[]"},
                                                {"user", "pellory_internal_user"},
                                                {"result_format_code", "KelvoBinary"},
                                                {"requested_protocol_version", "1"},
                                                {"extra_float_digits", "2"},
                                                {"two_digit_year_threshold", "40"},
                                                {"allow_redirects", "true"}};
    kelvo_parameters_t* raw = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_connection_parameters(nullptr, &raw)), nullptr);
    EXPECT_EQ(Entries(ParametersPtr(raw).get()), expected);

    StartResult result = Start({{"fake_mode", "serve"}});
    ASSERT_EQ(result.error, nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_create_connection_parameters(result.instance.get(), &raw)), nullptr);
    expected["endpoint"] = kelvo_instance_get_endpoint_descriptor(result.instance.get());
    EXPECT_EQ(Entries(ParametersPtr(raw).get()), expected);

    // An instance without a server is refused, and nothing is written.
    Instance empty;
    raw = reinterpret_cast<kelvo_parameters_t*>(0x1);
    ErrorPtr error(kelvo_create_connection_parameters(&empty, &raw));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(AsError(error).GetSqlstate(), "22023");
    EXPECT_EQ(AsError(error).GetMessage(), "The given instance is not valid.");
    EXPECT_EQ(AsError(error).GetContextId().value, 0x41862f97u);
    EXPECT_EQ(raw, reinterpret_cast<kelvo_parameters_t*>(0x1));
    EXPECT_STREQ(kelvo_instance_get_endpoint_descriptor(&empty), "");
    int code = -1;
    EXPECT_FALSE(kelvo_instance_get_exit_code(&empty, &code));
}

}  // namespace
