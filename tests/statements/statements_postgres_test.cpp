// Statements against the PostgreSQL peer, for what only a real server shows:
// a statement cancelled and a session ended, PQexec's merging of errors, changes of the client encoding, COPY in
// blocks of every size under a notice per row, and pinging. The bytes sent
// and read are checked against the socket-pair and scripted peers in
// copy_data_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "postgres/common/md5.h"
#include "postgres/libpq/cancel.h"
#include "postgres/libpq/client_encoding.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/copy_data.h"
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
    // The peer's own notices ("does not exist, skipping") are noise here.
    PQsetNoticeProcessor(
        session.get(), [](void*, const char*) {}, nullptr);
    return session;
}

// Runs a statement that must succeed and returns its result.
Result RunSql(PGconn* conn, const std::string& sql) {
    Result res(PQexec(conn, sql.c_str()));
    const ExecStatusType status = PQresultStatus(res.get());
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        << sql << ": status " << status << " " << PQresultErrorMessage(res.get());
    return res;
}

// The first value of the result of a query.
std::string Value(PGconn* conn, const std::string& sql) {
    Result res = RunSql(conn, sql);
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

// Rows "i\tpayload-i-...\n" for i in [1, count], padded to about rowSize bytes.
std::string MakeRows(int count, size_t rowSize) {
    std::string out;
    for (int i = 1; i <= count; ++i) {
        std::string row = std::to_string(i) + "\tpayload-" + std::to_string(i) + "-";
        if (row.size() + 1 < rowSize)
            row.append(rowSize - 1 - row.size(), static_cast<char>('a' + i % 26));
        out += row + '\n';
    }
    return out;
}

TEST_F(StatementsPostgresTest, BlocksOfEverySizeArriveWholeWhileANoticePerRowFlowsBack) {
    RunSql(conn_.get(), "DROP TABLE IF EXISTS copy_target CASCADE");
    RunSql(conn_.get(), "CREATE UNLOGGED TABLE copy_target (a int, b text)");
    RunSql(conn_.get(),
           "CREATE OR REPLACE FUNCTION copy_target_notice() RETURNS trigger LANGUAGE plpgsql AS "
           "$$BEGIN RAISE NOTICE 'row % arrived with a notice long enough to fill buffers quickly', NEW.a; "
           "RETURN NEW; END$$");
    RunSql(conn_.get(),
           "CREATE TRIGGER copy_target_notice BEFORE INSERT ON copy_target FOR EACH ROW "
           "EXECUTE FUNCTION copy_target_notice()");
    int notices = 0;
    PQsetNoticeReceiver(
        conn_.get(), [](void* count, const PGresult*) { ++*static_cast<int*>(count); }, &notices);
    struct Case {
        int rows;
        size_t rowSize;
        size_t block;
        bool extended;
    };
    const Case cases[] = {{100000, 24, 64 * 1024, false}, {40000, 100, 16 * 1024 * 1024, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("block " + std::to_string(c.block));
        RunSql(conn_.get(), "TRUNCATE copy_target");
        notices = 0;
        const std::string data = MakeRows(c.rows, c.rowSize);
        const char* copy = "COPY copy_target FROM STDIN";
        if (c.extended) {
            ASSERT_EQ(1, PQsendQueryParams(conn_.get(), copy, 0, nullptr, nullptr, nullptr, nullptr, 0));
        }
        Result start(c.extended ? PQgetResult(conn_.get()) : PQexec(conn_.get(), copy));
        ASSERT_EQ(PGRES_COPY_IN, PQresultStatus(start.get())) << PQresultErrorMessage(start.get());
        ASSERT_EQ(1, PQputCopyData(conn_.get(), data.data(), 0));  // a block of nothing changes nothing
        for (size_t pos = 0; pos < data.size(); pos += c.block) {
            const int n = static_cast<int>(std::min(c.block, data.size() - pos));
            ASSERT_EQ(1, PQputCopyData(conn_.get(), data.data() + pos, n)) << PQerrorMessage(conn_.get());
        }
        ASSERT_EQ(1, PQputCopyEnd(conn_.get(), nullptr));
        Result res(PQgetResult(conn_.get()));
        EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(res.get())) << PQresultErrorMessage(res.get());
        EXPECT_EQ(std::to_string(c.rows), PQcmdTuples(res.get()));
        EXPECT_EQ(nullptr, PQgetResult(conn_.get()));
        EXPECT_EQ(c.rows, notices);
        // The notices were taken out as they came, not piled up.
        EXPECT_LE(conn_->inBufSize, 1024 * 1024);
        // The table's rows as COPY text: nothing lost, nothing changed.
        char md5[33];
        ASSERT_TRUE(pg_md5_hash(data.data(), data.size(), md5));
        EXPECT_EQ(md5, Value(conn_.get(),
                             "SELECT md5(string_agg(a || E'\\t' || b || E'\\n', '' ORDER BY a)) "
                             "FROM copy_target"));
    }
    RunSql(conn_.get(), "DROP TABLE copy_target CASCADE");
    RunSql(conn_.get(), "DROP FUNCTION copy_target_notice()");
}

// A copy-out the server is still sending is drained, not left in the way.
TEST_F(StatementsPostgresTest, ANewExecEndsARunningCopyOut) {
    Result start(PQexec(conn_.get(), "COPY (SELECT g FROM generate_series(1, 100000) g) TO STDOUT"));
    ASSERT_EQ(PGRES_COPY_OUT, PQresultStatus(start.get()));
    char* row = nullptr;
    ASSERT_EQ(2, PQgetCopyData(conn_.get(), &row, 0));
    free(row);
    Result res(PQexec(conn_.get(), "SELECT 'next'"));
    ASSERT_EQ(PGRES_TUPLES_OK, PQresultStatus(res.get())) << PQresultErrorMessage(res.get());
    EXPECT_STREQ("next", PQgetvalue(res.get(), 0, 0));
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
