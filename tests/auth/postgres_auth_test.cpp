// Authentication against a real PostgreSQL 15 server: every method with a
// right, a wrong and a missing password, and passwords that SASLprep changes
// or leaves alone, over a Unix-domain socket and TCP. A small start-up loop
// here sends the start-up packet and hands each authentication request to
// pg_fe_sendauth, so that only the authentication code is under test.
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

#include "postgres/libpq/auth.h"
#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/socket_io.h"
#include "support/postgres_cluster.h"

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

int OpenSocket(const kelvotest::PostgresCluster& cluster, Transport transport) {
    int fd;
    int rc;
    if (transport == Transport::kUnixSocket) {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, cluster.socket_path().c_str(), sizeof addr.sun_path - 1);
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } else {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(cluster.port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Runs a start-up up to ReadyForQuery, an ErrorResponse or a refusal.
Outcome Authenticate(const kelvotest::PostgresCluster& cluster, Transport transport, const char* user,
                     const char* password) {
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

    const time_t deadline = time(nullptr) + 30;
    for (;;) {
        // One whole message at inStart, or read more.
        conn->inCursor = conn->inStart;
        char type;
        int length;
        if (pqGetc(&type, conn.get()) != 0 || pqGetInt(&length, 4, conn.get()) != 0 || length < 4 ||
            conn->inEnd - conn->inCursor < length - 4) {
            if (pqWaitTimed(1, 0, conn.get(), deadline) != 0 || pqReadData(conn.get()) < 0) {
                outcome.client_error = std::string("no answer: ") + conn->errorMessage.data;
                return outcome;
            }
            continue;
        }
        const int message_end = conn->inCursor + length - 4;
        if (type == 'R') {
            int areq;
            pqGetInt(&areq, 4, conn.get());
            if (pg_fe_sendauth(static_cast<AuthRequest>(areq), length - 8, conn.get()) != 0) {
                outcome.client_error = conn->errorMessage.data;
                return outcome;
            }
            if (pqFlush(conn.get()) != 0) {
                outcome.client_error = "could not send the answer";
                return outcome;
            }
        } else if (type == 'E') {
            // Fields: a code byte and a text each, ended by a zero byte.
            for (int p = conn->inCursor; p < message_end && conn->inBuffer[p] != '\0';) {
                char code = conn->inBuffer[p++];
                std::string value(conn->inBuffer + p);
                p += static_cast<int>(value.size()) + 1;
                if (code == 'C') outcome.server_sqlstate = value;
            }
            return outcome;
        } else if (type == 'Z') {
            outcome.authenticated = true;
            return outcome;
        }
        conn->inStart = message_end;
    }
}

class PostgresAuth : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // No PG* variable of the test's environment may reach the server.
        for (const char* name : {"PGHOST", "PGPORT", "PGUSER", "PGPASSWORD", "PGDATABASE", "PGPASSFILE"})
            unsetenv(name);
        kelvotest::PostgresCluster::Options options;
        options.setup_sql = {
            "CREATE ROLE trust_user LOGIN",
            "CREATE ROLE password_user LOGIN PASSWORD 'clear-pw'",
            "SET password_encryption = 'md5'",
            "CREATE ROLE md5_user LOGIN PASSWORD 'md5-pw'",
            "SET password_encryption = 'scram-sha-256'",
            "CREATE ROLE scram_user LOGIN PASSWORD 'scram-pw'",
            // Stored after SASLprep as "IXpw".
            "CREATE ROLE saslprep_user LOGIN PASSWORD '\xE2\x85\xA8pw'",
            // SASLprep refuses the control character: stored as it stands.
            "CREATE ROLE raw_user LOGIN PASSWORD E'\xC3\xA9\\007pw'",
        };
        options.hba_lines = {
            "local all trust_user trust",
            "local all password_user password",
            "local all md5_user md5",
            "local all all scram-sha-256",
            "host all trust_user 127.0.0.1/32 trust",
            "host all password_user 127.0.0.1/32 password",
            "host all md5_user 127.0.0.1/32 md5",
            "host all all 127.0.0.1/32 scram-sha-256",
        };
        try {
            cluster_ = new kelvotest::PostgresCluster(options);
        } catch (const std::exception& e) {
            start_error_ = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete cluster_;
        cluster_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(cluster_, nullptr) << "the PostgreSQL peer did not start: " << start_error_; }

    static kelvotest::PostgresCluster* cluster_;
    static std::string start_error_;
};

kelvotest::PostgresCluster* PostgresAuth::cluster_ = nullptr;
std::string PostgresAuth::start_error_;

constexpr char kNoPassword[] = "<sqlstate>28P01</sqlstate><primary>fe_sendauth: No password was supplied.</primary>";

TEST_F(PostgresAuth, EveryMethodWithRightWrongAndMissingPasswords) {
    struct Case {
        const char* user;
        const char* password;
        bool authenticated;
        const char* server_sqlstate;
        const char* client_error;
    };
    const Case kCases[] = {
        {"trust_user", nullptr, true, "", ""},
        {"password_user", "clear-pw", true, "", ""},
        {"password_user", "wrong", false, "28P01", ""},
        {"password_user", nullptr, false, "", kNoPassword},
        {"md5_user", "md5-pw", true, "", ""},
        {"md5_user", "wrong", false, "28P01", ""},
        {"md5_user", "", false, "", kNoPassword},
        {"scram_user", "scram-pw", true, "", ""},
        {"scram_user", "wrong", false, "28P01", ""},
        {"scram_user", nullptr, false, "", kNoPassword},
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
    struct Case {
        const char* user;
        const char* password;
        bool authenticated;
    };
    const Case kCases[] = {
        {"saslprep_user", "\xE2\x85\xA8pw", true},           // as it was set
        {"saslprep_user", "IXpw", true},                     // its prepared form
        {"saslprep_user", "I\xC2\xADXpw", true},             // soft hyphen maps to nothing
        {"saslprep_user", "ixpw", false},
        {"raw_user", "\xC3\xA9\x07pw", true},                // prohibited: used unchanged on both sides
        {"scram_user", "scram\xC2\xA0pw", false},            // a non-ASCII space is a space, not "-"
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.password)));
        Outcome outcome = Authenticate(*cluster_, Transport::kUnixSocket, c.user, c.password);
        EXPECT_EQ(outcome.authenticated, c.authenticated) << outcome.client_error;
        EXPECT_EQ(outcome.server_sqlstate, c.authenticated ? "" : "28P01");
    }
}

}  // namespace
