// Sessions of one server: start-up values, the statements the server runs itself (databases, aliases, schemas, tables,
// settings), statement errors with their SQLSTATEs, attachments shared or refused between sessions, the catalog as the
// library reads it, and bad input that ends a session without harm to the server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"
#include "support/wire_client.h"

using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

std::string Q(const std::string& s) { return "\"" + s + "\""; }
const auto I32 = WireClient::Int32;
const auto I16 = WireClient::Int16;

// A binary INTEGER or OID value.
int32_t BinaryInt(const std::optional<std::string>& v) {
    int32_t x = 0;
    if (v && v->size() == 4)
        std::memcpy(&x, v->data(), 4);
    return x;
}

class KelvodSessions : public kelvotest::KelvodSuite {
protected:
    static std::string Path(const std::string& name) { return server->Directory() + "/" + name; }
    // One database of the list a dbname holds; DbList for a list of it alone.
    static std::string Db(const std::string& alias, const std::string& file) {
        return "{\"alias\": \"" + alias + "\", \"path\": \"" + Path(file) + "\"}";
    }
    static std::string DbList(const std::string& alias, const std::string& file) { return "[" + Db(alias, file) + "]"; }
    // Each statement succeeds with its tag, or fails with its SQLSTATE; the session stays ready.
    static void RunSteps(WireClient& c, const std::vector<std::pair<std::string, const char*>>& steps) {
        for (const auto& [sql, expected] : steps) {
            WireResult r = c.Query(sql);
            EXPECT_EQ(r.Outcome(), expected) << sql << ": " << r.Message();
            EXPECT_TRUE(r.status == 'I' || r.status == 'T') << sql;
        }
    }
    // The column query of the table-definition road, prefix P ("" or "\"db\".").
    static std::string ColumnQuery(const std::string& p, const std::string& schema, const std::string& table) {
        std::string sql =
            "SELECT a.attname, a.atttypid, a.atttypmod, a.attnotnull, coll.collname, a.attnum, cl.relpersistence "
            "FROM @pg_catalog.pg_attribute a JOIN @pg_catalog.pg_class cl ON a.attrelid = cl.oid JOIN "
            "@pg_catalog.pg_namespace n ON n.oid = cl.relnamespace LEFT JOIN @ pg_catalog.pg_collation coll ON "
            "a.attcollation = coll.oid WHERE a.attnum > 0 AND NOT a.attisdropped AND cl.relname = '" +
            table + "' AND n.nspname = '" + schema + "' ORDER BY a.attnum";
        for (size_t at; (at = sql.find('@')) != std::string::npos;)
            sql.replace(at, 1, p);
        return sql;
    }
};

}  // namespace

