// Bad input of any kind ends in an ErrorResponse or a FATAL error and a closed
// session, never in a crash or a hang of the server or of other sessions.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "support/kelvod_server.h"
#include "support/wire_client.h"

using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

std::string I32(int32_t v) { return WireClient::Int32(v); }
std::string I16(int16_t v) { return WireClient::Int16(v); }

class KelvodRobustness : public kelvotest::KelvodSuite {
protected:
    // The server still serves a fresh session.
    static void ExpectServing() {
        WireClient c;
        ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
        EXPECT_EQ(c.Query("SELECT 41 + 1").Value(), "42");
    }
    // The bytes draw one FATAL error with `sqlstate`, then the connection closes.
    static void ExpectFatal(WireClient& client, const std::string& bytes, const std::string& sqlstate,
                            const char* what) {
        client.SendRaw(bytes);
        auto m = client.Read(5000);
        ASSERT_EQ(m.type, 'E') << what;
        EXPECT_NE(m.body.find("SFATAL"), std::string::npos) << what;
        EXPECT_NE(m.body.find("C" + sqlstate), std::string::npos) << what;
        EXPECT_TRUE(client.WaitClosed(5000)) << what;
    }
};

}  // namespace

TEST_F(KelvodRobustness, MalformedStartupPacketsAndMessagesGetAFatalErrorAndAClosedConnection) {
    struct Case {
        const char* what;
        bool startup;
        std::string bytes;
        const char* sqlstate;
    } cases[] = {
        {"start-up length below 8", true, I32(4), "08P01"},
        {"negative start-up length", true, I32(-5), "08P01"},
        {"protocol 2.0", true, I32(8) + I32(131072), "0A000"},
        {"unterminated parameter", true, I32(12) + I32(196608) + "user", "08P01"},
        {"cancel request of the wrong size", true, I32(12) + I32(80877102) + I32(1), "08P01"},
        {"length below 4", false, "Q" + I32(2), "08P01"},
        {"length past any sane bound", false, "Q" + I32(0x7FFFFFFF), "08P01"},
        {"unknown message type", false, "?" + I32(4), "08P01"},
        {"query without terminator", false, "Q" + I32(7) + "abc", "08P01"},
        {"bind with a negative count", false, "B" + I32(8) + std::string(2, '\0') + I16(-1), "08P01"},
        {"bind with a parameter past the end", false, "B" + I32(14) + std::string(2, '\0') + I16(0) + I16(1) + I32(100),
         "08P01"},
        {"bind with a negative parameter length", false,
         "B" + I32(16) + std::string(2, '\0') + I16(0) + I16(1) + I32(-2) + I16(0), "08P01"},
        {"describe of an unknown kind", false, "D" + I32(6) + std::string("X\0", 2), "08P01"},
        {"execute too short", false, "E" + I32(7) + std::string(3, '\0'), "08P01"},
    };
    for (const auto& c : cases) {
        WireClient client;
        if (c.startup)
            ASSERT_TRUE(client.ConnectSocket(server->Endpoint()));
        else
            ASSERT_EQ(client.Open(server->Endpoint(), ":main").status, 'I') << c.what;
        ExpectFatal(client, c.bytes, c.sqlstate, c.what);
    }
    ExpectServing();
}

TEST_F(KelvodRobustness, SslRequestIsRefusedAndTheStartupGoesOn) {
    WireClient client;
    ASSERT_TRUE(client.ConnectSocket(server->Endpoint()));
    client.SendRaw(I32(8) + I32(80877103));
    char answer = 0;
    ASSERT_EQ(::recv(client.Fd(), &answer, 1, 0), 1);
    EXPECT_EQ(answer, 'N');
    EXPECT_EQ(client.Startup({{"user", "u"}, {"database", "[]"}, {"client_encoding", "UTF8"}}).status, 'I');
}
