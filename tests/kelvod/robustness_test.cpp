// Bad input of any kind ends in an ErrorResponse or a FATAL error and a closed
// session, never in a crash or a hang of the server or of other sessions.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "support/kelvod_server.h"
#include "support/wire_client.h"

using kelvotest::KelvodServer;
using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

class KelvodRobustness : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new KelvodServer();
        ASSERT_TRUE(server->Start()) << server->Output();
    }
    static void TearDownTestSuite() {
        auto code = server->Stop();
        EXPECT_EQ(code.value_or(-1), 0) << server->Output();
        delete server;
    }
    // The server still serves a fresh session.
    static void ExpectServing() {
        WireClient c;
        ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
        EXPECT_EQ(c.Query("SELECT 41 + 1").Value(), "42");
    }
    static KelvodServer* server;
};
KelvodServer* KelvodRobustness::server = nullptr;

}  // namespace

TEST_F(KelvodRobustness, MalformedStartupPacketsGetAFatalErrorAndAClosedConnection) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* sqlstate;
    } cases[] = {
        {"length below 8", WireClient::Int32(4), "08P01"},
        {"length above the bound", WireClient::Int32(1 << 30), "08P01"},
        {"negative length", WireClient::Int32(-5), "08P01"},
        {"protocol 2.0", WireClient::Int32(8) + WireClient::Int32(131072), "0A000"},
        {"unterminated parameter", WireClient::Int32(12) + WireClient::Int32(196608) + std::string("user"), "08P01"},
        {"cancel request of the wrong size", WireClient::Int32(12) + WireClient::Int32(80877102) + WireClient::Int32(1), "08P01"},
    };
    for (const auto& c : cases) {
        WireClient client;
        ASSERT_TRUE(client.ConnectSocket(server->Endpoint()));
        client.SendRaw(c.bytes);
        auto m = client.Read(5000);
        ASSERT_EQ(m.type, 'E') << c.what;
        EXPECT_NE(m.body.find(std::string("SFATAL")), std::string::npos) << c.what;
        EXPECT_NE(m.body.find(std::string("C") + c.sqlstate), std::string::npos) << c.what;
        EXPECT_TRUE(client.WaitClosed(5000)) << c.what;
    }
    ExpectServing();
}

TEST_F(KelvodRobustness, SslRequestIsRefusedAndTheStartupGoesOn) {
    WireClient client;
    ASSERT_TRUE(client.ConnectSocket(server->Endpoint()));
    client.SendRaw(WireClient::Int32(8) + WireClient::Int32(80877103));
    char answer = 0;
    ASSERT_EQ(::recv(client.Fd(), &answer, 1, 0), 1);
    EXPECT_EQ(answer, 'N');
    WireResult r = client.Startup({{"user", "u"}, {"database", "[]"}});
    EXPECT_EQ(r.status, 'I');
}

TEST_F(KelvodRobustness, MalformedMessagesEndTheSessionWithAFatalError) {
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"length below 4", std::string("Q") + WireClient::Int32(2)},
        {"length past any sane bound", std::string("Q") + WireClient::Int32(0x7FFFFFFF)},
        {"unknown message type", std::string("?") + WireClient::Int32(4)},
        {"query without terminator", std::string("Q") + WireClient::Int32(7) + "abc"},
        {"bytes after the query text", std::string("Q") + WireClient::Int32(8) + std::string("ab\0c", 4)},
        {"bind with a negative count", std::string("B") + WireClient::Int32(8) + std::string("\0\0", 2) + WireClient::Int16(-1)},
        {"bind with a parameter past the end", std::string("B") + WireClient::Int32(14) + std::string("\0\0", 2) +
                                                    WireClient::Int16(0) + WireClient::Int16(1) + WireClient::Int32(100)},
        {"describe of an unknown kind", std::string("D") + WireClient::Int32(6) + std::string("X\0", 2)},
        {"sync with a body", std::string("S") + WireClient::Int32(5) + "x"},
    };
    for (const auto& c : cases) {
        WireClient client;
        ASSERT_EQ(client.Open(server->Endpoint(), ":main").status, 'I') << c.what;
        client.SendRaw(c.bytes);
        auto m = client.Read(5000);
        ASSERT_EQ(m.type, 'E') << c.what;
        EXPECT_NE(m.body.find("SFATAL"), std::string::npos) << c.what;
        EXPECT_NE(m.body.find("C08P01"), std::string::npos) << c.what;
        EXPECT_TRUE(client.WaitClosed(5000)) << c.what;
    }
    ExpectServing();
}