TEST_F(KelvodSessions, StartupReportsItsSettingsAndFailsOnUnknownOnes) {
    WireClient a, b;
    WireResult r = a.Open(server->Endpoint());
    ASSERT_EQ(r.status, 'I');
    std::map<std::string, std::string> expected{
        {"server_encoding", "UTF8"},          {"client_encoding", "UTF8"}, {"DateStyle", "ISO, MDY"},
        {"IntervalStyle", "postgres"},        {"TimeZone", "UTC"},         {"integer_datetimes", "on"},
        {"standard_conforming_strings", "on"}};
    for (const auto& [name, value] : expected)
        EXPECT_EQ(a.ParameterStatus().at(name), value) << name;
    EXPECT_EQ(a.ParameterStatus().count("server_version"), 1u);
    EXPECT_EQ(r.types.front(), 'R');  // AuthenticationOk first, BackendKeyData before the final ReadyForQuery
    EXPECT_EQ(r.types[r.types.size() - 2], 'K');
    // Options with quoting and runs of blanks; each session has its own key.
    const struct {
        const char* options;
        const char* sqlstate;                     // "" for success
        std::string sum = "0.30000000000000004";  // of 0.1 and 0.2 as doubles
    } cases[] = {
        {"allow_redirects=true extra_float_digits=2 requestedProtocolVersion=1 result_format_code=KelvoBinary "
         "TwoDigitYearThreshold=40",
         "", kelvotest::Le<double>(0.1 + 0.2)},
        {"user_agent='External API' client_info=C,Linux,0.1.0 dorvane_api=1", ""},
        {"allow_redirects=true  result_format_code=Text   session_identifier=a\\\\bc "
         "failed_connection_attempts=/tmp/.s.PGSQL.1",
         ""},
        {"client_info='it\\'s a \\\\ b' DateStyle=ISO TimeZone=UTC IntervalStyle=postgres", ""},
        {"extra_float_digits=0", "", "0.3"},
        {"extra_float_digits=-10", "", "0.3"},
        {"no_such_setting=1", "42704"},
        {"result_format_code=Sideways", "22023"},
        {"extra_float_digits=lots", "22023"},
        {"just_a_name", "22023"},
        {"=x", "22023"},
        {"user_agent='unterminated", "22023"},
    };
    for (const auto& c : cases) {
        WireResult s = b.Open(server->Endpoint(), "[]", c.options);
        EXPECT_EQ(s.Sqlstate(), c.sqlstate) << c.options << ": " << s.Message();
        if (*c.sqlstate) {
            EXPECT_EQ(s.errors.at(0).severity, "FATAL");
            EXPECT_TRUE(b.WaitClosed()) << c.options;
        } else {
            EXPECT_EQ(s.status, 'I') << c.options;
            EXPECT_NE(a.Pid(), b.Pid());
            EXPECT_EQ(b.Query("SELECT CAST(0.1 AS DOUBLE) + CAST(0.2 AS DOUBLE)").Value(), c.sum) << c.options;
        }
    }
}

TEST_F(KelvodSessions, DatabaseStatementsWithAndWithoutSemicolon) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint()).status, 'I');
    std::string a = Q(Path("a.kelvo"));
    { std::ofstream(Path("notes.txt")) << "not a database, never to be dropped\n"; }
    RunSteps(c, {
                    {"CREATE TABLE \"t\" (\"v\" INT)", "3D000"},  // no database attached
                    {"CREATE DATABASE " + a + ";", "CREATE DATABASE"},
                    {"CREATE DATABASE " + a, "42P04"},
                    {"ATTACH DATABASE " + a + " AS \"a\";", "ATTACH DATABASE"},
                    {"ATTACH DATABASE " + a + " AS \"a\"", "42710"},
                    {"DROP DATABASE " + a, "55006"},
                    {"CREATE SCHEMA \"s\"", "CREATE SCHEMA"},
                    {"CREATE SCHEMA IF NOT EXISTS \"a\".\"s\";", "CREATE SCHEMA"},
                    {"CREATE SCHEMA \"a\".\"s\"", "42P06"},
                    {"CREATE SCHEMA \"nodb\".\"s\"", "3D000"},
                    {"CREATE TABLE \"a\".\"s\".\"t\" (\"x\" INT NOT NULL, \"y\" TEXT);", "CREATE TABLE"},
                    {"CREATE TABLE IF NOT EXISTS \"s\".\"t\" (\"x\" INT)", "CREATE TABLE"},
                    {"CREATE TABLE \"s\".\"t\" (\"x\" INT)", "42P07"},
                    {"INSERT INTO s.t VALUES (1, 'one'), (2, NULL)", "INSERT 0 2"},
                    {"SELECT count(*) FROM s.t", "SELECT 1"},  // its plan kept: it must not hold the file
                    {"SELECT count(*) FROM s.t", "SELECT 1"},
                    {"DETACH DATABASE \"nope\"", "3D000"},
                    {"DETACH DATABASE \"a\";", "DETACH DATABASE"},
                    {"DETACH DATABASE *", "DETACH DATABASE"},
                    {"DETACH DATABASE *;", "DETACH DATABASE"},
                    {"DROP DATABASE " + a + ";", "DROP DATABASE"},
                    {"DROP DATABASE " + a, "3D000"},
                    {"DROP DATABASE IF EXISTS " + a, "DROP DATABASE"},
                    {"ATTACH DATABASE " + a + " AS \"a\"", "3D000"},
                    {"CREATE DATABASE " + Q(Path("missing-dir/x.kelvo")), "58030"},
                    {"DROP DATABASE " + Q(Path("notes.txt")), "42809"},
                });
    EXPECT_FALSE(std::filesystem::exists(Path("a.kelvo")));
    EXPECT_TRUE(std::filesystem::exists(Path("notes.txt")));
    // IF NOT EXISTS that finds nothing to do says so in a notice.
    ASSERT_TRUE(c.Query("CREATE DATABASE " + a).Ok());
    WireResult again = c.Query("CREATE DATABASE IF NOT EXISTS " + a);
    EXPECT_EQ(again.tags, std::vector<std::string>{"CREATE DATABASE"});
    ASSERT_EQ(again.notices.size(), 1u);
    EXPECT_EQ(again.notices[0].severity, "NOTICE");
    EXPECT_EQ(again.notices[0].sqlstate, "42P04");
}

