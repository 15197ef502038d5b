// psql and psycopg2 (Debian's postgresql-client-15 and python3-psycopg2, which the set-up script installs) against a
// started kelvod: the values, errors and transactions that such clients rely on, and a short mixed load.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/kelvod_server.h"

namespace {

class RealClients : public kelvotest::KelvodSuite {
protected:
    // The socket directory and port a PostgreSQL client takes for the server's endpoint.
    static std::string Port() { return server->Endpoint().substr(server->Endpoint().rfind('.') + 1); }
    static std::string Environment() {
        return "PGHOST='" + server->Directory() + "' PGPORT=" + Port() +
               " PGDATABASE=:main PGUSER=kelvo PGCONNECT_TIMEOUT=10 PGCLIENTENCODING=UTF8 ";
    }
    // Runs `command` with its standard error joined to its output; returns the output and the exit status.
    static std::pair<std::string, int> Run(const std::string& command) {
        FILE* p = ::popen((command + " 2>&1").c_str(), "r");
        std::string out = p ? "" : "popen failed";
        for (int c; p && (c = std::fgetc(p)) != EOF;)
            out += static_cast<char>(c);
        const int status = p ? ::pclose(p) : -1;
        return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }
    // psql reading `script` from its standard input, unaligned and without headers,
    // with errors shown as their SQLSTATE.
    static std::string Psql(const std::string& script) {
        std::string file = server->Directory() + "/script.sql";
        std::ofstream(file) << script;
        auto [out, status] = Run(Environment() + "psql -X -A -t -v VERBOSITY=sqlstate < '" + file + "'");
        EXPECT_EQ(status, 0) << out;
        return out;
    }
};

}  // namespace

TEST_F(RealClients, PsqlSeesValuesTagsAndErrorsAsFromPostgreSQL) {
    struct {
        const char* script;
        std::vector<const char*> expected;  // in this order in the output
    } cases[] = {
        {"SELECT '\\xdeadbeef'::bytea, octet_length('\\xdeadbeef'::bytea), 7 / 2;", {"\\xdeadbeef|4|3"}},
        {"CREATE TABLE r (v INT, n NUMERIC);\nINSERT INTO r VALUES (5, 1.23456) RETURNING v * 2, n;\n",
         {"10|1.2345600000", "INSERT 0 1"}},
        {"CREATE TABLE p (v INT);\nBEGIN;\nINSERT INTO p VALUES (1);\nSELECT nope FROM p;\nINSERT INTO p VALUES "
         "(2);\nCOMMIT;\nSELECT count(*) FROM p;\n",
         {"BEGIN", "INSERT 0 1", "42703", "25P02", "ROLLBACK", "\n0\n"}},
        {"SELECT 'caf\xC3';\nSELECT E'a'E'b';\n", {"22021", "42601"}},
        {"COPY (SELECT 1, 'a\tb') TO STDOUT;\nCOPY (SELECT 1) TO STDOUT WITH (FORMAT binary, DELIMITER ',');\n",
         {"1\ta\\tb", "0A000"}},
        // PostgreSQL 15 stores [1, 3]: it has savepoints. Here they are refused and the block fails as a whole.
        {"CREATE TABLE s (v INT);\nBEGIN;\nINSERT INTO s VALUES (1);\nSAVEPOINT a;\nINSERT INTO s VALUES (2);\n"
         "ROLLBACK TO SAVEPOINT a;\nINSERT INTO s VALUES (3);\nCOMMIT;\nSELECT count(*) FROM s;\nSAVEPOINT b;\n",
         {"0A000", "25P02", "0A000", "25P02", "ROLLBACK", "\n0\n", "25P01"}},
        // PostgreSQL 15 gives the same values and SQLSTATEs.
        {"SELECT 1234567.891::float, 0.1::float, 123456789::float, '0044-03-15 BC'::date;\n"
         "CREATE TABLE f (x FLOAT, d DATE);\nINSERT INTO f VALUES ('0.1', '0044-03-15 BC');\n"
         "SELECT x, d, d < '0001-01-01' FROM f;\n",
         {"1234567.891|0.1|123456789|0044-03-15 BC", "0.1|0044-03-15 BC|t"}},
        {"SELECT '2024-01-01 tomorrow maybe'::date;\nSELECT '1e309'::float8;\nSELECT '3.4028236e38'::real;\n"
         "SELECT '1e-400'::float8;\nSELECT '99999999999'::int;\nSELECT chr(0);\nSELECT '2024-02-30'::date;\n"
         "SELECT '1.5'::int;\n",
         {"22007", "22003", "22003", "22003", "22003", "54000", "22008", "22P02"}}};
    for (const auto& c : cases) {
        const std::string out = Psql(c.script);
        size_t at = 0;
        for (const char* e : c.expected) {
            const size_t found = out.find(e, at);
            EXPECT_NE(found, std::string::npos) << "\"" << e << "\" in:\n" << out;
            at = found == std::string::npos ? at : found + 1;
        }
    }
}

TEST_F(RealClients, Psycopg2CasesAndAMixedLoadOfEightConnections) {
    auto [out, status] = Run("/usr/bin/python3 '" KELVO_SOURCE_DIR "/tests/clients/psycopg2_cases.py' '" +
                             server->Directory() + "' " + Port());
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("psycopg2 cases passed"), std::string::npos) << out;
}

