// Statements against the PostgreSQL peer: chunked results through every
// sending function, refusals of chunked mode, the most parameters, prepared
// statements, a 100 MiB value, a session ended or cancelled while a
// statement runs, PQexec's merging of errors, and changes of the client
// encoding.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "error/tagged_text.h"
#include "postgres/libpq/cancel.h"
#include "postgres/libpq/client_encoding.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/mb/encoding.h"
#include "statements/pg_session.h"

namespace {

using kelvotest::OpenSession;
using kelvotest::Result;
using kelvotest::RunSql;
using kelvotest::Session;
using kelvotest::Value;

// Every result of the running statement as (status, row count), checking
// that column 0 counts up from 1 across the chunks.
std::vector<std::pair<int, int>> Collect(PGconn* conn, std::string* lastTag = nullptr) {
    std::vector<std::pair<int, int>> out;
    int next = 1;
    while (PGresult* raw = PQgetResult(conn)) {
        Result res(raw);
        out.emplace_back(PQresultStatus(raw), PQntuples(raw));
        for (int i = 0; i < PQntuples(raw); ++i) {
            EXPECT_EQ(std::to_string(next), PQgetvalue(raw, i, 0));
            ++next;
        }
        if (lastTag) *lastTag = PQcmdStatus(raw);
        if (out.size() > 10) break;
    }
    return out;
}

// PQsendQueryParams, then the statement's last result.
PGresult* ExecParams(PGconn* conn, const char* sql, int n, const Oid* types, const char* const* values,
                     const int* lengths, const int* formats, int resultFormat) {
    if (!PQsendQueryParams(conn, sql, n, types, values, lengths, formats, resultFormat)) return nullptr;
    PGresult* last = nullptr;
    while (PGresult* res = PQgetResult(conn)) {
        PQclear(last);
        last = res;
    }
    return last;
}

enum class Sender { kQuery, kQueryParams, kQueryPrepared };

// Sends "rows" rows through one of the three sending functions.
bool SendRows(PGconn* conn, Sender sender, int rows) {
    const std::string count = std::to_string(rows);
    const char* values[] = {count.c_str()};
    switch (sender) {
        case Sender::kQuery:
            return PQsendQuery(conn, ("SELECT g FROM generate_series(1, " + count + ") g").c_str()) == 1;
        case Sender::kQueryParams:
            return PQsendQueryParams(conn, "SELECT g FROM generate_series(1, $1::int) g", 1, nullptr, values,
                                     nullptr, nullptr, 0) == 1;
        case Sender::kQueryPrepared:
            return PQsendQueryPrepared(conn, "rows_stmt", 1, values, nullptr, nullptr, 0) == 1;
    }
    return false;
}

class QueryPostgresTest : public kelvotest::SessionTest {};

TEST_F(QueryPostgresTest, ChunkedResultsThroughEverySender) {
    Result prepared(PQexec(conn_.get(), "PREPARE rows_stmt(int) AS SELECT g FROM generate_series(1, $1) g"));
    ASSERT_EQ(PGRES_COMMAND_OK, PQresultStatus(prepared.get())) << PQresultErrorMessage(prepared.get());
    using Results = std::vector<std::pair<int, int>>;
    struct Case {
        int rows;
        Results expected;
    };
    const Case cases[] = {
        {600, {{PGRES_TUPLES_CHUNK, 256}, {PGRES_TUPLES_CHUNK, 256}, {PGRES_TUPLES_OK, 88}}},
        {512, {{PGRES_TUPLES_CHUNK, 256}, {PGRES_TUPLES_CHUNK, 256}, {PGRES_TUPLES_OK, 0}}},
    };
    for (Sender sender : {Sender::kQuery, Sender::kQueryParams, Sender::kQueryPrepared}) {
        for (const Case& c : cases) {
            SCOPED_TRACE("sender " + std::to_string(static_cast<int>(sender)) + ", rows " + std::to_string(c.rows));
            ASSERT_TRUE(SendRows(conn_.get(), sender, c.rows)) << PQerrorMessage(conn_.get());
            ASSERT_EQ(1, PQsetChunkedMode(conn_.get(), 256));
            std::string tag;
            EXPECT_EQ(c.expected, Collect(conn_.get(), &tag));
            EXPECT_EQ("SELECT " + std::to_string(c.rows), tag);
        }
    }
}

TEST_F(QueryPostgresTest, ChunkedModeIsRefusedOutsideItsWindow) {
    using Results = std::vector<std::pair<int, int>>;
    const char* rows300 = "SELECT g FROM generate_series(1, 300) g";
    EXPECT_EQ(0, PQsetChunkedMode(nullptr, 256));
    EXPECT_EQ(0, PQsetChunkedMode(conn_.get(), 256));  // nothing sent
    ASSERT_EQ(1, PQsendPrepare(conn_.get(), "chunk_refused", "SELECT 1", 0, nullptr));
    EXPECT_EQ(0, PQsetChunkedMode(conn_.get(), 256));
    EXPECT_EQ((Results{{PGRES_COMMAND_OK, 0}}), Collect(conn_.get()));
    // Once the first result is parsed it is too late.
    ASSERT_EQ(1, PQsendQuery(conn_.get(), rows300));
    while (PQisBusy(conn_.get())) ASSERT_EQ(1, PQconsumeInput(conn_.get()));
    EXPECT_EQ(0, PQsetChunkedMode(conn_.get(), 256));
    EXPECT_EQ((Results{{PGRES_TUPLES_OK, 300}}), Collect(conn_.get()));
    // The mode lasts one statement; a chunk size of 0 is whole.
    ASSERT_EQ(1, PQsendQuery(conn_.get(), rows300));
    ASSERT_EQ(1, PQsetChunkedMode(conn_.get(), 100));
    EXPECT_EQ((Results{{PGRES_TUPLES_CHUNK, 100}, {PGRES_TUPLES_CHUNK, 100}, {PGRES_TUPLES_CHUNK, 100}, {PGRES_TUPLES_OK, 0}}),
              Collect(conn_.get()));
    for (int chunk : {-1, 0}) {
        ASSERT_EQ(1, PQsendQuery(conn_.get(), rows300));
        if (chunk == 0) {
            ASSERT_EQ(1, PQsetChunkedMode(conn_.get(), 0));
        }
        EXPECT_EQ((Results{{PGRES_TUPLES_OK, 300}}), Collect(conn_.get()));
    }
}

// The bytes of every kind of parameter: query_execution_test. Here the most
// parameters a statement can carry.
TEST_F(QueryPostgresTest, TheMostParametersArriveAsSent) {
    std::vector<std::string> texts(65535);
    std::vector<const char*> many_values(65535);
    std::string sql = "SELECT array_length(ARRAY[";
    for (size_t i = 0; i < texts.size(); ++i) {
        texts[i] = std::to_string(i);
        many_values[i] = texts[i].c_str();
        sql += (i > 0 ? ",$" : "$") + std::to_string(i + 1);
    }
    Result many(ExecParams(conn_.get(), (sql + "]::int[], 1)").c_str(), 65535, nullptr, many_values.data(), nullptr, nullptr, 0));
    ASSERT_EQ(PGRES_TUPLES_OK, PQresultStatus(many.get())) << PQresultErrorMessage(many.get());
    EXPECT_STREQ("65535", PQgetvalue(many.get(), 0, 0));
}

TEST_F(QueryPostgresTest, PreparedStatementsRunWithTheirParameters) {
    const Oid types[] = {23};
    ASSERT_EQ(1, PQsendPrepare(conn_.get(), "double_it", "SELECT $1 * 2", 1, types));
    Result prepared(PQgetResult(conn_.get()));
    EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(prepared.get())) << PQresultErrorMessage(prepared.get());
    EXPECT_EQ(nullptr, PQgetResult(conn_.get()));