TEST_F(KelvodSessions, SharedAndConflictingAttachmentsBetweenSessions) {
    WireClient admin;
    ASSERT_EQ(admin.Open(server->Endpoint()).status, 'I');
    ASSERT_TRUE(admin.Query("CREATE DATABASE " + Q(Path("s1.kelvo"))).Ok());
    ASSERT_TRUE(admin.Query("CREATE DATABASE " + Q(Path("s2.kelvo"))).Ok());
    {
        // Data written and detached as the library closes a connection is there for the next session.
        WireClient w;
        ASSERT_EQ(w.Open(server->Endpoint(), DbList("writer", "s1.kelvo")).status, 'I');
        ASSERT_TRUE(w.Query("CREATE TABLE \"t\" (\"v\" BIGINT)").Ok());
        ASSERT_TRUE(w.Query("INSERT INTO t SELECT * FROM range(1000)").Ok());
        ASSERT_TRUE(w.Query("DETACH DATABASE *").Ok());
    }
    WireClient a, b, c, m;
    ASSERT_EQ(a.Open(server->Endpoint(), DbList("shared", "s1.kelvo")).status, 'I');
    ASSERT_EQ(b.Open(server->Endpoint(), DbList("shared", "s1.kelvo")).status, 'I');
    EXPECT_EQ(b.Query("SELECT sum(v) FROM t").Value(), "499500");
    // The same alias for another file is refused, at start-up and by ATTACH; the same file under another alias and a
    // missing file too.
    EXPECT_EQ(c.Open(server->Endpoint(), DbList("shared", "s2.kelvo")).Sqlstate(), "42710");
    EXPECT_EQ(m.Open(server->Endpoint(), DbList("renamed", "s1.kelvo")).Sqlstate(), "42710");
    EXPECT_EQ(m.Open(server->Endpoint(), DbList("m", "missing.kelvo")).Sqlstate(), "3D000");
    ASSERT_EQ(c.Open(server->Endpoint()).status, 'I');
    EXPECT_EQ(c.Query("ATTACH DATABASE " + Q(Path("s2.kelvo")) + " AS \"shared\"").Sqlstate(), "42710");

    ASSERT_TRUE(a.Query("INSERT INTO t VALUES (-499500)").Ok());
    EXPECT_EQ(b.Query("SELECT sum(v) FROM t").Value(), "0");
    // One session leaving releases only its own use of the alias.
    ASSERT_TRUE(a.Query("DETACH DATABASE *").Ok());
    EXPECT_EQ(b.Query("SELECT count(*) FROM shared.public.t").Value(), "1001");
    EXPECT_EQ(admin.Query("DROP DATABASE " + Q(Path("s1.kelvo"))).Sqlstate(), "55006");
    b.Close();
    // Once the last user is gone the file is free again (the session ends asynchronously).
    bool dropped = false;
    for (int i = 0; i < 100 && !(dropped = admin.Query("DROP DATABASE " + Q(Path("s1.kelvo"))).Ok()); ++i)
        usleep(20000);
    EXPECT_TRUE(dropped);
}

