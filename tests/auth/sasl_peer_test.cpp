// SASL authentication through the whole start-up (PQconnectdbParams) against
// a scripted server that plays the server's side of the exchange wrongly in
// one way or another: each attempt must fail at once with its own text as
// the connection's whole error text, send nothing it should not, and never
// wait for a server that has nothing more to say.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "postgres/libpq/connect.h"
#include "support/postgres_cluster.h"
#include "support/scratch_directory.h"
#include "support/scripted_peer.h"
#include "support/startup_peer.h"

namespace {

namespace wire = kelvotest::wire;

using kelvotest::PeerConnection;
using kelvotest::StartupPacket;
using kelvotest::StartupPeer;

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Conn = std::unique_ptr<PGconn, ConnDeleter>;

constexpr int kPort = 7301;
const std::string kScram("SCRAM-SHA-256\0", 14);
// A well-formed signature that no password produces.
const std::string kZeroSignature = "v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

// What the client sent, read on the peer's thread and checked afterwards.
struct Seen {
    std::vector<std::string> client_messages;  // type byte and body
    bool closed = false;
};

// The server's side: the mechanism list, then (when given) a
// server-first-message made from the client's nonce, then (when given) a
// server-final-message. Any other request bytes go first when `before` is set.
struct ServerScript {
    std::string before;
    std::string mechanisms;
    std::function<std::string(const std::string& client_nonce)> server_first;
    std::string server_final;
};

StartupPeer::Script Play(Seen* seen, ServerScript script) {
    return [seen, script](PeerConnection& c) {
        StartupPacket packet;
        if (!c.ReadStartupPacket(packet))
            return;
        c.Send(script.before + wire::Authentication(10, script.mechanisms));
        std::string nonce;
        for (int step = 0; step < 2; step++) {
            char type;
            std::string body;
            if (!c.ReadMessage(type, body)) {
                seen->closed = true;
                return;
            }
            seen->client_messages.push_back(std::string(1, type) + body);
            if (step == 0) {
                std::size_t r = body.find("r=");
                nonce = r == std::string::npos ? "" : body.substr(r + 2);
                if (!script.server_first)
                    break;
                c.Send(wire::Authentication(11, script.server_first(nonce)));
            } else {
                if (script.server_final.empty())
                    break;
                c.Send(wire::Authentication(12, script.server_final));
            }
        }
        seen->closed = c.ClientClosed();
    };
}

class SaslPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        kelvotest::ScrubPgEnvironment();
        setenv("PGPASSFILE", "/nonexistent/pgpass", 1);
    }
    void TearDown() override { kelvotest::ScrubPgEnvironment(); }

    Conn Connect(const char* password) const {
        const std::string port = std::to_string(kPort);
        const char* keywords[] = {"host", "port", "user", "dbname", "password", nullptr};
        const char* values[] = {m_dir.Path().c_str(), port.c_str(), "u", "d", password, nullptr};
        return Conn(PQconnectdbParams(keywords, values, 0));
    }

    kelvotest::ScratchDirectory m_dir;
};

TEST_F(SaslPeerTest, FailedExchangesEndTheAttemptWithTheirOwnText) {
    // One failure per step of the exchange; every refusal of a server message
    // is read in sendauth_test, the password limit only here.
    struct Case {
        const char* name;
        ServerScript script;
        const char* password;
        const char* text;
        std::size_t client_messages;  // sent before the client gave up
    };
    const Case kCases[] = {
        {"password over the limit",
         {"", kScram + '\0', nullptr, ""},
         nullptr,
         "password too long for SCRAM authentication (more than 1024 bytes)\n",
         0},
        {"nonce that is not ours",
         {"", kScram + '\0', [](const std::string&) { return "r=abc,s=c2FsdA==,i=2"; }, ""},
         "pw",
         "invalid SCRAM response (nonce mismatch)\n",
         1},
        {"wrong server signature",
         {"", kScram + '\0', [](const std::string& nonce) { return "r=" + nonce + "srv,s=c2FsdA==,i=2"; },
          kZeroSignature},
         "pw",
         "incorrect server signature\n",
         2},
        {"continue before any SASL request",
         {wire::Authentication(11, "r=x"), kScram + '\0', nullptr, ""},
         "pw",
         "fe_sendauth: invalid authentication request from server: AUTH_REQ_SASL_CONT without AUTH_REQ_SASL\n",
         0},
    };
    const std::string long_password(1025, 'p');
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Seen seen;
        {
            StartupPeer peer(m_dir.Path(), kPort, {Play(&seen, c.script)});
            Conn conn = Connect(c.password != nullptr ? c.password : long_password.c_str());
            EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
            EXPECT_STREQ(PQerrorMessage(conn.get()), c.text);
        }
        EXPECT_EQ(seen.client_messages.size(), c.client_messages);
        EXPECT_TRUE(seen.closed);
    }
}

}  // namespace
