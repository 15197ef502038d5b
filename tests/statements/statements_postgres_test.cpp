// Statements against the PostgreSQL peer, for what only a real server shows:
// a statement cancelled and a session ended, PQexec's merging of errors, notices,
// changes of the client encoding, and pinging.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "postgres/libpq/cancel.h"
#include "postgres/libpq/client_encoding.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/ping.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/mb/encoding.h"
#include "support/connected_record.h"
#include "support/postgres_cluster.h"
#include "support/standby_server.h"

namespace {

using kelvotest::PostgresCluster;
using Result = kelvotest::ResultPtr;
using Session = std::unique_ptr<PGconn, decltype(&PQfinish)>;

// A session of the superuser on the shared peer, over its Unix socket.
Session OpenSession() {
    const PostgresCluster& cluster = PostgresCluster::Shared();
    const std::string port = cluster.PortText();
    const char* keywords[] = {"host", "port", "user", "dbname", nullptr};
    const char* values[] = {cluster.SocketDir().c_str(), port.c_str(), PostgresCluster::kAdminUser,
                            PostgresCluster::kDatabase, nullptr};
    Session session(PQconnectdbParams(keywords, values, 0), &PQfinish);
    EXPECT_EQ(CONNECTION_OK, PQstatus(session.get())) << PQerrorMessage(session.get());
    return session;
}

// The first value of the result of a query.
std::string Value(PGconn* conn, const std::string& sql) {
    Result res(PQexec(conn, sql.c_str()));
    EXPECT_EQ(PGRES_TUPLES_OK, PQresultStatus(res.get())) << sql << ": " << PQresultErrorMessage(res.get());
    if (PQntuples(res.get()) < 1 || PQnfields(res.get()) < 1)
        return "<no value>";
    return PQgetvalue(res.get(), 0, 0);
}

// Each test holds a session of its own.
class StatementsPostgresTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CONNECTION_OK, PQstatus(conn_.get())); }
    Session conn_ = OpenSession();
};

// Waits until the session with that process id runs pg_sleep.
void AwaitSleeping(PGconn* observer, int pid) {
    for (int i = 0; i < 1000; ++i) {
        if (Value(observer, "SELECT count(*) FROM pg_stat_activity WHERE pid = " + std::to_string(pid) +
                                " AND state = 'active' AND query LIKE '%pg_sleep%'") == "1")
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the session never started to sleep";
}

// A cancel ends the running statement only. A session ended by the server
// gives PQexec one result with both the server's FATAL error and the lost
// connection; sending on it then fails with a text, not a signal.
TEST_F(StatementsPostgresTest, CancelEndsTheStatementTerminationTheSession) {
    Session observer = OpenSession();
    ASSERT_EQ(1, PQsendQuery(conn_.get(), "SELECT pg_sleep(30)"));
    AwaitSleeping(observer.get(), PQbackendPID(conn_.get()));
    ASSERT_EQ(1, PQrequestCancel(conn_.get())) << PQerrorMessage(conn_.get());
    Result res(PQgetResult(conn_.get()));
    EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
    EXPECT_STREQ("57014", PQresultErrorField(res.get(), 'C'));
    EXPECT_STREQ("canceling statement due to user request", PQresultErrorField(res.get(), 'M'));
    EXPECT_EQ(nullptr, PQgetResult(conn_.get()));
    EXPECT_EQ("alive", Value(conn_.get(), "SELECT 'alive'"));

    res.reset(PQexec(conn_.get(), "SELECT pg_terminate_backend(pg_backend_pid())"));
    EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
    const std::string text = PQresultErrorMessage(res.get());
    EXPECT_NE(std::string::npos, text.find("<sqlstate>57P01</sqlstate>")) << text;
    EXPECT_NE(std::string::npos, text.find("<sqlstate>08003</sqlstate>")) << text;
    EXPECT_EQ(text, PQerrorMessage(conn_.get()));
    EXPECT_EQ(CONNECTION_BAD, PQstatus(conn_.get()));

    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    struct sigaction old {};
    sigaction(SIGPIPE, &dfl, &old);
    res.reset(PQexec(conn_.get(), "SELECT 1"));
    EXPECT_EQ(nullptr, res);
    EXPECT_STREQ("<sqlstate>08003</sqlstate><primary>There is no connection to the server.</primary>",
                 PQerrorMessage(conn_.get()));
    sigaction(SIGPIPE, &old, nullptr);
}

// A notice reaches the processor that replaced the default one, as its tagged text.
TEST_F(StatementsPostgresTest, NoticesReachTheProcessor) {
    std::string text;
    const auto append = [](void* out, const char* message) { *static_cast<std::string*>(out) += message; };
    EXPECT_NE(nullptr, PQsetNoticeProcessor(conn_.get(), append, &text));
    Result res(PQexec(conn_.get(), "DO $$BEGIN RAISE NOTICE 'from the server'; END$$"));
    EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(res.get()));
    const std::string notice =
        "<severity>NOTICE</severity><sqlstate>00000</sqlstate><primary>from the server</primary>\n";
    EXPECT_EQ(notice, text.substr(0, notice.size())) << "the location that follows names the server's source";
}