TEST_F(KelvodSessions, StatementsStopAtTheFirstErrorAndTheTransactionStatusFollows) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    WireResult r = c.Query("SELECT 1; SELECT 2 AS two;; SELECT * FROM no_such_table; SELECT 3");
    EXPECT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.tags, (std::vector<std::string>{"SELECT 1", "SELECT 1"}));
    EXPECT_EQ(r.Sqlstate(), "42P01");
    EXPECT_EQ(r.status, 'I');
    EXPECT_EQ(c.Query("  ;  -- nothing\n").types, (std::vector<char>{'I', 'Z'}));
    EXPECT_EQ(c.Query("BEGIN").status, 'T');
    EXPECT_EQ(c.Query("SELECT * FROM nowhere").status, 'E');
    EXPECT_EQ(c.Query("ROLLBACK").status, 'I');
    // Integer division truncates, as PostgreSQL clients expect.
    WireResult division = c.Query("SELECT 7 / 2, -7 / 2, 7.0 / 2");
    EXPECT_EQ(division.rows.at(0), (std::vector<std::optional<std::string>>{"3", "-3", "3.5"}));
    // A write-write conflict is one that clients retry.
    WireClient other;
    ASSERT_EQ(other.Open(server->Endpoint(), ":main").status, 'I');
    ASSERT_TRUE(c.Query("CREATE TABLE conflicts (id INT, v INT); INSERT INTO conflicts VALUES (1, 0)").Ok());
    ASSERT_EQ(c.Query("BEGIN; UPDATE conflicts SET v = 1 WHERE id = 1").status, 'T');
    EXPECT_EQ(other.Query("UPDATE conflicts SET v = 2 WHERE id = 1").Sqlstate(), "40001");
    EXPECT_EQ(c.Query("COMMIT").tags, std::vector<std::string>{"COMMIT"});
    // A COMMIT that fails on a conflict leaves a block that ROLLBACK ends.
    ASSERT_TRUE(c.Query("CREATE TABLE keys (id INT PRIMARY KEY)").Ok());
    ASSERT_EQ(c.Query("BEGIN; INSERT INTO keys VALUES (1)").status, 'T');
    ASSERT_EQ(other.Query("BEGIN; INSERT INTO keys VALUES (1)").status, 'T');
    EXPECT_TRUE(other.Query("COMMIT").Ok());
    WireResult failedCommit = c.Query("COMMIT");
    EXPECT_FALSE(failedCommit.Ok());
    EXPECT_EQ(c.Query("ROLLBACK").status, 'I');
    EXPECT_EQ(c.Query("SELECT count(*) FROM keys").Value(), "1");
    // Whatever fails inside a block (parse, bind, catalog, run time, in either protocol) aborts it: nothing more runs,
    // and COMMIT rolls back.
    ASSERT_TRUE(c.Query("CREATE TABLE aborts (v INT)").Ok());
    for (const char* failing : {"SELEC 1", "SELECT nosuchcolumn FROM aborts", "SELECT * FROM nowhere",
                                "SELECT 2147483647::INT + 1", "SELECT 'x'::INT"}) {
        for (bool extended : {false, true}) {
            auto run = [&](const std::string& sql) { return extended ? c.Extended(sql, 0) : c.Query(sql); };
            ASSERT_EQ(c.Query("BEGIN; INSERT INTO aborts VALUES (1)").status, 'T');
            EXPECT_EQ(run(failing).status, 'E') << failing;
            EXPECT_EQ(run("INSERT INTO aborts VALUES (2)").Sqlstate(), "25P02") << failing;
            WireResult commit = c.Query("COMMIT");
            EXPECT_EQ(commit.tags, std::vector<std::string>{"ROLLBACK"}) << failing;
            EXPECT_EQ(commit.status, 'I');
            EXPECT_EQ(c.Query("SELECT count(*) FROM aborts").Value(), "0") << failing;
        }
    }
}

