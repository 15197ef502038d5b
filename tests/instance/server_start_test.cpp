// The stand-in server started through the C interface, then stopped by a signal.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>

#include "error/error.h"
#include "instance/instance.h"
#include "kelvo/connection.h"
#include "kelvo/error.h"
#include "kelvo/instance.h"
#include "kelvo/parameters.h"
#include "support/error_ptr.h"

namespace {

using kelvotest::TextOf;

// A server that stops answering (stopped by a signal; the kernel still
// accepts the connection and takes the start-up packet): connect_timeout
// ends the wait with 08001 "timeout expired", on a socket file and on TCP
// with the keep-alive options applied, which the kernel answers for the
// stopped server and which therefore do not end it sooner.
TEST(ServerStart, AStoppedServerFailsTheConnectWhenItsTimeoutExpires) {
    for (const char* port : {"off", "auto"}) {
        SCOPED_TRACE(port);
        kelvo_parameters_t* parameters = nullptr;
        ASSERT_EQ(TextOf(kelvo_create_instance_parameters(&parameters, true)), "");
        ASSERT_EQ(TextOf(kelvo_parameters_set(parameters, "use_tcp_port", port)), "");
        kelvo_instance_t* instance = nullptr;
        const std::string started =
            TextOf(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &instance));
        kelvo_parameters_destroy(parameters);
        ASSERT_EQ(started, "");
        const pid_t server = static_cast<kelvoapi::Instance*>(instance)->m_kelvoServerProcess->GetProcessId();
        ASSERT_EQ(TextOf(kelvo_create_connection_parameters(instance, &parameters)), "");
        for (const auto& [name, value] : {std::pair<const char*, const char*>{"connect_timeout", "2"},
                                          {"keepalives", "1"},
                                          {"keepalives_idle", "1"},
                                          {"keepalives_interval", "1"},
                                          {"keepalives_count", "1"}})
            ASSERT_EQ(TextOf(kelvo_parameters_set(parameters, name, value)), "") << name;
        ASSERT_EQ(::kill(server, SIGSTOP), 0);
        const auto start = std::chrono::steady_clock::now();
        kelvo_connection_t* connection = nullptr;
        const kelvotest::ErrorPtr error(kelvo_connect(parameters, &connection, KELVO_DO_NOT_CREATE));
        const auto waited = std::chrono::steady_clock::now() - start;
        ::kill(server, SIGCONT);
        kelvo_parameters_destroy(parameters);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(kelvotest::AsError(error).GetSqlstate(), "08001");
        EXPECT_EQ(kelvotest::AsError(error).GetMessage(), "timeout expired");
        EXPECT_GE(waited, std::chrono::seconds(1));
        EXPECT_LT(waited, std::chrono::seconds(5));
        EXPECT_EQ(TextOf(kelvo_instance_shutdown(instance, 5000)), "");
    }
}

}  // namespace