TEST_F(StatementsPostgresTest, ClientEncodingChangesOnlyWhenTheServerAcceptsIt) {
    PGconn* conn = conn_.get();
    ASSERT_EQ(PG_UTF8, PQclientEncoding(conn));
    EXPECT_TRUE(conn->std_strings);
    EXPECT_GE(PQserverVersion(conn), 150000);
    EXPECT_LT(PQserverVersion(conn), 160000);
    const std::string tooLong(101, 'a');
    const struct {
        const char* name;
        int result;
        int encoding;  // reported afterwards
    } cases[] = {
        {"latin1", 0, PG_LATIN1},         {"no_such_encoding", -1, PG_LATIN1},  // refused by the server
        {tooLong.c_str(), -1, PG_LATIN1},                                       // refused before sending
        {nullptr, -1, PG_LATIN1},         {"UTF8", 0, PG_UTF8},  // replaces the report at the head of the list
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
        EXPECT_EQ(c.result, PQsetClientEncoding(conn, c.name));
        EXPECT_EQ(c.encoding, PQclientEncoding(conn));
        EXPECT_STREQ(pg_encoding_to_char(c.encoding), PQparameterStatus(conn, "client_encoding"));
        EXPECT_EQ(PQTRANS_IDLE, PQtransactionStatus(conn));
    }
    EXPECT_EQ(-1, PQsetClientEncoding(nullptr, "UTF8"));
    EXPECT_EQ(-1, PQclientEncoding(nullptr));
}

struct Option {
    const char* keyword;
    std::string value;
};

PGPing Ping(const std::vector<Option>& options) {
    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (const Option& o : options) {
        keywords.push_back(o.keyword);
        values.push_back(o.value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    return PQpingParams(keywords.data(), values.data(), 0);
}

// Pinging the peer (up, whatever it thinks of the credentials), a standby that
// refuses every connection, a port with no listener, and options that never
// allow an attempt.
TEST(PingTest, ReportsWhetherAServerIsThereAndAccepting) {
    const PostgresCluster& cluster = PostgresCluster::Shared();
    kelvotest::StandbyServer standby;
    const std::string socketDir = cluster.SocketDir();
    const std::string port = cluster.PortText();
    const std::string closedPort = std::to_string(kelvotest::FindFreeTcpPort());

    struct Case {
        const char* name;
        std::vector<Option> options;
        PGPing expected;
    };
    const Case cases[] = {
        {"trusted user", {{"host", socketDir}, {"port", port}, {"user", PostgresCluster::kAdminUser}}, PQPING_OK},
        // The server asked for a password: it is up.
        // Refusing an unknown role is an answer too.
        {"unknown role", {{"host", socketDir}, {"port", port}, {"user", "nobody_here"}}, PQPING_OK},
        {"standby without hot standby",
         {{"host", standby.SocketDir()}, {"port", std::to_string(standby.Port())}, {"user", "kelvo_admin"}},
         PQPING_REJECT},
        {"closed TCP port", {{"host", "127.0.0.1"}, {"port", closedPort}, {"user", "kelvo_admin"}}, PQPING_NO_RESPONSE},
        {"invalid option value", {{"host", socketDir}, {"port", port}, {"sslmode", "sometimes"}}, PQPING_NO_ATTEMPT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, Ping(c.options));
    }

    // The connection-string form.
    EXPECT_EQ(PQPING_OK, PQping(("host=" + socketDir + " port=" + port + " user=kelvo_admin").c_str()));
    EXPECT_EQ(PQPING_NO_ATTEMPT, PQping("host='unterminated"));
}

}  // namespace