// What the drivers cannot express, on the raw protocol; PostgreSQL 15 answers each case the same.
TEST_F(RealClients, RawProtocolBatchesUntypedParametersAndPlans) {
    kelvotest::WireClient c, other;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    ASSERT_EQ(other.Open(server->Endpoint(), ":main").status, 'I');
    ASSERT_TRUE(c.Query("CREATE TABLE batch (k INT PRIMARY KEY, n INT)").Ok());
    // 500 INSERTs, a failing statement, a simple query in the window after it, one Sync: one error, the simple query
    // ignored, no row kept.
    for (int k = 0; k < 500; ++k)
        c.SendExtended("INSERT INTO batch VALUES ($1, 0)", {std::to_string(k)});
    c.SendExtended("SELECT nosuch FROM batch");
    c.SendMessage('Q', kelvotest::WireClient::Str("INSERT INTO batch VALUES (-1, 0)"));
    c.SendMessage('S', "");
    kelvotest::WireResult r = c.ReadUntilReady();
    EXPECT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.Sqlstate(), "42703");
    EXPECT_EQ(r.status, 'I');
    EXPECT_EQ(c.Query("SELECT count(*) FROM batch").Value(), "0");
    ASSERT_TRUE(c.Query("INSERT INTO batch VALUES (1, 4)").Ok());
    const struct {
        const char* sql;
        std::vector<std::optional<std::string>> params;
        const char* value;  // and the type the first parameter is described with
        uint32_t type;
    } cases[] = {{"SELECT $1 + 1", {"5"}, "6", 23},
                 {"SELECT abs($1)", {"-2.5"}, "2.5", 701},
                 {"SELECT 5 = ANY($1)", {"{1,5}"}, "t", 1007},
                 {"SELECT $1", {"x"}, "x", 25},
                 {"SELECT now()::timestamp + $1 > now()::timestamp", {"1 day"}, "t", 1186},
                 {"UPDATE batch SET n = n + $1 WHERE k = $2 RETURNING n", {"3", "1"}, "7", 23}};
    for (const auto& k : cases) {
        c.SendExtended(k.sql, k.params, 'S');
        c.SendMessage('S', "");
        r = c.ReadUntilReady();
        EXPECT_TRUE(r.Ok()) << k.sql << ": " << r.Message();
        EXPECT_EQ(r.Value(), k.value) << k.sql;
        EXPECT_EQ(r.parameterTypes.empty() ? 0u : r.parameterTypes[0], k.type) << k.sql;
    }
    EXPECT_EQ(c.Extended("SELECT $1", 0, {std::string("a\0b", 3)}).Sqlstate(), "22021");
    // The same text as the unnamed statement again answers a setting as it is now.
    const char* setting = "SELECT current_setting('memory_limit')";
    std::string before = c.Extended(setting, 0).Value();
    ASSERT_TRUE(other.Query("SET GLOBAL memory_limit = '1GB'").Ok());
    EXPECT_EQ(c.Extended(setting, 0).Value(), "953.6 MiB");
    ASSERT_TRUE(other.Query("RESET GLOBAL memory_limit").Ok());
    EXPECT_EQ(c.Extended(setting, 0).Value(), before);
}

// pgbench's built-in script in its three query modes, without an error that is not a conflict (40001, retried). Its own
// initialisation sends text COPY, which the server does not take, so the tables are made as it would make them.
TEST_F(RealClients, PgbenchRunsItsBuiltInScriptInEachQueryMode) {
    Psql(
        "CREATE TABLE pgbench_branches (bid INT PRIMARY KEY, bbalance INT, filler CHAR(88));\n"
        "CREATE TABLE pgbench_tellers (tid INT PRIMARY KEY, bid INT, tbalance INT, filler CHAR(84));\n"
        "CREATE TABLE pgbench_accounts (aid INT PRIMARY KEY, bid INT, abalance INT, filler CHAR(84));\n"
        "CREATE TABLE pgbench_history (tid INT, bid INT, aid INT, delta INT, mtime TIMESTAMP, filler CHAR(22));\n"
        "INSERT INTO pgbench_branches VALUES (1, 0, '');\n"
        "INSERT INTO pgbench_tellers SELECT t, 1, 0, '' FROM range(1, 11) r(t);\n"
        "INSERT INTO pgbench_accounts SELECT a, 1, 0, '' FROM range(1, 100001) r(a);\n");
    for (const char* mode : {"simple", "extended", "prepared"}) {
        auto [out, status] =
            Run(Environment() + "/usr/lib/postgresql/15/bin/pgbench -n -c 4 -j 2 -T 2 --max-tries=20 -M " + mode);
        EXPECT_EQ(status, 0) << mode << ":\n" << out;
        EXPECT_EQ(out.find("error"), std::string::npos) << mode << ":\n" << out;
        EXPECT_EQ(out.find("processed: 0\n"), std::string::npos) << mode << ":\n" << out;
    }
    std::string history = Psql("SELECT count(*) > 0 FROM pgbench_history;\n");
    EXPECT_NE(history.find("t"), std::string::npos) << history;
}
