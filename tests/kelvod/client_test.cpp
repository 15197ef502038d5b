// The server as the library's own wire-protocol client meets it: COPY FROM
// STDIN through PQputCopyData and PQputCopyEnd, and bulk insertion over two
// connections in the order the inserter sends its statements.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "postgres/libpq/connect.h"
#include "postgres/libpq/copy_data.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "support/connected_record.h"
#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"

using kelvotest::KlvcpyRows;
using kelvotest::ResultPtr;

namespace {

struct Finish {
    void operator()(PGconn* c) const { PQfinish(c); }
};
using Connection = std::unique_ptr<PGconn, Finish>;

class KelvodClient : public kelvotest::KelvodSuite {
protected:
    // The endpoint as the library hands it to the client: the socket's directory and number.
    static Connection Connect(const char* options = "result_format_code=Text") {
        const std::string& endpoint = server->Endpoint();
        std::string rest = endpoint.substr(std::string("pel.domain://").size());
        // pel.domain://<directory>/domain/<socket name>
        std::string dir = rest.substr(0, rest.find("/domain/"));
        std::string port = rest.substr(rest.rfind('.') + 1);
        const char* keywords[] = {"host", "port", "dbname", "user", "options", nullptr};
        const char* values[] = {dir.c_str(), port.c_str(), ":main", "tester", options, nullptr};
        Connection c(PQconnectdbParams(keywords, values, 0));
        EXPECT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
        return c;
    }
    static ResultPtr Exec(PGconn* c, const std::string& sql) { return ResultPtr(PQexec(c, sql.c_str())); }
    static std::string Value(PGconn* c, const std::string& sql) {
        ResultPtr r = Exec(c, sql);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) < 1) return "<none>";
        return PQgetvalue(r.get(), 0, 0);
    }
    static void Command(PGconn* c, const std::string& sql) {
        ResultPtr r = Exec(c, sql);
        ASSERT_EQ(PQresultStatus(r.get()), PGRES_COMMAND_OK) << sql << ": " << PQresultErrorMessage(r.get());
    }
    // One COPY as the inserter sends it: statement, the data in one call, the end, the results.
    static std::vector<ResultPtr> CopyChunk(PGconn* c, const std::string& sql, const std::vector<std::string>& pieces,
                                            const char* failure = nullptr) {
        std::vector<ResultPtr> results;
        ResultPtr start = Exec(c, sql);
        if (PQresultStatus(start.get()) != PGRES_COPY_IN) {
            results.push_back(std::move(start));
            return results;
        }
        for (const auto& p : pieces) EXPECT_EQ(PQputCopyData(c, p.data(), static_cast<int>(p.size())), 1);
        EXPECT_EQ(PQputCopyEnd(c, failure), 1);
        while (PGresult* r = PQgetResult(c)) results.emplace_back(r);
        return results;
    }
};

std::string Rows(int first, int count) {
    KlvcpyRows k;
    k.Header();
    for (int i = first; i < first + count; ++i) k.Int32(i, false).Bytes("v" + std::to_string(i));
    return k.Data();
}

}  // namespace

TEST_F(KelvodClient, CopyThroughPutCopyDataEndsWithItsTagOrItsError) {
    Connection c = Connect();
    Command(c.get(), "CREATE TABLE client_copy (\"id\" INT NOT NULL, \"s\" TEXT)");
    const std::string sql = "COPY \"client_copy\" (\"id\", \"s\") FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)";
    std::string data = Rows(0, 5000);
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        const char* failure;
        const char* sqlstate;  // nullptr: success
        const char* count;     // rows in the table afterwards
    } cases[] = {
        {"one call", {data}, nullptr, nullptr, "5000"},
        {"rows split across calls", {data.substr(0, 19 + 3), data.substr(22, 40000), data.substr(40022)}, nullptr, nullptr, "10000"},
        {"cancelled by the client", {data}, "the load was abandoned", "57014", "10000"},
        {"row cut at the end", {data.substr(0, data.size() - 2)}, nullptr, "22P04", "10000"},
    };
    for (const auto& k : cases) {
        std::vector<ResultPtr> results = CopyChunk(c.get(), sql, k.pieces, k.failure);
        ASSERT_EQ(results.size(), 1u) << k.name;
        if (k.sqlstate) {
            EXPECT_EQ(PQresultStatus(results[0].get()), PGRES_FATAL_ERROR) << k.name;
            EXPECT_STREQ(PQresultErrorField(results[0].get(), 'C'), k.sqlstate) << k.name;
        } else {
            EXPECT_EQ(PQresultStatus(results[0].get()), PGRES_COMMAND_OK) << k.name << PQresultErrorMessage(results[0].get());
            EXPECT_STREQ(PQcmdStatus(results[0].get()), "COPY 5000") << k.name;
        }
        EXPECT_EQ(Value(c.get(), "SELECT count(*) FROM client_copy"), k.count) << k.name;
    }
}

TEST_F(KelvodClient, BulkInsertionRunsAsTheInserterDrivesIt) {
    Connection main = Connect(), feeder = Connect();
    Command(main.get(), "CREATE TABLE client_bulk (\"id\" INT NOT NULL, \"s\" TEXT)");
    std::string db = Value(main.get(), "SELECT kelvo_database_of_table('client_bulk')");
    std::string table = "\"" + db + "\".\"public\".\"client_bulk\"";
    std::string stream = "\"" + db + "\".\"public\".\"__Insert_Stream__client_bulk__\"";
    Command(main.get(), "CREATE BOUNDED EXTERNAL STREAM " + stream +
                            " (\"id\" INT NOT NULL, \"s\" TEXT)  (WITH (FORMAT KELVOBINARY, SANITIZE));");
    ASSERT_EQ(PQsendQuery(main.get(), ("INSERT BULK INTO " + table + " (\"id\", \"s\") (SELECT \"id\", \"s\" FROM "
                                       "EXTERNAL STREAM " + stream + ")").c_str()),
              1);
    const std::string copy = "COPY " + stream + " FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)";
    for (int chunk = 0; chunk < 4; ++chunk) {
        std::vector<ResultPtr> results = CopyChunk(feeder.get(), copy, {Rows(chunk * 1000, 1000)});
        // A full stream answers 53400 and the chunk goes again, as the inserter does.
        while (results.size() == 1 && PQresultErrorField(results[0].get(), 'C') &&
               std::string(PQresultErrorField(results[0].get(), 'C')) == "53400")
            results = CopyChunk(feeder.get(), copy, {Rows(chunk * 1000, 1000)});
        ASSERT_EQ(results.size(), 1u);
        ASSERT_EQ(PQresultStatus(results[0].get()), PGRES_COMMAND_OK) << PQresultErrorMessage(results[0].get());
    }
    Command(feeder.get(), "CLOSE EXTERNAL STREAM " + stream);
    ResultPtr done(PQgetResult(main.get()));
    ASSERT_EQ(PQresultStatus(done.get()), PGRES_COMMAND_OK) << PQresultErrorMessage(done.get());
    EXPECT_STREQ(PQcmdStatus(done.get()), "INSERT 0 4000");
    EXPECT_EQ(PQgetResult(main.get()), nullptr);
    Command(feeder.get(), "DROP EXTERNAL STREAM IF EXISTS " + stream);
    EXPECT_EQ(Value(main.get(), "SELECT count(DISTINCT id) FROM client_bulk"), "4000");
}
