// Authentication against a real PostgreSQL 15 server: every method with a
// right, a wrong and a missing password, and passwords that SASLprep changes
// or leaves alone, over a Unix-domain socket and TCP. A small start-up loop
// here sends the start-up packet and hands each authentication request to
// pg_fe_sendauth, so that only the authentication code is under test; the
// peer is the shared cluster of tests/support, private to this binary.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "postgres/libpq/auth.h"
#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/socket_io.h"
#include "support/postgres_cluster.h"
#include "support/test_sockets.h"

namespace {

struct ConnFree {
    void operator()(PGconn* conn) const { freePGconn(conn); }
};
using ConnPtr = std::unique_ptr<PGconn, ConnFree>;

enum class Transport { kUnixSocket, kTcp };

struct Outcome {
    bool authenticated = false;  // ReadyForQuery arrived
    std::string server_sqlstate;  // from the server's ErrorResponse
    std::string client_error;     // pg_fe_sendauth's text
};

using kelvotest::PostgresCluster;

int OpenSocket(const PostgresCluster& cluster, Transport transport) {
    int fd = transport == Transport::kUnixSocket ? kelvotest::ConnectUnix(cluster.SocketPath())
                                                 : kelvotest::ConnectTcp(PostgresCluster::kTcpHost, cluster.Port());
    if (fd < 0)
        return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Reads messages until `until` arrives or an ErrorResponse ends the wait;
// answers authentication requests on the way. Returns false with the reason
// in outcome when the exchange broke off.
bool ReadUntil(PGconn* conn, char until, Outcome* outcome);

// Runs a start-up up to ReadyForQuery, an ErrorResponse or a refusal. The
// connection is kept in *kept when asked for.
Outcome Authenticate(const PostgresCluster& cluster, Transport transport, const char* user, const char* password,
                     ConnPtr* kept = nullptr) {
    Outcome outcome;
    ConnPtr conn(makeEmptyPGconn());
    conn->pversion = PG_PROTOCOL(3, 0);
    conn->sigpipe_flag = true;
    conn->pguser = strdup(user);
    conn->pgpass = password != nullptr ? strdup(password) : nullptr;
    conn->sock = OpenSocket(cluster, transport);
    if (conn->sock < 0) {
        outcome.client_error = "could not connect";
        return outcome;
    }

    pqPutMsgStart(0, true, conn.get());
    pqPutInt(static_cast<int>(PG_PROTOCOL(3, 0)), 4, conn.get());
    for (const char* text : {"user", user, "database", "postgres", ""}) pqPuts(text, conn.get());
    pqPutMsgEnd(conn.get());
    if (pqFlush(conn.get()) != 0) {
        outcome.client_error = "could not send the start-up packet";
        return outcome;
    }

    outcome.authenticated = ReadUntil(conn.get(), 'Z', &outcome);
    if (kept != nullptr) *kept = std::move(conn);
    return outcome;
}

bool ReadUntil(PGconn* conn, char until, Outcome* outcome) {
    const time_t deadline = time(nullptr) + 30;
    for (;;) {
        // One whole message at inStart, or read more.
        conn->inCursor = conn->inStart;
        char type;
        int length;
        if (pqGetc(&type, conn) != 0 || pqGetInt(&length, 4, conn) != 0 || length < 4 ||
            conn->inEnd - conn->inCursor < length - 4) {
            if (pqWaitTimed(1, 0, conn, deadline) != 0 || pqReadData(conn) < 0) {
                outcome->client_error = std::string("no answer: ") + conn->errorMessage.data;
                return false;
            }
            continue;
        }
        const int message_end = conn->inCursor + length - 4;
        if (type == 'R') {
            int areq;
            pqGetInt(&areq, 4, conn);
            if (pg_fe_sendauth(static_cast<AuthRequest>(areq), length - 8, conn) != 0) {
                outcome->client_error = conn->errorMessage.data;
                return false;
            }
            if (pqFlush(conn) != 0) {
                outcome->client_error = "could not send the answer";
                return false;
            }
        } else if (type == 'E') {
            // Fields: a code byte and a text each, ended by a zero byte.
            for (int p = conn->inCursor; p < message_end && conn->inBuffer[p] != '\0';) {
                char code = conn->inBuffer[p++];
                std::string value(conn->inBuffer + p);
                p += static_cast<int>(value.size()) + 1;
                if (code == 'C') outcome->server_sqlstate = value;
            }
            conn->inStart = message_end;
            // After a statement's error the server still sends ReadyForQuery.
            if (until != 'Z' || !outcome->authenticated) return false;
            continue;
        }
        conn->inStart = message_end;
        if (type == until) return outcome->server_sqlstate.empty();
    }
}

// Runs one statement as the cluster's superuser; returns the SQLSTATE of its
// error, or "" when it succeeded.
std::string RunAsAdmin(const PostgresCluster& cluster, const std::string& sql) {
    ConnPtr conn;
    Outcome outcome = Authenticate(cluster, Transport::kUnixSocket, PostgresCluster::kAdminUser, nullptr, &conn);
    if (!outcome.authenticated) return "could not log in: " + outcome.client_error + outcome.server_sqlstate;
    pqPutMsgStart('Q', false, conn.get());
    pqPuts(sql.c_str(), conn.get());
    pqPutMsgEnd(conn.get());
    if (pqFlush(conn.get()) != 0) return "could not send the statement";
    ReadUntil(conn.get(), 'Z', &outcome);
    return outcome.server_sqlstate + outcome.client_error;
}

class PostgresAuth : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            cluster_ = &PostgresCluster::Shared();
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
    }
    const PostgresCluster* cluster_ = nullptr;
};