    const char* values[] = {"21"};
    ASSERT_EQ(1, PQsendQueryPrepared(conn_.get(), "double_it", 1, values, nullptr, nullptr, 0));
    Result res(PQgetResult(conn_.get()));
    ASSERT_EQ(PGRES_TUPLES_OK, PQresultStatus(res.get())) << PQresultErrorMessage(res.get());
    EXPECT_STREQ("42", PQgetvalue(res.get(), 0, 0));
    EXPECT_EQ(nullptr, PQgetResult(conn_.get()));

}

TEST_F(QueryPostgresTest, AHundredMebibyteValueTravelsBothWays) {
    const size_t size = 100u * 1024 * 1024;
    Result res = RunSql(conn_.get(), "SELECT repeat('v', 100 * 1024 * 1024)");
    ASSERT_NE(nullptr, res);
    ASSERT_EQ(static_cast<int>(size), PQgetlength(res.get(), 0, 0));
    EXPECT_EQ('v', PQgetvalue(res.get(), 0, 0)[size - 1]);
    res.reset();

    std::string value(size, 'p');
    const char* values[] = {value.c_str()};
    Result echoed(ExecParams(conn_.get(), "SELECT length($1::text)", 1, nullptr, values, nullptr, nullptr, 0));
    ASSERT_EQ(PGRES_TUPLES_OK, PQresultStatus(echoed.get())) << PQresultErrorMessage(echoed.get());
    EXPECT_STREQ("104857600", PQgetvalue(echoed.get(), 0, 0));
}

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