TEST_F(KelvodRobustness, ClientsThatStopMidMessageOrSayNothingHarmNoOne) {
    WireClient silent;  // connects and never sends a byte
    ASSERT_TRUE(silent.ConnectSocket(server->Endpoint()));
    {
        WireClient cut;
        ASSERT_EQ(cut.Open(server->Endpoint(), ":main").status, 'I');
        cut.SendRaw(std::string("Q") + WireClient::Int32(100) + "SELECT");  // then goes away
    }
    {
        WireClient cutStartup;
        ASSERT_TRUE(cutStartup.ConnectSocket(server->Endpoint()));
        cutStartup.SendRaw(WireClient::Int32(40) + WireClient::Int32(196608));
    }
    ExpectServing();
    // Copy messages outside a copy are ignored; Terminate ends the session quietly.
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    c.SendMessage('d', "stray");
    c.SendMessage('c', "");
    EXPECT_EQ(c.Query("SELECT 'still here'").Value(), "still here");
    c.SendMessage('X', "");
    EXPECT_TRUE(c.WaitClosed(5000));
}

TEST_F(KelvodRobustness, RandomMessageBodiesNeverCrashTheServer) {
    // Well-framed messages of every type with random bodies: each session ends
    // in an answer or a FATAL error, and the server goes on serving.
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    const std::string types = "QPBDECSHdcf";
    for (int round = 0; round < 200; ++round) {
        WireClient client;
        ASSERT_EQ(client.Open(server->Endpoint(), "[]").status, 'I');
        const char* words[] = {"SELECT", "1", "'x'", "E'\\", "U&\"", "(", ")", ",", ";", "FROM", "range(3)",
                               "CREATE", "DATABASE", "ATTACH", "DETACH", "*", "pg_catalog.pg_tables", "\"a\"", "$1"};
        for (int m = 0; m < 5; ++m) {
            char type = types[next() % types.size()];
            std::string body;
            if (type == 'Q' && next() % 2) {
                // Statements made of pieces of the SQL the server reads.
                for (int w = next() % 8; w >= 0; --w) body += std::string(words[next() % std::size(words)]) + " ";
                body.push_back('\0');
            } else {
                body.assign(next() % 24, '\0');
                for (char& ch : body) ch = static_cast<char>(next() % 4 == 0 ? 0 : next() % 256);
            }
            client.SendMessage(type, body);
        }
        client.SendMessage('S', "");
        WireResult r = client.ReadUntilReady(5000);
        EXPECT_TRUE(r.status != 0 || client.WaitClosed(5000)) << "round " << round;
    }
    ExpectServing();
}

TEST_F(KelvodRobustness, ConcurrentSessionsRunAtTheSameTime) {
    constexpr int kSessions = 6;
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < kSessions; ++i) {
        clients.push_back(std::make_unique<WireClient>());
        ASSERT_EQ(clients.back()->Open(server->Endpoint(), ":main").status, 'I');
    }
    // Every session starts a statement before any result is read.
    for (int i = 0; i < kSessions; ++i)
        clients[i]->SendMessage('Q', WireClient::Str("SELECT count(*) + " + std::to_string(i) + " FROM range(2000000)"));
    for (int i = 0; i < kSessions; ++i) {
        WireResult r = clients[i]->ReadUntilReady(20000);
        ASSERT_TRUE(r.Ok()) << i;
        EXPECT_EQ(r.Value(), std::to_string(2000000 + i));
    }
}