TEST_F(KelvodSessions, EngineErrorsCarryTheNearestSqlstate) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    RunSteps(c, {
                    {"CREATE TABLE \"k\" (\"id\" INT NOT NULL, \"u\" INT)", "CREATE TABLE"},
                    {"CREATE UNIQUE INDEX k_u ON k(u)", "CREATE INDEX"},
                    {"INSERT INTO k VALUES (1, 1)", "INSERT 0 1"},
                    {"INSERT INTO k VALUES (2, 1)", "23505"},
                    {"UPDATE k SET u = 3 WHERE id = 1 RETURNING id", "UPDATE 1"},
                    {"DELETE FROM k WHERE id = 9 RETURNING id", "DELETE 0"},
                    {"SELECT 2147483647::INT + 1", "22003"},
                    {"SHOW no_such_setting", "42704"},
                    {"SELECT E'a'E'b'", "42601"},
                    {"SELECT u&E'x'", "42703"},
                    {"CREATE TABLE \"n\" (\"id\" INT PRIMARY KEY, \"v\" NUMERIC)", "CREATE TABLE"},
                    {"INSERT INTO n VALUES (1, 1.23456)", "INSERT 0 1"},
                    {"INSERT INTO n SELECT 2, v FROM n WHERE v = 1.23456::numeric", "INSERT 0 1"},
                    {"SET VARIABLE answer = 42", "SET"},
                    {"SET threads = 1", "42501"},
                    {"SELECT * FROM Read_Csv('/etc/passwd')", "42501"},
                    {"SELECT * FROM '/etc/passwd'", "42501"},
                    {"SELECT * FROM k, \"/tmp/x.csv\"", "42501"},
                    {"SELECT id, \"x.csv\" FROM (SELECT 1 AS id, 2 AS \"x.csv\")", "SELECT 1"},
                    {"SELECT * FROM query('SELECT 1')", "42501"},
                    {"EXPORT DATABASE '/tmp/x'", "42501"},
                    {"IMPORT DATABASE '/tmp'", "42501"},
                    {"LOAD json", "42501"},
                    {"PRAGMA version", "42501"},
                    {"PREPARE cp AS COPY (SELECT 1) TO '/tmp/x.csv'", "42501"},
                    {"SUMMARIZE '/etc/passwd'", "42501"},
                    {"COPY (SELECT 1) TO '/tmp/x.csv'", "0A000"},
                    {"PREPARE two AS SELECT 2", "PREPARE"},
                    {"PREPARE TWO AS SELECT 3", "42P05"},
                    {"DEALLOCATE PREPARE \"two\"", "DEALLOCATE"},
                    {"EXECUTE two", "26000"},
                    {"PREPARE two AS SELECT 2", "PREPARE"},
                    {"DEALLOCATE ALL", "DEALLOCATE ALL"},
                    {"DEALLOCATE two", "26000"},
                    {"create or replace view kv as select 1", "CREATE VIEW"},
                    {"begin", "BEGIN"},
                    {"END", "COMMIT"},
                    {"checkpoint", "CHECKPOINT"},
                });
}

TEST_F(KelvodSessions, SearchPathAndClientContextSettings) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    // What SHOW gives, SET takes.
    EXPECT_EQ(c.Query("SHOW search_path").Value(), "public");
    EXPECT_TRUE(c.Query("SET search_path = public").Ok());
    ASSERT_TRUE(c.Query("CREATE SCHEMA \"other\"; CREATE TABLE \"other\".\"o\" (\"v\" INT)").Ok());
    EXPECT_EQ(c.Query("SELECT count(*) FROM o").Sqlstate(), "42P01");
    ASSERT_TRUE(c.Query("SET schema_search_path TO other, public").Ok());
    EXPECT_EQ(c.Query("SHOW schema_search_path").Value(), "other, public");
    EXPECT_TRUE(c.Query("SELECT count(*) FROM o").Ok());
    // A load resolves its table through the search path of the moment, as a query does.
    const std::string loadO = "COPY o FROM STDIN WITH (FORMAT KELVOBINARY)";
    const std::string oneRow = kelvotest::KlvcpyRows().Header().Int32(7).Data();
    WireResult loaded = c.CopyIn(loadO, {oneRow});
    EXPECT_TRUE(loaded.Ok()) << loaded.Message();
    ASSERT_TRUE(c.Query("SET search_path = \"My Schema\", public").Ok());
    EXPECT_EQ(c.Query("SHOW search_path").Value(), "\"My Schema\", public");
    EXPECT_EQ(c.CopyIn(loadO, {oneRow}).Sqlstate(), "42P01");
    EXPECT_TRUE(c.Query("SET search_path = " + c.Query("SHOW search_path").Value()).Ok());
    ASSERT_TRUE(c.Query("SET external_client_context = 'it''s the caller'").Ok());
    EXPECT_EQ(c.Query("SHOW external_client_context").Value(), "it's the caller");
}