TEST_F(QueryPostgresTest, CancelEndsARunningStatementOnly) {
    std::unique_ptr<PGcancel, void (*)(PGcancel*)> cancel(PQgetCancel(conn_.get()), PQfreeCancel);
    ASSERT_NE(nullptr, cancel);
    Session observer = OpenSession();
    for (bool throughConnection : {false, true}) {
        SCOPED_TRACE(throughConnection ? "PQrequestCancel" : "PQcancel");
        ASSERT_EQ(1, PQsendQuery(conn_.get(), "SELECT pg_sleep(30)"));
        AwaitSleeping(observer.get(), PQbackendPID(conn_.get()));
        char errbuf[256] = "";
        if (throughConnection) {
            ASSERT_EQ(1, PQrequestCancel(conn_.get())) << PQerrorMessage(conn_.get());
        } else {
            ASSERT_EQ(1, PQcancel(cancel.get(), errbuf, sizeof errbuf)) << errbuf;
        }
        Result res(PQgetResult(conn_.get()));
        ASSERT_NE(nullptr, res);
        EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
        EXPECT_STREQ("57014", PQresultErrorField(res.get(), 'C'));
        EXPECT_STREQ("canceling statement due to user request", PQresultErrorField(res.get(), 'M'));
        EXPECT_EQ(nullptr, PQgetResult(conn_.get()));
        EXPECT_EQ("alive", Value(conn_.get(), "SELECT 'alive'"));
    }
}

TEST_F(QueryPostgresTest, ATerminatedSessionReportsItWithoutSigpipe) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    struct sigaction old {};
    sigaction(SIGPIPE, &dfl, &old);

    Session observer = OpenSession();
    ASSERT_EQ(1, PQsendQuery(conn_.get(), "SELECT pg_sleep(30)"));
    const int pid = PQbackendPID(conn_.get());
    AwaitSleeping(observer.get(), pid);
    EXPECT_EQ("t", Value(observer.get(), "SELECT pg_terminate_backend(" + std::to_string(pid) + ")"));

    Result res(PQgetResult(conn_.get()));
    ASSERT_NE(nullptr, res);
    EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
    EXPECT_STREQ("57P01", PQresultErrorField(res.get(), 'C'));
    EXPECT_STREQ("terminating connection due to administrator command", PQresultErrorField(res.get(), 'M'));
    // Whatever follows is the lost connection, then the end.
    for (int i = 0; i < 3 && res; ++i) res.reset(PQgetResult(conn_.get()));
    EXPECT_EQ(nullptr, res);
    EXPECT_EQ(CONNECTION_BAD, PQstatus(conn_.get()));

    // Sending on the dead session fails with a text, not a signal.
    Result after(PQexec(conn_.get(), "SELECT 1"));
    if (after) {
        EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(after.get()));
    }
    EXPECT_STREQ("<sqlstate>08003</sqlstate><primary>There is no connection to the server.</primary>",
                 PQerrorMessage(conn_.get()));
    sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(QueryPostgresTest, ExecMergesTheErrorsOfOneStatement) {
    // The server's FATAL error and the lost connection behind it come back
    // as one result carrying both texts.
    Result res(PQexec(conn_.get(), "SELECT pg_terminate_backend(pg_backend_pid())"));
    ASSERT_NE(nullptr, res);
    EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
    const std::string text = PQresultErrorMessage(res.get());
    EXPECT_NE(std::string::npos, text.find("<sqlstate>57P01</sqlstate>")) << text;
    EXPECT_NE(std::string::npos, text.find("<sqlstate>08003</sqlstate>")) << text;
    EXPECT_EQ(text, PQerrorMessage(conn_.get()));
}

TEST_F(QueryPostgresTest, ClientEncodingChangesOnlyWhenTheServerAcceptsIt) {
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
        {"latin1", 0, PG_LATIN1},
        {"no_such_encoding", -1, PG_LATIN1},  // refused by the server
        {tooLong.c_str(), -1, PG_LATIN1},     // refused before sending
        {nullptr, -1, PG_LATIN1},
        {"UTF8", 0, PG_UTF8},
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

}  // namespace
