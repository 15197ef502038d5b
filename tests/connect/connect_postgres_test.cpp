// Opening connections to a real PostgreSQL 15 server: every authentication
// method over the socket and TCP, with passwords that SASLprep changes, a
// password from the password file, dead hosts and target_session_attrs.
// Options, URIs and the service file: conninfo_test.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "postgres/libpq/connect.h"
#include "postgres/libpq/parameter_status.h"
#include "support/postgres_cluster.h"
#include "support/scoped_temp_directory.h"

namespace {

using kelvotest::PostgresCluster;
using C = PostgresCluster;

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

using Settings = std::vector<std::pair<std::string, std::string>>;

Conn ConnectParams(const Settings& settings) {
    std::vector<const char*> keywords, values;
    for (const auto& [keyword, value] : settings) {
        keywords.push_back(keyword.c_str());
        values.push_back(value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    return Conn(PQconnectdbParams(keywords.data(), values.data(), 0), &PQfinish);
}

class ConnectPostgresTest : public ::testing::Test {
protected:
    void SetUp() override {
        kelvotest::ScrubPgEnvironment();
        m_cluster = &PostgresCluster::Shared();
        // No password file of the account running the tests may interfere.
        setenv("PGPASSFILE", "/nonexistent/pgpass", 1);
    }
    void TearDown() override { kelvotest::ScrubPgEnvironment(); }

    // The cluster's settings for user over TCP or the socket, then more.
    Settings Over(bool tcp, const char* user, const Settings& more = {}) const {
        Settings settings{{"host", tcp ? PostgresCluster::kTcpHost : m_cluster->SocketDir()},
                          {"port", m_cluster->PortText()},
                          {"user", user},
                          {"dbname", PostgresCluster::kDatabase}};
        settings.insert(settings.end(), more.begin(), more.end());
        return settings;
    }
    const PostgresCluster* m_cluster = nullptr;
};

TEST_F(ConnectPostgresTest, EveryMethodWithRightWrongAndMissingPasswords) {
    const std::string no_password =
        "<sqlstate>28P01</sqlstate><primary>fe_sendauth: No password was supplied.</primary>";
    // A null password: none given.
    const std::tuple<const char*, const char*, bool, std::string> cases[] = {
        {C::kTrustUser, nullptr, true, ""},
        {C::kPasswordUser, C::kPasswordUserPassword, true, ""},
        {C::kPasswordUser, nullptr, false, no_password},
        {C::kMd5User, C::kMd5UserPassword, true, ""},
        {C::kScramUser, "wrong", false, "<sqlstate>28P01</sqlstate>"},
        {C::kScramUser, nullptr, false, no_password},
        {C::kSaslprepUser, C::kSaslprepUserPassword, true, ""},
        // Stored as "IX 9": SASLprep maps U+00AD to nothing, U+00A0 and U+2000
        // to a blank, and U+2168 to "IX".
        {C::kSaslprepUser, "\xE2\x85\xA8\xE2\x80\x80\x39", true, ""},
    };
    for (bool tcp : {false, true}) {
        for (const auto& [user, password, ok, error_part] : cases) {
            SCOPED_TRACE(std::string(user) + " " + (password ? password : "(none)") + (tcp ? " tcp" : " socket"));
            Conn conn = ConnectParams(Over(tcp, user, password ? Settings{{"password", password}} : Settings{}));
            ASSERT_NE(conn, nullptr);
            EXPECT_EQ(PQstatus(conn.get()), ok ? CONNECTION_OK : CONNECTION_BAD) << PQerrorMessage(conn.get());
            if (ok) {
                EXPECT_STREQ(PQerrorMessage(conn.get()), "");
                EXPECT_GT(PQbackendPID(conn.get()), 0);
                EXPECT_GE(PQserverVersion(conn.get()), 150000);
                EXPECT_STREQ(PQparameterStatus(conn.get(), "session_authorization"), user);
                EXPECT_STREQ(PQuser(conn.get()), user);
                EXPECT_EQ(PQprotocolVersion(conn.get()), 3);
                EXPECT_EQ(PQconnectionUsedPassword(conn.get()), password != nullptr);
            } else if (error_part == no_password) {
                EXPECT_EQ(PQerrorMessage(conn.get()), no_password);
                EXPECT_EQ(PQconnectionNeedsPassword(conn.get()), 1);
            } else {
                EXPECT_NE(std::string(PQerrorMessage(conn.get())).find(error_part), std::string::npos)
                    << PQerrorMessage(conn.get());
            }
        }
    }
}

// Which line matches and which files are ignored: password_file_test.
TEST_F(ConnectPostgresTest, PasswordFileSuppliesPasswords) {
    kelvotest::ScopedTempDirectory dir;
    // A wrong password from the file says where it came from.
    const std::string wrong =
        dir.WriteFile("pgpass-wrong", std::string("*:*:*:") + C::kScramUser + ":not\\:it\n", 0600);
    Conn conn = ConnectParams(Over(true, C::kScramUser, {{"passfile", wrong}}));
    EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
    const std::string message = PQerrorMessage(conn.get());
    EXPECT_NE(message.find("<sqlstate>28P01</sqlstate>"), std::string::npos) << message;
    EXPECT_NE(message.find("The password was retrieved from file \"" + wrong + "\"."), std::string::npos) << message;
}

TEST_F(ConnectPostgresTest, DeadHostsAreReportedAndRecorded) {
    const std::string dead = std::to_string(kelvotest::FindFreeTcpPort());

    // Only dead hosts: one tagged text per host, in order.
    Conn none = ConnectParams({{"host", std::string(C::kTcpHost) + ",/nonexistent"}, {"port", dead}, {"user", "u"}});
    EXPECT_EQ(PQstatus(none.get()), CONNECTION_BAD);
    EXPECT_EQ(std::string(PQerrorMessage(none.get())),
              "<sqlstate>08001</sqlstate><primary>Could not connect to the Kelvo server.</primary><detail>Connection "
              "refused</detail><hint>Is the server running on host \"127.0.0.1\" and accepting TCP/IP connections on "
              "port " +
                  dead +
                  "?</hint>"
                  "<sqlstate>08001</sqlstate><primary>Could not connect to the Kelvo server.</primary><detail>No such "
                  "file or directory</detail><hint>Is the server running locally and accepting connections on Unix "
                  "domain socket \"/nonexistent/.s.PGSQL." +
                  dead + "\"?</hint>");

    // A host name shows its numeric address too; an empty host is the /tmp socket.
    Conn named = ConnectParams({{"host", "localhost"}, {"hostaddr", ""}, {"port", dead}, {"user", "u"}});
    EXPECT_NE(std::string(PQerrorMessage(named.get())).find("Is the server running on host \"localhost\" ("),
              std::string::npos)
        << PQerrorMessage(named.get());
    Conn tmp = ConnectParams({{"host", ","}, {"port", dead}, {"user", "u"}});
    EXPECT_NE(std::string(PQerrorMessage(tmp.get())).find("socket \"/tmp/.s.PGSQL." + dead + "\""), std::string::npos);

    // A negative keep-alive value is sent as 0, which the system refuses for the interval.
    const std::pair<Settings, const char*> refused[] = {
        {{{"keepalives", "1x"}}, "The given keepalives parameter is not an integer."},
        {{{"keepalives_interval", "-5"}},
         "<primary>The call to `setsockopt(TCP_KEEPINTVL)` failed.</primary><detail>Invalid argument</detail>"},
        {{{"port", "70000"}}, "The port number \"70000\" is invalid."},
    };
    for (const auto& [more, error] : refused)
        EXPECT_STREQ(PQerrorMessage(ConnectParams(Over(true, C::kTrustUser, more)).get()), error);
    // Chosen keep-alive values are what the connection's socket carries.
    Conn alive = ConnectParams(
        Over(true, C::kTrustUser,
             {{"keepalives", "1"}, {"keepalives_idle", "7"}, {"keepalives_interval", "3"}, {"keepalives_count", "2"}}));
    ASSERT_EQ(PQstatus(alive.get()), CONNECTION_OK) << PQerrorMessage(alive.get());
    for (const auto& [level, option, value] : {std::tuple<int, int, int>{SOL_SOCKET, SO_KEEPALIVE, 1},
                                               {IPPROTO_TCP, TCP_KEEPIDLE, 7},
                                               {IPPROTO_TCP, TCP_KEEPINTVL, 3},
                                               {IPPROTO_TCP, TCP_KEEPCNT, 2}}) {
        int set = -1;
        socklen_t length = sizeof set;
        ASSERT_EQ(getsockopt(PQsocket(alive.get()), level, option, &set, &length), 0);
        EXPECT_EQ(set, value) << option;
    }
}

TEST_F(ConnectPostgresTest, ReadWriteTargetRefusesReadOnlySessions) {
    Conn refused = ConnectParams(Over(true, C::kReadOnlyUser, {{"target_session_attrs", "read-write"}}));
    EXPECT_EQ(PQstatus(refused.get()), CONNECTION_BAD);
    EXPECT_EQ(std::string(PQerrorMessage(refused.get())),
              "Could not establish a writable connection to server \"127.0.0.1:" + m_cluster->PortText() + "\".");

    Conn accepted = ConnectParams(Over(false, C::kTrustUser, {{"target_session_attrs", "read-write"}}));
    EXPECT_EQ(PQstatus(accepted.get()), CONNECTION_OK) << PQerrorMessage(accepted.get());
    EXPECT_EQ(PQtransactionStatus(accepted.get()), PQTRANS_IDLE);
}

}  // namespace