// A table created with the library's CREATE TABLE text reads back with the same types, modifiers, nullability and
// collations, through the exact catalog queries the library sends, with and without a database prefix.
TEST_F(KelvodSessions, TableDefinitionsReadBackAsCreatedForEveryTypeAndTemporaryOnesInPgTemp) {
    // A session asking for binary results on the databases "cat" (first) and "two".
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint()).status, 'I');
    ASSERT_TRUE(c.Query("CREATE DATABASE " + Q(Path("cat.kelvo")) + "; CREATE DATABASE " + Q(Path("two.kelvo"))).Ok());
    std::string list = "[" + Db("cat", "cat.kelvo") + ", " + Db("two", "two.kelvo") + "]";
    ASSERT_EQ(c.Open(server->Endpoint(), list, "result_format_code=KelvoBinary").status, 'I');
    const struct {
        const char* sql;  // as the library writes the type
        uint32_t oid;
        int32_t modifier;
    } columns[] = {
        {"TEXT", 25, -1},
        {"NUMERIC(18,3)", 1700, (18 << 16 | 3) + 4},
        {"NUMERIC(4294967295,4294967295)", 1700, -1},
        {"VARCHAR(100)", 1043, 104},
        {"VARCHAR(4294967295)", 1043, -1},
        {"CHAR(1)", 18, 5},
        {"CHAR(10)", 1042, 14},
        {"JSON", 114, -1},
        {"INTERVAL", 1186, -1},
        {"TIME", 1083, -1},
        {"TIMESTAMP", 1114, -1},
        {"TIMESTAMPTZ", 1184, -1},
        {"GEOGRAPHY", 5003, -1},
        {"DOUBLE PRECISION", 701, -1},
        {"NUMERIC", 1700, -1},
        {"NUMERIC(38,38)", 1700, (38 << 16 | 38) + 4},
        {"VARCHAR(1)", 1043, 5},
        {"TIMESTAMP WITH TIME ZONE", 1184, -1},
    };
    std::string create = "CREATE TABLE \"cat\".\"public\".\"every\" (";
    for (size_t i = 0; i < std::size(columns); ++i)
        create += std::string(i ? ", " : "") + "\"c" + std::to_string(i) + "\" " + columns[i].sql +
                  (i % 2 ? " NOT NULL" : "") + (i == 0 ? " COLLATE \"en_US\"" : "");
    ASSERT_TRUE(c.Query(create + ");").Ok());
    for (std::string prefix : {"", "\"cat\".", "\"CAT\"."}) {
        WireResult r = c.Query(ColumnQuery(prefix, "public", "every"));
        ASSERT_EQ(r.rows.size(), std::size(columns)) << prefix << r.Message();
        EXPECT_EQ(r.columns[1].typeLength, 4);  // oid columns arrive as 4 bytes
        for (size_t i = 0; i < std::size(columns); ++i) {
            const auto& row = r.rows[i];
            EXPECT_EQ(row[0].value_or(""), "c" + std::to_string(i));
            EXPECT_EQ(static_cast<uint32_t>(BinaryInt(row[1])), columns[i].oid) << columns[i].sql;
            EXPECT_EQ(BinaryInt(row[2]), columns[i].modifier) << columns[i].sql;
            EXPECT_EQ(row[3].value_or("?"), std::string(1, i % 2 ? '\1' : '\0')) << columns[i].sql;
            EXPECT_EQ(row[4].value_or(""), i == 0 ? "en_US" : "default") << columns[i].sql;
            EXPECT_EQ(row[6].value_or(""), "p");
        }
    }
    // Temporary tables live in pg_temp of the first database.
    ASSERT_TRUE(c.Query("CREATE TEMPORARY TABLE \"tmp\" (\"v\" VARCHAR(7) NOT NULL);").Ok());
    WireResult r = c.Query("SELECT kelvo_database_of_table('tmp'), kelvo_schema_of_table('tmp')");
    EXPECT_EQ(r.Value(0, 0) + "." + r.Value(0, 1), "cat.pg_temp");
    WireResult cols = c.Query(ColumnQuery("\"cat\".", "pg_temp", "tmp"));
    ASSERT_EQ(cols.rows.size(), 1u);
    EXPECT_EQ(static_cast<uint32_t>(BinaryInt(cols.rows[0][1])), 1043u);
    EXPECT_EQ(BinaryInt(cols.rows[0][2]), 11);
    EXPECT_EQ(cols.rows[0][6].value_or(""), "t");
    // The qualified name the catalog gives for it reaches the table.
    EXPECT_TRUE(c.Query("INSERT INTO \"cat\".\"pg_temp\".\"tmp\" VALUES ('a')").Ok());
    EXPECT_TRUE(c.Query("INSERT INTO pg_temp.tmp VALUES ('b')").Ok());
    EXPECT_EQ(c.Query("SELECT CAST(count(*) AS INTEGER) FROM \"pg_temp\".\"tmp\"").Value(), std::string("\2\0\0\0", 4));
}