constexpr char kNoPassword[] = "<sqlstate>28P01</sqlstate><primary>fe_sendauth: No password was supplied.</primary>";

TEST_F(PostgresAuth, EveryMethodWithRightWrongAndMissingPasswords) {
    using C = PostgresCluster;
    struct Case {
        const char* user;
        const char* password;
        bool authenticated;
        const char* server_sqlstate;
        const char* client_error;
    };
    const Case kCases[] = {
        {C::kTrustUser, nullptr, true, "", ""},
        {C::kPasswordUser, C::kPasswordUserPassword, true, "", ""},
        {C::kPasswordUser, "wrong", false, "28P01", ""},
        {C::kPasswordUser, nullptr, false, "", kNoPassword},
        {C::kMd5User, C::kMd5UserPassword, true, "", ""},
        {C::kMd5User, "wrong", false, "28P01", ""},
        {C::kMd5User, "", false, "", kNoPassword},
        {C::kScramUser, C::kScramUserPassword, true, "", ""},
        {C::kScramUser, "wrong", false, "28P01", ""},
        {C::kScramUser, nullptr, false, "", kNoPassword},
    };
    for (Transport transport : {Transport::kUnixSocket, Transport::kTcp}) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(c.user) + " with " + (c.password ? c.password : "no password") + " over " +
                         (transport == Transport::kTcp ? "TCP" : "a Unix-domain socket"));
            Outcome outcome = Authenticate(*cluster_, transport, c.user, c.password);
            EXPECT_EQ(outcome.authenticated, c.authenticated);
            EXPECT_EQ(outcome.server_sqlstate, c.server_sqlstate);
            EXPECT_EQ(outcome.client_error, c.client_error);
        }
    }
}

TEST_F(PostgresAuth, ScramPasswordsArePreparedLikeTheServerDoes) {
    using C = PostgresCluster;
    struct Case {
        const char* user;
        const char* password;
        bool authenticated;
    };
    // kSaslprepUser's password, "I" U+00AD "X" U+00A0 "9", is stored as "IX 9".
    const Case kCases[] = {
        {C::kSaslprepUser, C::kSaslprepUserPassword, true},
        {C::kSaslprepUser, "IX 9", true},                       // its prepared form
        {C::kSaslprepUser, "\xE2\x85\xA8\xE2\x80\x80" "9", true},  // U+2168 is "IX", U+2000 a blank
        {C::kSaslprepUser, "ix 9", false},
        {C::kSaslprepUser, "IX\xC2\xA0\xC2\xA0" "9", false},  // two blanks
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.password)));
        Outcome outcome = Authenticate(*cluster_, Transport::kUnixSocket, c.user, c.password);
        EXPECT_EQ(outcome.authenticated, c.authenticated) << outcome.client_error;
        EXPECT_EQ(outcome.server_sqlstate, c.authenticated ? "" : "28P01");
    }
}

TEST_F(PostgresAuth, PasswordsSaslprepRefusesAreUsedAsTheyStand) {
    // The server keeps a password that SASLprep refuses (here for its control
    // character) as it stands, and so must the client. This binary's cluster
    // is its own, so the role's password may change for the test.
    using C = PostgresCluster;
    ASSERT_EQ(RunAsAdmin(*cluster_, std::string("ALTER ROLE ") + C::kScramUser + " PASSWORD E'\xC3\xA9\\007pw'"), "");
    Outcome raw = Authenticate(*cluster_, Transport::kTcp, C::kScramUser, "\xC3\xA9\x07pw");
    Outcome other = Authenticate(*cluster_, Transport::kTcp, C::kScramUser, "\xC3\xA9pw");
    ASSERT_EQ(RunAsAdmin(*cluster_, std::string("ALTER ROLE ") + C::kScramUser + " PASSWORD '" +
                                        C::kScramUserPassword + "'"),
              "");
    EXPECT_TRUE(raw.authenticated) << raw.client_error << raw.server_sqlstate;
    EXPECT_FALSE(other.authenticated);
    EXPECT_EQ(other.server_sqlstate, "28P01");
}

}  // namespace