// Bad input of any kind draws one FATAL error and a closed session, never a crash or a hang of the server or of other
// sessions.
TEST_F(KelvodSessions, MalformedStartupPacketsAndMessagesGetAFatalErrorAndAClosedConnection) {
    struct Case {
        const char* what;
        bool startup;
        std::string bytes;
        const char* sqlstate;
    } cases[] = {
        {"start-up length below 8", true, I32(4), "08P01"},
        {"negative start-up length", true, I32(-5), "08P01"},
        {"protocol 2.0", true, I32(8) + I32(131072), "0A000"},
        {"unterminated parameter", true, I32(12) + I32(196608) + "user", "08P01"},
        {"cancel request of the wrong size", true, I32(12) + I32(80877102) + I32(1), "08P01"},
        {"length below 4", false, "Q" + I32(2), "08P01"},
        {"length past any sane bound", false, "Q" + I32(0x7FFFFFFF), "08P01"},
        {"unknown message type", false, "?" + I32(4), "08P01"},
        {"query without terminator", false, "Q" + I32(7) + "abc", "08P01"},
        {"bind with a negative count", false, "B" + I32(8) + std::string(2, '\0') + I16(-1), "08P01"},
        {"bind with a parameter past the end", false, "B" + I32(14) + std::string(2, '\0') + I16(0) + I16(1) + I32(100),
         "08P01"},
        {"bind with a negative parameter length", false,
         "B" + I32(16) + std::string(2, '\0') + I16(0) + I16(1) + I32(-2) + I16(0), "08P01"},
        {"describe of an unknown kind", false, "D" + I32(6) + std::string("X\0", 2), "08P01"},
        {"execute too short", false, "E" + I32(7) + std::string(3, '\0'), "08P01"},
    };
    for (const auto& c : cases) {
        WireClient client;
        ASSERT_TRUE(c.startup ? client.ConnectSocket(server->Endpoint())
                              : client.Open(server->Endpoint(), ":main").status == 'I')
            << c.what;
        client.SendRaw(c.bytes);
        WireResult r = client.ReadUntilReady(5000);
        EXPECT_EQ(r.types, std::vector<char>{'E'}) << c.what;
        EXPECT_EQ(r.errors.at(0).severity + " " + r.Sqlstate(), std::string("FATAL ") + c.sqlstate) << c.what;
        EXPECT_TRUE(client.WaitClosed(5000)) << c.what;
    }
    // The server still serves a fresh session, which an SSLRequest refused ('N') does not end.
    WireClient c;
    ASSERT_TRUE(c.ConnectSocket(server->Endpoint()));
    c.SendRaw(I32(8) + I32(80877103));
    char answer = 0;
    ASSERT_EQ(::recv(c.Fd(), &answer, 1, 0), 1);
    EXPECT_EQ(answer, 'N');
    EXPECT_EQ(c.Startup({{"user", "u"}, {"database", ":main"}, {"client_encoding", "UTF8"}}).status, 'I');
    EXPECT_EQ(c.Query("SELECT 41 + 1").Value(), "42");
}
